"""Stand-in for `mcp.types`: the content block a tool result becomes."""
from dataclasses import asdict, dataclass


@dataclass
class TextContent:
    type: str
    text: str

    def as_json(self):
        return asdict(self)

"""Stand-in for `mcp.server.fastmcp.exceptions`."""


class FastMCPError(Exception):
    """Base of the server's errors."""


class ToolError(FastMCPError):
    """A failed tool call, as the client sees it."""


class InvalidSignature(Exception):
    """A function that cannot be a tool."""

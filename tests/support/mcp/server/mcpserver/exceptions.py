"""Stand-in for `mcp.server.mcpserver.exceptions`."""


class MCPServerError(Exception):
    """Base of the server's errors."""


class ToolError(MCPServerError):
    """A failed tool call, as the client sees it."""


class InvalidSignature(Exception):
    """A function that cannot be a tool."""

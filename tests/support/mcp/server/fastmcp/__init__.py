"""Stand-in for `mcp.server.fastmcp`."""
from ._server import FastMCP, InvalidSignature, Tool, ToolError

__all__ = ["FastMCP", "InvalidSignature", "Tool", "ToolError"]

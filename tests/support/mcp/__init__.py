"""Test stand-in for the MCP Python SDK (the package `mcp`), which cannot be installed here.

Only `mcp.server.fastmcp.FastMCP` exists; it introspects tool functions the way the SDK does, so
that what would break under the real SDK breaks the tests too.
"""

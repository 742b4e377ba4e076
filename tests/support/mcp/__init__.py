"""Test stand-in for the MCP Python SDK (the package `mcp`), which cannot be installed here.

It offers the server class of both SDK generations: `mcp.server.fastmcp.FastMCP` (1.x) and
`mcp.server.mcpserver.MCPServer` (2.x, where `mcp.server.fastmcp` is gone), each with its
`Context` and its `exceptions` module. They introspect tool functions and serve stdio the way the
SDK does, so that what would break under the real SDK breaks the tests too. A test hides the 1.x
package with `sys.modules["mcp.server.fastmcp"] = None` to run under the 2.x one.
"""

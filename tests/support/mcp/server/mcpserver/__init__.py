"""Stand-in for `mcp.server.mcpserver` (SDK 2.x): MCPServer takes the server's `version`, runs
plain tool functions in a worker thread and passes the request context to `call_tool`."""
from mcp._standin import BaseContext, Server

from . import exceptions


class Context(BaseContext):
    pass


class MCPServer(Server):
    sync_tools_in_thread = True
    context_type = Context
    tool_error = exceptions.ToolError
    invalid_signature = exceptions.InvalidSignature

    def __init__(self, name=None, title=None, description=None, instructions=None, website_url=None, icons=None,
                 version=None, **settings):
        super().__init__(name or "mcp-server", instructions, **settings)
        self.version = version

    async def call_tool(self, name, arguments, context=None):
        return await self._call(name, arguments, context if context is not None else Context())

    async def call_in_request(self, name, arguments, request):
        return await self.call_tool(name, arguments, Context(request_context=request))


__all__ = ["Context", "MCPServer"]

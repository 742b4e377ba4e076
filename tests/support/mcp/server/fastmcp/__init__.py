"""Stand-in for `mcp.server.fastmcp` (SDK 1.x): FastMCP runs plain tool functions on the event
loop's own thread and hands tools the context of the request being served (`get_context`)."""
import contextvars

from mcp._standin import BaseContext, Server

from . import exceptions

_request = contextvars.ContextVar("request_context", default=None)


class Context(BaseContext):
    pass


class FastMCP(Server):
    context_type = Context
    tool_error = exceptions.ToolError
    invalid_signature = exceptions.InvalidSignature

    def __init__(self, name=None, instructions=None, *, debug=False, log_level="INFO"):
        # The later 1.x releases take named settings only, and no `version`.
        super().__init__(name, instructions, debug=debug, log_level=log_level)

    def get_context(self):
        return Context(request_context=_request.get())

    async def call_tool(self, name, arguments):
        return await self._call(name, arguments, self.get_context())

    async def call_in_request(self, name, arguments, request):
        token = _request.set(request)
        try:
            return await self.call_tool(name, arguments)
        finally:
            _request.reset(token)


__all__ = ["Context", "FastMCP"]

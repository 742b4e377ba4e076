"""What the stand-ins of the SDK's server classes (1.x FastMCP, 2.x MCPServer) share, written
after the SDK's documented behaviour where korvane depends on it:

- `tool()` is a decorator factory; the decorator registers the function and gives it back.
- A tool's name is `fn.__name__`, its description `fn.__doc__`; its parameters come from
  `inspect.signature(fn)`: names starting with "_" and annotations that are not types are
  refused, and the JSON input schema is built from the annotations and defaults. A parameter
  annotated with the SDK's Context class receives the request context and stays out of the schema.
- The output schema and structured content follow the return annotation: a generic alias (such as
  `list[tuple[str, str]]`), a union or a primitive type is wrapped as {"result": value}; a bare
  class without annotated fields (`list`, `dict`) gives no structured output.
- A call validates the arguments, fills in the defaults and passes every parameter by keyword;
  a 1.x server runs a plain function on the event loop's own thread, a 2.x server in a worker
  thread. Any exception becomes a ToolError "Error executing tool NAME: ...". `call_tool` returns
  the content blocks, or (content blocks, structured content) when the tool has an output schema:
  a list or tuple result gives one block per element, a str its text, anything else its JSON.
- `run()` serves newline-delimited JSON-RPC over stdio: the protocol channel is the standard
  output's byte stream as it was when serving began. `initialize` needs its params, and every
  request but `ping` is refused until the client's `notifications/initialized`. Requests are
  answered concurrently, so a ping is answered while a tool runs; a tool reports progress to the
  client only when the request carried `_meta.progressToken`.
"""
import asyncio
import inspect
import io
import json
import sys
import types
import typing

from mcp.types import TextContent

SIMPLE_TYPES = {str: "string", int: "integer", float: "number", bool: "boolean", list: "array", dict: "object"}
PRIMITIVES = (str, int, float, bool, bytes, type(None))
LATEST_PROTOCOL = "2025-06-18"
INVALID_PARAMS = -32602
METHOD_NOT_FOUND = -32601


def json_schema(annotation, where, invalid):
    """The JSON schema of values of `annotation`; raises `invalid` when it is not a type."""
    if annotation is inspect.Parameter.empty or annotation is typing.Any:
        return {}
    if annotation is None or annotation is type(None):
        return {"type": "null"}
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        return {"anyOf": [json_schema(arg, where, invalid) for arg in args]}
    if origin is list and len(args) == 1:
        return {"type": "array", "items": json_schema(args[0], where, invalid)}
    if origin is tuple and args and args[-1] is not Ellipsis:
        items = [json_schema(arg, where, invalid) for arg in args]
        return {"type": "array", "prefixItems": items, "minItems": len(items), "maxItems": len(items)}
    if origin is dict and len(args) == 2:
        return {"type": "object", "additionalProperties": json_schema(args[1], where, invalid)}
    if annotation is dict:
        return {"type": "object", "additionalProperties": True}
    if isinstance(annotation, type) and annotation in SIMPLE_TYPES:
        return {"type": SIMPLE_TYPES[annotation]}
    raise invalid(f"{where}: annotation {annotation!r} is not a type a tool can take or return")


def output_schema(annotation, name, invalid):
    """(schema, wrapped) of a tool's structured output, or (None, False) when it has none."""
    if annotation is inspect.Signature.empty:
        return None, False
    if isinstance(annotation, type) and annotation not in PRIMITIVES:
        return None, False  # a class without annotated fields, such as a bare list or dict
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is dict and len(args) == 2 and args[0] is str:
        return {"type": "object", "title": f"{name}DictOutput", **json_schema(annotation, name, invalid)}, False
    result = {"title": "Result", **json_schema(annotation, f"return value of {name}", invalid)}
    return {"type": "object", "title": f"{name}Output", "properties": {"result": result}, "required": ["result"]}, True


def matches(annotation, value):
    """Whether `value` validates against `annotation` (strictly: no coercion between types)."""
    if annotation is inspect.Parameter.empty or annotation is typing.Any:
        return True
    if annotation is None or annotation is type(None):
        return value is None
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        return any(matches(arg, value) for arg in args)
    base = origin or annotation
    if base is int:
        return isinstance(value, int) and not isinstance(value, bool)
    if base is float:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    return isinstance(value, base)


def to_json(value):
    return json.dumps(value, indent=2, ensure_ascii=False, default=str)


def content_of(result):
    """The content blocks a client receives for a tool's result."""
    if result is None:
        return []
    if isinstance(result, (list, tuple)):
        return [block for item in result for block in content_of(item)]
    return [TextContent(type="text", text=result if isinstance(result, str) else to_json(result))]


class RequestContext:
    def __init__(self, request_id, meta, session):
        self.request_id, self.meta, self.session = request_id, meta, session


class BaseContext:
    """The request context a tool receives through a parameter annotated with Context."""

    def __init__(self, *, request_context=None, **kwargs):
        self._request_context = request_context

    @property
    def request_context(self):
        if self._request_context is None:
            raise ValueError("Context is not available outside of a request")
        return self._request_context

    async def report_progress(self, progress, total=None, message=None):
        token = (self.request_context.meta or {}).get("progressToken")
        if token is None:
            return
        await self.request_context.session.send_progress(token, progress, total, message)


class Tool:
    def __init__(self, fn, name, description, server):
        self.fn, self.name, self.description = fn, name, description
        self.is_async = inspect.iscoroutinefunction(fn)
        self.run_in_thread = server.sync_tools_in_thread and not self.is_async
        self.tool_error = server.tool_error
        signature = inspect.signature(fn)
        self.context_kwarg = next((p.name for p in signature.parameters.values()
                                   if isinstance(p.annotation, type) and issubclass(p.annotation, server.context_type)),
                                  None)
        self.parameters = {n: p for n, p in signature.parameters.items() if n != self.context_kwarg}
        self.inputSchema = self._input_schema(server.invalid_signature)
        self.return_annotation = signature.return_annotation
        self.outputSchema, self.wraps_output = output_schema(signature.return_annotation, name,
                                                             server.invalid_signature)

    def _input_schema(self, invalid):
        properties, required = {}, []
        for param in self.parameters.values():
            if param.name.startswith("_"):
                raise invalid(f"Parameter {param.name} of {self.name} cannot start with '_'")
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
                raise invalid(f"Parameter {param.name} of {self.name}: a tool takes named parameters only")
            schema = json_schema(param.annotation, f"parameter {param.name} of {self.name}", invalid)
            if param.default is param.empty:
                required.append(param.name)
            else:
                json.dumps(param.default)
                schema["default"] = param.default
            properties[param.name] = {"title": param.name.replace("_", " ").title(), **schema}
        return {"type": "object", "title": f"{self.name}Arguments", "properties": properties, "required": required}

    def bind(self, arguments):
        """Every parameter's value, by keyword: the argument given or the default."""
        bound = {}
        for param in self.parameters.values():
            if param.name in arguments:
                value = arguments[param.name]
            elif param.default is not param.empty:
                value = param.default
            else:
                raise ValueError(f"missing required argument '{param.name}'")
            if not matches(param.annotation, value):
                raise ValueError(f"argument '{param.name}' does not validate against "
                                 f"{json.dumps(self.inputSchema['properties'][param.name])}")
            bound[param.name] = value
        return bound

    async def run(self, arguments, context):
        try:
            kwargs = self.bind(arguments)
            if self.context_kwarg is not None:
                kwargs[self.context_kwarg] = context
            if self.is_async:
                result = await self.fn(**kwargs)
            elif self.run_in_thread:
                result = await asyncio.to_thread(self.fn, **kwargs)
            else:
                result = self.fn(**kwargs)
            return self.convert(result)
        except Exception as exc:
            raise self.tool_error(f"Error executing tool {self.name}: {exc}") from exc

    def convert(self, result):
        content = content_of(result)
        if self.outputSchema is None:
            return content
        if not matches(self.return_annotation, result):
            raise ValueError(f"1 validation error for {self.name}Output: {type(result).__name__} is not "
                             f"{self.return_annotation}")
        structured = json.loads(json.dumps({"result": result} if self.wraps_output else result, default=str))
        return content, structured


class Server:
    """The server class; the flavours below set how they differ."""

    sync_tools_in_thread = False
    context_type = BaseContext
    tool_error = Exception
    invalid_signature = Exception

    def __init__(self, name=None, instructions=None, **settings):
        self.name = name or "FastMCP"
        self.instructions = instructions
        self.settings = settings
        self.version = None
        self._tools = {}

    def tool(self, name=None, title=None, description=None, annotations=None, structured_output=None):
        if callable(name):
            raise TypeError("The @tool decorator was used incorrectly. Did you forget to call it? Use @tool() "
                            "instead of @tool")

        def decorator(fn):
            self.add_tool(fn, name=name, description=description)
            return fn

        return decorator

    def add_tool(self, fn, name=None, description=None):
        name = name or fn.__name__
        if name == "<lambda>":
            raise ValueError("You must provide a name for lambda functions")
        self._tools.setdefault(name, Tool(fn, name, description or fn.__doc__ or "", self))

    async def list_tools(self):
        return list(self._tools.values())

    async def _call(self, name, arguments, context):
        tool = self._tools.get(name)
        if tool is None:
            raise self.tool_error(f"Unknown tool: {name}")
        return await tool.run(arguments, context)

    def run(self, transport="stdio"):
        if transport != "stdio":
            raise ValueError(f"Unknown transport: {transport}")
        asyncio.run(self.run_stdio_async())

    async def run_stdio_async(self):
        session = StdioSession(self, io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8"))
        await session.serve()

    def server_version(self):
        return self.version or "1.0.0"


class StdioSession:
    """One client on stdin and the protocol channel."""

    def __init__(self, server, channel):
        self.server, self.channel = server, channel
        self.state = "new"  # then "initializing", then "initialized"
        self.tasks = set()

    def write(self, message):
        self.channel.write(json.dumps({"jsonrpc": "2.0", **message}) + "\n")
        self.channel.flush()

    async def send_progress(self, token, progress, total, message):
        params = {"progressToken": token, "progress": progress}
        if total is not None:
            params["total"] = total
        if message is not None:
            params["message"] = message
        self.write({"method": "notifications/progress", "params": params})

    async def serve(self):
        while True:
            line = await asyncio.to_thread(sys.stdin.readline)
            if not line:
                break
            try:
                message = json.loads(line)
            except ValueError as exc:
                print(f"invalid JSON-RPC message: {exc}", file=sys.stderr)
                continue
            if "id" not in message:
                self.notified(message.get("method"))
                continue
            task = asyncio.ensure_future(self.answer(message))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)
        if self.tasks:
            await asyncio.wait(set(self.tasks))

    def notified(self, method):
        if method == "notifications/initialized" and self.state == "initializing":
            self.state = "initialized"

    async def answer(self, request):
        method, params = request.get("method"), request.get("params")
        try:
            result = await self.result_of(request["id"], method, params)
        except ProtocolError as exc:
            self.write({"id": request["id"], "error": {"code": exc.code, "message": exc.message, "data": exc.data}})
        else:
            self.write({"id": request["id"], "result": result})

    async def result_of(self, request_id, method, params):
        if method == "ping":
            return {}
        if method == "initialize":
            return self.initialize(params)
        if self.state != "initialized":
            raise ProtocolError(INVALID_PARAMS, "Invalid request parameters",
                                "Received request before initialization was complete")
        if method == "tools/list":
            return {"tools": [self.describe(tool) for tool in await self.server.list_tools()]}
        if method == "tools/call":
            return await self.call(request_id, params)
        raise ProtocolError(METHOD_NOT_FOUND, "Method not found", method)

    def initialize(self, params):
        if not isinstance(params, dict) or not {"protocolVersion", "capabilities", "clientInfo"} <= params.keys():
            raise ProtocolError(INVALID_PARAMS, "Invalid request parameters", "initialize needs protocolVersion, "
                                "capabilities and clientInfo")
        self.state = "initializing"
        return {"protocolVersion": params["protocolVersion"],
                "capabilities": {"tools": {"listChanged": False}},
                "serverInfo": {"name": self.server.name, "version": self.server.server_version()}}

    @staticmethod
    def describe(tool):
        described = {"name": tool.name, "description": tool.description, "inputSchema": tool.inputSchema}
        if tool.outputSchema is not None:
            described["outputSchema"] = tool.outputSchema
        return described

    async def call(self, request_id, params):
        if not isinstance(params, dict) or not isinstance(params.get("name"), str):
            raise ProtocolError(INVALID_PARAMS, "Invalid request parameters", "tools/call needs a name")
        request = RequestContext(request_id, params.get("_meta") or {}, self)
        try:
            result = await self.server.call_in_request(params["name"], params.get("arguments") or {}, request)
        except Exception as exc:
            return {"content": [TextContent(type="text", text=str(exc)).as_json()], "isError": True}
        content, structured = result if isinstance(result, tuple) else (result, None)
        answer = {"content": [block.as_json() for block in content], "isError": False}
        if structured is not None:
            answer["structuredContent"] = structured
        return answer


class ProtocolError(Exception):
    def __init__(self, code, message, data):
        super().__init__(message)
        self.code, self.message, self.data = code, message, data

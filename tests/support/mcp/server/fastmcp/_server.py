"""FastMCP as the SDK behaves towards the functions it registers.

- `tool()` is a decorator factory; the decorator registers the function and gives it back.
- A tool's name is `fn.__name__`, its description `fn.__doc__`; its parameters come from
  `inspect.signature(fn)`: names starting with "_" and annotations that are not types are
  refused, and the JSON input schema is built from the annotations and defaults.
- A call validates the arguments against the annotations, fills in the defaults and passes every
  parameter by keyword. Synchronous tools run on the event loop's own thread, as in the SDK.
- `run()` serves newline-delimited JSON-RPC over stdin/stdout (initialize, tools/list,
  tools/call), the SDK's stdio transport reduced to what the tests need.
"""
import asyncio
import inspect
import json
import sys
import types
import typing

SIMPLE_TYPES = {str: "string", int: "integer", float: "number", bool: "boolean", list: "array", dict: "object"}


class InvalidSignature(Exception):
    """A function that cannot be a tool."""


class ToolError(Exception):
    """A failed tool call, as the client sees it."""


def json_schema(annotation, where):
    """The JSON schema of values of `annotation`; raises InvalidSignature when it is not a type."""
    if annotation is inspect.Parameter.empty or annotation is typing.Any:
        return {}
    if annotation is None or annotation is type(None):
        return {"type": "null"}
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        return {"anyOf": [json_schema(arg, where) for arg in args]}
    if origin is list and len(args) == 1:
        return {"type": "array", "items": json_schema(args[0], where)}
    if origin is tuple and args and args[-1] is not Ellipsis:
        items = [json_schema(arg, where) for arg in args]
        return {"type": "array", "prefixItems": items, "minItems": len(items), "maxItems": len(items)}
    if origin is dict and len(args) == 2:
        return {"type": "object", "additionalProperties": json_schema(args[1], where)}
    if isinstance(annotation, type) and annotation in SIMPLE_TYPES:
        return {"type": SIMPLE_TYPES[annotation]}
    raise InvalidSignature(f"{where}: annotation {annotation!r} is not a type a tool can take or return")


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


class Tool:
    def __init__(self, fn, name, description, parameters, input_schema, output_schema):
        self.fn = fn
        self.name = name
        self.description = description
        self.parameters = parameters
        self.inputSchema = input_schema
        self.outputSchema = output_schema
        self.is_async = inspect.iscoroutinefunction(fn)

    @classmethod
    def from_function(cls, fn, name=None, description=None):
        name = name or fn.__name__
        if name == "<lambda>":
            raise ValueError("You must provide a name for lambda functions")
        signature = inspect.signature(fn)
        properties, required = {}, []
        for param in signature.parameters.values():
            if param.name.startswith("_"):
                raise InvalidSignature(f"Parameter {param.name} of {name} cannot start with '_'")
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
                raise InvalidSignature(f"Parameter {param.name} of {name}: a tool takes named parameters only")
            schema = json_schema(param.annotation, f"parameter {param.name} of {name}")
            if param.default is param.empty:
                required.append(param.name)
            else:
                json.dumps(param.default)
                schema["default"] = param.default
            properties[param.name] = {"title": param.name.replace("_", " ").title(), **schema}
        input_schema = {"type": "object", "title": f"{name}Arguments", "properties": properties, "required": required}
        output_schema = None
        if signature.return_annotation is not signature.empty:
            output_schema = json_schema(signature.return_annotation, f"return value of {name}")
        return cls(fn, name, description or fn.__doc__ or "", dict(signature.parameters), input_schema, output_schema)

    def bind(self, arguments):
        """Every parameter's value, by keyword: the argument given or the default."""
        bound = {}
        for param in self.parameters.values():
            if param.name in arguments:
                value = arguments[param.name]
            elif param.default is not param.empty:
                value = param.default
            else:
                raise ToolError(f"Error executing tool {self.name}: missing required argument '{param.name}'")
            if not matches(param.annotation, value):
                raise ToolError(f"Error executing tool {self.name}: argument '{param.name}' does not validate "
                                f"against {json.dumps(self.inputSchema['properties'][param.name])}")
            bound[param.name] = value
        return bound

    async def run(self, arguments):
        kwargs = self.bind(arguments)
        try:
            result = self.fn(**kwargs)
            if self.is_async:
                result = await result
        except Exception as exc:
            raise ToolError(f"Error executing tool {self.name}: {exc}") from exc
        return result


def content_of(result):
    """The text content a client receives for a tool's result."""
    text = result if isinstance(result, str) else json.dumps(result, indent=2, default=str)
    return [{"type": "text", "text": text}]


class FastMCP:
    def __init__(self, name=None, instructions=None, **settings):
        self.name = name or "FastMCP"
        self.instructions = instructions
        self.settings = settings
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
        tool = Tool.from_function(fn, name=name, description=description)
        self._tools.setdefault(tool.name, tool)

    async def list_tools(self):
        return list(self._tools.values())

    async def call_tool(self, name, arguments):
        tool = self._tools.get(name)
        if tool is None:
            raise ToolError(f"Unknown tool: {name}")
        return await tool.run(arguments)

    def run(self, transport="stdio"):
        if transport != "stdio":
            raise ValueError(f"Unknown transport: {transport}")
        asyncio.run(self.run_stdio_async())

    async def run_stdio_async(self):
        while True:
            line = await asyncio.to_thread(sys.stdin.readline)
            if not line:
                return
            request = json.loads(line)
            response = {"jsonrpc": "2.0", "id": request.get("id")}
            response.update(await self._answer(request.get("method"), request.get("params") or {}))
            sys.stdout.write(json.dumps(response) + "\n")
            sys.stdout.flush()

    async def _answer(self, method, params):
        if method == "initialize":
            return {"result": {"serverInfo": {"name": self.name}, "capabilities": {"tools": {}}}}
        if method == "tools/list":
            tools = [{"name": t.name, "description": t.description, "inputSchema": t.inputSchema}
                     for t in await self.list_tools()]
            return {"result": {"tools": tools}}
        if method == "tools/call":
            try:
                result = await self.call_tool(params["name"], params.get("arguments") or {})
            except ToolError as exc:
                return {"result": {"content": content_of(str(exc)), "isError": True}}
            return {"result": {"content": content_of(result), "isError": False}}
        return {"error": {"code": -32601, "message": f"Method not found: {method}"}}

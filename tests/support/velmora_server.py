"""korvane._velmoraserve for the tests, imported against the SDK stand-in, and its tools called
as a client meets them."""
import asyncio
import importlib
import json

server = importlib.import_module("korvane._velmoraserve")


def call_tool(name, **arguments):
    """(the texts of the content blocks, the structured content or None) of a tool call through
    the server, as a client receives them."""
    result = asyncio.run(server.mcp.call_tool(name, arguments))
    content, structured = result if isinstance(result, tuple) else (result, None)
    return [block.text for block in content], structured


def call_for_json(name, **arguments):
    """The value of a tool whose result is one JSON text block (a `dict` result)."""
    [text], structured = call_tool(name, **arguments)
    assert structured is None
    return json.loads(text)

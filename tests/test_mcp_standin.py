"""The MCP SDK stand-in where korvane depends on it behaving like the SDK: where its classes live,
what `call_tool` returns for each kind of result, which thread runs a plain function, and how a
tool failure reaches the caller."""
import asyncio
import importlib
import threading

import pytest


def test_import_paths():
    fastmcp = importlib.import_module("mcp.server.fastmcp")
    exceptions = importlib.import_module("mcp.server.fastmcp.exceptions")
    assert exceptions.ToolError.__module__ == "mcp.server.fastmcp.exceptions"
    assert not hasattr(fastmcp, "ToolError")  # the SDK does not export it from the package
    mcpserver = importlib.import_module("mcp.server.mcpserver")
    assert mcpserver.MCPServer("s", version="1.2").version == "1.2"
    with pytest.raises(TypeError):
        fastmcp.FastMCP("s", version="1.2")  # later 1.x releases take no version


@pytest.mark.parametrize("sdk, on_loop_thread", [("mcp.server.fastmcp", True), ("mcp.server.mcpserver", False)])
def test_calls(sdk, on_loop_thread):
    module = importlib.import_module(sdk)
    server = getattr(module, "FastMCP", None) or module.MCPServer
    errors = importlib.import_module(sdk + ".exceptions")
    app = server("s")
    threads = {}

    @app.tool()
    def plain() -> list:
        threads["tool"] = threading.current_thread()
        return ["a", ("b", {"c": 1})]

    @app.tool()
    def pairs() -> list[tuple[str, int]]:
        return [("a", 1)]

    @app.tool()
    def either(fail: bool) -> dict | str:
        if fail:
            raise OSError("disk full")
        return {"x": None}

    async def call(name, **arguments):
        threads["loop"] = threading.current_thread()
        return await app.call_tool(name, arguments)

    content = asyncio.run(call("plain"))
    assert [block.text for block in content] == ["a", "b", '{\n  "c": 1\n}']
    assert (threads["tool"] is threads["loop"]) is on_loop_thread
    content, structured = asyncio.run(call("pairs"))
    assert [block.text for block in content] == ["a", "1"] and structured == {"result": [["a", 1]]}
    assert asyncio.run(call("either", fail=False))[1] == {"result": {"x": None}}
    with pytest.raises(errors.ToolError, match="^Error executing tool either: disk full$"):
        asyncio.run(call("either", fail=True))

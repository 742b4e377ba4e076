"""Starts the "Velmora MCP" tool server over stdio:

    python3 -m korvane.velmoraserve

The server needs the MCP Python SDK 1.x (`pip install "mcp>=1.10,<2"`); the 2.x SDK no longer
has `mcp.server.fastmcp`. Standard output carries the protocol, so nothing else may write there.
"""
import importlib
import sys

SDK_REQUIREMENT = 'pip install "mcp>=1.10,<2"'


def main():
    try:
        importlib.import_module("mcp.server.fastmcp")
    except ImportError as exc:
        sys.exit(f"korvane.velmoraserve needs the MCP Python SDK 1.x ({exc}); install it with: {SDK_REQUIREMENT}")
    from korvane import _velmoraserve

    _velmoraserve.mcp.run()


if __name__ == "__main__":
    main()

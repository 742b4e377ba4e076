"""Starts the "Velmora MCP" tool server over stdio:

    python3 -m korvane.velmoraserve

The server needs the MCP Python SDK, 1.x or 2.x (`pip install "mcp>=1.10,<3"`). Standard output
carries the protocol and nothing else: while the server runs, whatever else writes to it (a
print, a solver's native log, a child process) goes to standard error.
"""
import contextlib
import importlib
import io
import os
import sys

SDK_REQUIREMENT = 'pip install "mcp>=1.10,<3"'
# The server class of SDK 1.x, then the one that replaced it in 2.x.
SDK_SERVER_MODULES = ("mcp.server.fastmcp", "mcp.server.mcpserver")


def main():
    missing = _missing_sdk()
    if missing is not None:
        sys.exit(f"korvane.velmoraserve needs the MCP Python SDK ({missing}); install it with: {SDK_REQUIREMENT}")
    from korvane import _velmoraserve

    with protocol_only_stdout():
        _velmoraserve.mcp.run()


def _missing_sdk():
    """None when the SDK offers a server class, else the error of the first attempt."""
    first_error = None
    for name in SDK_SERVER_MODULES:
        try:
            importlib.import_module(name)
            return None
        except ImportError as exc:
            first_error = first_error or exc
    return first_error


class _TextToStderr(io.TextIOBase):
    """sys.stdout while the server runs: `buffer` is the protocol channel, which the SDK wraps
    once as it starts serving; text written to it later goes to standard error."""

    def __init__(self, channel):
        super().__init__()
        self.buffer = channel

    @property
    def encoding(self):
        return sys.stderr.encoding

    def writable(self):
        return True

    def write(self, text):
        return sys.stderr.write(text)

    def flush(self):
        sys.stderr.flush()

    def fileno(self):
        return sys.stderr.fileno()


@contextlib.contextmanager
def protocol_only_stdout():
    """Within the block, file descriptor 1 is standard error's file and sys.stdout sends text to
    standard error; the protocol channel (the original standard output) is reachable only through
    sys.stdout.buffer. Both are restored afterwards."""
    sys.stdout.flush()
    saved_fd = os.dup(1)
    channel = os.fdopen(os.dup(1), "wb")
    saved_stdout = sys.stdout
    os.dup2(2, 1)
    sys.stdout = _TextToStderr(channel)
    try:
        yield
    finally:
        sys.stdout = saved_stdout
        channel.close()
        os.dup2(saved_fd, 1)
        os.close(saved_fd)


if __name__ == "__main__":
    main()

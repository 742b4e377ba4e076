"""The launcher `python3 -m korvane.velmoraserve` as an MCP client runs it: a child process that
speaks newline-delimited JSON-RPC on its standard input and output, against the SDK stand-in.

Like common clients, a request gives up after `timeout` seconds without its response, and a
progress notification for it starts the wait afresh. Every line the child writes to standard
output is kept, so tests can check that nothing but protocol messages ever appears there.
"""
import json
import os
import queue
import subprocess
import sys
import threading

import korvane

SUPPORT = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__file__)))
PROTOCOL_VERSION = "2025-06-18"


def bootstrap(sdk, setup):
    """The child's program: the launcher run as -m runs it, under the 1.x or the 2.x stand-in
    (the 2.x SDK has no mcp.server.fastmcp), after `setup` (Python source)."""
    lines = ["import runpy, sys"]
    if sdk == "2.x":
        lines.append("sys.modules['mcp.server.fastmcp'] = None")
    lines += [setup, "runpy.run_module('korvane.velmoraserve', run_name='__main__', alter_sys=True)"]
    return "\n".join(lines)


class Timeout(AssertionError):
    pass


class StdioServer:
    def __init__(self, sdk="1.x", setup="", env=None):
        child_env = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join([PACKAGE_ROOT, SUPPORT])}
        self.process = subprocess.Popen([sys.executable, "-c", bootstrap(sdk, setup)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        encoding="utf-8", env=child_env, cwd=PACKAGE_ROOT)
        self.stdout_lines, self.stderr_chunks, self.pending = [], [], queue.Queue()
        self.next_id = 0
        self.readers = [threading.Thread(target=self._read_stdout, daemon=True),
                        threading.Thread(target=self._read_stderr, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read_stdout(self):
        for line in self.process.stdout:
            self.stdout_lines.append(line)
            self.pending.put(line)

    def _read_stderr(self):
        self.stderr_chunks.append(self.process.stderr.read())

    def send(self, message):
        self.process.stdin.write(json.dumps({"jsonrpc": "2.0", **message}) + "\n")
        self.process.stdin.flush()

    def request(self, method, params=None):
        """Sends a request; returns its id."""
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, **({} if params is None else {"params": params})})
        return self.next_id

    def initialize(self):
        response, _ = self.wait_for(self.request("initialize", {
            "protocolVersion": PROTOCOL_VERSION, "capabilities": {}, "clientInfo": {"name": "tests", "version": "1"}}))
        self.send({"method": "notifications/initialized"})
        return response

    def call_tool(self, name, arguments, *, progress_token=None):
        params = {"name": name, "arguments": arguments}
        if progress_token is not None:
            params["_meta"] = {"progressToken": progress_token}
        return self.request("tools/call", params)

    def wait_for(self, request_id, timeout=60.0, on_progress=None):
        """(the response to `request_id`, the messages that came before it). A progress
        notification restarts the wait, and `on_progress(notification)` runs for each."""
        before = []
        while True:
            try:
                line = self.pending.get(timeout=timeout)
            except queue.Empty:
                raise Timeout(f"no answer to request {request_id} within {timeout} s") from None
            message = json.loads(line)
            if message.get("id") == request_id and "method" not in message:
                return message, before
            before.append(message)
            if message.get("method") == "notifications/progress" and on_progress is not None:
                on_progress(message)

    def close(self):
        """Ends the session (end of input) and waits for the child; returns its standard error."""
        self.process.stdin.close()
        self.process.wait(timeout=120)
        for reader in self.readers:
            reader.join(timeout=10)
        return "".join(self.stderr_chunks)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        if self.process.poll() is None:
            if exc_info[0] is not None:
                self.process.kill()
            self.close()

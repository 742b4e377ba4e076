"""`python3 -m korvane.velmoraserve` as an MCP client starts it: a stdio server whose standard
output carries nothing but protocol messages, or one clear line when the SDK is missing."""
import json
import os
import subprocess
import sys

from fake_llm import FIXED_MODEL, PAIR_DATA, answer, serve

import korvane

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support")
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__file__)))
# The launcher run as -m runs it, after the tests' import of the server (see velmora_server).
BOOTSTRAP = "import runpy, velmora_server; runpy.run_module('korvane.velmoraserve', run_name='__main__', alter_sys=True)"


def run_server(requests, *, with_sdk=True, env=None):
    path = [PACKAGE_ROOT] + ([SUPPORT] if with_sdk else [])
    args = ["-c", BOOTSTRAP] if with_sdk else ["-m", "korvane.velmoraserve"]
    child_env = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join(path)}
    stdin = "".join(json.dumps({"jsonrpc": "2.0", "id": n, **r}) + "\n" for n, r in enumerate(requests, 1))
    return subprocess.run([sys.executable, *args], input=stdin, capture_output=True, text=True, env=child_env,
                          cwd=PACKAGE_ROOT, timeout=120)


def responses(done):
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def tool_call(name, **arguments):
    return {"method": "tools/call", "params": {"name": name, "arguments": arguments}}


def test_serves_the_tools_over_stdio():
    done = run_server([{"method": "initialize"}, {"method": "tools/list"}, tool_call("list_methods_tool"),
                       tool_call("list_models_tool", provider="watsonx")])
    init, listing, methods, error = responses(done)
    assert [r["id"] for r in (init, listing, methods, error)] == [1, 2, 3, 4]
    assert init["result"]["serverInfo"]["name"] == "Velmora MCP"
    assert [t["name"] for t in listing["result"]["tools"]] == [
        "list_providers_tool", "list_models_tool", "list_methods_tool", "generate_tool", "ask_tool", "insight_tool"]
    assert json.loads(methods["result"]["content"][0]["text"])[0] == ["Quenta", "korvane_generative"]
    assert error["result"]["isError"]
    assert "Unsupported provider 'watsonx'" in error["result"]["content"][0]["text"]
    assert done.stderr == ""


def test_generation_keeps_standard_output_for_the_protocol(monkeypatch, tmp_path):
    fake = serve(monkeypatch)
    try:
        fake.reply(answer(FIXED_MODEL, PAIR_DATA))
        model_file, data_file = str(tmp_path / "m.mod"), str(tmp_path / "m.dat")
        done = run_server([tool_call("generate_tool", prompt="p", model_file=model_file, data_file=data_file)])
    finally:
        fake.stop()
    [reply] = responses(done)
    assert not reply["result"]["isError"]
    assert json.loads(reply["result"]["content"][0]["text"])["success"] is True
    assert open(model_file).read() == FIXED_MODEL + "\n"


def test_without_the_sdk_one_line_says_what_to_install():
    done = run_server([], with_sdk=False)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == ("korvane.velmoraserve needs the MCP Python SDK 1.x (No module named 'mcp'); install it "
                           'with: pip install "mcp>=1.10,<2"\n')


def test_the_launcher_runs_the_servers_instance(monkeypatch):
    from korvane import velmoraserve
    from velmora_server import server

    runs = []
    monkeypatch.setattr(server.mcp, "run", lambda: runs.append("stdio"))
    velmoraserve.main()
    assert runs == ["stdio"]


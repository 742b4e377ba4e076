"""The insight workflow end to end, as a client runs it through the server: a fake LLM writes a
broken model and then its repair, the pair is solved by korvane.solve with HiGHS, and the LLM explains the
solution; also with failing solve and explain steps."""
import json
import os
import tempfile

import pytest
from fake_llm import BROKEN_MODEL, FIXED_MODEL, OPTIMUM, PAIR_DATA, answer, serve
from velmora_server import call_for_json, call_tool, server

EXPLANATION = "Summary: Make 4 units of x and 3 of y for a profit of 18.\n\nAll 7 hours are used."


@pytest.fixture
def llm(monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    fake = serve(monkeypatch)
    yield fake
    fake.stop()


def insight(**arguments):
    return call_for_json("insight_tool", **arguments)


@pytest.mark.parametrize("provider, model", [(None, "gpt-5"), ("gemini", "gemini-2.5-flash"), ("Ollama", "llama3.1")])
def test_generate_repair_solve_and_explain(llm, provider, model):
    llm.reply(answer(BROKEN_MODEL, PAIR_DATA), answer(FIXED_MODEL, PAIR_DATA), EXPLANATION)
    out = insight(prompt="Two products share 7 labour hours; x sells for 3, y for 2, at most 4 x.", provider=provider,
                  iterations=3)
    stats, results, feedback = out["stats"], out["results"], out["feedback"]
    assert stats["success"] and stats["iterations"] == 2 and stats["model"] == model
    assert [e["lineno"] for e in stats["errors"]] == [8]
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(OPTIMUM)
    assert results["solution"] == pytest.approx({"x": 4.0, "y": 3.0})
    assert open(out["model_path"]).read() == FIXED_MODEL + "\n"
    assert os.path.dirname(out["model_path"]) == os.path.dirname(out["data_path"])
    assert feedback["summary"] == "Make 4 units of x and 3 of y for a profit of 18."
    assert out["markdown"].split("\n")[8:] == EXPLANATION.split("\n") + [""]
    explain = llm.chats[2].messages[1]["content"]
    assert explain.startswith("Translate the following optimization solution into clear, non-technical language")
    assert json.dumps(results, indent=2, sort_keys=True, default=str) in explain
    assert "korvane compiler check: the model and data compile." in explain


def test_a_model_that_never_compiles_gives_a_solve_error_payload(llm):
    llm.reply(answer(BROKEN_MODEL, PAIR_DATA), "The model could not be built: the labour constraint is invalid.")
    out = insight(prompt="p", iterations=1)
    assert not out["stats"]["success"]
    assert list(out["results"]) == ["error"]
    assert out["results"]["error"].startswith("Error solving generated model: Semantic Error (Line 8): Syntax error "
                                              "at or near token '='")
    explain = llm.chats[1].messages[1]["content"]
    assert '"error": "Error solving generated model: Semantic Error (Line 8)' in explain
    assert "rejected (model)" in explain
    assert out["markdown"].split("\n")[8] == "The model could not be built: the labour constraint is invalid."


def test_a_model_that_was_never_written_gives_a_solve_error_payload(llm):
    llm.reply("I cannot help.", "Nothing to explain.")
    with pytest.raises(FileNotFoundError):
        server.ask_tool("p", "missing.mod", "missing.dat")
    out = insight(prompt="p", iterations=1)
    assert out["results"]["error"].startswith("Error solving generated model: [Errno 2] No such file or directory")
    assert out["feedback"]["error"].startswith("Error generating feedback: [Errno 2] No such file or directory")


def test_an_llm_failure_while_explaining_gives_a_feedback_error_payload(llm):
    llm.reply(answer(FIXED_MODEL, PAIR_DATA))
    llm.fail(500, {"error": {"message": "The server had an error while processing your request."}})
    out = insight(prompt="p")
    assert out["results"]["status"] == "OPTIMAL"
    assert out["feedback"] == {"error": f"Error generating feedback: openai request POST {llm.url}/v1/chat/completions "
                                        "failed with HTTP 500: The server had an error while processing your request."}
    assert out["markdown"].split("\n")[8:10] == ["{", '  "error": "Error generating feedback: openai request POST '
                                                       f'{llm.url}/v1/chat/completions failed with HTTP 500: The server '
                                                       'had an error while processing your request."']


def test_an_llm_failure_while_generating_fails_the_call(llm):
    from mcp.server.fastmcp.exceptions import ToolError

    llm.fail(401, {"error": {"message": "Incorrect API key provided"}})
    with pytest.raises(ToolError, match="^Error executing tool insight_tool: openai request POST .* failed with HTTP "
                                        "401: Incorrect API key provided$"):
        insight(prompt="p")


def test_generate_and_ask_tools_end_to_end(llm, tmp_path):
    model_file, data_file = str(tmp_path / "plan.mod"), str(tmp_path / "plan.dat")
    llm.reply(answer(BROKEN_MODEL, PAIR_DATA), answer(FIXED_MODEL, PAIR_DATA), "Summary: fine.\nIt is a small LP.")
    stats = call_for_json("generate_tool", prompt="p", model_file=model_file, data_file=data_file, provider="google")
    assert stats["success"] and stats["provider"] == "google"
    _, structured = call_tool("ask_tool", prompt="Is it right?", model_file=model_file, data_file=data_file,
                              provider="gemini")
    feedback = structured["result"]
    assert feedback["summary"] == "fine." and feedback["check"]["stage"] == "ok"


def test_a_subscript_outside_its_set_gives_a_solve_error_payload(llm):
    # Once a crash of the whole server: the missing position became a huge unsigned column index.
    model = "{string} P = {\"a\", \"b\"};\ndvar float+ x[P];\nminimize sum(p in P) x[p];\nsubject to {\n  x[\"zz\"] >= 1;\n}"
    llm.reply(answer(model, ""), answer(model, ""), "The model names a product it does not declare.")
    out = insight(prompt="p", iterations=1)
    assert out["results"]["error"].startswith("Error solving generated model: Semantic Error (Line 5): Index out of "
                                              "range: variable 'x' has no element ['zz']")

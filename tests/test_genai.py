"""korvane.genai against a fake LLM server: the provider clients and model lists, the answer
checker, the generate-and-repair loop, the seven generation methods and the feedback request."""
import random
import re

import pytest
from fake_llm import BROKEN_MODEL, FIXED_MODEL, PAIR_DATA, answer, serve

import korvane
from korvane.genai import LLMError, LLMProvider, generative_feedback, generative_solve
from korvane.genai import list_gemini_models, list_ollama_models, list_openai_models
from korvane.genai._strategy_base import make_client, provider_of
from korvane.genai.checking import AnswerFormatError, extract_pair, fenced_blocks

BROKEN = answer(BROKEN_MODEL, PAIR_DATA, before="First try.")
FIXED = answer(FIXED_MODEL, PAIR_DATA, before="Fixed.")
EQUALITY_HINT = "Hint: write '==' for an equality; '=' only gives values in declarations."


@pytest.fixture
def llm(monkeypatch):
    fake = serve(monkeypatch)
    yield fake
    fake.stop()


@pytest.fixture
def files(tmp_path):
    return str(tmp_path / "gen.mod"), str(tmp_path / "gen.dat")


def user_text(request):
    return "\n".join(m["content"] for m in request.messages if m["role"] == "user")


# ---- providers, clients and model lists ----

def test_package_root_exports_the_generative_functions():
    assert korvane.generative_solve is generative_solve and korvane.generative_feedback is generative_feedback


@pytest.mark.parametrize("name, provider", [("openai", LLMProvider.OPENAI), (" Gemini", LLMProvider.GOOGLE),
                                            ("GOOGLE", LLMProvider.GOOGLE), ("ollama", LLMProvider.OLLAMA),
                                            (LLMProvider.OLLAMA, LLMProvider.OLLAMA)])
def test_providers(name, provider):
    assert provider_of(name) is provider
    assert [p.value for p in LLMProvider] == ["openai", "google", "ollama"]


def test_unknown_provider():
    with pytest.raises(ValueError, match=r"^Unsupported provider 'bard'. Expected one of: gemini, google, ollama, openai.$"):
        provider_of("Bard")


@pytest.mark.parametrize("list_models, prefix, expected", [
    (list_openai_models, None, ["gpt-4o", "gpt-5", "gpt-5-mini", "o3-mini"]),
    (list_openai_models, "gpt-5", ["gpt-5", "gpt-5-mini"]),
    (list_gemini_models, None, ["gemini-1.5-pro", "gemini-2.5-flash", "gemini-2.5-pro"]),
    (list_gemini_models, "gemini-2.5", ["gemini-2.5-flash", "gemini-2.5-pro"]),
    (list_ollama_models, "llama", ["llama3.1:8b", "llama3.2:3b"]),
    (list_ollama_models, "mistral", []),
])
def test_model_lists(llm, list_models, prefix, expected):
    assert list_models(prefix=prefix) == expected
    assert all("test-key" not in r.path for r in llm.requests)


def test_keys_travel_in_headers(llm):
    list_openai_models()
    list_gemini_models()
    assert llm.requests[0].headers["authorization"] == "Bearer test-key"
    assert [r.path for r in llm.requests[1:]] == ["/v1beta/models?pageSize=1000",
                                                  "/v1beta/models?pageSize=1000&pageToken=page2"]
    assert all(r.headers["x-goog-api-key"] == "test-key" for r in llm.requests[1:])


@pytest.mark.parametrize("variable, call", [("OPENAI_API_KEY", list_openai_models), ("GEMINI_API_KEY", list_gemini_models)])
def test_missing_key(llm, monkeypatch, variable, call):
    monkeypatch.delenv(variable)
    provider = "openai" if variable.startswith("OPENAI") else "google"
    with pytest.raises(LLMError) as info:
        call()
    assert str(info.value) == f"{variable} is not set: export your {provider} API key to use the {provider} provider"
    assert llm.requests == []


def test_refused_key_reports_the_providers_message(llm, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "wrong")
    with pytest.raises(LLMError) as info:
        list_openai_models()
    assert str(info.value) == (f"openai request GET {llm.url}/v1/models failed with HTTP 401: "
                               "Incorrect API key provided")


def test_unreachable_server(monkeypatch):
    monkeypatch.setenv("OLLAMA_HOST", "http://127.0.0.1:9")
    with pytest.raises(LLMError, match=r"^cannot reach ollama at http://127.0.0.1:9/api/tags: "):
        list_ollama_models()


@pytest.mark.parametrize("host, base_url", [(None, "http://localhost:11434"), ("127.0.0.1:8080", "http://127.0.0.1:8080"),
                                            ("https://gpu.example:443/", "https://gpu.example:443")])
def test_ollama_address(monkeypatch, host, base_url):
    if host is None:
        monkeypatch.delenv("OLLAMA_HOST", raising=False)
    else:
        monkeypatch.setenv("OLLAMA_HOST", host)
    assert make_client("ollama").base_url == base_url


@pytest.mark.parametrize("provider, path, model", [
    ("openai", "/v1/chat/completions", "gpt-5"),
    ("gemini", "/v1beta/models/gemini-2.5-flash:generateContent", "gemini-2.5-flash"),
    ("ollama", "/api/chat", "llama3.1"),
])
def test_chat_requests(llm, provider, path, model):
    llm.reply("hello")
    client = make_client(provider)
    messages = [{"role": "system", "content": "be brief"}, {"role": "user", "content": "hi"},
                {"role": "assistant", "content": "yes?"}, {"role": "user", "content": "again"}]
    assert client.complete(messages) == "hello"
    request = llm.chats[0]
    assert request.path == path and request.messages == messages and client.model == model
    assert client.calls == 1 and client.seconds > 0
    if provider == "gemini":
        assert request.body["systemInstruction"] == {"parts": [{"text": "be brief"}]}
        assert [c["role"] for c in request.body["contents"]] == ["user", "model", "user"]
    else:
        assert request.body["model"] == model
    if provider == "ollama":
        assert request.body["stream"] is False


def test_server_errors_become_llm_errors(llm):
    llm.fail(500, {"error": {"message": "overloaded"}})
    with pytest.raises(LLMError, match="failed with HTTP 500: overloaded$"):
        make_client("openai").complete([{"role": "user", "content": "x"}])


# ---- reading answers ----

@pytest.mark.parametrize("text, expected", [
    ("```mod\nm\n```\n```dat\nd\n```", ("m\n", "d\n")),
    ("Reasoning.\n```opl\nm1\n```\n```data\n\n```\nbetter:\n```model\nm2\n```\n```dat\nd2\n```", ("m2\n", "d2\n")),
    ("```\nm\n```\ntext\n```\nd\n```", ("m\n", "d\n")),
    ("```mod\nm\n```\n```dat\n```", ("m\n", "")),
])
def test_extract_pair(text, expected):
    assert extract_pair(text) == expected


@pytest.mark.parametrize("text, message", [
    ("no code at all", "the answer has no ```mod and ```dat block"),
    ("```mod\nm\n```", "the answer has no ```dat block"),
    ("```python\nx = 1\n```\n```dat\nd\n```", "the answer has no ```mod block"),
])
def test_answers_without_a_pair(text, message):
    with pytest.raises(AnswerFormatError) as info:
        extract_pair(text)
    assert str(info.value) == message


# What the blocks of an answer are, as a regular expression states it; it backtracks (quadratic
# time on an answer full of unclosed fences), so it serves only as the oracle of the scanner.
FENCED_BLOCK = re.compile(r"^```[ \t]*([\w.+-]*)[^\n]*\n(.*?)^```[ \t]*$", re.DOTALL | re.MULTILINE)
LINES = ["```", "```", "```mod", "``` dat x", "```\t ", "````", "```\r", " ```", "```é+1", "mod", "é", "", "x ```"]


def test_block_scanner_agrees_with_the_regular_expression():
    rng = random.Random(17)
    for _ in range(20000):
        text = "\n".join(rng.choice(LINES) for _ in range(rng.randrange(0, 12))) + rng.choice(["", "\n"])
        assert fenced_blocks(text) == FENCED_BLOCK.findall(text), text


def test_long_answers():
    unclosed = "```mod notes\n" * 80_000  # about 1 MB of fences that never close
    with pytest.raises(AnswerFormatError, match="^the answer has no ```mod and ```dat block$"):
        extract_pair(unclosed)
    padded = "x" * 900_000 + "\n```mod\nm\n```\n```dat\nd\n```"
    assert extract_pair(padded) == ("m\n", "d\n")
    with pytest.raises(AnswerFormatError, match="^the answer holds 2,000,001 characters; answers are limited to "
                                                "2,000,000: give just the two code blocks$"):
        extract_pair("x" * 2_000_001)


# ---- the generate-and-repair loop ----

def test_first_answer_accepted(llm, files):
    llm.reply(FIXED)
    stats = generative_solve("Plan production.", *files)
    assert open(files[0]).read() == FIXED_MODEL + "\n" and open(files[1]).read() == PAIR_DATA + "\n"
    timings = stats.pop("timings")
    assert stats == {"success": True, "iterations": 1, "max_iterations": 5, "method": "korvane_generative",
                     "provider": "openai", "model": "gpt-5", "model_file": files[0], "data_file": files[1],
                     "written": True, "errors": [], "llm_calls": 1}
    assert set(timings) == {"total_seconds", "llm_seconds", "check_seconds"}
    assert timings["total_seconds"] >= timings["llm_seconds"] > 0
    assert "Plan production." in user_text(llm.chats[0])


def test_errors_are_fed_back_until_the_model_compiles(llm, files):
    llm.reply(BROKEN, FIXED)
    stats = generative_solve("Plan production.", *files, iterations=3, model_name="gpt-4o", llm_provider="openai")
    assert stats["success"] and stats["iterations"] == 2 and stats["model"] == "gpt-4o"
    [error] = stats["errors"]
    assert error["iteration"] == 1 and error["stage"] == "model" and error["lineno"] == 8
    assert error["message"].startswith("Semantic Error (Line 8): Syntax error at or near token '=' " + EQUALITY_HINT)
    assert error["message"].endswith("Line 8 reads: labour: x + y = hours;")
    repair = llm.chats[1].messages[-1]["content"]
    assert repair.startswith("The korvane compiler rejected the model file:\n" + error["message"])
    assert open(files[0]).read() == FIXED_MODEL + "\n"


def test_the_best_pair_is_written_when_none_compiles(llm, files):
    data_error = answer(FIXED_MODEL, "profit_x = 3;\nprofit_y = [;")
    llm.reply(BROKEN, data_error, "I cannot do this.")
    stats = generative_solve("p", *files, iterations=3)
    assert not stats["success"] and stats["iterations"] == 3 and stats["written"]
    assert [e["stage"] for e in stats["errors"]] == ["model", "data", "format"]
    assert stats["errors"][2]["message"] == "the answer has no ```mod and ```dat block"
    assert open(files[1]).read() == "profit_x = 3;\nprofit_y = [;\n"
    assert "Your previous answer could not be used" not in user_text(llm.chats[2])


def test_nothing_is_written_without_any_pair(llm, files):
    llm.reply("Sorry.", "Still no.")
    stats = generative_solve("p", *files, iterations=2, return_statistics=True)
    assert not stats["written"] and not stats["success"]
    assert "Your previous answer could not be used: the answer has no ```mod and ```dat block." in \
        llm.chats[1].messages[-1]["content"]
    with pytest.raises(FileNotFoundError):
        open(files[0])


def test_compile_errors_are_fed_back(llm, files):
    missing_data = answer(FIXED_MODEL, "profit_x = 3;\nhours = 7;")
    llm.reply(missing_data, FIXED)
    stats = generative_solve("p", *files, iterations=2)
    assert stats["success"] and stats["errors"][0]["stage"] == "compile"
    assert "profit_y" in stats["errors"][0]["message"]
    assert "rejected compiling the model with its data" in llm.chats[1].messages[-1]["content"]


def test_without_statistics(llm, files):
    llm.reply(FIXED)
    assert generative_solve("p", *files, return_statistics=False) is None
    assert open(files[0]).read().startswith("float profit_x")


@pytest.mark.parametrize("kwargs, message", [
    ({"iterations": 0}, "iterations must be a positive integer, got 0"),
    ({"iterations": True}, "iterations must be a positive integer, got True"),
    ({"method": "korvane_magic"}, "Unknown generation method 'korvane_magic'. Expected one of: korvane_standard, "
     "korvane_generative, korvane_chain_of_thought, korvane_tree_of_thoughts, korvane_obra, korvane_chain_of_experts, "
     "korvane_reflexion."),
    ({"llm_provider": "bard"}, "Unsupported provider 'bard'. Expected one of: gemini, google, ollama, openai."),
])
def test_invalid_requests(llm, files, kwargs, message):
    with pytest.raises(ValueError) as info:
        generative_solve("p", *files, **kwargs)
    assert str(info.value) == message and llm.requests == []


@pytest.mark.parametrize("provider, path, model", [("Gemini", "/v1beta/models/gemini-2.5-pro:generateContent", "gemini-2.5-pro"),
                                                   ("ollama", "/api/chat", "qwen2.5:7b")])
def test_other_providers(llm, files, provider, path, model):
    llm.reply(BROKEN, FIXED)
    stats = generative_solve("p", *files, llm_provider=provider, model_name=model)
    assert stats["success"] and stats["model"] == model and stats["provider"] == provider_of(provider).value
    assert [r.path for r in llm.chats] == [path, path]


def test_llm_failures_propagate(llm, files):
    llm.fail(503, {"error": "model is loading"})
    with pytest.raises(LLMError, match="HTTP 503: model is loading"):
        generative_solve("p", *files, llm_provider="ollama")


# ---- the generation methods ----

def roles(request):
    return [m["role"] for m in request.messages]


def test_quenta_opens_with_an_example_and_repairs_in_conversation(llm, files):
    llm.reply(BROKEN, FIXED)
    generative_solve("p", *files, method="korvane_generative")
    first, second = llm.chats
    assert roles(first) == ["system", "user", "assistant", "user"]
    assert "```mod\n{string} Items" in first.messages[2]["content"]
    assert second.messages[:4] == first.messages and second.messages[4]["content"] == BROKEN
    assert "Your previous model" not in second.messages[5]["content"]


def test_standard_asks_afresh_with_the_failed_pair(llm, files):
    llm.reply(BROKEN, FIXED)
    generative_solve("p", *files, method="korvane_standard")
    first, second = llm.chats
    assert roles(first) == roles(second) == ["system", "user"]
    assert "Your previous model:\n```mod\n" + BROKEN_MODEL in second.messages[1]["content"]
    assert "Semantic Error (Line 8)" in second.messages[1]["content"]


def test_chain_of_thought_reasons_first(llm, files):
    llm.reply(BROKEN, FIXED)
    generative_solve("p", *files, method="korvane_chain_of_thought")
    first, second = llm.chats
    assert "reason step by step under the heading 'Reasoning:'" in first.messages[1]["content"]
    assert second.messages[-1]["content"].endswith("Reason step by step about the cause of the error before the "
                                                   "corrected code.")


def test_tree_of_thoughts_lets_the_checker_choose(llm, files):
    llm.reply(BROKEN, "no code", FIXED)
    stats = generative_solve("p", *files, method="korvane_tree_of_thoughts")
    assert stats["success"] and stats["iterations"] == 1 and stats["llm_calls"] == 3
    approaches = [r.messages[1]["content"].split("Approach: ")[1] for r in llm.chats]
    assert len(set(approaches)) == 3


def test_tree_of_thoughts_asks_the_llm_to_judge_between_valid_candidates(llm, files):
    other = answer(FIXED_MODEL.replace("x_cap: x <= 4", "x_cap: x <= 5"), PAIR_DATA)
    llm.reply(FIXED, BROKEN, other, "Candidate 2 is best.")
    stats = generative_solve("p", *files, method="korvane_tree_of_thoughts")
    assert stats["llm_calls"] == 4 and "x <= 5" in open(files[0]).read()
    assert "Candidate 1:\n" + FIXED in llm.chats[3].messages[1]["content"]


def test_obra_analyses_once(llm, files):
    llm.reply("Objective: profit. Bounds: x, y >= 0. Relations: hours. Assumptions: none.", BROKEN, FIXED)
    stats = generative_solve("p", *files, method="korvane_obra")
    assert stats["success"] and stats["llm_calls"] == 3
    assert "under four headings" in llm.chats[0].messages[1]["content"]
    assert all("Analysis:\nObjective: profit." in r.messages[1]["content"] for r in llm.chats[1:])


def test_chain_of_experts_keeps_the_better_of_draft_and_review(llm, files):
    llm.reply("max 3x + 2y s.t. x + y <= 7, x <= 4", FIXED, BROKEN)
    stats = generative_solve("p", *files, method="korvane_chain_of_experts")
    assert stats["success"] and stats["llm_calls"] == 3
    analyst, programmer, reviewer = llm.chats
    assert analyst.messages[0]["content"].startswith("You are an operations research analyst.")
    assert "Formulation by the analyst:\nmax 3x" in programmer.messages[1]["content"]
    assert reviewer.messages[0]["content"].startswith("You review models") and FIXED in reviewer.messages[1]["content"]
    assert [e["stage"] for e in stats["errors"]] == ["model"]


def test_reflexion_carries_lessons(llm, files):
    llm.reply(BROKEN, "Constraints compare with ==,\n <= or >=; '=' is not allowed.", FIXED)
    stats = generative_solve("p", *files, method="korvane_reflexion")
    assert stats["success"] and stats["llm_calls"] == 3
    assert "Reflect on this failure." in llm.chats[1].messages[1]["content"]
    assert ("Lessons from earlier attempts:\n- Constraints compare with ==, <= or >=; '=' is not allowed."
            in llm.chats[2].messages[1]["content"])


def test_every_listed_method_exists(llm, files):
    from velmora_server import server

    for _, method in server.METHODS:
        llm.reply(FIXED, FIXED, FIXED, "1")
        assert generative_solve("p", *files, method=method)["success"], method


# ---- feedback ----

def write_pair(files, model, data):
    for path, text in zip(files, (model, data)):
        with open(path, "w") as f:
            f.write(text)


def test_feedback_on_a_pair_that_compiles(llm, files):
    write_pair(files, FIXED_MODEL, PAIR_DATA)
    llm.reply("Summary: The plan makes 4 of x and 3 of y.\n\nDetails follow.")
    result = generative_feedback("Explain the plan.", *files)
    assert result == {"feedback": "Summary: The plan makes 4 of x and 3 of y.\n\nDetails follow.",
                      "summary": "The plan makes 4 of x and 3 of y.", "provider": "openai", "model": "gpt-5",
                      "check": {"stage": "ok", "message": None}}
    request = llm.chats[0].messages
    assert request[0]["content"].startswith("You are an expert in mathematical optimisation reviewing")
    assert request[1]["content"].startswith("Explain the plan.\n\nModel (.mod):\n```mod\n" + FIXED_MODEL + "\n```")
    assert request[1]["content"].endswith("korvane compiler check: the model and data compile.")


def test_feedback_on_a_broken_pair_carries_the_error(llm, files):
    write_pair(files, BROKEN_MODEL, PAIR_DATA)
    llm.reply("\n**Summary**: the labour constraint uses '='.\nUse <=.")
    result = generative_feedback("What is wrong?", *files, model_name="llama3.1:8b", llm_provider="ollama")
    assert result["summary"] == "the labour constraint uses '='." and result["check"]["stage"] == "model"
    assert (result["provider"], result["model"]) == ("ollama", "llama3.1:8b")
    assert "korvane compiler check: rejected (model): Semantic Error (Line 8)" in llm.chats[0].messages[1]["content"]


def test_feedback_summary_falls_back_to_the_first_line(llm, files):
    write_pair(files, FIXED_MODEL, PAIR_DATA)
    llm.reply("\n\nLooks right.\nMore.")
    assert generative_feedback("ok?", *files, llm_provider="gemini")["summary"] == "Looks right."


def test_feedback_needs_both_files(llm, files):
    with pytest.raises(FileNotFoundError):
        generative_feedback("ok?", *files)
    assert llm.requests == []

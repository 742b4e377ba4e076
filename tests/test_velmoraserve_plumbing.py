"""The tool server's plumbing: module globals, name normalisation, LLM keyword arguments, worker
threads, the choice of generation backend, feedback and the provider and model lists."""
import asyncio
import concurrent.futures
import enum
import inspect
import sys
import threading
import types
import typing

import pytest
from velmora_server import server

import korvane
from korvane.genai import _strategy_base, progress

GRAPHCHAIN = "korvane.genai.korvane_generative_graphchain"
BAD_PROVIDER = "Unsupported provider '{}'. Expected one of: gemini, google, ollama, openai."


class Recorder:
    """A stand-in backend: records each call, the thread it ran on, and returns `result`."""

    def __init__(self, result=None, error=None):
        self.calls, self.threads, self.result, self.error = [], [], result, error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.threads.append(threading.current_thread())
        if self.error is not None:
            raise self.error
        return self.result


# ---- module globals ----

def test_imports_constants_and_functions_are_bound_in_order():
    import datetime
    import functools
    import json
    import pathlib
    import tempfile

    import mcp.server.fastmcp

    names = [n for n in vars(server) if not n.startswith("__")]
    imports = ["asyncio", "concurrent", "json", "tempfile", "datetime", "partial", "Path", "Any", "Callable",
               "Coroutine", "Optional", "TypeVar", "Union", "FastMCP", "Context", "generative_feedback",
               "generative_solve", "solve", "LLMProvider", "list_gemini_models", "list_ollama_models",
               "list_openai_models"]
    constants = ["DEFAULT_SOLVER", "DEFAULT_PROVIDER", "DEFAULT_MODEL", "METHODS", "mcp", "T"]
    functions = ["_normalize_solver", "_solve_backend", "_normalize_provider", "_build_llm_kwargs", "_run_in_thread",
                 "_run_coro_in_thread", "_try_import_graphchain", "_generate_with_best_available_backend",
                 "_ask_for_feedback", "list_providers", "list_models"]
    tools = ["list_providers_tool", "list_models_tool", "list_methods_tool", "generate_tool", "ask_tool", "insight_tool"]
    assert names == imports + constants + functions + tools
    assert (server.asyncio, server.concurrent, server.json, server.tempfile) == (asyncio, concurrent, json, tempfile)
    assert server.concurrent.futures is concurrent.futures
    assert (server.datetime, server.partial, server.Path) == (datetime.datetime, functools.partial, pathlib.Path)
    assert server.Optional is typing.Optional and server.Coroutine is typing.Coroutine and server.Union is typing.Union
    assert server.FastMCP is mcp.server.fastmcp.FastMCP and server.Context is mcp.server.fastmcp.Context
    assert server.generative_solve is korvane.generative_solve
    assert server.generative_feedback is korvane.generative_feedback
    assert server.LLMProvider is _strategy_base.LLMProvider
    assert server.list_ollama_models is _strategy_base.list_ollama_models


def test_constants():
    assert (server.DEFAULT_SOLVER, server.DEFAULT_PROVIDER, server.DEFAULT_MODEL) == ("highs", "openai", "gpt-5")
    assert isinstance(server.mcp, server.FastMCP) and server.mcp.name == "Velmora MCP"
    assert isinstance(server.T, typing.TypeVar) and server.T.__name__ == "T"


@pytest.mark.parametrize("name, signature, doc", [
    ("_normalize_solver", "(solver: Optional[str]) -> str", "Normalize solver names for compiler/backend compatibility."),
    ("_solve_backend", "(solver: Optional[str]) -> str", "Normalize solver names for solve() backend selection."),
    ("_normalize_provider", "(provider: Optional[str]) -> str", "Normalize supported LLM provider names."),
    ("_build_llm_kwargs", "(llm_model: Optional[str] = None, provider: Optional[str] = None) -> dict[str, str]", None),
    ("_run_in_thread", "(func: Callable[..., ~T], *args, **kwargs) -> ~T",
     "Run a synchronous callable in a dedicated worker thread."),
    ("_run_coro_in_thread", "(coro_factory: Callable[[], Coroutine[Any, Any, ~T]]) -> ~T",
     "Run an async coroutine safely from a sync context in a worker thread."),
    ("_try_import_graphchain", "()", "Try to import async GraphChain generation implementation."),
    ("_generate_with_best_available_backend", "(prompt: str, model_file: str, data_file: str, *, iterations: int = 5, "
     "llm_model: Optional[str] = None, provider: Optional[str] = None) -> dict",
     "Use async GraphChain if available, otherwise fall back to sync generation."),
    ("_ask_for_feedback", "(prompt: str, model_file: str, data_file: str, llm_model: Optional[str] = None, "
     "provider: Optional[str] = None) -> dict | str", "Get feedback on an existing model/data pair."),
    ("list_providers", "() -> list", "List supported LLM providers."),
    ("list_models", "(provider: str = 'openai', prefix: Optional[str] = None) -> list",
     "List available models for a given provider."),
])
def test_published_signatures_and_docstrings(name, signature, doc):
    fn = getattr(server, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc and fn.__name__ == name


# ---- names ----

@pytest.mark.parametrize("solver, normalized, backend", [
    (None, "scipy", "scipy"), ("", "scipy", "scipy"), ("  HiGHS ", "scipy", "scipy"), ("SciPy", "scipy", "scipy"),
    ("Gurobi", "gurobi", "gurobi"), (" GUROBI\t", "gurobi", "gurobi"), (" CPLEX ", "cplex", "scipy"),
])
def test_solver_names(solver, normalized, backend):
    assert server._normalize_solver(solver) == normalized
    assert server._solve_backend(solver) == backend


def test_solve_backend_normalizes_through_the_module_function(monkeypatch):
    monkeypatch.setattr(server, "_normalize_solver", lambda solver: "gurobi")
    assert server._solve_backend("highs") == "gurobi"


@pytest.mark.parametrize("provider, expected", [
    (None, "openai"), ("", "openai"), (" GeMiNi ", "google"), ("Google", "google"), ("OLLAMA", "ollama"),
    ("openai", "openai"), (_strategy_base.LLMProvider.GOOGLE, "google"),
])
def test_provider_names(provider, expected):
    assert server._normalize_provider(provider) == expected


@pytest.mark.parametrize("provider", ["Anthropic", " mistral ", "gpt"])
def test_unsupported_provider(provider):
    with pytest.raises(ValueError) as info:
        server._normalize_provider(provider)
    assert str(info.value) == BAD_PROVIDER.format(provider.strip().lower())


def test_missing_provider_means_the_current_default(monkeypatch):
    monkeypatch.setattr(server, "DEFAULT_PROVIDER", " Ollama")
    assert server._normalize_provider(None) == "ollama"


@pytest.mark.parametrize("kwargs, expected", [
    ({}, {}),
    ({"llm_model": "", "provider": "GEMINI"}, {"llm_provider": "google"}),
    ({"llm_model": "gpt-4o"}, {"model_name": "gpt-4o"}),
    ({"llm_model": "llama3.1", "provider": "ollama"}, {"model_name": "llama3.1", "llm_provider": "ollama"}),
    ({"llm_model": None, "provider": ""}, {}),
])
def test_llm_kwargs(kwargs, expected):
    assert server._build_llm_kwargs(**kwargs) == expected


def test_llm_kwargs_refuse_an_unsupported_provider():
    with pytest.raises(ValueError, match="^Unsupported provider 'bard'"):
        server._build_llm_kwargs("m", "bard")


# ---- worker threads ----

class RecordingExecutor(concurrent.futures.ThreadPoolExecutor):
    made = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.init_kwargs, self.exit_args = kwargs, None
        RecordingExecutor.made.append(self)

    def __exit__(self, *exc_info):
        self.exit_args = exc_info
        return super().__exit__(*exc_info)


@pytest.fixture
def executors(monkeypatch):
    RecordingExecutor.made = []
    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", RecordingExecutor)
    return RecordingExecutor.made


def test_run_in_thread_uses_a_fresh_one_thread_pool_per_call(executors):
    backend = Recorder(result="done")
    assert server._run_in_thread(backend, 1, "two", key=3) == "done"
    assert server._run_in_thread(backend) == "done"
    assert backend.calls == [((1, "two"), {"key": 3}), ((), {})]
    assert [e.init_kwargs for e in executors] == [{"max_workers": 1}, {"max_workers": 1}]
    assert all(e.exit_args == (None, None, None) and e._shutdown for e in executors)
    worker = backend.threads[0]
    assert worker is not threading.current_thread() and not worker.is_alive()
    assert backend.threads[0].name != backend.threads[1].name


def test_run_in_thread_runs_in_a_copy_of_the_callers_context():
    # A tool call's progress listener lives in its context: the backends' worker threads must see it.
    heard = []
    with progress.listening(heard.append):
        server._run_in_thread(progress.report, "round 1")
        server._run_in_thread(lambda: progress.report("round 2"))
    server._run_in_thread(progress.report, "nobody listens")
    assert heard == ["round 1", "round 2"]


def test_run_in_thread_reraises_the_callables_exception(executors):
    error = LookupError("no such model")
    with pytest.raises(LookupError) as info:
        server._run_in_thread(Recorder(error=error))
    assert info.value is error
    assert executors[0].exit_args[0] is LookupError and executors[0].exit_args[1] is error


def test_a_pool_that_swallows_the_exception_gives_none(monkeypatch):
    class Swallowing(concurrent.futures.ThreadPoolExecutor):
        def __exit__(self, *exc_info):
            super().__exit__(*exc_info)
            return True

    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", Swallowing)
    assert server._run_in_thread(Recorder(error=ValueError("x"))) is None


def test_run_in_thread_binds_like_python():
    with pytest.raises(TypeError, match=r"^_run_in_thread\(\) got multiple values for argument 'func'$"):
        server._run_in_thread(print, func=print)
    with pytest.raises(TypeError, match=r"^_run_in_thread\(\) missing 1 required positional argument: 'func'$"):
        server._run_in_thread()


def test_run_coro_in_thread_runs_a_fresh_loop_in_the_worker():
    seen = {}

    async def work():
        seen["thread"] = threading.current_thread()
        seen["loop"] = asyncio.get_running_loop()
        return {"answer": 42}

    def factory():
        seen["factory_thread"] = threading.current_thread()
        return work()

    async def from_inside_a_running_loop():
        return server._run_coro_in_thread(factory), asyncio.get_running_loop()

    result, outer_loop = asyncio.run(from_inside_a_running_loop())
    assert result == {"answer": 42}
    assert seen["factory_thread"] is seen["thread"] is not threading.current_thread()
    assert seen["loop"] is not outer_loop and seen["loop"].is_closed()


def test_run_coro_in_thread_goes_through_run_in_thread(monkeypatch):
    runners = []

    def recording_run_in_thread(func, *args, **kwargs):
        runners.append(func)
        return func(*args, **kwargs)

    async def work():
        raise KeyError("inside")

    monkeypatch.setattr(server, "_run_in_thread", recording_run_in_thread)
    with pytest.raises(KeyError, match="inside"):
        server._run_coro_in_thread(work)
    assert runners[0].__qualname__ == "_run_coro_in_thread.<locals>._runner"
    assert str(inspect.signature(runners[0])) == "()"


# ---- generation backends ----

@pytest.fixture
def graphchain(monkeypatch):
    """Installs an asynchronous backend module; returns the calls it receives."""
    calls = []

    async def generative_solve_async(*args, **kwargs):
        calls.append((args, kwargs, threading.current_thread(), asyncio.get_running_loop()))
        return {"backend": "async"}

    module = types.ModuleType(GRAPHCHAIN)
    module.generative_solve_async = generative_solve_async
    monkeypatch.setitem(sys.modules, GRAPHCHAIN, module)
    return calls


def test_graphchain_is_optional():
    assert server._try_import_graphchain() is None


def test_graphchain_import_failures_are_swallowed(monkeypatch):
    monkeypatch.setitem(sys.modules, GRAPHCHAIN, types.ModuleType(GRAPHCHAIN))
    assert server._try_import_graphchain() is None
    monkeypatch.setitem(sys.modules, GRAPHCHAIN, None)
    assert server._try_import_graphchain() is None


def test_graphchain_found(graphchain):
    assert server._try_import_graphchain() is sys.modules[GRAPHCHAIN].generative_solve_async


@pytest.mark.parametrize("llm, expected", [
    ({}, {}),
    ({"llm_model": "gpt-4o", "provider": "Gemini"}, {"model_name": "gpt-4o", "llm_provider": "google"}),
    ({"provider": "ollama"}, {"llm_provider": "ollama"}),
])
def test_sync_generation_passes_only_the_llm_keys_given(monkeypatch, llm, expected):
    backend = Recorder(result={"success": True})
    monkeypatch.setattr(server, "generative_solve", backend)
    result = server._generate_with_best_available_backend("p", "m.mod", "d.dat", iterations=3, **llm)
    assert result == {"success": True}
    assert backend.calls == [(("p", "m.mod", "d.dat"), {"iterations": 3, "return_statistics": True, **expected})]
    assert backend.threads[0] is not threading.current_thread()


@pytest.mark.parametrize("llm, model_name, llm_provider", [
    ({}, "gpt-5", "openai"),
    ({"llm_model": "gemini-2.5-pro", "provider": "GEMINI"}, "gemini-2.5-pro", "google"),
    ({"provider": "ollama"}, "gpt-5", "ollama"),
])
def test_async_generation_always_names_model_and_provider(graphchain, llm, model_name, llm_provider):
    async def from_the_servers_loop():
        return server._generate_with_best_available_backend("p", "m.mod", "d.dat", **llm), asyncio.get_running_loop()

    result, server_loop = asyncio.run(from_the_servers_loop())
    assert result == {"backend": "async"}
    args, kwargs, thread, loop = graphchain[0]
    assert args == ("p", "m.mod", "d.dat")
    assert kwargs == {"model_name": model_name, "iterations": 5, "return_statistics": True, "llm_provider": llm_provider}
    assert thread is not threading.current_thread() and loop is not server_loop


def test_async_generation_reads_the_defaults_at_call_time(graphchain, monkeypatch):
    monkeypatch.setattr(server, "DEFAULT_MODEL", "o3-mini")
    server._generate_with_best_available_backend("p", "m", "d")
    assert graphchain[0][1]["model_name"] == "o3-mini"


@pytest.mark.parametrize("result, message", [
    (["not", "a", "dict"], "Expected dict, got list"),
    ("text", "Expected dict, got str"),
    ({"a": 1}.items(), "Expected dict, got dict_items"),
])
def test_generation_result_must_be_a_dict(monkeypatch, result, message):
    monkeypatch.setattr(server, "generative_solve", Recorder(result=result))
    with pytest.raises(TypeError) as info:
        server._generate_with_best_available_backend("p", "m", "d")
    assert str(info.value) == message


def test_generation_may_return_none(monkeypatch):
    monkeypatch.setattr(server, "generative_solve", Recorder(result=None))
    assert server._generate_with_best_available_backend("p", "m", "d") is None


@pytest.mark.parametrize("args, message", [
    ((1, "m", "d"), "Argument 'prompt' has incorrect type (expected str, got int)"),
    (("p", b"m", "d"), "Argument 'model_file' has incorrect type (expected str, got bytes)"),
    (("p", "m", ["d"]), "Argument 'data_file' has incorrect type (expected str, got list)"),
    (("p", "m", "d", 5), "_generate_with_best_available_backend() takes 3 positional arguments but 4 were given"),
])
def test_generation_arguments_are_checked(monkeypatch, args, message):
    backend = Recorder(result={})
    monkeypatch.setattr(server, "generative_solve", backend)
    with pytest.raises(TypeError) as info:
        server._generate_with_best_available_backend(*args)
    assert str(info.value) == message and backend.calls == []


def test_llm_keys_that_repeat_a_written_keyword_are_refused(monkeypatch):
    backend = Recorder(result={})
    monkeypatch.setattr(server, "generative_solve", backend)
    monkeypatch.setattr(server, "_build_llm_kwargs", lambda **kwargs: {"iterations": 9})
    with pytest.raises(TypeError, match=r"^_run_in_thread\(\) got multiple values for keyword argument 'iterations'$"):
        server._generate_with_best_available_backend("p", "m", "d")
    assert backend.calls == []


def test_generation_errors_propagate(monkeypatch):
    monkeypatch.setattr(server, "generative_solve", Recorder(error=ConnectionError("LLM unreachable")))
    with pytest.raises(ConnectionError, match="LLM unreachable"):
        server._generate_with_best_available_backend("p", "m", "d")


# ---- feedback ----

@pytest.mark.parametrize("result", ["plain critique", {"feedback": "f", "summary": "s"}])
def test_feedback_runs_in_a_worker_with_the_llm_keys(monkeypatch, result):
    backend = Recorder(result=result)
    monkeypatch.setattr(server, "generative_feedback", backend)
    assert server._ask_for_feedback("why?", "m.mod", "d.dat", "gemini-2.5-pro", " Gemini") == result
    assert backend.calls == [(("why?", "m.mod", "d.dat"), {"model_name": "gemini-2.5-pro", "llm_provider": "google"})]
    assert backend.threads[0] is not threading.current_thread()


def test_feedback_without_llm_keys(monkeypatch):
    backend = Recorder(result="ok")
    monkeypatch.setattr(server, "generative_feedback", backend)
    server._ask_for_feedback(prompt="why?", model_file="m", data_file="d")
    assert backend.calls == [(("why?", "m", "d"), {})]


# ---- providers and models ----

def test_list_providers():
    assert server.list_providers() == ["openai", "google", "ollama"]


class OtherProviders(enum.Enum):
    MISTRAL = "mistral"
    LOCAL = "local"


class BrokenEnumeration:
    def __iter__(self):
        raise RuntimeError("cannot enumerate")


@pytest.mark.parametrize("enumeration, expected", [
    (OtherProviders, ["mistral", "local"]),
    (42, ["openai", "google", "ollama"]),
    (BrokenEnumeration(), ["openai", "google", "ollama"]),
    ([object()], ["openai", "google", "ollama"]),
])
def test_list_providers_reads_the_enumeration_or_falls_back(monkeypatch, enumeration, expected):
    monkeypatch.setattr(server, "LLMProvider", enumeration)
    assert server.list_providers() == expected


@pytest.fixture
def listers(monkeypatch):
    calls = []

    def lister(provider):
        def list_models(**kwargs):
            calls.append((provider, kwargs))
            return [provider + "-model"]
        return list_models

    for name, provider in (("list_openai_models", "openai"), ("list_gemini_models", "google"),
                           ("list_ollama_models", "ollama")):
        monkeypatch.setattr(server, name, lister(provider))
    return calls


@pytest.mark.parametrize("provider, prefix, expected_call", [
    ("openai", None, ("openai", {})),
    (" GEMINI", "gemini-2", ("google", {"prefix": "gemini-2"})),
    ("google", "", ("google", {})),
    ("Ollama", "llama", ("ollama", {"prefix": "llama"})),
    (None, "gpt", ("openai", {"prefix": "gpt"})),
])
def test_list_models_dispatches_by_provider(listers, provider, prefix, expected_call):
    assert server.list_models(provider, prefix=prefix) == [expected_call[0] + "-model"]
    assert listers == [expected_call]


def test_list_models_defaults_to_the_default_provider(listers):
    server.list_models()
    assert listers == [("openai", {})]


def test_list_models_refuses_unknown_providers(listers):
    with pytest.raises(ValueError) as info:
        server.list_models("watsonx")
    assert str(info.value) == BAD_PROVIDER.format("watsonx") and listers == []


@pytest.mark.parametrize("result, error", [(("a", "b"), "Expected list, got tuple"), ({"a": 1}, "Expected list, got dict")])
def test_list_models_result_must_be_a_list(monkeypatch, result, error):
    monkeypatch.setattr(server, "list_openai_models", lambda **kwargs: result)
    with pytest.raises(TypeError) as info:
        server.list_models("openai")
    assert str(info.value) == error


def test_list_models_may_return_none(monkeypatch):
    monkeypatch.setattr(server, "list_ollama_models", lambda **kwargs: None)
    assert server.list_models("ollama") is None


def test_list_models_provider_must_be_a_string():
    with pytest.raises(TypeError, match=r"^Argument 'provider' has incorrect type \(expected str, got int\)$"):
        server.list_models(3)

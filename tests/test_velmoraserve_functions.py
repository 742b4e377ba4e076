"""The server's functions are C++, yet introspection must take them for Python functions: the MCP
SDK reads their names, docstrings and signatures, and calls them with every argument by keyword."""
import gc
import inspect
import typing

import pytest
from velmora_server import server

FUNCTIONS = ["_normalize_solver", "_solve_backend", "_normalize_provider", "_build_llm_kwargs", "_run_in_thread",
             "_run_coro_in_thread", "_try_import_graphchain", "_generate_with_best_available_backend",
             "_ask_for_feedback", "list_providers", "list_models", "list_providers_tool", "list_models_tool",
             "list_methods_tool", "generate_tool", "ask_tool", "insight_tool"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_attributes_of_a_function(name):
    fn = getattr(server, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "korvane._velmoraserve")
    assert inspect.getdoc(fn) == (inspect.cleandoc(fn.__doc__) if fn.__doc__ else None)
    assert inspect.isroutine(fn) and callable(fn) and not inspect.iscoroutinefunction(fn)
    assert repr(fn).startswith(f"<function {name} at 0x")
    signature = inspect.signature(fn)
    assert isinstance(signature, inspect.Signature)
    expected = {p.name: p.annotation for p in signature.parameters.values() if p.annotation is not p.empty}
    if signature.return_annotation is not signature.empty:
        expected["return"] = signature.return_annotation
    assert fn.__annotations__ == expected
    assert typing.get_type_hints(fn) == {k: (type(None) if v is None else v) for k, v in expected.items()}
    assert gc.is_tracked(fn)


def test_annotations_are_typing_objects():
    hints = server.insight_tool.__annotations__
    assert hints == {"prompt": str, "provider": typing.Optional[str], "llm_model": typing.Optional[str],
                     "iterations": int, "solver": str, "return": dict}
    assert server.ask_tool.__annotations__["return"] == (dict | str)
    assert server.list_methods_tool.__annotations__["return"] == list[tuple[str, str]]
    assert server._run_in_thread.__annotations__["func"] == typing.Callable[..., server.T]
    assert server._build_llm_kwargs.__annotations__["return"] == dict[str, str]


def test_defaults_are_the_constants_values_when_the_module_was_made(monkeypatch):
    monkeypatch.setattr(server, "DEFAULT_PROVIDER", "ollama")
    monkeypatch.setattr(server, "DEFAULT_SOLVER", "gurobi")
    assert inspect.signature(server.list_models_tool).parameters["provider"].default == "openai"
    assert inspect.signature(server.insight_tool).parameters["solver"].default == "highs"


def test_parameter_kinds():
    params = inspect.signature(server._generate_with_best_available_backend).parameters
    assert [p.kind for p in params.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3 + \
        [inspect.Parameter.KEYWORD_ONLY] * 3
    params = inspect.signature(server._run_in_thread).parameters
    assert [p.kind.name for p in params.values()] == ["POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "VAR_KEYWORD"]


def test_a_function_binds_as_a_method_when_stored_on_a_class():
    class Host:
        normalize = server._normalize_provider

    assert Host.normalize is server._normalize_provider
    with pytest.raises(AttributeError):
        Host().normalize()  # the instance is the provider argument, as with a Python function
    assert type(Host().normalize).__name__ == "method"


def test_functions_take_attributes_like_python_functions():
    fn = server.list_providers
    fn.marker = "x"
    try:
        assert fn.__dict__["marker"] == "x"
    finally:
        del fn.marker


def test_the_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(server.list_providers)()


@pytest.mark.parametrize("call, message", [
    (lambda: server.list_models("openai", None, 3), "list_models() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: server.list_models(model="x"), "list_models() got an unexpected keyword argument 'model'"),
    (lambda: server.list_models("openai", provider="google"), "list_models() got multiple values for argument 'provider'"),
    (lambda: server._normalize_solver(), "_normalize_solver() missing 1 required positional argument: 'solver'"),
    (lambda: server.ask_tool("p"), "ask_tool() missing 2 required positional arguments: 'model_file' and 'data_file'"),
    (lambda: server.list_providers_tool(1), "list_providers_tool() takes 0 positional arguments but 1 was given"),
    (lambda: server._generate_with_best_available_backend("p", "m", "d", 3),
     "_generate_with_best_available_backend() takes 3 positional arguments but 4 were given"),
])
def test_arguments_bind_with_pythons_rules(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_argument_by_keyword_as_the_sdk_calls(monkeypatch):
    seen = []
    monkeypatch.setattr(server, "_ask_for_feedback", lambda *args, **kwargs: seen.append((args, kwargs)) or "ok")
    kwargs = {"prompt": "p", "model_file": "m.mod", "data_file": "d.dat", "llm_model": None, "provider": None}
    assert server.ask_tool(**dict(reversed(kwargs.items()))) == "ok"
    assert seen == [(("p", "m.mod", "d.dat"), {"llm_model": None, "provider": None})]


@pytest.mark.parametrize("value", [None, "text", type("Text", (str,), {})("sub")])
def test_str_parameters_take_strings_and_none(monkeypatch, value):
    monkeypatch.setattr(server, "_ask_for_feedback", lambda *args, **kwargs: args)
    assert server.ask_tool(value, "m.mod", "d.dat")[0] == value

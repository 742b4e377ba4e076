"""The SciPy target's front: the generator base of korvane.lpwrightcore and the mode factory of
korvane.lpwright."""
import logging

import pytest

from korvane import lpwright, lpwrightcore, lpwrightsparse
from korvane.faultlore import SemanticError
from korvane.lpwright import SciPyCodeGenerator
from korvane.lpwrightcore import SciPyCodeGeneratorBase
from korvane.lpwrightsparse import SciPyCSCCodeGenerator

AST = {"declarations": [{"type": "dvar", "name": "x", "var_type": "float+"}],
       "objective": {"type": "minimize", "expression": {"type": "name", "value": "x"}},
       "constraints": []}

INITIAL_STATE = [
    ("scipy_code_lines", []), ("indent_level", 0), ("var_names", []), ("var_indices", {}), ("bounds", []),
    ("c", []), ("A_eq", []), ("b_eq", []), ("A_ub", []), ("b_ub", []), ("results_varname", "results"),
    ("integrality", []), ("tuple_types", {}),
]


def test_base_docstring():
    assert SciPyCodeGeneratorBase.__doc__ == (
        "\n    Abstract base class for SciPy code generators.\n"
        "    Subclasses must implement the required methods.\n    ")


def test_base_attributes_in_order():
    data = {"n": 1}
    gen = SciPyCodeGeneratorBase(AST, data)
    assert list(vars(gen)) == ["ast", "data_dict"] + [name for name, _ in INITIAL_STATE]
    assert gen.ast is AST and gen.data_dict is data
    for name, value in INITIAL_STATE:
        assert getattr(gen, name) == value and type(getattr(gen, name)) is type(value)


def test_base_attributes_are_fresh_per_instance():
    a, b = SciPyCodeGeneratorBase(AST), SciPyCodeGeneratorBase(AST)
    for name, value in INITIAL_STATE:
        if isinstance(value, (list, dict)):
            assert getattr(a, name) is not getattr(b, name)


@pytest.mark.parametrize("data", [None, {}, 0, "", []])
def test_falsy_data_dict_becomes_a_new_empty_dict(data):
    gen = SciPyCodeGeneratorBase(AST, data)
    assert gen.data_dict == {} and type(gen.data_dict) is dict
    assert gen.data_dict is not data


def test_truthy_data_dict_is_kept_as_is():
    data = {"a": 1}
    assert SciPyCodeGeneratorBase(AST, data_dict=data).data_dict is data
    assert SciPyCodeGeneratorBase(AST, [1]).data_dict == [1]


def test_base_arguments():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'ast'"):
        SciPyCodeGeneratorBase()
    with pytest.raises(TypeError):
        SciPyCodeGeneratorBase(AST, {}, 3)


def test_generate_code_is_abstract():
    with pytest.raises(NotImplementedError) as info:
        SciPyCodeGeneratorBase(AST).generate_code()
    assert str(info.value) == "Subclasses must implement generate_code()"


def test_base_is_a_plain_class():
    assert SciPyCodeGeneratorBase.__bases__ == (object,)
    assert SciPyCodeGeneratorBase.__module__ == "korvane.lpwrightcore"

    class Sub(SciPyCodeGeneratorBase):
        def generate_code(self):
            return "text"

    assert Sub(AST).generate_code() == "text"


@pytest.mark.parametrize("call", [
    lambda: SciPyCodeGenerator(AST),
    lambda: SciPyCodeGenerator(AST, None, "csc"),
    lambda: SciPyCodeGenerator(AST, mode="csc"),
    lambda: SciPyCodeGenerator(ast=AST, data_dict=None),
])
def test_factory_returns_the_csc_generator(call):
    gen = call()
    assert type(gen) is SciPyCSCCodeGenerator
    assert not isinstance(gen, SciPyCodeGenerator)
    assert isinstance(gen, SciPyCodeGeneratorBase)
    assert gen.ast is AST and gen.data_dict == {}


def test_factory_passes_the_data_positionally(monkeypatch):
    seen = []
    monkeypatch.setattr(lpwright, "SciPyCSCCodeGenerator", lambda *args, **kwargs: seen.append((args, kwargs)) or "gen")
    data = {"k": 1}
    assert SciPyCodeGenerator(AST, data) == "gen"
    assert seen == [((AST, data), {})]


def test_factory_mode_compares_by_equality():
    class Csc(str):
        pass

    assert type(SciPyCodeGenerator(AST, None, Csc("csc"))) is SciPyCSCCodeGenerator


@pytest.mark.parametrize("mode, shown", [("dense", "dense"), (None, "None"), (3, "3"), ("CSC", "CSC"), ("", "")])
def test_unknown_mode(mode, shown, monkeypatch):
    monkeypatch.setattr(lpwright, "SciPyCSCCodeGenerator", lambda *a: pytest.fail("constructed"))
    with pytest.raises(ValueError) as info:
        SciPyCodeGenerator(AST, {}, mode)
    assert str(info.value) == "Unknown mode: " + shown


def test_unknown_mode_uses_format():
    class Mode:
        def __format__(self, spec):
            return "custom" + spec

    with pytest.raises(ValueError, match="^Unknown mode: custom$"):
        SciPyCodeGenerator(AST, mode=Mode())


def test_factory_class_shape():
    assert SciPyCodeGenerator.__bases__ == (object,)
    own = {k for k in vars(SciPyCodeGenerator) if not k.startswith("__") or k == "__new__"}
    assert own == {"__new__"}
    assert isinstance(vars(SciPyCodeGenerator)["__new__"], staticmethod)


def test_module_front():
    assert lpwright.__all__ == ["SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase",
                                "SemanticError"]
    assert lpwright.SciPyCodeGeneratorBase is lpwrightcore.SciPyCodeGeneratorBase
    assert lpwright.SciPyCSCCodeGenerator is lpwrightsparse.SciPyCSCCodeGenerator
    assert lpwright.SemanticError is SemanticError
    assert isinstance(lpwright.logger, logging.Logger) and lpwright.logger.name == "korvane.lpwright"

"""The generator frame: construction, the line buffer, section order, preamble and epilogue."""
import logging

import pytest

from korvane import faultlore, mipwright
from korvane.mipwright import GurobiCodeGenerator

PREAMBLE = [
    "import gurobipy as gp",
    "from gurobipy import GRB",
    "import itertools  # needed for multi-index forall",
    "import math  # for math.sqrt and friends",
    "",
    "def _safe_get(container, key, default=0):",
    "    try:",
    "        return container[key]",
    "    except Exception:",
    "        return default",
    "",
]

EPILOGUE_START = ["model.optimize()", "if model.status == GRB.INF_OR_UNBD:", "    model.setParam(GRB.Param.DualReductions, 0)"]


class StubSections(GurobiCodeGenerator):
    """Supplies the sections that other concerns build, and records how the frame calls them."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def _generate_data_declarations(self, data_dict):
        self.calls.append(("data", data_dict))
        self._add_code_line("# data section")

    def _generate_declarations(self, declarations):
        self.calls.append(("declarations", declarations))

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        self.calls.append(("expression", node, current_iterators))
        return node["value"]

    def _collect_variable_bounds(self, constraints):
        self.calls.append(("bounds", constraints))

    def _generate_constraints(self, constraints):
        self.calls.append(("constraints", constraints))
        for line in constraints:
            self._add_code_line(line)


def model(constraints=(), sense="maximize", value="x"):
    return {"declarations": [], "objective": {"type": sense, "expression": {"value": value}}, "constraints": list(constraints)}


class TestModule:
    def test_names_in_order(self):
        names = [n for n in vars(mipwright) if not n.startswith("__")]
        assert names == ["json", "logging", "re", "SemanticError", "logger", "EPS", "EQ_TOL", "TupleSetHelper", "GurobiCodeGenerator"]
        assert mipwright.SemanticError is faultlore.SemanticError
        assert mipwright.logger is logging.getLogger("korvane.mipwright")
        assert mipwright.EPS == 1e-5 and type(mipwright.EPS) is float
        assert mipwright.EQ_TOL == 1e-6 and type(mipwright.EQ_TOL) is float
        assert mipwright.json.__name__ == "json" and mipwright.re.__name__ == "re"

    def test_class_is_a_plain_python_class(self):
        assert GurobiCodeGenerator.__bases__ == (object,)
        assert GurobiCodeGenerator.__module__ == "korvane.mipwright"
        gen = GurobiCodeGenerator({})
        gen.anything = 1
        assert gen.__dict__["anything"] == 1


class TestConstructor:
    def test_attributes_and_their_order(self):
        ast = model()
        gen = GurobiCodeGenerator(ast)
        assert list(vars(gen)) == ["ast", "data_dict", "gurobi_code_lines", "indent_level", "gurobi_var_map",
                                   "_add_code_line", "_active_label_name_expr"]
        assert gen.ast is ast
        assert gen.data_dict == {} and gen.gurobi_code_lines == [] and gen.indent_level == 0
        assert gen.gurobi_var_map == {} and gen._active_label_name_expr is None
        assert gen._add_code_line.__self__ is gen

    def test_data_is_copied_and_completed_with_inline_values(self):
        ast = {"declarations": [
            {"type": "parameter_inline", "name": "n", "value": 3},
            {"type": "parameter_inline", "name": "m", "value": 4},
            {"type": "parameter_inline", "name": "none"},
            {"type": "parameter_external", "name": "e", "value": 5},
        ]}
        data = {"m": 40}
        gen = GurobiCodeGenerator(ast, data)
        assert gen.data_dict == {"m": 40, "n": 3, "none": None}
        assert data == {"m": 40}
        assert GurobiCodeGenerator(ast=ast, data_dict=None).data_dict == {"n": 3, "m": 4, "none": None}

    def test_missing_declarations_tolerated(self):
        assert GurobiCodeGenerator({}).data_dict == {}

    def test_arguments(self):
        with pytest.raises(TypeError):
            GurobiCodeGenerator()
        with pytest.raises(TypeError):
            GurobiCodeGenerator({}, {}, {})
        with pytest.raises(TypeError):
            GurobiCodeGenerator({}, data_dict=5)  # dict(5)


class TestLineBuffer:
    def test_indentation_by_level(self):
        gen = GurobiCodeGenerator({})
        gen._add_code_line("a")
        gen.indent_level = 2
        gen._add_code_line("b\nc")
        gen.indent_level = 0
        gen._add_code_line("")
        assert gen.gurobi_code_lines == ["a", "        b\nc", ""]

    def test_emitters_go_through_the_instance_attribute(self):
        seen = []
        gen = StubSections(model(["c = 1"]))
        gen._add_code_line = seen.append
        gen.generate_code()
        assert seen[:len(PREAMBLE)] == [line.strip() if line.strip() else "" for line in PREAMBLE]
        assert "c = 1" in seen and gen.gurobi_code_lines == []

    def test_line_must_be_text(self):
        with pytest.raises(TypeError):
            GurobiCodeGenerator({})._add_code_line(3)


class TestGenerateCode:
    def test_sections_in_order_with_their_arguments(self):
        ast = model(["c0 = 1"])
        gen = StubSections(ast, {"d": 1})
        gen.generate_code()
        assert gen.calls == [
            ("data", {"d": 1}),
            ("declarations", []),
            ("bounds", ["c0 = 1"]),
            ("expression", {"value": "x"}, {}),
            ("constraints", ["c0 = 1"]),
        ]
        assert gen.calls[0][1] is gen.data_dict

    def test_whole_script(self):
        text = StubSections(model(["c0 = 1"], sense="maximize")).generate_code()
        lines = text.split("\n")
        assert lines[:len(PREAMBLE)] == PREAMBLE
        rest = lines[len(PREAMBLE):]
        assert rest[:6] == ["# data section", "model = gp.Model('OPLModel')", "",
                            "model.setObjective(x, GRB.MAXIMIZE)", "", "c0 = 1"]
        assert rest[6:9] == EPILOGUE_START
        assert lines[-1] == "results_container['gurobi_output'] = results"
        assert not text.endswith("\n")
        assert "    stats['IterCount'] = model.IterCount" in lines
        assert "    results['status'] = f'OPTIMIZATION_STATUS_{model.status}'" in lines
        compile(text, "script", "exec")

    @pytest.mark.parametrize("sense, text", [("maximize", "GRB.MAXIMIZE"), ("minimize", "GRB.MINIMIZE"), ("other", "GRB.MINIMIZE")])
    def test_objective_sense(self, sense, text):
        assert f"model.setObjective(x, {text})" in StubSections(model(sense=sense)).generate_code()

    def test_numeric_objective_written_as_str(self):
        assert "model.setObjective(2.5, GRB.MINIMIZE)" in StubSections(model(sense="min", value=2.5)).generate_code()

    def test_missing_constraints_key(self):
        ast = model()
        del ast["constraints"]
        gen = StubSections(ast)
        with pytest.raises(KeyError):
            gen.generate_code()
        assert ("bounds", []) in gen.calls  # the bounds pass reads constraints with a default

    @pytest.mark.parametrize("key", ["declarations", "objective"])
    def test_missing_required_keys(self, key):
        ast = model()
        del ast[key]
        with pytest.raises(KeyError):
            StubSections(ast).generate_code()

    def test_epilogue_relative_to_indentation(self):
        class Indented(StubSections):
            def _generate_constraints(self, constraints):
                self.indent_level = 1

        lines = Indented(model()).generate_code().split("\n")
        assert lines[-1] == "    results_container['gurobi_output'] = results"

    def test_second_call_appends_a_second_script(self):
        gen = StubSections(model())
        first = gen.generate_code()
        second = gen.generate_code()
        assert second == first + "\n" + first

    def test_error_in_a_section_propagates(self):
        class Failing(StubSections):
            def _generate_declarations(self, declarations):
                raise faultlore.SemanticError("Undeclared symbol 'z'", 4)

        with pytest.raises(faultlore.SemanticError, match=r"Line 4"):
            Failing(model()).generate_code()

    def test_each_frame_method_can_be_overridden(self):
        class Custom(StubSections):
            def _generate_objective(self, objective):
                self._add_code_line("# custom objective")

        assert "# custom objective" in Custom(model()).generate_code()


class TestFindDeclaration:
    AST = {"declarations": [
        {"type": "dvar", "name": "x", "n": 1},
        {"type": "parameter_inline", "name": "x", "n": 2},
        {"type": "range_declaration_inline", "name": "R"},
    ]}

    def test_first_in_model_order(self):
        gen = GurobiCodeGenerator(self.AST)
        assert gen._find_declaration_by_name("x")["n"] == 1
        assert gen._find_declaration_by_name("x", types=["parameter_inline"])["n"] == 2
        assert gen._find_declaration_by_name("x", ["parameter_inline", "dvar"])["n"] == 1
        assert gen._find_declaration_by_name("R", types=["dvar"]) is None
        assert gen._find_declaration_by_name("y") is None

    def test_without_declarations(self):
        assert GurobiCodeGenerator({})._find_declaration_by_name("x") is None

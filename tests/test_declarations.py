"""Declarations: the walk, its handlers and the range and set lookups."""
import logging

import pytest
from trees import name, num

from korvane.faultlore import SemanticError, _with_repair_hint
from korvane.mipwright import GurobiCodeGenerator

HEAD = "# Decision Variables and Parameters"
TAIL = ["", "model.update()", ""]


def over_set(s):
    return {"type": "named_set_dimension", "name": s}


def walk(declarations, data=None, gen=None):
    gen = gen or GurobiCodeGenerator({"declarations": declarations}, data)
    gen._generate_declarations(declarations)
    lines = gen.gurobi_code_lines
    assert lines[0] == HEAD and lines[-3:] == TAIL
    compile("\n".join(lines), "<declarations>", "exec")
    return lines[1:-3]


def semantic_error(declarations, data=None):
    with pytest.raises(SemanticError) as err:
        walk(declarations, data)
    return err.value


class TestWalk:
    def test_empty(self):
        assert walk([]) == []

    def test_kinds_without_lines(self):
        decls = [{"type": t, "name": "n"} for t in ("dexpr", "dexpr_indexed", "set_of_tuples", "set_of_tuples_external",
                                                    "tuple_array", "tuple_array_external")]
        assert walk(decls) == []

    def test_unknown_kind(self):
        with pytest.raises(NotImplementedError) as err:
            walk([{"type": "mystery", "name": "m"}])
        assert str(err.value) == "Declaration type 'mystery' is not supported by the Gurobi code generator."

    @pytest.mark.parametrize("kind", ["parameter_external", "parameter_inline_indexed", "parameter_external_explicit_indexed"])
    def test_parameters_written_by_the_data_section_are_skipped(self, kind):
        gen = GurobiCodeGenerator({})
        gen.dict_params = {"p"}
        assert walk([{"type": kind, "name": "p"}], gen=gen) == []

    def test_tuple_types_start_over_each_run(self):
        gen = GurobiCodeGenerator({})
        gen.tuple_types = {"Old": []}
        fields = [{"name": "a"}]
        walk([{"type": "tuple_type", "name": "T", "fields": fields}], gen=gen)
        assert gen.tuple_types == {"T": fields}

    def test_handlers_found_by_name(self):
        class Custom(GurobiCodeGenerator):
            def _decl_custom(self, decl):
                self._add_code_line(f"{decl['name']} = 'custom'")

        assert walk([{"type": "custom", "name": "c"}], gen=Custom({})) == ["c = 'custom'"]

    def test_debug_log(self, caplog):
        caplog.set_level(logging.DEBUG, logger="korvane.mipwright")
        walk([{"type": "parameter_inline", "name": "p", "value": 1, "inline": True}, {"type": "dvar", "name": "x", "var_type": "int"}])
        assert [r.getMessage() for r in caplog.records] == [
            "Entering _generate_declarations",
            "_generate_declarations: Emitting parameter 'p' type=parameter_inline inline=True external=None",
        ]
        assert caplog.records[1].args == ("p", "parameter_inline", True, None)


class TestDecisionVariables:
    @pytest.mark.parametrize("var_type, args", [
        ("boolean", "vtype=GRB.BINARY, name='x')"),
        ("int+", "vtype=GRB.INTEGER, name='x', lb=0)"),
        ("int", "vtype=GRB.INTEGER, name='x', lb=-GRB.INFINITY)"),
        ("float+", "vtype=GRB.CONTINUOUS, name='x', lb=0)"),
        ("float", "vtype=GRB.CONTINUOUS, name='x', lb=-GRB.INFINITY)"),
        ("integer", "name='x')"),
    ])
    def test_scalar_and_indexed(self, var_type, args):
        gen = GurobiCodeGenerator({})
        dims = [{"type": "range_index", "start": num(1), "end": name("n")}]
        assert walk([{"type": "dvar", "name": "x", "var_type": var_type}], gen=gen) == [f"x = model.addVar({args}"]
        assert walk([{"type": "dvar_indexed", "name": "x", "var_type": var_type, "dimensions": dims}]) == [
            f"x = model.addVars(range(1, n + 1), {args}"]
        assert gen.gurobi_var_map == {"x": "x"}

    @pytest.mark.parametrize("var_type, args", [
        ("boolean", "vtype=GRB.BINARY, name='y')"),
        ("int+", "vtype=GRB.INTEGER, name='y', lb=0)"),
        ("integer", "vtype=GRB.INTEGER, name='y', lb=-GRB.INFINITY)"),
        ("float+", "vtype=GRB.CONTINUOUS, name='y', lb=0)"),
        ("weird", "vtype=GRB.CONTINUOUS, name='y', lb=-GRB.INFINITY)"),
    ])
    def test_one_named_set_written_by_the_walk(self, var_type, args):
        gen = GurobiCodeGenerator({}, {"S": [[1, 2]]})
        assert walk([{"type": "dvar_indexed", "name": "y", "var_type": var_type, "dimensions": [over_set("S")]}], gen=gen) == [
            f"y = model.addVars(S, {args}"]
        assert gen.gurobi_var_map == {"y": "y"} and not hasattr(gen, "_emitted_tuple_sets")

    def test_dimensions_and_tuple_lists_written_once_per_run(self):
        rng = {"type": "range_index", "start": num(0), "end": {"type": "binop", "op": "-", "left": name("n"), "right": num(1)}}
        decls = [
            {"type": "dvar_indexed", "name": "x", "var_type": "boolean", "dimensions": [over_set("A"), over_set("B")]},
            {"type": "dvar_indexed", "name": "y", "var_type": "float", "dimensions": [
                over_set("B"), rng, {"type": "named_range_dimension", "name": "R"},
                {"type": "named_range_dimension", "name": "R", "start": num(0)}]},
        ]
        gen = GurobiCodeGenerator({}, {"A": [["a", 1]], "B": {"elements": [2]}})
        assert walk(decls, gen=gen) == [
            "A = [('a', 1)]",
            "B = [2]",
            "x = model.addVars(itertools.product(A, B), vtype=GRB.BINARY, name='x')",
            "y = model.addVars(itertools.product(B, range(0, (n - 1) + 1), range(1, R + 1), range(0, R + 1)), "
            "vtype=GRB.CONTINUOUS, name='y', lb=-GRB.INFINITY)",
        ]
        gen._decl_dvar_indexed({"name": "z", "var_type": "int", "dimensions": [over_set("A")]})
        assert gen._emitted_tuple_sets == {"A", "B"} and gen.gurobi_code_lines[-1].startswith("z = model.addVars(A,")

    def test_unsupported_dimension(self):
        with pytest.raises(ValueError, match="^Unsupported dimension type in declaration for x: other$"):
            walk([{"type": "dvar_indexed", "name": "x", "var_type": "int", "dimensions": [{"type": "other"}]}])


class TestRangesSetsAndParameters:
    def test_lines(self):
        decls = [
            {"type": "range_declaration_inline", "name": "R", "start": name("a"), "end": {"type": "binop", "op": "+", "left": name("n"), "right": num(1)}},
            {"type": "set_declaration", "name": "S", "lineno": 3},
            {"type": "typed_set", "name": "T1", "value": ["a", "it's", 2]},
            {"type": "typed_set_external", "name": "T2"},
            {"type": "typed_set", "name": "T3", "value": []},
            {"type": "parameter_inline", "name": "p", "value": [1.5, "x"]},
            {"type": "parameter_inline_indexed", "name": "q", "value": [[1, 2], [3, 4]], "dimensions": [{"type": "range_index"}] * 2},
            {"type": "parameter_external", "name": "e1"},
            {"type": "parameter_external_indexed", "name": "e2"},
            {"type": "parameter_external_explicit", "name": "e3"},
            {"type": "parameter_external_explicit_indexed", "name": "e4"},
        ]
        data = {"S": ["a", "b"], "T2": [1, 2], "T3": None, "e1": 5, "e2": {(1, 2): 3}, "e3": "s", "e4": [[1]]}
        assert walk(decls, data) == [
            "R = (n + 1)", "S = ['a', 'b']", "T1 = ['a', \"it's\", 2]", "T2 = [1, 2]", "T3 = []", "p = [1.5, 'x']",
            "q = [[1, 2], [3, 4]]", "e1 = 5", "e2 = {(1, 2): 3}", "e3 = 's'", "e4 = [[1]]",
        ]

    def test_inline_parameter_over_a_tuple_set(self):
        decls = [{"type": "set_of_tuples", "name": "S", "value": [["a"], ["b"]]},
                 {"type": "parameter_inline_indexed", "name": "p", "value": [1, 2], "dimensions": [over_set("S")]},
                 {"type": "parameter_inline_indexed", "name": "q", "value": [3], "dimensions": [over_set("K")]}]
        assert walk(decls, {"K": [[1, 2]]}) == ["p = {('a',): 1, ('b',): 2}", "q = {(1, 2): 3}"]
        decls[1]["value"] = [1]
        err = semantic_error(decls)
        assert err.message == _with_repair_hint("Parameter 'p' length 1 does not match index set 'S' length 2.") and err.lineno is None

    @pytest.mark.parametrize("decl, message, lineno", [
        ({"type": "range_declaration_external", "name": "R", "lineno": 2},
         "Range 'R' declared as external. Ranges must be defined in the model with explicit bounds (e.g., range Items = 1..N;)", None),
        ({"type": "set_declaration", "name": "S", "lineno": 4}, "Set 'S' declared in .mod but not found in .dat file.", 4),
        ({"type": "parameter_external", "name": "p", "lineno": 5},
         "Parameter 'p' declared in .mod but not found in .dat file. Add '= ...;' to explicitly declare it as external if intended.", 5),
        ({"type": "parameter_external_indexed", "name": "p"},
         "Parameter 'p' declared in .mod but not found in .dat file. Add '= ...;' to explicitly declare it as external if intended.", None),
        ({"type": "parameter_external_explicit", "name": "p", "lineno": 6}, "Parameter 'p' declared with '= ...' in .mod but not found in .dat file.", 6),
        ({"type": "parameter_external_explicit_indexed", "name": "p", "lineno": 7}, "Parameter 'p' declared with '= ...' in .mod but not found in .dat file.", 7),
    ])
    def test_errors(self, decl, message, lineno):
        err = semantic_error([decl])
        assert err.message == _with_repair_hint(message) and err.lineno == lineno

    def test_indexed_external_forms_delegate_by_name(self):
        class Delegating(GurobiCodeGenerator):
            def _decl_parameter_external(self, decl):
                return "plain"

            def _decl_parameter_external_explicit(self, decl):
                return "explicit"

        gen = Delegating({})
        assert gen._decl_parameter_external_indexed({"name": "p"}) == "plain"
        assert gen._decl_parameter_external_explicit_indexed({"name": "p"}) == "explicit"


class TestLookups:
    DECLS = [{"type": "range_declaration_inline", "name": "R", "start": name("i"), "end": name("n")},
             {"type": "dvar", "name": "R2"}, {"type": "set_declaration", "name": "R2"}]

    def test_emit_range_from_declaration(self):
        gen = GurobiCodeGenerator({"declarations": self.DECLS}, {"n": 3})
        assert gen._emit_range_from_declaration("R", {"i": "i"}, False) == "range(i, n + 1)"
        assert gen._emit_range_from_declaration("R", {}, True) == "range(i, n + 1)"
        with pytest.raises(ValueError, match="Undeclared variable or unhandled context: i"):
            gen._emit_range_from_declaration("R", {}, False)
        with pytest.raises(SemanticError) as err:
            gen._emit_range_from_declaration("R2", {}, True)
        assert err.value.message == _with_repair_hint("Range 'R2' not found in declarations.")

    @pytest.mark.parametrize("kind, found", [("set_of_tuples", True), ("set_of_tuples_external", True), ("set_declaration", True),
                                             ("typed_set", True), ("typed_set_external", True), ("tuple_array", False)])
    def test_emit_set_name_if_declared(self, kind, found):
        gen = GurobiCodeGenerator({"declarations": [{"type": "dvar", "name": "S"}, {"type": kind, "name": "S"}]})
        assert gen._emit_set_name_if_declared("S") == ("S" if found else None)

    def test_is_data_array(self):
        gen = GurobiCodeGenerator({}, {"a": None})
        assert gen._is_data_array("a") is True and gen._is_data_array("b") is False


class OtherSectionsStubbed(GurobiCodeGenerator):
    """Leaves out the sections that other concerns provide."""

    def _generate_data_declarations(self, data_dict):
        self._add_code_line(f"c = {data_dict['c']!r}")

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        pass


def test_whole_script_with_declarations_and_objective():
    ast = {
        "declarations": [
            {"type": "range_declaration_inline", "name": "R", "start": num(0), "end": num(2)},
            {"type": "parameter_external_indexed", "name": "c", "dimensions": [{"type": "named_range_dimension", "name": "R"}]},
            {"type": "dvar", "name": "x", "var_type": "float+"},
        ],
        "objective": {"type": "maximize", "expression": {"type": "binop", "op": "*", "left": {
            "type": "indexed_name", "name": "c", "dimensions": [{"type": "number_literal_index", "value": 0}]}, "right": name("x")}},
        "constraints": [],
    }
    text = OtherSectionsStubbed(ast, {"c": [5, 6, 7]}).generate_code()
    compile(text, "script", "exec")
    lines = text.split("\n")
    start = lines.index(HEAD)
    assert lines[start:start + 8] == [HEAD, "R = 2", "c = [5, 6, 7]", "x = model.addVar(vtype=GRB.CONTINUOUS, name='x', lb=0)",
                                      *TAIL, "model.setObjective((c[((0) - (0))] * x), GRB.MAXIMIZE)"]

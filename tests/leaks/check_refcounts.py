"""Reference-count balance of every public call of the extension modules.

Run by `make refleak-test` under Debian's debug interpreter (python3.11-dbg), whose
sys.gettotalrefcount() counts every reference in the process. Each scenario runs a few times to
warm caches, then in rounds; a scenario whose reference or memory-block count grows in every
round leaks. Scenarios cover success and error paths alike.
"""
import atexit
import contextlib
import copy
import functools
import gc
import os
import shutil
import sys
import tempfile
import types

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.environ.get("KORVANE_STAGE") or ROOT)
if os.environ.get("KORVANE_PROBE_DIR"):
    sys.path.insert(0, os.environ["KORVANE_PROBE_DIR"])

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from korvane import faultlore, lpwright, lpwrightcore, lpwrightsparse, mipwright, oplparse, setloom  # noqa: E402
from data_section_support import DataOnly, model, param, range_dim, set_dim  # noqa: E402
from velmora_server import server as velmora  # noqa: E402

SCENARIOS = {}


def scenario(fn=None, *, warmup=3, rounds=6):
    """Registers a scenario. Scenarios that allocate many short-lived objects of varying sizes
    (whole generation runs) see the block count of the allocator move by a few blocks from
    round to round without growing; they warm up longer and are measured over more rounds, so
    that only growth in every round counts as a leak."""
    def register(fn):
        fn.warmup = warmup
        fn.rounds = rounds
        SCENARIOS[fn.__name__] = fn
        return fn
    return register(fn) if fn is not None else register


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


# ---- korvane.faultlore ----

@scenario
def semantic_error():
    for err in (faultlore.SemanticError("Unknown name x", 3), faultlore.SemanticError(42), faultlore.SemanticError("m", lineno=0),
                faultlore.SemanticError("m", 2, filename="m.mod", col=4)):
        str(err), err.message, err.lineno, err.filename, err.col
    expect(TypeError, faultlore.SemanticError)
    expect(TypeError, faultlore.SemanticError, "a", 1, 2)


@scenario
def repair_hints():
    faultlore._with_repair_hint("Division by zero")
    faultlore._with_repair_hint("no hint here")
    faultlore._with_repair_hint("x Hint: given")
    expect(TypeError, faultlore._with_repair_hint, 5)


# ---- korvane.setloom and the generator's copy ----

TUPLE_AST = {"declarations": [{"type": "set_of_tuples", "name": "A", "value": [["x", [1, 2]]], "elements": [[3]]}]}


@scenario
def tuple_sets():
    for helper in (setloom.TupleSetHelper, mipwright.TupleSetHelper):
        helper.get_tuple_set("A", TUPLE_AST, {"A": [["x", 1], {"elements": [2, [3]]}]})
        helper.get_tuple_set("A", TUPLE_AST, {})
        helper.get_tuple_set("B", TUPLE_AST, {"B": {"value": [[1]]}})
        expect(TypeError, helper.get_tuple_set, "A", TUPLE_AST, None)
        expect(TypeError, helper.get_tuple_set, "A")
    setloom.TupleSetHelper._to_tuple_recursive(["a", ["b", {"elements": [1]}]])


@scenario
def deep_input_raises_recursion_error():
    element = 1
    for _ in range(5000):
        element = [element]
    expect(RecursionError, mipwright.TupleSetHelper.get_tuple_set, "A", {}, {"A": [element]})


# ---- korvane.mipwright frame ----

class StubSections(mipwright.GurobiCodeGenerator):
    def _generate_data_declarations(self, data_dict):
        self._add_code_line("d = " + repr({"s": "it is true", "t": True}))

    def _generate_declarations(self, declarations):
        pass

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        return node["value"]

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        self._add_code_line("flag = true")


FRAME_AST = {"declarations": [{"type": "parameter_inline", "name": "n", "value": 3}],
             "objective": {"type": "maximize", "expression": {"value": 2.5}}, "constraints": []}


@scenario
def generator_frame():
    gen = StubSections(FRAME_AST, {"m": 1})
    gen.generate_code()
    gen._find_declaration_by_name("n")
    gen._find_declaration_by_name("n", types=["dvar"])
    expect(KeyError, StubSections({"objective": {}}).generate_code)
    expect(TypeError, mipwright.GurobiCodeGenerator)
    expect(KeyError, mipwright.GurobiCodeGenerator(FRAME_AST).generate_code)  # objective node without a type


# ---- korvane.mipwright expressions and declarations ----

def _num(v):
    return {"type": "number", "value": v}


def _name(v, **extra):
    return {"type": "name", "value": v, **extra}


def _indexed(n, *dims):
    return {"type": "indexed_name", "name": n, "dimensions": list(dims)}


_LIT = {"type": "number_literal_index", "value": 2}
_RANGE0 = {"type": "range_index", "start": _num(0), "end": _num(3)}
EXPR_AST = {"declarations": [
    {"type": "set_of_tuples", "name": "S", "tuple_type": "T"},
    {"type": "dvar_indexed", "name": "x"},
    {"type": "parameter_external", "name": "t", "dimensions": [{"type": "named_set_dimension", "name": "S"}]},
    {"type": "tuple_array", "name": "ta"},
    {"type": "range_declaration_inline", "name": "R", "start": _num(0), "end": _num(2)},
    {"type": "parameter_external", "name": "c", "dimensions": [_RANGE0, {"type": "named_range_dimension", "name": "R"}]},
    {"type": "parameter_external", "name": "e"},
]}


class Reifying(mipwright.GurobiCodeGenerator):
    def _reify_scoped_comparison(self, node, current_iterators):
        return "cmp"


@scenario
def expressions():
    gen = Reifying(EXPR_AST, {"c": {(1, 2): 3}, "d": [1, 2]})
    gen.gurobi_var_map["x"] = "x"
    gen.tuple_types = {"T": [{"name": "a"}, {"name": "b"}]}
    its = {"i": "i"}
    cmp = {"type": "binop", "op": "<=", "left": _name("i"), "right": _num(1)}
    tup = {"type": "tuple_literal", "elements": [_num(1), "a", {"type": "boolean_literal", "value": True}]}
    for node in (
        {"type": "binop", "op": "+", "left": {"type": "parenthesized_expression", "expression": cmp}, "right": _num(2.5)},
        {"type": "conditional", "condition": cmp, "then": {"type": "minl", "args": [_num(1), _name("i")]},
         "else": {"type": "maxl", "args": [{"type": "boolean_literal", "value": False}]}},
        {"type": "and", "left": {"type": "not", "value": _name("d")}, "right": {"type": "or", "left": _num(1), "right": _num(0)}},
        {"type": "uminus", "value": {"type": "funcall", "name": "sqrt", "args": [_num(4)]}},
        {"type": "string_literal", "value": "it's"},
        {"type": "field_access", "base": _name("i"), "field": "b"},
        _indexed("x", _LIT, {"type": "binop", "op": "-", "left": {"type": "name_reference_index", "name": "i"}, "right": _LIT}),
        _indexed("x", tup), _indexed("t", tup), _indexed("t", {"type": "name_reference_index", "name": "i"}),
        _indexed("ta", _LIT), _indexed("c", _LIT, _LIT), _indexed("c", _LIT), _indexed("d", _LIT),
        _indexed("d", {"type": "tuple_literal", "elements": [_num(1), _num(2)]}),
    ):
        gen._traverse_expression(node, its)
        gen._expr_depends_on_decision_var(node)
    gen._traverse_expression(_name("undeclared"), {}, True)
    expect(NotImplementedError, gen._traverse_expression, {"type": "constraint"}, {})
    expect(NotImplementedError, gen._traverse_expression, {"type": "funcall", "name": "abs"}, {})
    expect(ValueError, gen._traverse_expression, _name("undeclared"), {})
    expect(ValueError, gen._traverse_expression, _name("e"), {})
    expect(ValueError, gen._traverse_expression, _indexed("t", _LIT), {})
    expect(ValueError, gen._traverse_expression, _indexed("x", {"type": "weird"}), {})
    expect(KeyError, gen._traverse_expression, {"type": "binop", "op": "+", "left": _num(1)}, {})
    expect(TypeError, gen._expr_number, _num(1), {})
    deep = _num(1)
    for _ in range(5000):
        deep = {"type": "uminus", "value": deep}
    expect(RecursionError, gen._traverse_expression, deep, {})


DECL_AST = {"declarations": [
    {"type": "tuple_type", "name": "T", "fields": [{"name": "a"}]},
    {"type": "set_of_tuples", "name": "S", "value": [["a"], ["b"]]},
    {"type": "dexpr", "name": "z"},
    {"type": "range_declaration_inline", "name": "R", "start": _num(1), "end": _name("n")},
    {"type": "dvar", "name": "x", "var_type": "int+"},
    {"type": "dvar_indexed", "name": "y", "var_type": "boolean", "dimensions": [{"type": "named_set_dimension", "name": "S"}]},
    {"type": "dvar_indexed", "name": "w", "var_type": "float", "dimensions": [
        {"type": "named_set_dimension", "name": "S"}, _RANGE0, {"type": "named_range_dimension", "name": "R"}]},
    {"type": "set_declaration", "name": "K"},
    {"type": "typed_set", "name": "TS", "value": ["u", 1]},
    {"type": "parameter_inline", "name": "p", "value": 2.5, "inline": True},
    {"type": "parameter_inline_indexed", "name": "q", "value": [1, 2], "dimensions": [{"type": "named_set_dimension", "name": "S"}]},
    {"type": "parameter_external_indexed", "name": "e", "lineno": 3},
    {"type": "parameter_external_explicit_indexed", "name": "f"},
    {"type": "tuple_array", "name": "ta"},
]}


@scenario
def declarations():
    gen = mipwright.GurobiCodeGenerator(DECL_AST, {"K": [1], "e": [1], "f": {1: 2}, "n": 3})
    gen._generate_declarations(DECL_AST["declarations"])
    gen._emit_range_from_declaration("R", {}, True)
    gen._emit_set_name_if_declared("S")
    gen._emit_set_name_if_declared("R")
    gen._is_data_array("K")
    for decl in ({"type": "range_declaration_external", "name": "R"}, {"type": "set_declaration", "name": "M", "lineno": 1},
                 {"type": "parameter_external", "name": "M"}, {"type": "parameter_external_explicit", "name": "M"},
                 {"type": "parameter_inline_indexed", "name": "q", "value": [1], "dimensions": [{"type": "named_set_dimension", "name": "S"}]}):
        expect(faultlore.SemanticError, gen._generate_declarations, [decl])
    expect(NotImplementedError, gen._generate_declarations, [{"type": "mystery"}])
    expect(ValueError, gen._decl_dvar_indexed, {"name": "v", "var_type": "int", "dimensions": [{"type": "other"}]})
    expect(faultlore.SemanticError, gen._emit_range_from_declaration, "Q", {}, True)
    expect(KeyError, gen._decl_dvar, {"name": "v"})


class DeclarationsStubbed(mipwright.GurobiCodeGenerator):
    def _generate_data_declarations(self, data_dict):
        pass

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        pass


@scenario
def script_with_declarations():
    ast = dict(DECL_AST, objective={"type": "minimize", "expression": _name("x")}, constraints=[])
    DeclarationsStubbed(ast, {"K": [1], "e": [1], "f": {1: 2}, "n": 3}).generate_code()


# ---- korvane.mipwright data section ----

SET_S = set_dim("S")
SET_T = set_dim("T")
RANGE_R = range_dim("R")
DATA_AST = model(
    {"type": "tuple_type", "name": "TT", "fields": [{"name": "a"}, {"name": "b"}]},
    {"type": "set_declaration", "name": "S"},
    {"type": "set_of_tuples", "name": "T"},
    {"type": "typed_set", "name": "TS", "value": ["x", "y"]},
    {"type": "tuple_array", "name": "TA", "tuple_type": "TT", "index_set": "S"},
    {"type": "range_declaration_inline", "name": "R", "start": _num(1), "end": {"type": "binop", "op": "+", "left": _num(1), "right": _num(1)}},
    param("A", SET_S, RANGE_R),
    param("B", SET_S, RANGE_R),
    param("C", SET_S, SET_T),
    param("D", SET_S, set_dim("U")),
    param("E", SET_T, RANGE_R),
    param("F", RANGE_R),
    param("G", range_dim("TS")),
    param("H", SET_T),
    param("I", set_dim("V")),
    param("K", SET_S),
    {"type": "parameter_external", "name": "k"},
)
DATA = {
    "S": ["a", "b"], "T": [["t", 1], ["u", 2]], "TA": [[1, None], [2]], "V": ["p"],
    "A": [[0.5, 1e-5], [True, "s"]], "B": {("a", 1): 2, ("b", 2): 3}, "C": {("a", "b"): [1, 2]},
    "D": {"a": {"x": 1}, "b": [1, 2]}, "E__map": [[("t", 1), [1, 2]], [["u", 2], [3, 4]]],
    "F": [1.5, 2.5], "G": ["q\"", None], "H": [5, 6], "I": [7], "k": 3,
    "K": ["a", 1, "b", 2], "TS": ["x", "y"], "map__map": [1],
}


@scenario
def data_section():
    gen = DataOnly(DATA_AST, DATA)
    gen.generate_code()
    # generate_code refuses inf and nan; the data section itself still writes what it is given.
    gen._generate_data_declarations(dict(DATA, F=[1.5, float("inf")]))
    expect(faultlore.SemanticError, DataOnly(DATA_AST, dict(DATA, F=[float("nan")])).generate_code)
    DataOnly(model(), {"x": 1}).generate_code()
    DataOnly(model(param("P", SET_S, SET_S)), {"S": ["a", "a"], "P": [[1, 2], [3, 4]]}).generate_code()
    expect(TypeError, gen._generate_data_declarations)


def _failing_data_section(declarations, data, exc):
    expect(exc, DataOnly(model(*declarations), data).generate_code)


@scenario
def data_section_errors():
    rng = {"type": "range_declaration_inline", "name": "R", "start": _num(1), "end": _num(2)}
    _failing_data_section([rng, param("P", SET_S, RANGE_R)], {"S": ["a"], "P": [[1, 2, 3]]}, mipwright.SemanticError)
    _failing_data_section([rng, param("P", SET_S, RANGE_R)], {"S": ["a"], "P": [1]}, mipwright.SemanticError)
    _failing_data_section([param("P", SET_S)], {"P": {"a": [1]}}, mipwright.SemanticError)
    _failing_data_section([param("P", SET_S, RANGE_R)], {"P": {"a": []}}, mipwright.SemanticError)
    _failing_data_section([param("P", SET_S, RANGE_R)], {"R": {"type": "range_data", "start": 1, "end": 2},
                                                          "P": {"a": []}}, mipwright.SemanticError)
    _failing_data_section([{"type": "typed_set", "name": "TS"}, param("P", range_dim("TS"))],
                          {"TS": ["x"], "P": [1, 2]}, mipwright.SemanticError)
    bad = dict(rng, end={"type": "binop", "op": "%", "left": _num(1), "right": _num(1)})
    _failing_data_section([bad, param("P", RANGE_R)], {"P": [1]}, Exception)
    _failing_data_section([dict(rng, end="x"), param("P", RANGE_R)], {"P": [1]}, Exception)
    _failing_data_section([param("P", SET_S, SET_S)], {"S": [{}], "P": [[1]]}, TypeError)
    deep = 1
    for _ in range(3000):
        deep = [deep]
    _failing_data_section([param("P", SET_S, SET_S)], {"S": ["a"], "P": deep}, RecursionError)


# ---- korvane.mipwright constraints, loops, bounds, sums and comparisons ----

def _it(name, start, end):
    return {"iterator": name, "range": {"type": "range_specifier", "start": _num(start), "end": _num(end)}}


def _ref(*names):
    return [{"type": "name_reference_index", "name": n} for n in names]


def _x(*names):
    return {"type": "indexed_name", "name": "x", "dimensions": _ref(*names)}


def _cmp(op, left, right, kind="constraint", **extra):
    return {"type": kind, "op": op, "left": left, "right": right, **extra}


def _sum(iterators, expression, **extra):
    return {"type": "sum", "iterators": iterators, "expression": expression, **extra}


def _forall(iterators, body, **extra):
    return {"type": "forall_constraint", "iterators": iterators, "constraint" if isinstance(body, dict) else "constraints": body,
            **extra}


_I, _J = _it("i", 1, 3), _it("j", 1, 3)
_RANGE3 = {"type": "range_index", "start": _num(1), "end": _num(3)}
CONSTRAINT_AST = {
    "declarations": [
        {"type": "parameter_inline_indexed", "name": "c", "value": [2, 1, 1]},
        {"type": "typed_set", "name": "S", "value": ["a", "b"]},
        {"type": "dvar_indexed", "name": "x", "var_type": "int+", "dimensions": [_RANGE3, _RANGE3]},
        {"type": "dvar", "name": "b", "var_type": "boolean"},
        {"type": "dvar", "name": "b2", "var_type": "boolean"},
        {"type": "dvar", "name": "y", "var_type": "int+"},
        {"type": "dvar", "name": "z", "var_type": "int"},
    ],
    "objective": {"type": "maximize", "expression": _sum([_I, _J], _x("i", "j"))},
    "constraints": [
        _forall([_I, _J], _cmp("<=", _x("i", "j"), _num(2), label_template={"name": "cap", "iterators": ["i", "j"]})),
        _forall([_I], [_cmp(">=", _sum([_J], _cmp(">=", _x("i", "j"), _num(1))), _num(1)),
                       _cmp("<=", _sum([_J], _cmp("==", _x("i", "j"), _num(2))), _num(2), label="eqs")]),
        _forall([_it("k", 1, 3)], _cmp("<=", _sum([_I], _cmp("*", _indexed("c", {"type": "name_reference_index", "name": "i"}),
                                                         _cmp(">", _x("i", "k"), _num(0), kind="binop"), kind="binop")),
                                       _num(3)), index_constraint=_cmp(">", _name("k"), _num(1), kind="binop")),
        _cmp("==", _name("y"), _cmp(">=", _sum([_I, _J], _cmp("<", _x("i", "j"), _num(1))), _num(2))),
        _cmp("<=", _sum([_I], _sum([_J], _cmp("<", _x("i", "j"), _num(1)))), _num(9)),
        _cmp("==", _name("y"), _cmp(">", _sum([_I], _cmp(">=", _x("i", "i"), _num(1))), _num(1), kind="binop")),
        _cmp("==", _name("b"), {"type": "parenthesized_expression", "expression": _cmp("<=", _name("y"), _num(1), kind="binop")}),
        _cmp("!=", _name("b"), _name("b2")),
        _cmp("!=", _name("y"), _name("z")),
        _forall([_I], _cmp("!=", _x("i", "i"), _name("y"))),
        _cmp("<", _name("y"), _num(3)),
        _cmp(">", _name("z"), _num(-3)),
        _cmp("==", _cmp("<=", _name("z"), _num(4)), {"type": "boolean_literal", "value": True}),
        _cmp("==", _cmp(">=", _name("y"), _num(1), kind="binop"), _cmp("!=", _name("z"), _num(2), kind="binop")),
        _cmp("!=", _name("z"), _num(2.5)),
        _forall([{"iterator": "s", "range": {"type": "named_set", "name": "S"}}], _cmp("<=", _name("z"), _num(5)),
                index_constraint=_sum([_I], _cmp(">", _name("i"), _num(1), kind="binop"))),
    ],
}


class FailingSums(mipwright.GurobiCodeGenerator):
    def _expr_sum(self, node, iterators, symbolic):
        raise ZeroDivisionError("sum")


@scenario
def constraints_and_sums():
    gen = mipwright.GurobiCodeGenerator(CONSTRAINT_AST, {})
    gen.generate_code()
    gen._linear_bounds_safe(_sum([_I], _cmp("-", _cmp("*", _num(-2), _x("i", "i"), kind="binop"), _name("b"), kind="binop")))
    gen._var_bounds_safe(_name("b"))
    gen._comparison_sum_accessors({"list_name": "L", "len_name": "N", "scope_vars": ("i",)}, {"i": "i"})
    gen._format_name_expr("c0", "_card")
    gen._compute_label_expr({"name": "t", "iterators": ["i"]})
    gen._emit_reify_comparison(_name("y"), _num(1), "y", "1", "==", "a[(i,)]")
    gen._active_scope_iterators({"i": "i"}, None)


@scenario
def constraint_errors():
    gen = mipwright.GurobiCodeGenerator(CONSTRAINT_AST, {})
    gen.gurobi_var_map.update(x="x", y="y")
    expect(NotImplementedError, gen._generate_single_constraint, {"type": "mystery", "label": "l"}, "c0", {})
    expect(KeyError, gen._generate_single_constraint, {"label": "l"}, "c0", {})
    expect(ValueError, gen._generate_constraints, [{"type": "forall_constraint", "iterators": [_I]}])
    for rng in ({"type": "named_range", "name": "Q"}, {"type": "named_set", "name": "Q"}, {"type": "odd"}):
        expect(ValueError, gen._forall_range_expr, rng, {})
        expect(ValueError, gen._expr_sum, _sum([{"iterator": "i", "range": rng}], _num(1)), {}, False)
    gen._forall_range_expr({"type": "named_range", "name": "S"}, {})
    expect(ValueError, gen._emit_index_condition, _x("i", "j"), {"i": "i"})
    expect(TypeError, gen._compute_label_expr, ["i"])
    expect(ValueError, gen._generate_constraints,
           [_forall([_I], _cmp("<=", _name("y"), _name("undeclared"), label_template={"name": "t"}))])
    expect(ZeroDivisionError, FailingSums(CONSTRAINT_AST, {})._constraint_constraint,
           _cmp(">=", _sum([_I], _cmp(">=", _name("y"), _num(1))), _num(1)), "c0", {})
    expect(ValueError, gen._expr_sum, _sum([_I], _cmp(">=", _name("y"), _name("undeclared"))), {}, False)
    deep = _name("i")
    for _ in range(5000):
        deep = {"type": "not", "value": deep}
    expect(RecursionError, gen._emit_index_condition, deep, {"i": "i"})
# ---- korvane.mipwright implications ----

_TRUE = {"type": "boolean_literal", "value": True}


def _bool(op, left, right):
    return _cmp(op, left, right, kind="binop", sem_type="boolean")


def _implies(antecedent, consequent, **extra):
    return {"type": "implication_constraint", "antecedent": antecedent, "consequent": consequent, **extra}


_X2 = _indexed("x", _ref("i")[0], _ref("i")[0])
IMPLICATION_AST = {
    "declarations": CONSTRAINT_AST["declarations"],
    "objective": {"type": "maximize", "expression": _name("y")},
    "constraints": [
        _cmp("<=", _name("y"), _num(4)),
        _implies({"type": "and", "left": _bool(">=", _name("y"), _num(1)),
                  "right": {"type": "not", "value": _bool("==", _name("b"), _num(0))}},
                 {"type": "or", "left": _bool(">", _name("z"), _num(1)),
                  "right": {"type": "parenthesized_expression", "expression": _bool("<", _name("y"), _num(3))}}),
        _implies(_cmp(">=", _name("y"), _num(2)), _cmp("==", _name("b"), _TRUE)),
        _implies(_cmp(">", _name("y"), _num(2)), _cmp("==", _name("b2"), _num(1)), label="contra"),
        _forall([_I], [_implies(_cmp("==", _name("b"), _num(1)), _cmp(op, _X2, _num(1))) for op in ("<", ">", "==")]),
        _forall([_I], [_implies(_cmp(op, _X2, _num(2)), _cmp(op2, _name("y"), _name("i")))
                       for op, op2 in (("==", "<"), (">=", ">"), ("<", "=="), ("<=", ">="), (">", "<="))]),
        _implies(_TRUE, {"type": "boolean_literal", "value": False}),
        _implies(_cmp("!=", _name("y"), _num(1)), _cmp("==", _name("b"), {"type": "boolean_literal", "value": False})),
        _implies(_cmp("==", _name("b"), _num(1)), _cmp("!=", _name("z"), _num(1))),
        _implies(_cmp("<", _bool(">=", _name("z"), _num(3)), _num(1)), _cmp(">", _name("y"), _num(0.5))),
    ],
}


class Fallbacks(mipwright.GurobiCodeGenerator):
    """Sends implications down their fallbacks: no bounds, and no name for a direct indicator."""

    def _linear_bounds_safe(self, node):
        return None

    def _format_name_expr(self, base_prefix, suffix=""):
        if suffix == "_indicator":
            raise LookupError(suffix)
        return mipwright.GurobiCodeGenerator._format_name_expr(self, base_prefix, suffix)


@scenario
def implications():
    mipwright.GurobiCodeGenerator(IMPLICATION_AST, {}).generate_code()
    gen = Fallbacks(IMPLICATION_AST, {})
    gen.gurobi_var_map.update(y="y", b="b")
    gen._collect_variable_bounds(IMPLICATION_AST["constraints"])
    for antecedent, consequent in ((_cmp(">=", _name("b"), _num(1)), _cmp("<=", _name("y"), _num(1))),
                                   (_cmp(">=", _name("y"), _num("k")), _cmp("==", _name("b"), _num(1)))):
        gen._constraint_implication_constraint(_implies(antecedent, consequent), "c0", {})


@scenario
def implication_errors():
    gen = mipwright.GurobiCodeGenerator(IMPLICATION_AST, {})
    gen.gurobi_var_map.update(y="y", b="b", z="z")
    y1 = _cmp(">=", _name("y"), _num(1))
    for antecedent, consequent in (
        (_cmp("<>", _name("y"), _num(1)), y1),                                   # antecedent operator
        (_cmp("==", _name("b"), _num(1)), _cmp("<>", _name("y"), _num(1))),      # consequent operator
        (_name("b"), y1),                                                        # not a comparison
        (y1, "y"),
        ({"type": "not", "value": {"type": "sum"}}, y1),                         # not a condition
        ({"type": "not", "value": _cmp("<>", _name("y"), _num(1))}, y1),         # comparison operator
        ({"type": "not", "value": _bool("+", _name("y"), _num(1))}, y1),
        (y1, _cmp("==", _name("b"), _num("k"))),                                 # literal that is not a number
    ):
        expect(ValueError, gen._constraint_implication_constraint, _implies(antecedent, consequent), "c0", {})
    expect(KeyError, gen._constraint_implication_constraint, {"antecedent": y1}, "c0", {})
    expect(TypeError, gen._constraint_implication_constraint, _implies(y1, y1), "c0")
    deep = y1
    for _ in range(5000):
        deep = {"type": "not", "value": deep}
    expect(RecursionError, gen._constraint_implication_constraint, _implies(deep, y1), "c0", {})


# ---- korvane.oplparse ----

EXAMPLES = os.path.join(ROOT, "examples")
PARSER_MODEL = """
tuple Arc { string a; string b; int cost; }
{Arc} Arcs = ...;
{string} S = {"p", "q"};
int n = 3;
range R = 1..n;
float w[R][S] = ...;
dvar float+ x[Arcs] in 0..5;
dvar boolean b[R];
dexpr float load[i in R] = sum(s in S) w[i][s] * b[i];
maximize sum(a in Arcs : a.a != "p") a.cost * x[a] + load[2];
subject to {
  forall(i in R, j in 1..n : i < j) {
    pair: b[i] + b[j] <= 1;
    b[i] => load[j] >= 1 && !b[j];
  }
  sum(i in R) (load[i] >= 2) >= min(1, n);
}
"""
PARSER_DATA = 'n = 3; w = [[1, 2.5] [3 4]]; Arcs = {<"p", "q", 1>}; k = #[<1, "a">: 2]#; r = 1..4; s = "caf\u00e9 \\n";'


@scenario
def parse_model_and_data():
    oplparse.parse_model(PARSER_MODEL, "m.mod")
    oplparse.parse_data(PARSER_DATA, filename="d.dat")


@scenario
def parse_files():
    knapsack = os.path.join(EXAMPLES, "knapsack")
    oplparse.parse_files(knapsack + ".mod", knapsack + ".dat")
    oplparse.parse_files(knapsack + ".mod")
    expect(FileNotFoundError, oplparse.parse_files, os.path.join(EXAMPLES, "missing.mod"))


@scenario
def parse_errors():
    for text in ("int n = 3\nint m;", "dvar int x; minimize y;", "using CP;", "dvar int x; subject to {",
                 "int n; int n;", "dvar int x[1..2]; minimize x[x[1]];", "dvar int x; minimize foo(x);",
                 "int cap = 1; dvar int x; minimize x; subject to { x <= capp; }", "dvar flot x;", "maximise 1;",
                 "dvar float x; minimize x\nsubject to {}", "range float r = 1.0..2.0;",
                 "dvar int x; subject to { x = 1; }", "dvar int x; subject to { 0 <= x >= 1; }"):
        expect(faultlore.SemanticError, oplparse.parse_model, text, filename="m.mod")
    for text in ("a = [1, 2,,];", "a = [1", "a = 'x';", "a = 1 yes;", 'x from SheetRead(s, "A1");', "n = 3\nm = 4;",
                 "n = 3"):
        expect(faultlore.SemanticError, oplparse.parse_data, text)
    expect(TypeError, oplparse.parse_model, b"")
    expect(TypeError, oplparse.parse_data)
    expect(RecursionError, oplparse.parse_model, "dvar int x; minimize " + "(" * 5000 + "x" + ")" * 5000 + ";")
    expect(RecursionError, oplparse.parse_data, "a = " + "[" * 5000 + "]" * 5000 + ";")
    for text in ("a = 1; a = 2;", 'c = #["a": 1, "a": 2]#;', 'S = {<"a", 1>, <"a", 1>};', "x = 1e999;"):
        expect(faultlore.SemanticError, oplparse.parse_data, text)
    dexprs = "dvar float x; dexpr float d0 = x + x;" + "".join(f"dexpr float d{i} = d{i - 1} + d{i - 1};"
                                                               for i in range(1, 40)) + "minimize d39;"
    with patched(oplparse, EXPANSION_LIMIT=1000):
        expect(faultlore.SemanticError, oplparse.parse_model, dexprs)
    for text in ("{int} S = {1};\n{int} T = S union 3;", "dvar float x; minimize x; subject to { x >= 3 mod; }",
                 "dvar float x; minimize x; subject to { forall(ordered i, j in 1..2) x >= i; }",
                 "tuple T { int cost; }\n{T} Ts = ...;\ndvar int x;\nminimize sum(t in Ts) t.cots * x;"):
        expect(faultlore.SemanticError, oplparse.parse_model, text)


CHECKED_FILES = tempfile.mkdtemp(prefix="korvane_leaks_")


def _write(name, text):
    path = os.path.join(CHECKED_FILES, name)
    with open(path, "w") as f:
        f.write(text)
    return path


CHECKED_MODEL = _write("m.mod", "{string} S = ...; int a = ...; float c[S] = ...; dvar float x; minimize x; subject to {}")
CHECKED_DATA = [_write(f"d{i}.dat", text) for i, text in enumerate((
    'S = {"a"}; a = 1.5; c = #["a": 1]#;', 'S = {"a"}; a = 1; c = #["a": 1, "b": 2]#;', 'S = {"a"}; a = 1; c = #["a": 1]#;'))]


@scenario
def parse_files_checks_data_against_declarations():
    for data in CHECKED_DATA[:2]:
        expect(faultlore.SemanticError, oplparse.parse_files, CHECKED_MODEL, data)
    oplparse.parse_files(CHECKED_MODEL, CHECKED_DATA[2])


INSTANTIATE_MODEL = """
{string} S = ...;
int Cap[S] = ...;
int M = max(s in S) Cap[s];
float Share[s in S] = Cap[s] / sum(t in S) Cap[t];
{string} Big = {s | s in S : Cap[s] > 2} union {"a"};
{int} Q[s in S] = {k | k in 1..Cap[s] : k mod 2 == 0};
tuple P { string s; int k; }
{P} Pairs with s in S = {<s, k> | s in S, k in 1..2};
assert forall(s in S) Cap[s] >= 1;
dvar float+ x[S] in 0..M;
maximize sum(<s, k> in Pairs) Share[s] * x[s] + sum(s in S, k in Q[s]) k * x[s] / 100;
subject to {
  cap: forall(s in Big) { 0 <= x[s] <= Cap[s] div 2 + 1; if (Cap[s] > 3) { x[s] <= 2; } };
  if (card(S) > 1) { sum(s in S) x[s] <= M; }
}
"""


CHECKED_ARITY_MODEL = _write("arity.mod", "tuple T { int a; int b; } {T} S = ...; float p = ...; int n = ...;")


@scenario
def tuple_set_fields():
    fields = oplparse.parse_model("tuple T { {int} a; string n; {string} b; } {T} S = ...; "
                                  "int c = sum(t in S, j in t.b : 2 in t.a) card(t.a);")
    oplparse.instantiate(fields, {"S": [[[1, 2], "x", ["p", "q"]], [[], "y", []]]})
    expect(faultlore.SemanticError, oplparse.instantiate, fields, {"S": [[[1], "x", 3]]})


# Its block count settles only after some dozens of calls (caches of the interpreter and of
# tempfile filling up, still moving by a few blocks per round after that), so it warms up longer
# than most and is measured over more rounds.
@scenario(warmup=60, rounds=12)
def instantiate():
    tree = oplparse.parse_model(INSTANTIATE_MODEL, "m.mod")
    oplparse.instantiate(tree, {"S": ["a", "b", "c"], "Cap": [3, 5, 1]})
    for name in ("diet", "routes", "netflow", "warehouse", "stations", "multiperiod", "transship_out_in",
                 "exam_slots", "batch_mix", "coverage_ranges", "shift_window"):
        oplparse.parse_files(os.path.join(EXAMPLES, name + ".mod"), os.path.join(EXAMPLES, name + ".dat"))
    for text in ("float c = infinity; dvar float x; minimize x; subject to { x >= 0; 2 * x <= c; }",
                 "int d[1..2] = [1, 0]; dvar float x[1..2]; minimize x[1]; subject to { forall(i in 1..2) "
                 "x[i] <= 3 div d[i]; }", "{int} S = {1}; dvar float x; minimize x; subject to { forall(i in S) "
                 "x >= card({j | j in S : j > i}); }", "tuple T { setof(int) s; }"):
        expect(faultlore.SemanticError, lambda t: oplparse.instantiate(oplparse.parse_model(t), {}), text)
    for text in ('float p = "abc";', "int n = true;", "S = {<1 2>, <3>};", "S = {1..3, 2};", "a = [1..2];"):
        expect(faultlore.SemanticError, oplparse.parse_files, CHECKED_ARITY_MODEL, _write("bad.dat", text))
    for data in ({"S": ["a"], "Cap": [0]}, {"S": ["a"], "Cap": [2], "M": 3}, {"S": ["a"]}):
        expect(faultlore.SemanticError, oplparse.instantiate, tree, data, filename="m.mod")
    for text in ("int n = 5 / 2;", "int d = 1 div 0;", "{string} S = ...; string s = next(S, \"a\");",
                 "tuple T { int a; } {int} A = {1}; {T} B with a in A = {<2>};"):
        expect(faultlore.SemanticError, oplparse.instantiate, oplparse.parse_model(text), {"S": ["a"]})
    expect(TypeError, oplparse.instantiate, [], {})
    expect(TypeError, oplparse.instantiate, {}, None)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "latin1.mod")
        with open(path, "wb") as f:
            f.write(b"// caf\xe9\ndvar int co\xfbt;")
        expect(faultlore.SemanticError, oplparse.parse_files, path)


POST_MODEL = """
{string} S = ...;
tuple P { string s; float v; }
dvar int+ x[S] in 0..3;
dvar float y;
maximize sum(s in S) x[s] - y;
subject to { y >= 1; }
{P} chosen = {<s, x[s]> | s in S : x[s] > 0};
float total = sum(s in S) x[s] + y;
float top = max(p in chosen) p.v;
float ratio = 1 / y;
dexpr float gain = sum(s in S) x[s];
execute { for (var p in chosen) writeln(p.s, " ", p.v, " ", x[p.s].solutionValue); writeln(total, gain, ratio); }
execute { if (ratio > 0.9) writeln(x["zz"]); else writeln(cplex.getObjValue()); }
"""


SCRIPT_MODEL = """
tuple P { int a; float b; }
{int} K = {1, 2};
P rec[K] = ...;
{string} S = {"a", "b"};
float w[S];
{int} Grown;
int n = 3;
execute prep {
  var arr = new Array(), t = "";
  for (var i = 1; i <= n; i++) { arr[i] = i * 0.5; Grown.add(i); t += i + ","; }
  for (var s in S) w[s] = Opl.ord(S, s) + Math.sqrt(4);
  rec[2].b = arr[3]; n += 1; cplex.tilim = 5; cplex.nodelim = 3;
  writeln(t, Grown, w, rec[2], Opl.next(S, "a"), Math.max(1, 2), [1, [2]]);
}
dvar float+ x[S] in 0..1;
maximize sum(s in S) w[s] * x[s];
execute post { for (var s in S) writeln(x[s].solutionValue, cplex.getObjValue()); }
main { thisOplModel.generate(); if (cplex.solve()) writeln(x["a"]); }
"""


@scenario(warmup=10, rounds=8)
def post_process():
    tree, data = oplparse.instantiate(oplparse.parse_model(POST_MODEL, "m.mod"), {"S": ["a", "b"]})
    oplparse.post_process(tree, data, {"x[a]": 3.0, "x[b]": 0.0, "y": 1.25}, 2.0, filename="m.mod")
    oplparse.post_process(tree, data, None, None)
    expect(faultlore.SemanticError, oplparse.post_process, tree, data, {"x[a]": 3.0, "x[b]": 0.0, "y": 1.0}, 3.0)
    expect(faultlore.SemanticError, oplparse.post_process, tree, data, {"x[a]": 3.0, "x[b]": 0.0, "y": 0.0}, 3.0)
    expect(faultlore.SemanticError, oplparse.post_process, tree, data, {"x[a]": 3.0, "y": 1.0}, 2.0)
    expect(faultlore.SemanticError, oplparse.post_process, tree, data, {"x[a]": "3", "x[b]": 0.0, "y": 1.0}, 2.0)
    expect(TypeError, oplparse.post_process, tree, data, [], 2.0)
    expect(TypeError, oplparse.post_process, tree, data, {}, "2")


@scenario(warmup=10, rounds=8)
def script_blocks():
    tree, data = oplparse.parse_files(os.path.join(EXAMPLES, "script_heavy.mod"), os.path.join(EXAMPLES, "script_heavy.dat"))
    tree, data = oplparse.instantiate(oplparse.parse_model(SCRIPT_MODEL, "m.mod"), {"rec": [[1, 1.5], [2, 2.5]]})
    post, main_block = tree["post_blocks"]
    for block in (post, main_block):
        oplparse.run_script(block, tree, data, {"x[a]": 1.0, "x[b]": 0.0}, 3.0)
    oplparse.run_script(main_block, tree, data, None, None)
    expect(faultlore.SemanticError, oplparse.run_script, post, tree, data, None, None)
    expect(faultlore.SemanticError, oplparse.run_script, post, tree, data, {}, 1.0)
    expect(TypeError, oplparse.run_script, [], tree, data)
    for text in ("execute { function f() {} }", "execute { var x = 'open; }", "main { cplex.solve(); cplex.solve(); }",
                 "int n = 1; execute { n = 'a'; }", "execute { while (true) {} }", "execute { writeln(q); }",
                 "{int} S = {1}; execute { Opl.next(S, 1); }", "execute {" + "(" * 5000 + "1" + ")" * 5000 + "}"):
        with patched(oplparse, SCRIPT_STEP_LIMIT=1000):
            expect((faultlore.SemanticError, RecursionError), lambda: oplparse.instantiate(oplparse.parse_model(text), {}))


# ---- korvane._velmoraserve ----

@contextlib.contextmanager
def patched(target, **values):
    saved = {name: getattr(target, name) for name in values}
    for name, value in values.items():
        setattr(target, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(target, name, value)


def _fail(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


BOUNDARY_MODEL = """int n = 3; {string} S = ...; dvar float+ x[S]; maximize x["a"] + 1 * n;
subject to { forall(s in S) x[s] <= n; 3 <= 4; forall(i in 1..2) i + n >= 1; }"""


class _Repr:
    def __repr__(self):
        return "x"


@scenario(warmup=10, rounds=8)
def generator_boundary():
    tree = oplparse.parse_model(BOUNDARY_MODEL)
    chain = {"type": "number", "value": 1000}
    for _ in range(300):
        chain = {"type": "binop", "op": "-", "left": chain, "right": {"type": "number", "value": 1}}
    tree["constraints"].append({"type": "constraint", "op": "<=", "left": {"type": "name", "value": "n"}, "right": chain})
    mipwright.GurobiCodeGenerator(tree, {"S": ["a", type("Text", (str,), {})("b")]}).generate_code()
    lpwrightsparse.SciPyCSCCodeGenerator(tree, {"S": ["a", "b"]}).build_matrices()
    expect(ValueError, mipwright.GurobiCodeGenerator(tree, {"S": [_Repr()]}).generate_code)
    expect(faultlore.SemanticError, mipwright.GurobiCodeGenerator(tree, {"S": ["a"], "f": float("nan")}).generate_code)
    expect(faultlore.SemanticError, mipwright.GurobiCodeGenerator(tree, {"S": ["a"], "model": 1}).generate_code)
    bad = oplparse.parse_model(BOUNDARY_MODEL.replace("3 <= 4", "5 <= 4"))
    expect(faultlore.SemanticError, mipwright.GurobiCodeGenerator(bad, {"S": ["a"]}).generate_code)
    expect(faultlore.SemanticError, lpwrightsparse.SciPyCSCCodeGenerator(bad, {"S": ["a"]}).build_matrices)
    shadow = oplparse.parse_model(BOUNDARY_MODEL.replace("forall(s in S)", "forall(n in S)").replace("x[s]", "x[n]"))
    expect(faultlore.SemanticError, mipwright.GurobiCodeGenerator(shadow, {"S": ["a"]}).generate_code)


@scenario
def velmora_names():
    for solver in (None, "", " HiGHS ", "GUROBI", "cplex"):
        velmora._normalize_solver(solver)
        velmora._solve_backend(solver)
    for provider in (None, " Gemini", "ollama"):
        velmora._normalize_provider(provider)
    velmora._build_llm_kwargs()
    velmora._build_llm_kwargs(llm_model="gpt-4o", provider="GOOGLE")
    expect(ValueError, velmora._normalize_provider, "bard")
    expect(ValueError, velmora._build_llm_kwargs, "m", "bard")


@scenario
def velmora_argument_binding():
    velmora.list_methods_tool()
    velmora.list_models_tool.__signature__, velmora.insight_tool.__annotations__
    expect(TypeError, velmora.list_models, "openai", None, 3)
    expect(TypeError, velmora.list_models, model="x")
    expect(TypeError, velmora.list_models, "openai", provider="google")
    expect(TypeError, velmora.ask_tool, "p")
    expect(TypeError, velmora._generate_with_best_available_backend, 1, "m", "d")
    expect(TypeError, velmora._run_in_thread, print, func=print)


async def _answer():
    return {"answer": 42}


@scenario
def velmora_worker_threads():
    velmora._run_in_thread(divmod, 7, 2)
    velmora._run_in_thread(dict, a=1)
    expect(ZeroDivisionError, velmora._run_in_thread, divmod, 1, 0)
    velmora._run_coro_in_thread(_answer)
    expect(KeyError, velmora._run_coro_in_thread, _fail(KeyError("x")))


GRAPHCHAIN = "korvane.genai.korvane_generative_graphchain"


async def _generate_async(*args, **kwargs):
    return {"async": True}


@scenario
def velmora_generation():
    with patched(velmora, generative_solve=lambda *a, **k: {"sync": True}, generative_feedback=lambda *a, **k: "ok"):
        velmora._generate_with_best_available_backend("p", "m", "d", llm_model="x", provider="ollama")
        velmora.generate_tool("p", "m.mod", "d.dat")
        velmora.ask_tool("p", "m.mod", "d.dat", provider="gemini")
    with patched(velmora, generative_solve=lambda *a, **k: ["not a dict"]):
        expect(TypeError, velmora.generate_tool, "p", "m.mod", "d.dat")
    with patched(velmora, generative_solve=_fail(OSError("disk full"))):
        expect(OSError, velmora._generate_with_best_available_backend, "p", "m", "d")
    with patched(velmora, _build_llm_kwargs=lambda **k: {"iterations": 2}):
        expect(TypeError, velmora._generate_with_best_available_backend, "p", "m", "d")
    sys.modules[GRAPHCHAIN] = types.SimpleNamespace(generative_solve_async=_generate_async)
    try:
        velmora._generate_with_best_available_backend("p", "m", "d")
    finally:
        del sys.modules[GRAPHCHAIN]


@scenario
def velmora_lists():
    velmora.list_providers_tool()
    with patched(velmora, LLMProvider=42):
        velmora.list_providers()
    with patched(velmora, list_gemini_models=lambda prefix=None: [prefix], list_openai_models=lambda: ("a",)):
        velmora.list_models_tool(provider="gemini", prefix="gem")
        expect(TypeError, velmora.list_models_tool)
    expect(ValueError, velmora.list_models, "watsonx")


@functools.lru_cache(maxsize=None)
def _file_rules_root():
    """A directory with a symlink, a directory and a hard link named like model files, made once:
    making files in every round moves the allocator's block count."""
    root = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, root)
    os.symlink(os.path.join(root, ".profile"), os.path.join(root, "profile.mod"))
    os.mkdir(os.path.join(root, "dir.mod"))
    open(os.path.join(root, "one.mod"), "w").close()
    os.link(os.path.join(root, "one.mod"), os.path.join(root, "two.mod"))
    return root


@scenario
def velmora_file_rules():
    root = _file_rules_root()
    with patched(velmora, _ask_for_feedback=lambda *a, **k: "ok"):
        velmora.ask_tool("p", os.path.join(root, "m.mod"), os.path.join(root, "d.dat"))
        refused = [os.path.join(root, name) for name in ("profile.mod", "dir.mod", "two.mod")]
        for model_file in (None, "m.txt", *refused):
            expect(ValueError, velmora.ask_tool, "p", model_file, "d.dat")
        os.environ["KORVANE_MCP_ROOT"] = root
        try:
            expect(ValueError, velmora.generate_tool, "p", "m.mod", "d.dat")
        finally:
            del os.environ["KORVANE_MCP_ROOT"]


def _generated(prompt, model_file, data_file, **kwargs):
    return {"success": True}


@scenario
def velmora_insight():
    root = tempfile.mkdtemp()
    try:
        with patched(tempfile, tempdir=root), patched(velmora, _generate_with_best_available_backend=_generated):
            with patched(velmora, solve=lambda *a, **k: {"status": "OPTIMAL"},
                         _ask_for_feedback=lambda *a, **k: {"summary": "s"}):
                velmora.insight_tool("p", solver="gurobi")
            with patched(velmora, solve=_fail(RuntimeError("no")), _ask_for_feedback=_fail(ValueError("down"))):
                velmora.insight_tool("p")
            with patched(velmora, _generate_with_best_available_backend=_fail(ValueError("bad"))):
                expect(ValueError, velmora.insight_tool, "p")
    finally:
        shutil.rmtree(root)


# ---- the SciPy target (generation only: the debug interpreter has no numpy to run scripts) ----

SCIPY_MODEL = """
tuple Arc { string a; string b; float cost; }
{Arc} Arcs = ...;
{string} Nodes = ...;
float cap[Nodes] = ...;
float w[Nodes][1..2] = ...;
int k = ...;
range R = ...;
dvar int+ flow[Arcs] in 0..10;
dvar boolean open[Nodes];
dvar int x[R] in 0..4;
minimize sum(a in Arcs : a.a != "z") a.cost * flow[a] + sum(n in Nodes) cap[n] * open[n]
         + sqrt(4) * x[1] + max(1, w["u"][2]) * x[2];
subject to {
  forall(n in Nodes) out: sum(a in Arcs : a.a == n) flow[a] <= cap[n] * open[n];
  forall(n in Nodes, j in 1..2 : j > 1) w[n][j] * open[n] <= 5;
  sum(i in R) (x[i] >= 2) >= k;
  open["u"] == (x[1] >= 3);
  x[1] != x[2];
  open["u"] == 1 => x[3] > 2;
  x[2] >= 3 => open["v"] == 1;
  x[1] == 2 => x[2] <= 1;
  (x[1] >= 1 && x[2] <= 3) || !(x[3] == 0) => x[1] + x[2] >= 1;
}
"""
SCIPY_DATA = ('Arcs = {<"u", "v", 1.5>, <"v", "u", 2>}; Nodes = {"u", "v"}; cap = #["u": 4, "v": 5]#;'
              'w = [[1, 2], [3, 4]]; k = 1; R = 1..3;')


@scenario
def scipy_front():
    gen = lpwrightcore.SciPyCodeGeneratorBase({}, {})
    expect(NotImplementedError, gen.generate_code)
    expect(TypeError, lpwrightcore.SciPyCodeGeneratorBase)
    lpwright.SciPyCodeGenerator({"declarations": []})
    expect(ValueError, lpwright.SciPyCodeGenerator, {}, None, "dense")
    expect(TypeError, lpwright.SciPyCodeGenerator)


SCIPY_TREE, SCIPY_VALUES = oplparse.parse_model(SCIPY_MODEL), oplparse.parse_data(SCIPY_DATA)


@scenario(warmup=60, rounds=12)
def scipy_generation():
    gen = lpwrightsparse.SciPyCSCCodeGenerator(SCIPY_TREE, SCIPY_VALUES)
    gen.generate_code()
    gen.var_names, gen.var_indices
    expect(AttributeError, getattr, gen, "missing")


LINEARISED_TREE = oplparse.parse_model("""
dvar int x[1..3] in -3..3;
dvar int y;
minimize sum(i in 1..3) abs(x[i] - y) + maxl(x[1], y);
subject to {
  y >= 0;
  y + x[1] <= 6;
  abs(x[2] - y) >= 2;
  minl(x[1], x[2]) <= -1;
  max(i in 1..3) x[i] >= 1;
  sum(j in 1..3) maxl(x[j], 0) >= 2;
  y >= 2 => x[3] <= 1;
}""")
UNBOUNDED_TREE = oplparse.parse_model("dvar float w;\nminimize w;\nsubject to {\n  c: abs(w) >= 1;\n}")


@scenario(warmup=20, rounds=8)
def linearised_functions_and_implied_bounds():
    lpwrightsparse.SciPyCSCCodeGenerator(LINEARISED_TREE, {}).generate_code()
    mipwright.GurobiCodeGenerator(LINEARISED_TREE, {}).generate_code()
    expect(faultlore.SemanticError, lpwrightsparse.SciPyCSCCodeGenerator(UNBOUNDED_TREE, {}).generate_code)


CONSTRUCTS_TREE = oplparse.instantiate(oplparse.parse_model("""
dvar int x[1..3] in -3..3;
dvar boolean b;
pwlFunction f = piecewise{1 -> -1; -2 -> 1; 2}(0, 1);
minimize sum(i in 1..3) piecewise{-1 -> 0; 2} x[i] + f(x[1]) + 2 * b * x[2];
subject to {
  forall(i in 1..2) x[i] <= -1 || x[i + 1] >= 1;
  (x[1] >= 1 && b) != (x[2] <= 0);
  if (x[3] >= 2) { x[1] <= 0; } else { !(x[2] == 1); }
}"""), {})[0]
UNBOUNDED_PRODUCT_TREE = oplparse.instantiate(oplparse.parse_model(
    "dvar float w; dvar boolean b; maximize w; subject to { c: b * w <= 4; w >= 0; }"), {})[0]


@scenario(warmup=10, rounds=6)
def logical_constraints_products_and_piecewise_functions():
    lpwrightsparse.SciPyCSCCodeGenerator(CONSTRUCTS_TREE, {}).generate_code()
    mipwright.GurobiCodeGenerator(CONSTRUCTS_TREE, {}).generate_code()
    expect(faultlore.SemanticError, lpwrightsparse.SciPyCSCCodeGenerator(UNBOUNDED_PRODUCT_TREE, {}).generate_code)
    expect(faultlore.SemanticError, mipwright.GurobiCodeGenerator(UNBOUNDED_PRODUCT_TREE, {}).generate_code)
    expect(faultlore.SemanticError, oplparse.parse_model, "dvar int x; minimize x; subject to { x + 1; }")


ORIGINS_TREE = oplparse.parse_model("""
tuple Arc { string a; string b; float cost; }
{Arc} Arcs = ...;
dvar float+ flow[Arcs];
minimize sum(a in Arcs) a.cost * flow[a];
subject to {
  forall(a in Arcs, k in 1..2) arc: flow[a] + k * flow[a] >= a.cost;
  forall(a in Arcs) flow[a] <= 3;
}""")
ORIGINS_VALUES = oplparse.parse_data('Arcs = {<"u", "v", 1.5>, <"v", "u", 2>};')


@scenario(warmup=30, rounds=8)
def scipy_row_origins():
    gen = lpwrightsparse.SciPyCSCCodeGenerator(ORIGINS_TREE, ORIGINS_VALUES)
    gen.build_matrices()
    assert gen.row_origins["origins"]["value_table"] == [("u", "v", 1.5), ("v", "u", 2), 1, 2]


@scenario(warmup=30, rounds=8)
def scipy_lazy_attributes():
    gen = lpwrightsparse.SciPyCSCCodeGenerator(ORIGINS_TREE, ORIGINS_VALUES)
    gen.build_matrices()
    gen.c, gen.A_ub
    del gen.b_eq
    expect(AttributeError, getattr, gen, "b_eq")
    # Copies and pickles go through the same __reduce_ex__; pickle's own caches settle too
    # slowly for this check.
    copy.copy(gen)
    copy.deepcopy(gen)
    gen.build_matrices()
    gen.c = [1.0, 2.0]
    gen.generate_code()
    lpwrightsparse.SciPyCSCCodeGenerator(ORIGINS_TREE, ORIGINS_VALUES).build_matrices()


@scenario(warmup=60, rounds=12)
def scipy_example():
    knapsack = os.path.join(EXAMPLES, "knapsack")
    lpwright.SciPyCodeGenerator(*oplparse.parse_files(knapsack + ".mod", knapsack + ".dat")).generate_code()


@scenario
def scipy_generation_errors():
    for model_text, data_text in (("int n = ...; dvar float x; minimize n * x; subject to {}", ""),
                                  ("float p[1..2] = ...; dvar float x; minimize x; subject to {}", "p = [1];"),
                                  ("dvar float x; dvar float y; minimize x; subject to { x * y <= 1; }", ""),
                                  ("dvar float w; dvar boolean b; minimize w; subject to { b == 1 => w <= 2; }", ""),
                                  ("float p[1..2] = [1, 2]; dvar float x; minimize x; subject to { p[3] * x <= 1; }", ""),
                                  ("{string} S = ...; dvar float x[S]; minimize 1; subject to {}", "")):
        gen = lpwrightsparse.SciPyCSCCodeGenerator(oplparse.parse_model(model_text), oplparse.parse_data(data_text))
        expect(faultlore.SemanticError, gen.generate_code)
    for model_text, values in (('{string} S = {"a"}; dvar float x[S]; minimize x["zz"]; subject to {}', {}),
                               ("int n = ...; dvar float x; minimize x; subject to { forall(i in 1..n) x >= 1; }",
                                {"n": 2 ** 40}),
                               ("float a = ...; dvar float x; minimize x; subject to { x >= a; }", {"a": float("nan")}),
                               ("int a = ...; dvar float x; minimize x; subject to { x >= a; }", {"a": 2 ** 60}),
                               ("dvar float x[1..2**40][1..2**40]; minimize 1; subject to {}", {})):
        gen = lpwrightsparse.SciPyCSCCodeGenerator(oplparse.parse_model(model_text.replace("2**40", "1099511627776")),
                                                   values)
        expect(faultlore.SemanticError, gen.generate_code)
    gen = lpwrightsparse.SciPyCSCCodeGenerator(oplparse.parse_model("dvar float x; minimize x; subject to {}"), {})
    gen.term_limit = -1
    expect(ValueError, gen.generate_code)
    expect(TypeError, lpwrightsparse.SciPyCSCCodeGenerator([], {}).generate_code)
    node = {"type": "name", "value": "x"}
    for _ in range(5000):
        node = {"type": "uminus", "value": node}
    tree = oplparse.parse_model("dvar float x; minimize x; subject to {}")
    tree["objective"]["expression"] = node
    expect(RecursionError, lpwrightsparse.SciPyCSCCodeGenerator(tree, {}).generate_code)


# ---- the glue, through its test probe ----

@scenario
def glue_probe():
    try:
        import _glueprobe as probe
    except ImportError:
        return
    probe.bind(1, b=2)
    expect(TypeError, probe.bind, 1, 2, 3, 4)
    expect(TypeError, probe.bind, 1, 2, d=1)
    for kind, exc in (("bad_alloc", MemoryError), ("runtime_error", SystemError), ("python", ValueError)):
        expect(exc, probe.throw_cpp, kind)
    expect(KeyError, probe.item_of, {}, (1, 2))
    probe.get_of({"a": 1}, "a")
    probe.getattr_of(1, "missing", None)
    probe.Probe().describe()


def measure(fn, rounds=None, calls=15):
    rounds = rounds or getattr(fn, "rounds", 6)
    for _ in range(getattr(fn, "warmup", 3)):
        fn()
    samples = []
    for _ in range(rounds):
        for _ in range(calls):
            fn()
        gc.collect()
        samples.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
    ref_deltas = [b[0] - a[0] for a, b in zip(samples, samples[1:])]
    block_deltas = [b[1] - a[1] for a, b in zip(samples, samples[1:])]
    return ref_deltas, block_deltas


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("check_refcounts.py needs a debug build of the interpreter (python3.11-dbg)")
    # What the measurement itself costs per round, so that only the scenario's growth counts.
    failures = 0
    for name, fn in SCENARIOS.items():
        base_refs, base_blocks = measure(lambda: None, rounds=getattr(fn, "rounds", 6))
        refs, blocks = measure(fn)
        refs = [d - b for d, b in zip(refs, base_refs)]
        blocks = [d - b for d, b in zip(blocks, base_blocks)]
        leaked = all(d > 0 for d in refs) or all(d > 0 for d in blocks)
        failures += leaked
        print(f"{'LEAK' if leaked else 'ok  '} {name}: refs {refs} blocks {blocks}")
    shutil.rmtree(CHECKED_FILES)
    if failures:
        sys.exit(f"{failures} scenario(s) leak references or memory")


if __name__ == "__main__":
    main()

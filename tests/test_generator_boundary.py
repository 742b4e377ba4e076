"""What a caller hands the generators is checked before any of it becomes script text: hostile
values in trees and data, names that Python or the script reserves, forall iterators that hide
declared names, every operator combination, long sums, exact strings, trees that change while
they are read, and constraints without decision variables."""
import copy
import io
import operator
import random

import pytest

from korvane import oplparse
from korvane.faultlore import SemanticError
from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.mipwright import GurobiCodeGenerator
from korvane.solving import solve_parsed
from script_runner import run_gurobi_script

BASE = """
int n = 2;
{string} S = ...;
dvar float+ x[S];
maximize sum(s in S) x[s];
subject to {
  forall(s in S) x[s] <= 1 * n;
}
"""
BASE_DATA = {"S": ["a", "b"]}


def base():
    return oplparse.parse_model(BASE), copy.deepcopy(BASE_DATA)


def dicts_in(value):
    """Every dict inside a tree, outermost first."""
    if isinstance(value, dict):
        yield value
    children = value.values() if isinstance(value, dict) else value if isinstance(value, list) else ()
    for child in children:
        yield from dicts_in(child)


def nodes_of(tree, node_type):
    return [node for node in dicts_in(tree) if node.get("type") == node_type]


class Code:
    """A value whose repr and str are code."""

    def __repr__(self):
        return "__import__('os').system('echo pwned')"

    __str__ = __repr__


class CodeFloat(float):
    def __repr__(self):
        return "__import__('os').system('echo pwned')"

    __str__ = __repr__


def set_number(tree, data):
    nodes_of(tree, "number")[0]["value"] = "1); __import__('os').system('echo pwned'); (1"


def set_name(tree, data):
    nodes_of(tree, "name")[0]["value"] = "n; __import__('os').system('echo pwned')"


def set_iterator(tree, data):
    tree["constraints"][0]["iterators"][0]["iterator"] = "s in S:\n    __import__('os')\nfor s"


def set_operator(tree, data):
    tree["constraints"][0]["constraint"]["op"] = "<= 1 or __import__('os') or x[s] <="


def set_declared_name(tree, data):
    tree["declarations"][0]["name"] = "n = __import__('os')\nn"


def set_data_object(tree, data):
    data["S"] = [Code()]


def set_data_key(tree, data):
    data["y = __import__('os')\ny"] = 1


def set_non_finite(tree, data):
    data["S"] = ["a"]
    data["extra"] = float("nan")


def set_empty_dimensions(tree, data):
    next(d for d in tree["declarations"] if "dimensions" in d)["dimensions"] = []


def set_label_iterators(tree, data):
    tree["constraints"][0]["constraint"]["label_template"] = {"name": "cap", "iterators": ["s]); __import__('os'); ([s"]}


@pytest.mark.parametrize("damage, error, words", [
    (set_number, ValueError, "'number' node at constraints[0].constraint.right.left.value"),
    (set_name, ValueError, "needs an identifier as its value"),
    (set_iterator, ValueError, "needs an identifier as its iterator"),
    (set_operator, ValueError, "has the unknown operator"),
    (set_declared_name, ValueError, "needs an identifier as its name"),
    (set_data_object, ValueError, "Data item 'S'[0] holds a value of type 'Code'"),
    (set_data_key, ValueError, "data names must be identifiers"),
    (set_non_finite, SemanticError, "Unsupported number nan in data item 'extra'"),
    (set_label_iterators, ValueError, "needs an identifier as its iterator"),
    (set_empty_dimensions, ValueError, "needs a non-empty list of dimensions"),
], ids=lambda v: getattr(v, "__name__", None))
def test_hostile_values_are_refused_before_any_line(damage, error, words):
    tree, data = base()
    damage(tree, data)
    gen = GurobiCodeGenerator(tree, data)
    with pytest.raises(error) as raised:
        gen.generate_code()
    assert words in str(raised.value)
    assert gen.gurobi_code_lines == []


def test_subclasses_with_their_own_repr_are_written_as_their_plain_values():
    tree, data = base()
    nodes_of(tree, "number")[0]["value"] = CodeFloat(2.0)
    data["S"] = [type("Text", (str,), {"__repr__": lambda self: "__import__('os')"})("a")]
    script = GurobiCodeGenerator(tree, data).generate_code()
    assert "__import__" not in script
    assert run_gurobi_script(script)["objective_value"] == pytest.approx(4.0)


def replace_strings(tree, keys, change):
    """The tree with change(s) in place of every str s held under one of `keys`, or None to keep it."""
    for node in list(dicts_in(tree)):
        for key in keys:
            replacement = change(node[key]) if isinstance(node.get(key), str) else None
            if replacement is not None:
                node[key] = replacement
    return tree


def rename(tree, old, new):
    """The tree with every model name `old` (declarations and references) renamed."""
    return replace_strings(tree, ("name", "value", "iterator"), lambda s: new if s == old else None)


@pytest.mark.parametrize("reserved", ["lambda", "class", "None", "print", "model", "GRB", "gp", "results_container",
                                      "true", "itertools", "cmp_aux_1", "neq_flag_c0", "and_b2_c1", "__builtins__"])
def test_names_python_or_the_script_reserves_are_refused_with_the_name_to_change(reserved):
    tree, data = base()
    with pytest.raises(SemanticError, match=f"The name '{reserved}' .*rename it") as raised:
        GurobiCodeGenerator(rename(tree, "n", reserved), data).generate_code()
    assert raised.value.lineno == 2
    with pytest.raises(SemanticError, match=f"The name '{reserved}' "):
        GurobiCodeGenerator(*base()).__class__(oplparse.parse_model(BASE), dict(data, **{reserved: 1})).generate_code()


def test_a_declared_name_the_script_uses_for_a_set_index_is_refused():
    tree = oplparse.parse_model(BASE.replace("int n = 2;", "int n = 2; int S_index = 1;"))
    with pytest.raises(SemanticError, match="The name 'S_index' is used by the generated script for 'S'"):
        GurobiCodeGenerator(tree, dict(BASE_DATA)).generate_code()


def test_names_that_only_look_like_reserved_ones_are_kept():
    tree, data = base()
    script = GurobiCodeGenerator(rename(tree, "n", "model_size"), dict(data, cmp_budget=1, v=2)).generate_code()
    assert "model_size = 2" in script and run_gurobi_script(script)["objective_value"] == pytest.approx(4)


@pytest.mark.parametrize("constraints, hidden", [
    ("forall(n in 1..2) x[\"a\"] <= n;", "the declared name 'n'"),
    ("forall(s in S) forall(s in S) x[s] <= 1;", "the iterator of an enclosing forall 's'"),
    ("forall(i in 1..2, i in 1..3) x[\"a\"] <= i;", "another iterator of the same forall 'i'"),
    ("forall(S in 1..2) x[\"a\"] <= S;", "the declared name 'S'"),
])
def test_forall_iterators_never_overwrite_a_declared_name(constraints, hidden):
    tree = oplparse.parse_model(BASE.replace("forall(s in S) x[s] <= 1 * n;", constraints))
    with pytest.raises(SemanticError, match=f"hides {hidden}: .*Rename the iterator"):
        GurobiCodeGenerator(tree, dict(BASE_DATA)).generate_code()


class Mutating(str):
    """A name whose comparisons empty the caller's tree, as hostile caller code could."""

    tree = None

    def __eq__(self, other):
        if Mutating.tree is not None:
            Mutating.tree["declarations"].clear()
            Mutating.tree["constraints"].clear()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def with_mutating_names(tree):
    return replace_strings(tree, ("name", "value", "iterator", "type"), Mutating)


def test_a_tree_changed_by_its_own_strings_during_generation_is_read_as_it_was():
    tree, data = base()
    expected = GurobiCodeGenerator(copy.deepcopy(tree), data).generate_code()
    hostile = with_mutating_names(tree)
    gurobi = GurobiCodeGenerator(hostile, {Mutating("S"): [Mutating("a"), "b"]})
    scipy = SciPyCSCCodeGenerator(with_mutating_names(oplparse.parse_model(BASE)), {Mutating("S"): [Mutating("a"), "b"]})
    try:
        Mutating.tree = hostile  # armed once the generators hold the trees
        assert gurobi.generate_code() == expected
        Mutating.tree = scipy.ast
        scipy.build_matrices()
        assert list(scipy.var_names) == ["x[a]", "x[b]"]
    finally:
        Mutating.tree = None


# ---- every operator combination is valid Python with the tree's meaning ----

def random_expression(rng, depth):
    if depth == 0 or rng.random() < 0.2:
        return rng.choice([{"type": "number", "value": rng.choice([0, 1, 2, -3, 2.5])},
                           {"type": "boolean_literal", "value": rng.random() < 0.5}])
    kind = rng.choice(["binop", "binop", "not", "uminus", "and", "or", "conditional", "parenthesized_expression"])
    sub = lambda: random_expression(rng, depth - 1)  # noqa: E731
    if kind == "binop":
        return {"type": "binop", "op": rng.choice(["+", "-", "*", "/", "==", "!=", "<=", ">=", "<", ">"]),
                "left": sub(), "right": sub()}
    if kind in ("not", "uminus"):
        return {"type": kind, "value": sub()}
    if kind in ("and", "or"):
        return {"type": kind, "left": sub(), "right": sub()}
    if kind == "conditional":
        return {"type": "conditional", "condition": sub(), "then": sub(), "else": sub()}
    return {"type": kind, "expression": sub()}


OPERATORS = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "==": operator.eq,
             "!=": operator.ne, "<=": operator.le, ">=": operator.ge, "<": operator.lt, ">": operator.gt}


def meaning(node):
    """The value of an expression tree, with Python's semantics for each node."""
    kind = node["type"]
    if kind == "number":
        return node["value"]
    if kind == "boolean_literal":
        return 1 if node["value"] else 0
    if kind == "binop":
        return OPERATORS[node["op"]](meaning(node["left"]), meaning(node["right"]))
    if kind == "not":
        return not meaning(node["value"])
    if kind == "uminus":
        return -meaning(node["value"])
    if kind == "and":
        return meaning(node["left"]) and meaning(node["right"])
    if kind == "or":
        return meaning(node["left"]) or meaning(node["right"])
    if kind == "conditional":
        return meaning(node["then"]) if meaning(node["condition"]) else meaning(node["else"])
    return meaning(node["expression"])


def test_operator_combinations_translate_to_python_that_means_the_same():
    rng = random.Random(12)
    gen = GurobiCodeGenerator({"declarations": []})
    checked = 0
    for _ in range(3000):
        tree = random_expression(rng, 4)
        # As an expression, and as the index filter of a forall.
        texts = [str(gen._traverse_expression(tree, {}, True)), gen._emit_index_condition(tree, {})]
        codes = [compile(text, "<expression>", "eval") for text in texts]
        try:
            expected = meaning(tree)
        except ZeroDivisionError:
            continue
        for text, code in zip(texts, codes):
            assert eval(code, {"__builtins__": {}}) == expected, text
        checked += 1
    assert checked > 2000


def test_negation_as_an_operand_is_solved_or_refused_never_miswritten():
    # Python's `not` on a gurobipy variable is no linear expression: the gurobipy target refuses
    # it at compile time, the SciPy target linearises it.
    tree = oplparse.parse_model("dvar boolean r; dvar float+ x; maximize x + 2 * r;"
                                "subject to { x + !r <= 3; x <= 5; }")
    with pytest.raises(SemanticError, match="and/or/not over decision variables as a value"):
        GurobiCodeGenerator(tree, {}).generate_code()
    assert solve_parsed(tree, {}, "scipy", output=io.StringIO())["objective_value"] == pytest.approx(5)


# ---- long sums ----

def test_a_sum_of_thousands_of_explicit_terms_compiles_and_solves():
    terms = 3001
    signs = ["+" if i % 3 else "-" for i in range(2, terms + 1)]
    objective = "x[1] " + " ".join(f"{sign} x[{i}]" for sign, i in zip(signs, range(2, terms + 1)))
    tree = oplparse.parse_model(f"dvar float+ x[1..{terms}]; maximize {objective};"
                                f"subject to {{ forall(i in 1..{terms}) x[i] <= 1; {objective} <= 1500.5; }}")
    script = GurobiCodeGenerator(tree, {}).generate_code()
    positive = 1 + signs.count("+")
    assert run_gurobi_script(script)["objective_value"] == pytest.approx(min(positive, 1500.5))
    assert solve_parsed(tree, {}, "scipy")["objective_value"] == pytest.approx(min(positive, 1500.5))


def test_a_tree_that_contains_itself_is_refused():
    tree, data = base()
    tree["constraints"].append(tree["constraints"])
    with pytest.raises(ValueError, match=r"The model tree\['constraints'\]\[1\] contains itself"):
        GurobiCodeGenerator(tree, data).generate_code()


def data_with_a_cycle_held_only_by_its_containers():
    tree, data = base()
    inner = ["x"]
    outer = [inner, ("y", 1)]
    inner.append(outer)  # entered through `outer`, which only `inner` and the data's list hold
    data["extra"] = [[outer]]
    return tree, data


def data_with_shared_and_subclassed_rows():
    tree, data = base()
    row = ["a", 1, 2.5]
    data["extra"] = [row] * 1000 + [Row(["b", 2])] + [("c", CodeFloat(3.0))]
    return tree, data


class Row(list):
    def __iter__(self):
        raise AssertionError("the generator ran a subclass's own __iter__")


@pytest.mark.parametrize("make", [GurobiCodeGenerator, SciPyCSCCodeGenerator])
def test_data_copies_refuse_cycles_anywhere_and_keep_shared_rows_without_running_subclass_code(make):
    tree, data = data_with_a_cycle_held_only_by_its_containers()
    with pytest.raises(ValueError, match=r"contains itself"):
        make(tree, data).generate_code()
    tree, data = data_with_shared_and_subclassed_rows()
    script = make(tree, data).generate_code()
    assert "__import__" not in script
    assert data["extra"][0] is data["extra"][999]  # the caller's data is left as it was
    assert isinstance(data["extra"][1000], Row)


ARCS_MODEL = """
tuple Arc { string p; string m; }
{string} P = ...;
{string} M = ...;
{Arc} Arcs = ...;
float cost[Arcs] = ...;
float cap[P] = ...;
dvar float+ ship[Arcs];
minimize sum(a in Arcs) cost[a] * ship[a];
subject to {
  forall(p in P) out: sum(a in Arcs : a.p == p) ship[a] <= cap[p];
  forall(m in M) sum(a in Arcs : a.m == m) ship[a] >= 1;
}
"""


class Text(str):
    def __eq__(self, other):
        raise AssertionError("the generator ran a str subclass's own __eq__")

    __hash__ = str.__hash__


def arcs_data(text, row):
    """Plants, markets and arcs over them, every string made by `text` and every arc by `row`."""
    rng = random.Random(20)
    plants, markets = [f"plant{i}" for i in range(12)], [f"market{j}" for j in range(15)]
    arcs = sorted({(rng.choice(plants), m) for m in markets for _ in range(4)})
    return {"P": [text(p) for p in plants], "M": [text(m) for m in markets],
            "Arcs": [row([text(p), text(m)]) for p, m in arcs],
            "cost": [float(rng.randint(1, 9)) for _ in arcs], "cap": [float(rng.randint(2, 6)) for _ in plants]}


def fresh(text):
    """The same text in an object of its own (one-character strings excepted: CPython shares them)."""
    return "".join(list(text))


def test_data_taken_as_it_is_and_data_copied_from_subclasses_give_the_same_script():
    tree = oplparse.parse_model(ARCS_MODEL)
    shared = {}  # one object per text, as the .dat reader hands them out
    variants = {"shared": arcs_data(lambda t: shared.setdefault(t, fresh(t)), list),
                "distinct objects": arcs_data(fresh, tuple),
                "subclasses": arcs_data(Text, Row)}
    assert variants["distinct objects"]["P"][0] is not variants["distinct objects"]["Arcs"][0][0]
    scripts = {}
    for name, data in variants.items():
        before = copy.deepcopy(data) if name != "subclasses" else None
        generator = SciPyCSCCodeGenerator(copy.deepcopy(tree), data)
        scripts[name] = generator.generate_code()
        assert generator.var_names[0].startswith("ship[plant") and len(generator.var_names) == len(data["Arcs"])
        assert len(generator.A_ub["data"]) > len(data["Arcs"])  # the filters found the arcs of each plant and market
        if before is not None:
            assert data == before
    assert scripts["shared"] == scripts["distinct objects"] == scripts["subclasses"]
    # Containers met again are checked once: this is 2**60 paths but 60 lists.
    data = variants["shared"]
    level = ["leaf", 1.5]
    for _ in range(60):
        level = [level, level]
    data["extra"] = level
    assert SciPyCSCCodeGenerator(copy.deepcopy(tree), data).generate_code() == scripts["shared"]


class DataChangingGenerator(SciPyCSCCodeGenerator):
    """Reading its term limit swaps in data whose own __iter__ must not run."""

    @property
    def term_limit(self):
        self.data_dict["S"] = Row(["a", "b"])
        return 10 ** 6


def test_data_changed_by_the_generators_own_attributes_is_still_read_without_caller_code():
    tree, data = base()
    generator = DataChangingGenerator(tree, data)
    generator.build_matrices()
    assert list(generator.var_names) == ["x[a]", "x[b]"]
    assert isinstance(data["S"], Row)


# ---- strings survive exactly ----

def test_strings_beyond_the_basic_plane_and_nul_bytes_round_trip_in_both_targets(tmp_path):
    model = tmp_path / "m.mod"
    data = tmp_path / "m.dat"
    model.write_text('{string} S = ...;\ndvar float+ x[S];\nmaximize sum(s in S) x[s];\nsubject to {\n'
                     '  forall(s in S: s == "a\U0001F600") x[s] <= 3;\n  forall(s in S: s != "a\U0001F600") x[s] <= 1;\n}\n',
                     encoding="utf-8")
    data.write_text('S = {"a\U0001F600", "b\U0001F4A9c", "n\x00ul"};\n', encoding="utf-8")
    tree, values = oplparse.parse_files(str(model), str(data))
    assert values["S"] == ["a\U0001F600", "b\U0001F4A9c", "n\x00ul"]
    result = solve_parsed(copy.deepcopy(tree), copy.deepcopy(values), "gurobi")
    assert result["solution"] == {"x[a\U0001F600]": 3.0, "x[b\U0001F4A9c]": 1.0, "x[n\x00ul]": 1.0}
    # The SciPy target carries its names NUL-separated: a NUL of their own is refused, not shifted.
    with pytest.raises(SemanticError, match="'x\\[n\\\\x00...' holds a NUL byte"):
        solve_parsed(copy.deepcopy(tree), copy.deepcopy(values), "scipy")
    values["S"].pop()
    result = solve_parsed(tree, values, "scipy")
    assert result["solution"] == {"x[a\U0001F600]": 3.0, "x[b\U0001F4A9c]": 1.0}


# ---- constraints without decision variables ----

CONSTANT = "int n = 3;\ndvar float+ x;\nmaximize x;\nsubject to {\n  x <= 4;\n  %s\n}\n"


@pytest.mark.parametrize("solver", ["scipy", "gurobi"])
def test_constraints_that_always_hold_are_dropped(solver):
    tree = oplparse.parse_model(CONSTANT % "3 <= 5; n >= 1; forall(i in 1..2) i + n >= 4; \"a\" != \"b\";")
    assert solve_parsed(tree, {}, solver)["objective_value"] == pytest.approx(4)


def test_the_gurobi_script_notes_a_dropped_literal_constraint():
    script = GurobiCodeGenerator(oplparse.parse_model(CONSTANT % "3 <= 5;"), {}).generate_code()
    assert "# Constraint 'c1' has no decision variables and always holds: dropped." in script
    assert "addConstr(3 <= 5" not in script


@pytest.mark.parametrize("constraint, gurobi_message, scipy_message", [
    ("2 >= 7;", r"Constraint 'c1' can never hold: it has no decision variables, and \(2\) >= \(7\) is false",
     "line 6 can never hold: it has no decision variables, and 2 >= 7 is false"),
    ("-(1) == 1 + 0;", r"Constraint 'c1' can never hold", "and -1 == 1 is false"),
])
def test_literal_constraints_that_never_hold_are_errors_in_both_targets(constraint, gurobi_message, scipy_message):
    tree = oplparse.parse_model(CONSTANT % constraint)
    with pytest.raises(SemanticError, match=gurobi_message) as raised:
        GurobiCodeGenerator(copy.deepcopy(tree), {}).generate_code()
    assert raised.value.lineno == 6
    with pytest.raises(SemanticError, match=scipy_message):
        solve_parsed(tree, {}, "scipy")


def test_data_constraints_with_sums_are_decided_by_the_script():
    tree = oplparse.parse_model("int c[1..3] = [1, 2, 3]; dvar float+ x; maximize x;"
                                "subject to { x <= 2; sum(i in 1..3) c[i] >= 6; sum(i in 1..2) c[i] + 1 >= 2 * c[2]; }")
    assert run_gurobi_script(GurobiCodeGenerator(copy.deepcopy(tree), {}).generate_code())["objective_value"] == 2
    tree["constraints"].append(oplparse.parse_model("dvar float x; minimize x; subject to { sum(i in 1..2) i >= 4; }")
                               ["constraints"][0])
    with pytest.raises(ValueError, match="Constraint c3 can never hold"):
        run_gurobi_script(GurobiCodeGenerator(tree, {}).generate_code())


def test_data_constraints_that_never_hold_are_errors_in_both_targets():
    tree = oplparse.parse_model(CONSTANT % "forall(i in 1..2) ct: i + n >= 5;")
    with pytest.raises(SemanticError, match=r"constraint 'ct\[1\]' can never hold: .* 4 >= 5 is false"):
        solve_parsed(copy.deepcopy(tree), {}, "scipy")
    with pytest.raises(ValueError, match=r"Constraint ct\[1\] can never hold: .*\(\(i \+ n\)\) >= \(5\)"):
        run_gurobi_script(GurobiCodeGenerator(tree, {}).generate_code())

"""Implications in whole models, run against the gurobipy stand-in and checked against brute force
over small integer domains.

Each case pins the variables of its antecedent to every value of their domains in turn (through a
parameter, so the pin gives the generator no bound) and lets the objective push against the
consequent: the implication must bind exactly where the antecedent holds, and leave the
consequent free everywhere else."""
import itertools
import pathlib
from dataclasses import dataclass
from typing import Callable, Tuple

import pytest
from script_runner import execute_gurobi_script
from trees import (add, and_, bexpr, cons, dvar, dvars, eq, false, forall, idx, implication, it, le, mul, not_, or_,
                   param, range_dim, rng, sub, sum_, true)

from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_files

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
DOMAINS = {"x": range(5), "y": range(5), "b": range(2), "c": range(2)}


@dataclass
class Case:
    name: str
    antecedent: dict
    antecedent_holds: Callable
    consequent: dict
    consequent_holds: Callable
    objective: dict           # variable -> coefficient, maximised
    pinned: Tuple[str, ...]   # the variables of the antecedent

    def __str__(self):
        return self.name


def case(name, antecedent, antecedent_holds, consequent, consequent_holds, objective, pinned=""):
    return Case(name, antecedent, antecedent_holds, consequent, consequent_holds, objective, tuple(pinned))


def objective_tree(objective):
    terms = [mul(coef, var) for var, coef in objective.items()]
    tree = terms[0]
    for term in terms[1:]:
        tree = add(tree, term)
    return tree


def build(c, pins, with_implication=True):
    declarations = [dvar("x"), dvar("y"), dvar("b", "boolean"), dvar("c", "boolean")]
    constraints = [le("x", 4), le("y", 4)]
    for var, value in pins.items():
        declarations.append({"type": "parameter_inline", "name": "pin_" + var, "value": value})
        constraints.append(eq(var, "pin_" + var))
    if with_implication:
        constraints.append(implication(c.antecedent, c.consequent))
    return {"declarations": declarations, "objective": {"type": "maximize", "expression": objective_tree(c.objective)},
            "constraints": constraints}


def brute_force(c, pins, with_implication=True):
    best = None
    for values in itertools.product(*DOMAINS.values()):
        v = dict(zip(DOMAINS, values))
        if any(v[var] != value for var, value in pins.items()):
            continue
        if with_implication and c.antecedent_holds(v) and not c.consequent_holds(v):
            continue
        value = sum(coef * v[var] for var, coef in c.objective.items())
        best = value if best is None else max(best, value)
    return best


def script(ast, data=None):
    text = GurobiCodeGenerator(ast, data or {}).generate_code()
    compile(text, "<model>", "exec")
    return text


def solved(ast, data=None):
    """The optimum, or None when the model is infeasible."""
    results = execute_gurobi_script(script(ast, data)).results
    if results["status"] == "INFEASIBLE":
        return None
    assert results["status"] == "OPTIMAL"
    return results["objective_value"]


def every_pin(c):
    for values in itertools.product(*(DOMAINS[var] for var in c.pinned)):
        yield dict(zip(c.pinned, values))


def agrees(c, pins):
    """Solves the case at one pin and compares with brute force; returns the expected optimum."""
    expected = brute_force(c, pins)
    assert solved(build(c, pins)) == (None if expected is None else pytest.approx(expected)), pins
    return expected


def check(c):
    """Solves the case at every pin; returns the truth values its antecedent took."""
    seen = set()
    for pins in every_pin(c):
        antecedent = c.antecedent_holds(pins)
        expected = agrees(c, pins)
        # The objective pushes against the consequent: it binds exactly where the antecedent holds.
        assert (expected != brute_force(c, pins, with_implication=False)) == antecedent, pins
        seen.add(antecedent)
    return seen


LOGICAL = [
    case("and", and_(bexpr(">=", "x", 3), bexpr("==", "b", 1)), lambda v: v["x"] >= 3 and v["b"] == 1,
         le("y", 2), lambda v: v["y"] <= 2, {"y": 1}, "xb"),
    case("or", or_(bexpr("<=", "x", 1), bexpr(">=", "x", 4)), lambda v: v["x"] <= 1 or v["x"] >= 4,
         cons(">", "y", 2), lambda v: v["y"] > 2, {"y": -1}, "x"),
    case("not equal", not_(bexpr("==", "x", 2)), lambda v: v["x"] != 2,
         cons("<", "y", 2), lambda v: v["y"] < 2, {"y": 1}, "x"),
    case("strict and negated", and_(bexpr(">", "x", 2), not_(bexpr("==", "b", 0))), lambda v: v["x"] > 2 and v["b"],
         not_(bexpr(">=", "y", 3)), lambda v: not v["y"] >= 3, {"y": 1}, "xb"),
    case("or consequent", cons(">=", "x", 2), lambda v: v["x"] >= 2,
         or_(bexpr("<=", "y", 1), bexpr("==", "c", 1)), lambda v: v["y"] <= 1 or v["c"] == 1, {"y": 1, "c": -1}, "x"),
    case("and consequent", cons("<", "x", 3), lambda v: v["x"] < 3,
         and_(bexpr("==", "y", 2), bexpr(">=", "c", 1)), lambda v: v["y"] == 2 and v["c"] >= 1, {"y": 1, "c": -1},
         "x"),
    case("literals inside", or_(and_(bexpr("<", "x", 2), true()), false()), lambda v: v["x"] < 2,
         le(sub("y", "c"), 1), lambda v: v["y"] - v["c"] <= 1, {"y": 1, "c": 1}, "x"),
]

CONTRAPOSITIVE = [
    case("greater", cons(">", "x", 2), lambda v: v["x"] > 2, eq("b", 1), lambda v: v["b"] == 1, {"b": -1}, "x"),
    case("at least", cons(">=", "x", 3), lambda v: v["x"] >= 3, eq("b", 1), lambda v: v["b"] == 1, {"b": -1}, "x"),
    case("at least, true", cons(">=", "x", 3), lambda v: v["x"] >= 3, eq("b", true()), lambda v: v["b"] == 1,
         {"b": -1}, "x"),
]

DIRECT = [
    case("b == 1", eq("b", 1), lambda v: v["b"] == 1, le("y", 2), lambda v: v["y"] <= 2, {"y": 1}, "b"),
    case("b == 0", eq("b", 0), lambda v: v["b"] == 0, cons(">=", "y", 3), lambda v: v["y"] >= 3, {"y": -1}, "b"),
    case("b >= 1, strict", cons(">=", "b", 1), lambda v: v["b"] >= 1, cons(">", "y", 2), lambda v: v["y"] > 2,
         {"y": -1}, "b"),
    case("b <= 0, strict", le("b", 0), lambda v: v["b"] <= 0, cons("<", "y", 2), lambda v: v["y"] < 2, {"y": 1}, "b"),
    case("b == 1, equality", eq("b", 1), lambda v: v["b"] == 1, eq("y", 2), lambda v: v["y"] == 2, {"y": 1}, "b"),
    case("b == 1, two variables", eq("b", 1), lambda v: v["b"] == 1, le(add("x", "y"), 3),
         lambda v: v["x"] + v["y"] <= 3, {"x": 1, "y": 1}, "b"),
]

CONSEQUENTS = {"==": ({"y": 1}, lambda y: y == 2), ">=": ({"y": -1}, lambda y: y >= 2),
               ">": ({"y": -1}, lambda y: y > 2), "<=": ({"y": 1}, lambda y: y <= 2), "<": ({"y": 1}, lambda y: y < 2)}
ANTECEDENTS = {"==": lambda x: x == 2, ">=": lambda x: x >= 2, ">": lambda x: x > 2, "<=": lambda x: x <= 2,
               "<": lambda x: x < 2}

GENERAL = [
    *(case(f"x {op} 2", cons(op, "x", 2), lambda v, holds=holds: holds(v["x"]), le("y", 2), lambda v: v["y"] <= 2,
           {"y": 1}, "x") for op, holds in ANTECEDENTS.items()),
    *(case(f"y {op} 2", cons(">=", "x", 3), lambda v: v["x"] >= 3, cons(op, "y", 2),
           lambda v, holds=holds: holds(v["y"]), objective, "x") for op, (objective, holds) in CONSEQUENTS.items()),
    case("expressions", cons(">", sub("x", "b"), 2), lambda v: v["x"] - v["b"] > 2, le(add("y", "c"), 2),
         lambda v: v["y"] + v["c"] <= 2, {"y": 1, "c": 1}, "xb"),
    case("equality of a sum", eq(add("b", 1), 2), lambda v: v["b"] + 1 == 2, cons(">", "y", 1),
         lambda v: v["y"] > 1, {"y": -1}, "b"),
]


@pytest.mark.parametrize("c", LOGICAL + CONTRAPOSITIVE + DIRECT + GENERAL, ids=str)
def test_binds_exactly_where_the_antecedent_holds(c):
    assert check(c) == {True, False}


@pytest.mark.parametrize("c, truth", [
    (case("true antecedent", and_(true(), true()), lambda v: True, le("y", 2), lambda v: v["y"] <= 2, {"y": 1}),
     {True}),
    (case("false antecedent", false(), lambda v: False, le("y", 2), lambda v: v["y"] <= 2, {"y": 1}), {False}),
    (case("false consequent", cons(">=", "x", 2), lambda v: v["x"] >= 2, false(), lambda v: False, {"y": 1}, "x"),
     {True, False}),
    # b == 2 never holds: the binary is not tested against 0 or 1, so the general encoding takes it.
    (case("binary against 2", eq("b", 2), lambda v: v["b"] == 2, le("y", 1), lambda v: v["y"] <= 1, {"y": 1}, "b"),
     {False}),
], ids=lambda v: str(v) if isinstance(v, Case) else "")
def test_literal_and_impossible_sides(c, truth):
    assert check(c) == truth


def test_a_literal_true_antecedent_on_the_general_path_binds():
    # true => y <= 2 is encoded as (true == true) => y <= 2; the literal's interval keeps M tiny.
    c = case("", true(), lambda v: True, le("y", 2), lambda v: v["y"] <= 2, {"y": 1})
    assert check(c) == {True}


def test_a_true_consequent_binds_nothing():
    c = case("", cons(">=", "x", 2), lambda v: v["x"] >= 2, true(), lambda v: True, {"y": 1}, "x")
    assert [agrees(c, pins) for pins in every_pin(c)] == [4] * 5


class TestMends:
    """Each of these fails with the encoding as first designed."""

    def test_an_equality_antecedent_forces_the_consequent(self):
        # The flag of x == 2 could stay 0 while x is 2, dropping the consequent.
        c = case("", eq("x", 2), lambda v: v["x"] == 2, cons(">", "y", 3), lambda v: v["y"] > 3, {"y": -1}, "x")
        assert solved(build(c, {"x": 2})) == pytest.approx(brute_force(c, {"x": 2}))
        assert check(c) == {True, False}

    @pytest.mark.parametrize("antecedent, holds", [
        (and_(bexpr(">=", "x", 2), true()), lambda x: x >= 2),   # binary 0 at x == 2 although x >= 2 holds
        (and_(bexpr("<=", "x", 2), true()), lambda x: x <= 2),
        (not_(bexpr(">", "x", 2)), lambda x: not x > 2),         # binary 1 at x == 2 although x > 2 is false
        (not_(bexpr("<", "x", 2)), lambda x: not x < 2),
        (or_(bexpr("==", "x", 2), false()), lambda x: x == 2),   # binary 0 although x == 2 holds
    ])
    def test_reified_comparisons_are_exact_at_the_boundary(self, antecedent, holds):
        c = case("", antecedent, lambda v: holds(v["x"]), le("y", 1), lambda v: v["y"] <= 1, {"y": 1}, "x")
        assert solved(build(c, {"x": 2})) == pytest.approx(1)
        assert check(c) == {True, False}

    @pytest.mark.parametrize("antecedent, consequent, objective, pins, expected", [
        # y - 2 spans [-2, 2]: with M = 2 the margin EPS cut off y = 0 or y = 4.
        (cons(">=", "x", 3), cons(">", "y", 2), {"y": -1}, {"x": 0}, 0),
        (cons(">=", "x", 3), cons("<", "y", 2), {"y": 1}, {"x": 0}, 4),
        (not_(bexpr(">", "y", 2)), eq("c", 1), {"y": -1, "c": -1}, {}, -1),
        (and_(bexpr(">=", "y", 2), true()), eq("c", 1), {"y": 1, "c": -1}, {}, 3),
        (and_(bexpr("<=", "y", 2), true()), eq("c", 1), {"y": -1, "c": -1}, {}, -1),
        (not_(bexpr("<", "y", 2)), eq("c", 1), {"y": 1, "c": -1}, {}, 3),
        (or_(bexpr("==", "y", 2), false()), eq("c", 1), {"y": 1}, {}, 4),
        # x - 2 spans [-2, 2]: x == 4 must stay open while the flag says x != 2.
        (eq("x", 2), le("y", 1), {"y": 1}, {"x": 4}, 4),
        (eq("x", 2), le("y", 1), {"y": 1}, {"x": 0}, 4),
    ])
    def test_extreme_values_stay_feasible(self, antecedent, consequent, objective, pins, expected):
        c = case("", antecedent, None, consequent, None, objective, pins)
        assert solved(build(c, pins)) == pytest.approx(expected)

    @pytest.mark.parametrize("antecedent, consequent, pin, expected", [
        (eq("b", 1), cons(">", "y", 2), 1, -3),
        (eq("b", 0), cons("<", "y", 2), 0, 1),
    ])
    def test_strict_consequents_of_indicators(self, antecedent, consequent, pin, expected):
        objective = {"y": -1} if consequent["op"] == ">" else {"y": 1}
        c = case("", antecedent, None, consequent, None, objective, "b")
        assert solved(build(c, {"b": pin})) == pytest.approx(expected)


def test_implications_inside_a_forall():
    # forall(i in 1..3): x[i] pinned to p[i]; x[i] >= 2 => y[i] <= 1; (x[i] <= 1 and c[i] == 1) => y[i] >= 3;
    # and y[1] <= 2.
    over = [it("i", rng(1, 3))]
    dims = [range_dim(1, 3)]
    p = [0, 2, 1]
    ast = {
        "declarations": [dvars("x", "int+", *dims), dvars("y", "int+", *dims), dvars("c", "boolean", *dims),
                         param("p", *dims)],
        "objective": {"type": "maximize", "expression": sum_(over, add(mul(2, idx("y", "i")), idx("c", "i")))},
        "constraints": [
            forall(over, [le(idx("x", "i"), 4), le(idx("y", "i"), 4), eq(idx("x", "i"), idx("p", "i")),
                          implication(cons(">=", idx("x", "i"), 2), le(idx("y", "i"), 1)),
                          implication(and_(bexpr("<=", idx("x", "i"), 1), bexpr("==", idx("c", "i"), 1)),
                                      cons(">=", idx("y", "i"), 3))]),
            forall(over, cons("<=", idx("y", "i"), 2), where=bexpr("==", "i", 1)),
        ]}

    def best_row(i):
        return max(2 * y + c for y in range(5) for c in range(2)
                   if not (p[i] >= 2 and y > 1) and not (p[i] <= 1 and c == 1 and y < 3) and not (i == 0 and y > 2))

    expected = sum(best_row(i) for i in range(3))
    text = script(ast, {"p": p})
    assert "(auto-named inside loop)" in text
    assert solved(ast, {"p": p}) == pytest.approx(expected) and expected == 4 + 3 + 9


def test_the_scheduling_example_reaches_its_stated_optimum():
    model_path = EXAMPLES / "scheduling.mod"
    stated = float(model_path.read_text().splitlines()[0].split(":", 1)[1])
    tree, data = parse_files(model_path, model_path.with_suffix(".dat"))
    release, duration = data["release"], data["duration"]

    def makespan(order):
        end = 0
        for job in order:
            end = max(end, release[job]) + duration[job]
        return end

    assert solved(tree, data) == pytest.approx(stated)
    assert min(makespan(order) for order in itertools.permutations(range(data["n"]))) == stated

"""Whole models: generated, run against the gurobipy stand-in, and checked against optima computed
here by brute force over small integer domains."""
import itertools

import pytest
from script_runner import execute_gurobi_script
from trees import (add, binop, cons, dvar, dvars, eq, field, forall, ge, idx, it, le, mul, name, named_range,
                   named_set, param, paren, range_decl, range_dim, range_name_dim, rng, set_dim, sub, sum_,
                   template, typed_set)

from korvane.mipwright import GurobiCodeGenerator

N3 = [{"type": "parameter_inline", "name": "n", "value": 3}, range_decl("I", 1, "n")]
OVER_I = it("i", named_range("I"))


def script(ast, data=None):
    text = GurobiCodeGenerator(ast, data or {}).generate_code()
    compile(text, "<model>", "exec")
    return text


def solve(ast, data=None, text=None):
    run = execute_gurobi_script(text or script(ast, data))
    assert run.results["status"] == "OPTIMAL", run.stdout
    return run


def optimum(ast, data=None):
    return solve(ast, data).results["objective_value"]


def best(objective, domains, feasible=lambda *v: True, sense=max):
    """The optimum of `objective` over the product of `domains`, among feasible points."""
    return sense(objective(*v) for v in itertools.product(*domains) if feasible(*v))


def count(values, holds):
    return sum(1 for v in values if holds(v))


def model(declarations, constraints, objective, sense="maximize"):
    return {"declarations": declarations, "objective": {"type": sense, "expression": objective},
            "constraints": constraints}


class TestModels:
    def test_knapsack(self):
        values, weights, capacity = [10, 13, 7, 8, 4], [5, 6, 3, 4, 2], 11
        ast = model(
            [param("n"), range_decl("Items", 1, "n"), param("value", range_name_dim("Items")),
             param("weight", range_name_dim("Items")), param("capacity"),
             dvars("take", "boolean", range_name_dim("Items"))],
            [le(sum_([it("i", named_range("Items"))], mul(idx("weight", "i"), idx("take", "i"))), "capacity")],
            sum_([it("i", named_range("Items"))], mul(idx("value", "i"), idx("take", "i"))))
        data = {"n": 5, "value": values, "weight": weights, "capacity": capacity}
        expected = best(lambda *t: sum(v * x for v, x in zip(values, t)), [(0, 1)] * 5,
                        lambda *t: sum(w * x for w, x in zip(weights, t)) <= capacity)
        assert optimum(ast, data) == pytest.approx(expected) and expected == 24

    def test_transportation_over_named_sets(self):
        supply, demand, cost = [4, 5], [3, 4], [[2, 5], [3, 1]]
        plants, markets = it("p", named_set("Plants")), it("m", named_set("Markets"))
        ship = idx("ship", "p", "m")
        ast = model(
            [typed_set("Plants"), typed_set("Markets"), param("supply", set_dim("Plants")),
             param("demand", set_dim("Markets")), param("cost", set_dim("Plants"), set_dim("Markets")),
             dvars("ship", "int+", set_dim("Plants"), set_dim("Markets"))],
            [forall([plants], le(sum_([markets], ship), idx("supply", "p"))),
             forall([markets], ge(sum_([plants], ship), idx("demand", "m")))],
            sum_([plants, markets], mul(idx("cost", "p", "m"), ship)), sense="minimize")
        data = {"Plants": ["north", "south"], "Markets": ["east", "west"], "supply": supply, "demand": demand,
                "cost": cost}

        def feasible(a, b, c, d):
            flows = [[a, b], [c, d]]
            return all(sum(flows[p]) <= supply[p] for p in range(2)) and all(
                flows[0][m] + flows[1][m] >= demand[m] for m in range(2))

        expected = best(lambda a, b, c, d: 2 * a + 5 * b + 3 * c + d, [range(6)] * 4, feasible, sense=min)
        assert optimum(ast, data) == pytest.approx(expected) and expected == 10

    def test_assignment_over_a_tuple_set(self):
        arcs = [[1, 1], [1, 2], [2, 1], [2, 3], [3, 2], [3, 3]]
        costs = [4, 2, 3, 7, 5, 6]
        over_arcs = it("a", named_set("Arcs"))
        ast = model(
            [{"type": "tuple_type", "name": "Arc", "fields": [{"name": "worker"}, {"name": "task"}]},
             {"type": "set_of_tuples", "name": "Arcs", "tuple_type": "Arc"}, *N3,
             param("cost", set_dim("Arcs")), dvars("assign", "boolean", set_dim("Arcs"))],
            [forall([it("w", named_range("I"))],
                    eq(sum_([over_arcs], idx("assign", "a"), where=binop("==", field("a", "worker"), "w")), 1)),
             forall([it("t", named_range("I"))],
                    eq(sum_([over_arcs], idx("assign", "a"), where=binop("==", field("a", "task"), "t")), 1))],
            sum_([over_arcs], mul(idx("cost", "a"), idx("assign", "a"))), sense="minimize")
        arc_cost = {tuple(a): c for a, c in zip(arcs, costs)}
        expected = min(sum(arc_cost[(w + 1, t)] for w, t in enumerate(perm))
                       for perm in itertools.permutations([1, 2, 3])
                       if all((w + 1, t) in arc_cost for w, t in enumerate(perm)))
        assert optimum(ast, {"Arcs": arcs, "cost": costs}) == pytest.approx(expected) and expected == 11

    def test_labelled_forall_family(self):
        caps, profit = [2, 3, 1], [3, 1, 2]
        ast = model(
            [*N3, param("cap", range_name_dim("I")), param("profit", range_name_dim("I")),
             dvars("x", "int+", range_name_dim("I"))],
            [forall([OVER_I], le(idx("x", "i"), idx("cap", "i"), label_template=template("cap", "i"))),
             le(sum_([OVER_I], idx("x", "i")), 5, label="total")],
            sum_([OVER_I], mul(idx("profit", "i"), idx("x", "i"))))
        run = solve(ast, {"cap": caps, "profit": profit})
        assert [c.ConstrName for c in run.model.getConstrs()] == ["cap[1]", "cap[2]", "cap[3]", "total"]
        expected = best(lambda *x: sum(p * v for p, v in zip(profit, x)), [range(4)] * 3,
                        lambda *x: all(v <= c for v, c in zip(x, caps)) and sum(x) <= 5)
        assert run.results["objective_value"] == pytest.approx(expected) and expected == 10

    def test_filtered_forall(self):
        weights = [4, 3, 5, 2]
        edges = [[0, 1, 1, 0], [1, 0, 1, 1], [1, 1, 0, 0], [0, 1, 0, 0]]
        i, j = it("i", rng(1, 4)), it("j", rng(1, 4))
        adjacent = {"type": "and", "left": binop("<", "i", "j"), "right": binop("==", idx("edge", "i", "j"), 1)}
        ast = model(
            [param("w", range_dim(1, 4)), param("edge", range_dim(1, 4), range_dim(1, 4)),
             dvars("pick", "boolean", range_dim(1, 4))],
            [forall([i, j], le(add(idx("pick", "i"), idx("pick", "j")), 1), where=adjacent)],
            sum_([i], mul(idx("w", "i"), idx("pick", "i"))))

        def independent(*picks):
            return all(not (picks[a] and picks[b] and edges[a][b]) for a in range(4) for b in range(4))

        expected = best(lambda *p: sum(w * x for w, x in zip(weights, p)), [(0, 1)] * 4, independent)
        assert optimum(ast, {"w": weights, "edge": edges}) == pytest.approx(expected) and expected == 7

    def test_at_least_k_comparisons_hold(self):
        cost_x, cost_y = [3, 1, 2], [2, 4, 2]
        pair = add(idx("x", "i"), idx("y", "i"))
        ast = model(
            [*N3, param("cx", range_name_dim("I")), param("cy", range_name_dim("I")),
             dvars("x", "int+", range_name_dim("I")), dvars("y", "int+", range_name_dim("I"))],
            [forall([OVER_I], [le(idx("x", "i"), 3), le(idx("y", "i"), 3)]),
             ge(sum_([OVER_I], paren(ge(pair, 3))), 2)],
            add(sum_([OVER_I], mul(idx("cx", "i"), idx("x", "i"))), sum_([OVER_I], mul(idx("cy", "i"), idx("y", "i")))),
            sense="minimize")

        def total(*v):
            return sum(c * a for c, a in zip(cost_x + cost_y, v))

        expected = best(total, [range(4)] * 6, lambda *v: count(range(3), lambda k: v[k] + v[k + 3] >= 3) >= 2,
                        sense=min)
        assert optimum(ast, {"cx": cost_x, "cy": cost_y}) == pytest.approx(expected) and expected == 9

    @pytest.mark.parametrize("inner_type, op, k", [("constraint", ">=", 3), ("binop", ">", 2)])
    def test_reified_count(self, inner_type, op, k):
        # b == (number of i with x[i] >= 1 is at least 3); b is an integer in 0..1.
        i = it("i", rng(1, 4))
        counted = {"type": inner_type, "op": op, "left": sum_([i], ge(idx("x", "i"), 1)), "right": {"type": "number", "value": k}}
        ast = model(
            [dvar("b", "int+"), dvars("x", "int+", range_dim(1, 4))],
            [le("b", 1), forall([i], le(idx("x", "i"), 2)), eq("b", paren(counted))],
            sub(mul(5, "b"), sum_([i], idx("x", "i"))))
        text = script(ast)
        assert "# Reified cardinality" in text
        expected = best(lambda b, *x: 5 * b - sum(x), [(0, 1)] + [range(3)] * 4,
                        lambda b, *x: b == (count(x, lambda v: v >= 1) >= 3))
        assert solve(ast, text=text).results["objective_value"] == pytest.approx(expected) and expected == 2

    def test_reified_count_forced_true(self):
        i = it("i", rng(1, 4))
        counted = cons(">=", sum_([i], ge(idx("x", "i"), 1)), 3)
        ast = model(
            [dvar("b", "int+"), dvars("x", "int+", range_dim(1, 4))],
            [le("b", 1), forall([i], [ge(idx("x", "i"), 1), le(idx("x", "i"), 2)]), eq("b", counted)],
            name("b"), sense="minimize")
        assert optimum(ast) == pytest.approx(1)

    def test_integer_not_equal(self):
        weights = [3, 1, 2]
        i, j = it("i", named_range("I")), it("j", named_range("I"))
        ast = model(
            [*N3, param("w", range_name_dim("I")), dvars("x", "int+", range_name_dim("I")), dvar("u", "int+"),
             dvar("v", "int+")],
            [forall([i], [ge(idx("x", "i"), 1), le(idx("x", "i"), 3)]),
             forall([i, j], cons("!=", idx("x", "i"), idx("x", "j")), where=binop("<", "i", "j")),
             le("u", 3), le("v", 3), cons("!=", "u", "v")],
            add(sum_([i], mul(idx("w", "i"), idx("x", "i"))), sub(0, add("u", "v"))), sense="minimize")
        expected = best(lambda *x: sum(w * a for w, a in zip(weights, x)), [range(1, 4)] * 3,
                        lambda *x: len(set(x)) == 3, sense=min) - 5
        assert optimum(ast, {"w": weights}) == pytest.approx(expected) and expected == 5


class TestMends:
    """Each of these models is solved wrongly, or fails to run, when its mend is taken back."""

    def test_a_bound_on_one_element_does_not_become_a_big_m_for_the_others(self):
        i = it("i", rng(1, 3))
        ast = model(
            [dvars("x", "int+", range_dim(1, 3))],
            [le(idx("x", 3), 1), le(sum_([i], idx("x", "i")), 6), ge(sum_([i], ge(idx("x", "i"), 1)), 1)],
            add(idx("x", 1), idx("x", 2)))
        expected = best(lambda a, b, c: a + b, [range(7), range(7), range(2)],
                        lambda a, b, c: a + b + c <= 6 and count((a, b, c), lambda v: v >= 1) >= 1)
        assert optimum(ast) == pytest.approx(expected) and expected == 6

    def test_an_upper_bounded_count_of_equalities_is_enforced(self):
        i = it("i", rng(1, 3))
        ast = model(
            [dvars("x", "int+", range_dim(1, 3))],
            [forall([i], le(idx("x", "i"), 1)), le(sum_([i], eq(idx("x", "i"), 1)), 1)],
            sum_([i], idx("x", "i")))
        expected = best(sum_of, [range(2)] * 3, lambda *x: count(x, lambda v: v == 1) <= 1)
        assert optimum(ast) == pytest.approx(expected) and expected == 1

    def test_an_equality_count_that_must_reach_its_bound(self):
        # Two of the three must equal 2; the cheapest way sets the others to 0.
        i = it("i", rng(1, 3))
        ast = model(
            [dvars("x", "int+", range_dim(1, 3))],
            [forall([i], le(idx("x", "i"), 3)), eq(sum_([i], eq(idx("x", "i"), 2)), 2)],
            sum_([i], idx("x", "i")), sense="minimize")
        expected = best(sum_of, [range(4)] * 3, lambda *x: count(x, lambda v: v == 2) == 2, sense=min)
        assert optimum(ast) == pytest.approx(expected) and expected == 4

    def test_a_count_over_a_foralls_own_iterator_holds_for_every_row(self):
        i, j = it("i", rng(1, 3)), it("j", rng(1, 3))
        ast = model(
            [dvars("x", "int+", range_dim(1, 3), range_dim(1, 3))],
            [forall([it("a", rng(1, 3)), it("b", rng(1, 3))], le(idx("x", "a", "b"), 3)),
             forall([i], ge(sum_([j], ge(idx("x", "i", "j"), 1)), 2))],
            sum_([i, j], idx("x", "i", "j")), sense="minimize")
        assert optimum(ast) == pytest.approx(6)  # at least two ones in each of the three rows

    def test_a_comparison_inside_a_sum_inside_a_forall_loops_over_the_sums_iterator(self):
        weights = [2, 1, 1]
        i, k = it("i", rng(1, 3)), it("k", rng(1, 3))
        ast = model(
            [param("c", range_dim(1, 3)), dvars("x", "int+", range_dim(1, 3), range_dim(1, 3))],
            [forall([it("a", rng(1, 3)), it("b", rng(1, 3))], le(idx("x", "a", "b"), 2)),
             forall([k], le(sum_([i], mul(idx("c", "i"), paren(ge(idx("x", "i", "k"), 1)))), 3))],
            sum_([i, k], idx("x", "i", "k")))
        per_column = best(sum_of, [range(3)] * 3,
                          lambda *x: sum(w for w, v in zip(weights, x) if v >= 1) <= 3)
        assert optimum(ast, {"c": weights}) == pytest.approx(3 * per_column) and per_column == 4

    def test_a_reified_comparison_reaches_the_extreme_value(self):
        ast = model(
            [dvar("x", "int+"), dvar("b", "boolean")],
            [le("x", 4), eq("b", paren(ge("x", 1))), ge("b", 1)],
            name("x"))
        assert optimum(ast) == pytest.approx(4)

    @pytest.mark.parametrize("op, threshold, count_op, sense, expected", [
        (">=", 1, ">=", "maximize", 8),  # both x[i] >= 1 hold, and x[i] = 4 is allowed
        ("<=", 3, ">=", "minimize", 0),  # both x[i] <= 3 hold, and x[i] = 0 is allowed
        (">", 4, "<=", "minimize", 0),  # neither x[i] > 4 holds, and x[i] = 0 is allowed
        ("<", 0, "<=", "maximize", 8),  # neither x[i] < 0 holds, and x[i] = 4 is allowed
    ])
    def test_a_count_reaches_the_extreme_value(self, op, threshold, count_op, sense, expected):
        # x[i] in 0..4; the optimum sits where the difference x[i] - threshold is largest in
        # magnitude, which only a big-M with room for the EPS margin allows.
        i = it("i", rng(1, 2))
        must_hold = 2 if count_op == ">=" else 0
        ast = model(
            [dvars("x", "int+", range_dim(1, 2))],
            [forall([i], le(idx("x", "i"), 4)), cons(count_op, sum_([i], cons(op, idx("x", "i"), threshold)), must_hold)],
            sum_([i], idx("x", "i")), sense=sense)
        assert optimum(ast) == pytest.approx(expected)

    def test_strict_comparisons(self):
        ast = model(
            [dvar("x", "int+"), dvar("y", "int+")],
            [cons("<", "x", 4), cons(">", "y", sub("x", 1)), cons(">", add("x", "y"), 2)],
            sub(mul(2, "x"), "y"))
        run = solve(ast)
        assert [c.ConstrName for c in run.model.getConstrs()] == ["c0", "c1", "c2"]
        expected = best(lambda x, y: 2 * x - y, [range(10)] * 2, lambda x, y: x < 4 and y > x - 1 and x + y > 2)
        assert run.results["objective_value"] == pytest.approx(expected) and expected == 3


def sum_of(*values):
    return sum(values)

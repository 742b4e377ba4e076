"""The CSC generator's linearisations, checked by solving small integer models and comparing
with brute force over every assignment: counts of true comparisons, reified comparisons,
not-equal and implications, including the corrections to the Gurobi target's encodings
(reification both ways, big-M with margin, strict comparisons, equality antecedents)."""
import itertools

import pytest

from korvane.faultlore import SemanticError
from scipy_support import generator, solved

VARIABLES = "dvar int x in 0..4;\ndvar int y in 0..4;\ndvar int z in 0..4;\ndvar boolean b;\n"
DOMAINS = {"x": range(5), "y": range(5), "z": range(5), "b": range(2)}
OBJECTIVES = [("minimize", "x + 2 * y - z + 3 * b"), ("maximize", "x + 2 * y - z + 3 * b"),
              ("minimize", "-x + y + 2 * z - b"), ("maximize", "-x + y + 2 * z - b")]


def brute_force(sense, objective, holds):
    values = []
    for combo in itertools.product(*DOMAINS.values()):
        v = dict(zip(DOMAINS, combo))
        if holds(v):
            values.append(eval(objective, {}, v))
    if not values:
        return None
    return min(values) if sense == "minimize" else max(values)


def check(constraints, predicate):
    """Every objective of OBJECTIVES, solved, against the brute-force optimum."""
    for sense, objective in OBJECTIVES:
        model = VARIABLES + f"{sense} {objective};\nsubject to {{\n" + "".join(f"  {c};\n" for c in constraints) + "}"
        expected = brute_force(sense, objective, lambda v: eval(predicate, {}, v))
        results = solved(model)
        if expected is None:
            assert results["status"] == "INFEASIBLE", model
        else:
            assert results["status"] == "OPTIMAL", model
            assert results["objective_value"] == pytest.approx(expected, abs=1e-6), model


OPS = {">=": ">=", ">": ">", "<=": "<=", "<": "<", "==": "=="}


# Each comparison reified into b, with b fixed both ways: the binary must equal the truth of the
# comparison at every point, the extreme points of x's domain included (big-M plus margin).
@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("fixed", [0, 1])
def test_reified_comparison_both_ways(op, fixed):
    check([f"b == (x {op} 2)", f"b == {fixed}"], f"b == int(x {op} 2) and b == {fixed}")


@pytest.mark.parametrize("op", OPS)
def test_boolean_bounded_by_a_comparison(op):
    check([f"b <= (x - y {op} 1)"], f"b <= int(x - y {op} 1)")
    check([f"b >= (x + y {op} 5)"], f"b >= int(x + y {op} 5)")


@pytest.mark.parametrize("op, k", [(">=", 2), (">", 1), ("==", 2), ("<=", 1), ("<", 2)])
def test_counts_of_true_comparisons(op, k):
    count = "(x >= 2) + (y == 3) + (z < 1)"
    check([f"sum(i in 1..1) ((x >= 2) + (y == 3) + (z < 1)) {op} {k}"], f"{count} {op} {k}")


def test_count_bounded_above_over_equalities_is_enforced():
    # Reified equality that only works one way lets every x[i] sit at 2 (objective 6).
    results = solved("dvar int x[1..3] in 0..2; maximize sum(i in 1..3) x[i];"
                     "subject to { sum(i in 1..3) (x[i] == 2) <= 1; }")
    assert results["objective_value"] == pytest.approx(4)


def test_reified_count():
    check(["b == (sum(i in 1..1) ((x >= 2) + (y >= 2) + (z >= 2)) >= 2)"],
          "b == int((x >= 2) + (y >= 2) + (z >= 2) >= 2)")


def test_count_over_the_forall_iterator_holds_for_every_row():
    results = solved("dvar int x[1..3][1..4] in 0..5; minimize sum(i in 1..3, j in 1..4) x[i][j];"
                     "subject to { forall(i in 1..3) sum(j in 1..4) (x[i][j] >= i) >= 2; }")
    assert results["objective_value"] == pytest.approx(2 * (1 + 2 + 3))


def test_comparison_weighted_inside_a_sum_in_a_forall():
    results = solved("float c[1..3] = [1, 2, 3]; dvar int x[1..3] in 0..3; maximize sum(i in 1..3) c[i] * x[i];"
                     "subject to { forall(k in 1..3) sum(i in 1..3) c[i] * (x[i] >= k) <= 3; }")
    # x3 >= k costs 3 for every k, so the best is x3 = 3 and nothing else at level 1 or above
    assert results["objective_value"] == pytest.approx(9)


@pytest.mark.parametrize("constraint, predicate", [
    ("x < 3", "x < 3"), ("x > 2", "x > 2"), ("x - y < 0", "x < y"), ("2 * x > y + 3", "2 * x > y + 3"),
])
def test_strict_comparisons(constraint, predicate):
    check([constraint], predicate)


@pytest.mark.parametrize("constraint, predicate", [
    ("x != y", "x != y"), ("x != 2", "x != 2"), ("x + y != z + 1", "x + y != z + 1"), ("b != (x >= 2)", "b != (x >= 2)"),
])
def test_not_equal(constraint, predicate):
    check([constraint], predicate)


def test_not_equal_between_booleans_is_an_exclusive_or():
    results = solved("dvar boolean p; dvar boolean q; maximize p + 2 * q; subject to { p != q; }")
    assert results["solution"] == {"p": pytest.approx(0), "q": pytest.approx(1)}


IMPLICATIONS = [
    # general path, every antecedent and consequent operator
    ("x >= 3 => y <= 1", "x < 3 or y <= 1"),
    ("x > 2 => y < 2", "x <= 2 or y < 2"),
    ("x <= 1 => y == 3", "x > 1 or y == 3"),
    ("x < 2 => y > 2", "x >= 2 or y > 2"),
    ("x + y >= 5 => z >= 3", "x + y < 5 or z >= 3"),
    ("x == 2 => y >= 3", "x != 2 or y >= 3"),
    ("x - y == 0 => z == 4", "x != y or z == 4"),
    # direct indicators on a binary
    ("b == 1 => y > 2", "b == 0 or y > 2"),
    ("b == 0 => y <= 1", "b == 1 or y <= 1"),
    ("b >= 1 => x + y <= 3", "b == 0 or x + y <= 3"),
    ("b <= 0 => z == 2", "b == 1 or z == 2"),
    # contrapositive indicators
    ("x >= 3 => b == 1", "x < 3 or b == 1"),
    ("x > 3 => b == 1", "x <= 3 or b == 1"),
    # logical path
    ("(x >= 3 && y >= 1) => z == 1", "not (x >= 3 and y >= 1) or z == 1"),
    ("(x >= 3 || y == 0) => z >= 2", "not (x >= 3 or y == 0) or z >= 2"),
    ("!(x >= 3) => z <= 1", "x >= 3 or z <= 1"),
    ("x >= 2 => (y <= 1 && z >= 3)", "x < 2 or (y <= 1 and z >= 3)"),
    ("x != 2 => z == 0", "x == 2 or z == 0"),
    ("x >= 1 => y != 2", "x < 1 or y != 2"),
    ("true => x >= 2", "x >= 2"),
    ("x >= 4 => false", "x < 4"),
]


@pytest.mark.parametrize("constraint, predicate", IMPLICATIONS)
def test_implications_against_brute_force(constraint, predicate):
    check([constraint], predicate)


@pytest.mark.parametrize("constraint, forced, predicate", [
    # an equality antecedent that holds must switch the consequent on
    ("x == 2 => y >= 3", "x == 2", "y >= 3"),
    # at the boundary of both comparisons the logical path must still bind
    ("(x >= 3 && y >= 1) => z == 1", "x == 3; y == 1", "z == 1"),
    # a false antecedent leaves a strict consequent free down to its extreme point
    ("x >= 1 => y > 2", "x == 0", "True"),
    ("b == 1 => y > 2", "b == 1", "y > 2"),
])
def test_implications_at_their_extreme_points(constraint, forced, predicate):
    check([constraint] + forced.split("; "), f"({forced.replace('; ', ' and ')}) and ({predicate})")


def test_implication_with_data_antecedent():
    results = solved("float d[1..3] = [1, 3, 2]; dvar int x[1..3] in 0..4; minimize sum(i in 1..3) x[i];"
                     "subject to { forall(i in 1..3) d[i] >= 2 => x[i] >= d[i]; }")
    assert results["objective_value"] == pytest.approx(3 + 2)


@pytest.mark.parametrize("constraint, variable, side", [
    ("b == 1 => w <= 3", "w", "upper"),
    ("b == 1 => w >= 3", "w", "lower"),
    ("w >= 2 => b == 1", "w", "upper"),
])
def test_indicator_needs_finite_bounds(constraint, variable, side):
    with pytest.raises(SemanticError) as info:
        generator(f"dvar float w;\ndvar boolean b;\nminimize w;\nsubject to {{\n  imp: {constraint};\n}}").generate_code()
    assert f"Variable '{variable}' has no finite {side} bound, which constraint 'imp' needs" in info.value.message
    assert info.value.lineno == 5


def test_bound_constraints_give_indicators_their_big_m():
    # Bounds stated as constraints (after the implication) are enough, element by element.
    results = solved("dvar float w[1..2]; dvar boolean b[1..2]; maximize sum(i in 1..2) (w[i] - b[i]);"
                     "subject to { forall(i in 1..2) b[i] == 0 => w[i] <= i; forall(i in 1..2) w[i] <= 10 * i;"
                     "forall(i in 1..2) w[i] >= 0; }")
    assert results["objective_value"] == pytest.approx(10 + 20 - 2)

"""Both targets against brute force: a few hundred random small models (the long run is
`make difftest`), and the smallest models found to expose each class of wrong encoding, solved
the same way."""
import pytest
from differential import Model, Variable, findings, run, random_model

from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_model


def test_random_models_agree_with_brute_force():
    result = run(range(1, 301))
    assert result.checked == 300
    assert not result.failures, "\n\n".join(result.failures[:5])


def test_the_generator_is_seeded():
    assert random_model(7).text() == random_model(7).text()
    assert len({random_model(seed).text() for seed in range(20)}) == 20


def ints(**domains):
    """Integer variables name=(low, high), and b=None for the boolean b."""
    return [Variable("b", "b", 0, 1, boolean=True) if domain is None else Variable(name, name, *domain)
            for name, domain in domains.items()]


def array(n, low, high):
    return [Variable(f"x[{i}]", f"x{i}", low, high) for i in range(1, n + 1)]


def count(n, op, k):
    """The number of i in 1..n with x[i] op k, written both ways."""
    return (f"sum(i in 1..{n}) (x[i] {op} {k})",
            "(" + " + ".join(f"int(x{i} {op} {k})" for i in range(1, n + 1)) + ")")


def counted(n, op, k, outer, bound):
    c = count(n, op, k)
    return f"{c[0]} {outer} {bound}", f"{c[1]} {outer} {bound}"


SUM_X2 = ("x[1] + x[2]", "x1 + x2")
SUM_X3 = ("x[1] + x[2] + x[3]", "x1 + x2 + x3")

REPRODUCERS = {
    # 1. not-equal assumed integer sides: a gap of 1 cut off solutions.
    "not equal with a fractional coefficient": Model(
        ints(x=(-5, -3)), [("-0.5 * x != 2", "-0.5 * x != 2")], "minimize", ("x", "x")),
    "integer not equal to a fraction": Model(ints(x=(1, 2)), [("x != 1.5", "x != 1.5")], "minimize", ("x", "x")),
    "count not equal to a fraction": Model(
        array(2, 0, 1), [counted(2, ">=", 1, "!=", 0.5)], "minimize", SUM_X2, array=2),
    # 2. a count compared strictly with a fraction.
    "count below a fraction": Model(array(3, 0, 1), [counted(3, ">=", 1, "<", 1.5)], "maximize", SUM_X3, array=3),
    "count above a fraction": Model(array(3, 0, 1), [counted(3, ">=", 1, ">", 0.5)], "minimize", SUM_X3, array=3),
    # 3. a comparison used as a number inside a side of an implication.
    "comparison equal to 0 as a consequent": Model(
        ints(x=(-3, 3)), [("true => (x >= -3) == 0", "not True or int(x >= -3) == 0")], "minimize", ("x", "x")),
    "comparison below 0 as an antecedent": Model(
        ints(z=(0, 4)), [("(z >= 3) < 0 => false", "not (int(z >= 3) < 0) or False")], "maximize", ("z", "z")),
    # 4. the indicator fast path for a binary against an expression.
    "binary equal to an expression": Model(
        ints(x=(0, 3), y=(0, 0), b=None), [("b == -y + 2 => x <= 0", "not (b == -y + 2) or x <= 0")],
        "maximize", ("x - 2 * b", "x - 2 * b")),
    "binary below a variable": Model(
        ints(x=(0, 3), y=(1, 1), b=None), [("b <= y => x <= 0", "not (b <= y) or x <= 0")], "maximize", ("x", "x")),
    # 5. an integer variable equal to a reified count.
    "integer equal to a reified count": Model(
        array(2, 0, 1) + ints(y=(-2, 2)), [(f"y == ({counted(2, '>=', 1, '>=', 1)[0]})",
                                            f"y == int({counted(2, '>=', 1, '>=', 1)[1]})")],
        "maximize", ("y", "y"), array=2),
    "integer equal to a count above a fraction": Model(
        array(3, 0, 1) + ints(y=(0, 1)), [(f"y == ({counted(3, '>=', 1, '>=', 2.5)[0]})",
                                           f"y == int({counted(3, '>=', 1, '>=', 2.5)[1]})")],
        "maximize", ("x[1] + x[2] - 3 * y", "x1 + x2 - 3 * y"), array=3),
    # 7. comparisons used as numbers outside counts: scripts that raised when run.
    "two comparisons equal": Model(
        ints(x=(0, 3), y=(0, 3)), [("(x >= 2) == (y >= 2)", "int(x >= 2) == int(y >= 2)")],
        "maximize", ("x - y", "x - y")),
    "binary not equal to a comparison": Model(
        ints(x=(0, 3), b=None), [("b != (x >= 2)", "b != int(x >= 2)")], "maximize", ("x + b", "x + b")),
    "integer equal to a comparison": Model(
        ints(x=(0, 3), y=(-1, 2)), [("y == (x > 1)", "y == int(x > 1)")], "maximize", ("y - x", "y - x")),
    "comparison in the objective": Model(
        ints(x=(0, 3)), [], "maximize", ("2 * (x <= 1) + x", "2 * int(x <= 1) + x")),
    "negated comparison": Model(
        ints(x=(0, 3), y=(-2, 2)), [("y == -(x >= 1)", "y == -int(x >= 1)")], "maximize", ("y + x", "y + x")),
    "not-equal used as a number": Model(
        ints(x=(0, 3)), [("x + 2 * (x != 1) <= 2", "x + 2 * int(x != 1) <= 2")], "maximize", ("x", "x")),
    # 8. literal consequents on the indicator path, and not-equal inside implications.
    "binary implies false": Model(ints(x=(0, 2), b=None), [("b => false", "not (b == 1) or False")],
                                  "maximize", ("x + b", "x + b")),
    "not equal as an antecedent": Model(
        ints(x=(0, 2), y=(0, 2)), [("x != 1 => y >= 1", "not (x != 1) or y >= 1")], "minimize", ("y - x", "y - x")),
    "not equal as a consequent": Model(
        ints(x=(0, 2), b=None), [("b == 1 => x != 2", "not (b == 1) or x != 2")], "maximize", ("x + b", "x + b")),
    "not equal inside a conjunction": Model(
        ints(x=(0, 2), y=(0, 2)), [("(x != 2) && (y >= 1) => x + y >= 3", "not (x != 2 and y >= 1) or x + y >= 3")],
        "maximize", ("y - x", "y - x")),
    # 9. contradictory bounds on one variable, and strict bounds of integer variables.
    "bounds that cross": Model(
        ints(x=(4, 4), y=(0, 2)), [("x < 0", "x < 0"), ("x >= 5 => y <= 1", "not (x >= 5) or y <= 1")],
        "maximize", ("y", "y")),
    "strict bound before the declared ones": Model(
        array(2, -3, 0), [("-1.5 * x[2] < 0", "-1.5 * x2 < 0"),
                          ("-1 * x[2] < 3 * x[1] => x[1] <= -1", "not (-1 * x2 < 3 * x1) or x1 <= -1")],
        "minimize", SUM_X2, array=2),
    # big-M values: unknown bounds gave 1e6, which a binary within the integrality tolerance of
    # 0 turns into a slack of 1; EPS margins drowned the same way once multiplied by M.
    "comparison with a parameter in the objective": Model(
        ints(y=(-2, 2), b=None), [("y == 2", "y == 2"), ("b == 0", "b == 0")], "minimize",
        ("3 * y + b + 0.5 * (-1.5 * b + y == k)", "3 * y + b + 0.5 * int(-1.5 * b + y == 2)")),
    "comparison with a loop variable": Model(
        array(2, -2, 1), [("forall(j in 1..2) x[j] <= (0.25 * x[1] + j <= j)",
                           "all(x[j] <= int(0.25 * x[1] + j <= j) for j in range(1, 3))"),
                          ("-2 * x[1] + 0.25 * x[2] <= -0.5", "-2 * x1 + 0.25 * x2 <= -0.5")],
        "minimize", ("-1 * x[1] - 2 * x[2]", "-x1 - 2 * x2"), array=2),
    "not equal between halves": Model(
        ints(y=(-2, 0), b=None), [("6 * y + 0.5 * b != 0.5", "6 * y + 0.5 * b != 0.5")], "maximize",
        ("3 * y + b", "3 * y + b")),
    # an implication whose strict antecedent once met a presolve fault through EPS-sized margins
    "strict antecedent between integers": Model(
        array(2, -3, 0), [("-1 * x[2] < 3 * x[1] => x[1] >= -1", "not (-1 * x2 < 3 * x1) or x1 >= -1")],
        "minimize", ("x[1]", "x1"), array=2),
    # abs of whole values held in a continuous auxiliary: a strict comparison of it was met by a
    # value within the solver's tolerances of 0.
    "strict comparison of an abs": Model(
        ints(y=(-1, 2), b=None), [("2 * abs(2 * y) > 5 * b", "2 * abs(2 * y) > 5 * b")],
        "minimize", ("-3 * y + abs(4 * y + 1)", "-3 * y + abs(4 * y + 1)")),
}


@pytest.mark.parametrize("name", REPRODUCERS)
def test_reproducers_agree_with_brute_force(name):
    model = REPRODUCERS[name]
    model.name = name
    problems, presolve_faults = findings(model)
    assert not problems and not presolve_faults, model.text() + "\n".join(problems + presolve_faults)


def test_rows_repeated_by_a_loop_are_written_once():
    text = ("dvar int x in 0..5; dvar int y in 0..5; maximize x + y;\n"
            "subject to { forall(i in 1..3) x + y <= 5; forall(i in 1..2) { x - y <= 1; x + 2 * y >= 1; } }")
    gen = SciPyCSCCodeGenerator(parse_model(text), {})
    gen.build_matrices()
    assert gen.A_ub["shape"][0] == 3


def test_integer_bounds_are_rounded_inward():
    text = "dvar int x in 0..9; dvar boolean b; minimize x; subject to { 3 * x >= 1; 4 * x <= 9; b <= 0.99999; }"
    gen = SciPyCSCCodeGenerator(parse_model(text), {})
    gen.build_matrices()
    assert (list(gen.bounds[0]), list(gen.bounds[1])) == ([1.0, 0.0], [2.0, 0.0])


def test_an_integer_equality_consequent_is_exact():
    script = GurobiCodeGenerator(parse_model(
        "dvar int x in 0..3; dvar int y in 0..3; minimize x; subject to { x >= 1 => y == 2; }"), {}).generate_code()
    consequent = [line for line in script.splitlines() if "_cons_eq" in line]
    assert len(consequent) == 2 and not any("1e-06" in line for line in consequent)

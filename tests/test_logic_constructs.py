"""Logical constraints, products with a binary and piecewise-linear functions through both targets
against brute force: every model is solved by korvane.solve (SciPy) and by the gurobipy script on
the stand-in, and both must report the optimum that enumerating every integer point gives, with a
point that satisfies the model. Optima sit where a margin or an M is tight: strict comparisons
one step from holding, products at the ends of their factor's interval, piecewise functions at
breakpoints and at the ends of their argument's interval."""
from dataclasses import dataclass

import pytest
from differential import Model, Variable, findings

from korvane.faultlore import SemanticError
from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import instantiate, parse_model
from script_runner import run_gurobi_script

XY = [Variable("x", "x", -3, 3), Variable("y", "y", -2, 4)]
XYB = XY + [Variable("b", "b", 0, 1, boolean=True)]
XYBC = XYB + [Variable("c", "c", 0, 1, boolean=True)]
X3 = [Variable(f"x[{i}]", f"x{i}", -2, 2) for i in (1, 2, 3)]

# piecewise{-2 -> 0; 1 -> 2; 3} is convex: the largest of its lines.
CONVEX = "piecewise{-2 -> 0; 1 -> 2; 3}"
CONVEX_PY = "max(-2 * {0}, {0}, 3 * {0} - 4)"
# piecewise{2 -> 0; 1 -> 2; -1} is concave: the smallest of its lines.
CONCAVE = "piecewise{2 -> 0; 1 -> 2; -1}"
CONCAVE_PY = "min(2 * {0}, {0}, 4 - {0})"
# Neither: through (0, 1), slope 1 up to -1, -2 up to 1, then 2.
WAVE = "piecewise{1 -> -1; -2 -> 1; 2}(0, 1)"
WAVE_PY = "({0} + 4 if {0} <= -1 else 1 - 2 * {0} if {0} <= 1 else 2 * {0} - 3)"


def both(opl, py=None):
    """A constraint or objective written once for the model and once for brute force."""
    return opl, opl if py is None else py


@dataclass
class WithDeclarations(Model):
    """A model with declarations of its own before the variables."""
    declarations: str = ""

    def text(self):
        return self.declarations + "\n" + super().text()


LOGICAL_CASES = {
    "or of comparisons": (XY, "maximize", both("x + y"), [both("x <= 1 || y <= 0", "x <= 1 or y <= 0")]),
    "or of strict comparisons, one step away": (XY, "maximize", both("x + 2 * y"),
                                               [both("x < -2 || y < 1", "x < -2 or y < 1")]),
    "negated conjunction": (XY, "maximize", both("x + 2 * y"), [both("!(x >= 1 && y >= 2)", "not (x >= 1 and y >= 2)")]),
    "negated disjunction": (XY, "minimize", both("x - y"), [both("!(x <= 0 || y >= 3)", "not (x <= 0 or y >= 3)")]),
    "or with a conjunction and not-equal": (XYB, "maximize", both("x + y - 3 * b"),
                                            [both("(x >= 2 && y <= 1) || x + y != 7 || b", "(x >= 2 and y <= 1) or x + y != 7 or b == 1"),
                                             both("x + y >= 6")]),
    "equivalence of combinations": (XYB, "maximize", both("x + y + 3 * b"),
                                    [both("(x >= 2 || y >= 3) == (b && x <= 0)",
                                          "(x >= 2 or y >= 3) == (b == 1 and x <= 0)")]),
    "negated equivalence": (XY, "maximize", both("x + y"),
                            [both("(x >= 1 && y >= 1) != (x + y >= 3)", "(x >= 1 and y >= 1) != (x + y >= 3)")]),
    "if with an else on variables": (XY, "maximize", both("x + y"),
                                     [both("if (x >= 2) { y <= 0; } else { y <= 3; x + y <= 1; }",
                                           "(y <= 0) if x >= 2 else (y <= 3 and x + y <= 1)")]),
    "if on a combination, nested": (XYB, "maximize", both("x + y + b"),
                                    [both("if (x > 0 || b) { y < 2; if (y >= 1) { x <= 1; } } else { b == 0; }",
                                          "(y < 2 and (y < 1 or x <= 1)) if (x > 0 or b == 1) else b == 0")]),
    "or in every pass of a forall": (X3, "maximize", both("x[1] - x[2] + x[3]", "x1 - x2 + x3"),
                                     [both("forall(i in 1..3) x[i] <= -1 || x[i] >= i", "all(v <= -1 or v >= i for i, v in ((1, x1), (2, x2), (3, x3)))"),
                                      both("x[1] + x[3] <= 2", "x1 + x3 <= 2")]),
}

PRODUCT_CASES = {
    "binary times a variable, at the upper end": (XYB, "maximize", both("b * x - 2 * b + y"), [both("x + y <= 3")]),
    "binary times a variable, at the lower end": (XYB, "minimize", both("x * b + y"), [both("x + y >= -1")]),
    "binary times an expression in a constraint": (XYB, "minimize", both("x + y + b"),
                                                   [both("b * (x - y) >= 2"), both("x + y >= -3")]),
    "data multiples of a binary times a variable": (XYB, "maximize", both("y - 2 * b * x + 0.5 * x * b * 3"),
                                                     [both("x + y <= 1"), both("k * b * y >= 1", "2 * b * y >= 1")]),
    "product fixed to a value": (XYB, "maximize", both("y - x"), [both("b * (x + y) == -4")]),
    "binary times binary": (XYBC, "maximize", both("3 * b * c - b - c + x", "3 * b * c - b - c + x"),
                            [both("b * c + x <= 2")]),
    "binary times binary, one of them forced": (XYBC, "minimize", both("y - 2 * b * c + c", "y - 2 * b * c + c"),
                                                [both("b + y >= 1")]),
}

PIECEWISE_CASES = {
    "convex minimised": (XY, "minimize", both(f"{CONVEX} x + 0.5 * y", CONVEX_PY.format("x") + " + 0.5 * y"),
                         [both("x + y >= 2")]),
    "convex bounded above": (XY, "maximize", both("x + y"), [both(f"{CONVEX} x <= 3", CONVEX_PY.format("x") + " <= 3")]),
    "convex maximised (exact, at an end)": (XY, "maximize", both(f"{CONVEX} x - y", CONVEX_PY.format("x") + " - y"),
                                            [both("x + y <= 1")]),
    "concave maximised": (XY, "maximize", both(f"{CONCAVE} (x + y) - 0.25 * y", CONCAVE_PY.format("(x + y)") + " - 0.25 * y"),
                          [both("y <= 3")]),
    "concave bounded below": (XY, "minimize", both("x - y"), [both(f"{CONCAVE} x >= 1", CONCAVE_PY.format("x") + " >= 1")]),
    "non-convex minimised": (XY, "minimize", both(f"{WAVE} x + y", WAVE_PY.format("x") + " + y"), [both("x + y >= 0")]),
    "non-convex maximised": (XY, "maximize", both(f"{WAVE} x", WAVE_PY.format("x")), [both("x <= 2")]),
    "non-convex equal to a variable": (XY, "maximize", both("x"), [both(f"{WAVE} x == y", WAVE_PY.format("x") + " == y")]),
}


def model_of(case, name):
    variables, sense, objective, constraints = case
    return Model(variables, constraints, sense, objective, 3 if variables is X3 else 0, name)


ALL_CASES = {**LOGICAL_CASES, **PRODUCT_CASES, **PIECEWISE_CASES}


def assert_agrees(model):
    problems, presolve_faults = findings(model)
    assert not problems, model.text() + "\n".join(problems)
    assert not presolve_faults, "\n".join(presolve_faults)


@pytest.mark.parametrize("name", ALL_CASES)
def test_both_targets_reach_the_brute_force_optimum(name):
    assert_agrees(model_of(ALL_CASES[name], name))


def test_declared_functions_and_the_iterated_form():
    declarations = ("int s[1..2] = [-1, 1];\nint bp[1..2] = [-1, 1];\n"
                    "pwlFunction f = piecewise{1 -> -1; -2 -> 1; 2}(0, 1);")
    model = WithDeclarations(
        X3, [both("forall(i in 1..3) f(x[i]) >= -1", "all(" + WAVE_PY.format("v") + " >= -1 for v in (x1, x2, x3))"),
             both("x[1] + x[2] + x[3] <= 1", "x1 + x2 + x3 <= 1")],
        "maximize", both("sum(i in 1..3) piecewise(j in 1..2){s[j] -> bp[j]; 3}(1, 0) x[i] - x[3]",
                         "sum((-v - 3 if v <= -1 else v - 1 if v <= 1 else 3 * v - 3) for v in (x1, x2, x3)) - x3"),
        3, "declared", declarations)
    assert_agrees(model)


def scipy_columns(text):
    tree, data = instantiate(parse_model(text), {})
    gen = SciPyCSCCodeGenerator(tree, data)
    gen.build_matrices()
    return gen.var_names[gen.model_var_count:], gen.integrality[gen.model_var_count:]


@pytest.mark.parametrize("name", ["convex minimised", "convex bounded above", "concave maximised",
                                  "concave bounded below"])
def test_convex_uses_are_linear_programs(name):
    text = model_of(PIECEWISE_CASES[name], name).text().replace("dvar int", "dvar float")
    names, integrality = scipy_columns(text)
    assert names and not any(integrality), names
    script = GurobiCodeGenerator(*instantiate(parse_model(text), {})).generate_code()
    assert "addGenConstr" not in script and "GRB.BINARY" not in script


def test_non_convex_functions_use_the_solvers_own_constraint_and_its_rays():
    # gurobipy's piecewise-linear constraint goes on along its first and last segments, so the
    # points need no bounds of the argument (the stand-in's binaries need them, as the SciPy
    # target's do).
    text = f"dvar float x;\ndvar float y in 0..10;\nminimize y + 0.1 * x;\nsubject to {{\n  c: {WAVE} x == y;\n  x >= -8;\n  x <= 8;\n}}"
    script = GurobiCodeGenerator(*instantiate(parse_model(text), {})).generate_code()
    assert "model.addGenConstrPWL(x, _pwl_1, [-2.0, -1.0, 1.0, 2.0], [2.0, 3.0, -1.0, 1.0]" in script
    results = run_gurobi_script(script)
    # The optimum lies on the first segment's ray, beyond the first point.
    assert results["objective_value"] == pytest.approx(-0.4, abs=1e-6)
    assert results["solution"]["x"] == pytest.approx(-4.0, abs=1e-6)
    unbounded = text.replace("  x >= -8;\n", "")
    with pytest.raises(SemanticError) as info:
        SciPyCSCCodeGenerator(*instantiate(parse_model(unbounded), {})).generate_code()
    assert info.value.message.startswith("Variable 'x' has no finite lower bound, which a piecewise-linear function "
                                         "in constraint 'c' needs for its exact encoding")


def test_products_need_a_bounded_factor():
    text = "dvar float w;\ndvar boolean b;\nmaximize w;\nsubject to {\n  c: b * w <= 4;\n  w >= 0;\n}"
    with pytest.raises(SemanticError) as info:
        SciPyCSCCodeGenerator(*instantiate(parse_model(text), {})).generate_code()
    assert info.value.message.startswith("Variable 'w' has no finite upper bound, which a product with a binary in "
                                         "constraint 'c' needs")
    with pytest.raises(SemanticError) as info:
        GurobiCodeGenerator(*instantiate(parse_model(text), {})).generate_code()
    assert "The expression 'w' has no finite upper bound" in info.value.message

"""abs, maxl/minl and max/min over decision variables, and implied bounds, through both targets
against brute force: every model is solved by korvane.solve (SciPy) and by the gurobipy script on
the stand-in, and both must report the optimum that enumerating every point gives, with a point
that satisfies the model. The cases put optima where a big-M is tight (an interval's end) and use
each construct where it only needs to be small or large (encoded without binaries) and where it
must be exact."""
from dataclasses import dataclass

import pytest
from differential import Model, Variable, disagreement, findings

from korvane.faultlore import SemanticError
from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_model

XY = [Variable("x", "x", -3, 3), Variable("y", "y", -2, 4)]
XYB = XY + [Variable("b", "b", 0, 1, boolean=True)]
X3 = [Variable(f"x[{i}]", f"x{i}", -2, 2) for i in (1, 2, 3)]


def both(opl, py=None):
    """A constraint or objective written once for the model and once for brute force."""
    return opl, opl if py is None else py


ABS_CASES = {
    "minimised in the objective": (XY, "minimize", both("abs(x - y) + 0.5 * y"), [both("x + y >= 1")]),
    "maximised (exact, optimum at the lower end of x - y)": (XY, "maximize", both("abs(x - y)"), [both("x + y >= 1")]),
    "bounded above": (XY, "maximize", both("x + y"), [both("abs(x - y) <= 1")]),
    "bounded below": (XY, "minimize", both("x + y"), [both("abs(x - y) >= 2")]),
    "at the far end of its interval": (XY, "minimize", both("x"), [both("abs(x - y) >= 7")]),
    "at the near end of its interval": (XY, "maximize", both("y"), [both("abs(x - y) == 5")]),
    "negated on the larger side": (XY, "minimize", both("-x - y"), [both("-abs(x) >= -2"), both("2 >= abs(y - 1)")]),
    "scaled down on the smaller side": (XY, "maximize", both("x - y"), [both("0.5 * abs(x + y) <= 1")]),
    "nested": (XY, "maximize", both("abs(abs(x - 1) - y)"), [both("abs(abs(x) - 2) <= 0.5")]),
    "equal to a variable": (XY, "maximize", both("x + 2 * y"), [both("abs(x) == y")]),
    "over a non-negative expression": (XY, "minimize", both("abs(y + 2) - x"), [both("abs(y + 2) >= 3")]),
    "in an implication": (XYB, "minimize", both("x + y + b"),
                          [both("b == 0 => abs(x - 1) >= 3", "b == 1 or abs(x - 1) >= 3")]),
    "counted": (XY, "minimize", both("x + y"), [both("(abs(x) >= 2) + (abs(y) >= 3) >= 2",
                                                     "int(abs(x) >= 2) + int(abs(y) >= 3) >= 2")]),
}

EXTREME_CASES = {
    "max maximised (exact)": (XY, "maximize", both("maxl(x, y, 1)", "max(x, y, 1)"), [both("x + y <= 1")]),
    "max minimised": (XY, "minimize", both("maxl(x, y, -1)", "max(x, y, -1)"), [both("x + 2 * y >= 1")]),
    "min minimised (exact)": (XY, "minimize", both("minl(x, y)", "min(x, y)"), [both("x + 2 * y >= 1")]),
    "min maximised": (XY, "maximize", both("minl(x, y - 1)", "min(x, y - 1)"), [both("x + 2 * y <= 3")]),
    "max bounded above, min below": (XY, "minimize", both("x - y"), [both("maxl(x, y) <= 2", "max(x, y) <= 2"),
                                                                      both("minl(x, y) >= -1", "min(x, y) >= -1")]),
    "max fixed, abs of a min": (XY, "minimize", both("x - y"), [both("maxl(x, y) == 2", "max(x, y) == 2"),
                                                             both("abs(minl(x, y)) >= 1", "abs(min(x, y)) >= 1")]),
    "max at the upper end": (XY, "minimize", both("x + y"), [both("maxl(x, y) >= 4", "max(x, y) >= 4")]),
    "min at the lower end": (XY, "maximize", both("x + y"), [both("minl(x, y) <= -3", "min(x, y) <= -3")]),
    "max of expressions, negated": (XY, "maximize", both("x + y"), [both("-maxl(x - y, 2 * y - x) >= -1",
                                                                         "-max(x - y, 2 * y - x) >= -1")]),
    "max in an implication": (XYB, "maximize", both("x + y - b"), [both("maxl(x, y) >= 3 => b == 1",
                                                                        "not max(x, y) >= 3 or b == 1")]),
}

ABS_SUM_X3 = "abs(x1 - 1) + abs(x2 - 1) + abs(x3 - 1)"
AGGREGATE_CASES = {
    "max over a range, bounded above": (X3, "maximize", both("x[1] + 2 * x[2] - x[3]", "x1 + 2 * x2 - x3"),
                                        [both("max(i in 1..3) x[i] <= 1", "max(x1, x2, x3) <= 1")]),
    "max over a range, bounded below": (X3, "minimize", both("x[1] + x[2] + x[3]", "x1 + x2 + x3"),
                                        [both("max(i in 1..3) x[i] >= 2", "max(x1, x2, x3) >= 2")]),
    "min over a range of expressions, maximised": (X3, "maximize", both("min(i in 1..3) (x[i] - i)",
                                                                        "min(x1 - 1, x2 - 2, x3 - 3)"),
                                                   [both("x[1] + x[2] + x[3] <= 1", "x1 + x2 + x3 <= 1")]),
    "min over a range, minimised (exact)": (X3, "minimize", both("min(i in 1..3) (2 * x[i] + i)",
                                                                 "min(2 * x1 + 1, 2 * x2 + 2, 2 * x3 + 3)"),
                                            [both("x[1] + x[2] + x[3] >= 3", "x1 + x2 + x3 >= 3")]),
    "abs inside a sum, bounded above": (X3, "maximize", both("x[1] - x[3]", "x1 - x3"),
                                        [both("sum(i in 1..3) abs(x[i] - 1) <= 3", f"{ABS_SUM_X3} <= 3")]),
    "abs inside a sum, bounded below": (X3, "minimize", both("x[1] + x[2] + x[3]", "x1 + x2 + x3"),
                                        [both("sum(i in 1..3) abs(x[i] - 1) >= 7", f"{ABS_SUM_X3} >= 7")]),
    "abs over every element": (X3, "maximize", both("x[1] + x[2] + x[3]", "x1 + x2 + x3"),
                               [both("forall(i in 1..3) abs(x[i]) >= 1", "all(abs(v) >= 1 for v in (x1, x2, x3))"),
                                both("x[1] + x[2] <= 0", "x1 + x2 <= 0")]),
}


def model_of(case, name):
    variables, sense, objective, constraints = case
    return Model(variables, constraints, sense, objective, 3 if variables is X3 else 0, name)


@pytest.mark.parametrize("name", [*ABS_CASES, *EXTREME_CASES, *AGGREGATE_CASES])
def test_both_targets_reach_the_brute_force_optimum(name):
    case = {**ABS_CASES, **EXTREME_CASES, **AGGREGATE_CASES}[name]
    model = model_of(case, name)
    problems, presolve_faults = findings(model)
    assert not problems, "\n".join(problems)
    assert not presolve_faults, "\n".join(presolve_faults)


@pytest.mark.parametrize("name", ["minimised in the objective", "bounded above", "negated on the larger side",
                                  "max minimised", "min maximised", "max bounded above, min below",
                                  "max over a range, bounded above", "abs inside a sum, bounded above"])
def test_uses_that_only_bound_the_value_need_no_binary(name):
    case = {**ABS_CASES, **EXTREME_CASES, **AGGREGATE_CASES}[name]
    tree = parse_model(model_of(case, name).text())
    gen = SciPyCSCCodeGenerator(tree, {})
    gen.build_matrices()
    auxiliaries = gen.var_names[gen.model_var_count:]
    # The value's own column may be integer (whole values keep whole margins); no choice binary.
    assert auxiliaries and not any("_sign_" in name or "_pick_" in name for name in auxiliaries), auxiliaries
    script = GurobiCodeGenerator(tree, {}).generate_code()
    assert "addGenConstr" not in script and "GRB.BINARY" not in script


# ---- implied bounds ----

@dataclass
class Declared(Model):
    """A model whose variables are declared by `declarations`, without the box that brute force
    searches: the constraints must imply that box."""
    declarations: str = ""

    def text(self):
        lines = [self.declarations, f"{self.sense} {self.objective[0]};", "subject to {"]
        lines += [f"  {opl};" for opl, _ in self.constraints] + ["}"]
        return "\n".join(lines) + "\n"


FREE_XY = "dvar int x;\ndvar int y;\ndvar boolean b;"
BOX = [Variable("x", "x", 0, 6), Variable("y", "y", 0, 6), Variable("b", "b", 0, 1, boolean=True)]
POSITIVE_SUM = [both("x >= 0"), both("y >= 0"), both("x + y <= 6")]

IMPLIED_CASES = {
    "an implication's M": ("maximize", both("x + 2 * y + 3 * b"), [both("b == 0 => y <= 1", "b == 1 or y <= 1"),
                                                                   both("b == 1 => x >= 5", "b == 0 or x >= 5")]),
    "a reified comparison's M": ("maximize", both("x + y"), [both("(x >= 3) + (y >= 3) == 1",
                                                                  "int(x >= 3) + int(y >= 3) == 1")]),
    "an exact abs": ("minimize", both("x + y"), [both("abs(x - 2 * y) >= 5")]),
    "an exact max": ("maximize", both("y - x"), [both("maxl(x, y) == 3", "max(x, y) == 3")]),
    "a chain of rows": ("maximize", both("y + b"), [both("y <= x - 2"), both("b == 0 => y <= 1", "b == 1 or y <= 1"),
                                                     both("x + 4 * b <= 7")]),
}


@pytest.mark.parametrize("name", IMPLIED_CASES)
def test_bounds_implied_by_the_constraints_serve_the_encodings(name):
    sense, objective, extra = IMPLIED_CASES[name]
    model = Declared(BOX, POSITIVE_SUM + extra, sense, objective, name=name, declarations=FREE_XY)
    problems, presolve_faults = findings(model)
    assert not problems, model.text() + "\n".join(problems)
    assert not presolve_faults, "\n".join(presolve_faults)


def test_bounds_implied_inside_a_loop():
    # The first implication needs x[1]'s upper bound while its forall is being instantiated; the
    # bound comes from a sum over another loop.
    variables = [Variable(f"x[{i}]", f"x{i}", 0, 6) for i in (1, 2, 3)] + \
        [Variable(f"b[{i}]", f"b{i}", 0, 1, boolean=True) for i in (1, 2, 3)]
    constraints = [both("forall(i in 1..3) x[i] >= 0", "min(x1, x2, x3) >= 0"),
                   both("forall(i in 1..3) b[i] == 0 => x[i] <= 1",
                        "all(b or v <= 1 for b, v in ((b1, x1), (b2, x2), (b3, x3)))"),
                   both("sum(i in 1..3) x[i] <= 6", "x1 + x2 + x3 <= 6")]
    model = Declared(variables, constraints, "maximize", both("x[1] + 3 * x[3] - 2 * b[3] - b[1] - b[2]",
                                                              "x1 + 3 * x3 - 2 * b3 - b1 - b2"),
                     array=3, declarations="dvar int x[1..3];\ndvar boolean b[1..3];")
    problems, presolve_faults = findings(model)
    assert not problems and not presolve_faults, model.text() + "\n".join(problems + presolve_faults)


def test_not_equal_takes_its_m_from_implied_bounds():
    # The gurobipy target keeps its default M for sides without declared bounds (its texts of
    # models that compile stay as they are), so only the SciPy target is held to this one.
    model = Declared(BOX, POSITIVE_SUM + [both("x != y"), both("x - y <= 1")], "maximize", both("x + y + b"),
                     declarations=FREE_XY)
    assert disagreement(model, "scipy", model.brute_force()) is None


@pytest.mark.parametrize("constraint, what", [
    ("abs(w) >= 1", "abs() in constraint 'c'"),
    ("maxl(w, 2) == 3", "max() in constraint 'c'"),
    ("w + v <= 4 => v >= 1", "constraint 'c'"),
])
def test_without_an_implied_bound_the_error_names_variable_and_constraint(constraint, what):
    # w >= v - 5 >= -5 bounds w from below; nothing bounds it from above.
    text = f"dvar float w;\ndvar float+ v;\nminimize w;\nsubject to {{\n  w - v >= -5;\n  c: {constraint};\n}}"
    with pytest.raises(SemanticError) as info:
        SciPyCSCCodeGenerator(parse_model(text), {}).generate_code()
    assert info.value.message.startswith(f"Variable 'w' has no finite upper bound, which {what} needs")
    assert info.value.lineno == 6

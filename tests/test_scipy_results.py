"""What the SciPy script reports: every OPTIMAL is a point checked against the model (bounds,
integrality, rows), integer columns with fractional bounds are judged by their integer values,
and HiGHS's outcomes keep their own names and messages."""
import itertools
import random

import numpy as np
import pytest
import scipy.optimize
from scipy.optimize import OptimizeResult

from scipy_support import solved

OPTIMAL_MESSAGE = "Optimization terminated successfully. (HiGHS Status 7: Optimal)"


@pytest.mark.parametrize("model, status, message", [
    ("dvar int y; minimize y; subject to { y == 1.5; }", "INFEASIBLE", "HiGHS Status 8"),
    ("dvar int y; minimize y; subject to { y >= 1.2; y <= 1.8; }", "INFEASIBLE", "HiGHS Status 8"),
    ("dvar int y in 0..3; minimize y; subject to { y >= 5; }", "INFEASIBLE", "HiGHS Status 8"),
    ("dvar int x; dvar int y; minimize x; subject to { x + y >= 1; }", "UNBOUNDED", "HiGHS Status 10"),
    ("dvar float x; dvar float y; minimize x; subject to { x + y >= 1; x + y <= 0; }", "INFEASIBLE", "HiGHS Status 8"),
    ("dvar float x; minimize x; subject to { x <= 4; }", "UNBOUNDED", "HiGHS Status 10"),
    ("dvar int y; minimize y; subject to { y >= 1.0000000001; y <= 2.5; }", "OPTIMAL", "HiGHS Status 7"),
])
def test_statuses_and_messages(model, status, message):
    results = solved(model)
    assert results["status"] == status and message in results["message"]
    assert ("solution" in results) == (status == "OPTIMAL")


def test_integer_columns_with_fractional_bounds_agree_with_brute_force():
    rng = random.Random(12)
    for _ in range(60):
        names = ["a", "b", "c"][:rng.randint(1, 3)]
        bounds = {}
        for n in names:
            low = rng.choice([-2, -1.5, -0.5, 0, 0.25, 1, 1.5])
            bounds[n] = (low, low + rng.choice([0, 0.5, 1, 2, 3.5]))
        rows = [([rng.randint(-3, 3) for _ in names], rng.choice([-2, 0.5, 1, 3])) for _ in range(rng.randint(0, 2))]
        cost = [rng.randint(-3, 3) for _ in names]
        text = "".join(f"dvar int {n};\n" for n in names)
        text += "minimize " + " + ".join(f"{k} * {n}" for k, n in zip(cost, names)) + ";\nsubject to {\n"
        text += "".join(f"  {n} >= {lo}; {n} <= {hi};\n" for n, (lo, hi) in bounds.items())
        text += "".join("  " + " + ".join(f"{k} * {n}" for k, n in zip(coefs, names)) + f" <= {rhs};\n"
                        for coefs, rhs in rows)
        text += "}"
        domains = [range(-3, 6) for _ in names]
        best = None
        for point in itertools.product(*domains):
            if all(bounds[n][0] <= v <= bounds[n][1] for n, v in zip(names, point)) and \
                    all(sum(k * v for k, v in zip(coefs, point)) <= rhs for coefs, rhs in rows):
                value = sum(k * v for k, v in zip(cost, point))
                best = value if best is None else min(best, value)
        results = solved(text)
        if best is None:
            assert results["status"] == "INFEASIBLE", text
        else:
            assert results["status"] == "OPTIMAL", text
            assert results["objective_value"] == pytest.approx(best), text
            assert all(float(v).is_integer() for v in results["solution"].values()), text


MODEL = """
    dvar int x in 0..10;
    dvar float y in 0..10;
    maximize x + y;
    subject to { x + 2 * y <= 7.5; }
"""


@pytest.mark.parametrize("point, violation", [
    ([11.0, 0.0], "x = 11.0 is above its upper bound 10.0"),
    ([0.0, -1.0], "y = -1.0 is below its lower bound 0.0"),
    ([2.5, 0.0], "x = 2.5 is not integral"),
    ([7.0, 1.0], "row 0 of the <= rows has activity 9.0 against 7.5"),
])
def test_a_point_that_violates_the_model_is_never_optimal(monkeypatch, point, violation):
    def wrong(*args, **kwargs):
        return OptimizeResult(status=0, x=np.array(point), message=OPTIMAL_MESSAGE, success=True)

    monkeypatch.setattr(scipy.optimize, "milp", wrong)
    results = solved(MODEL)
    assert results["status"] == "NUMERIC" and "solution" not in results
    assert results["message"] == f"{OPTIMAL_MESSAGE}; the point the solver returned violates the model: {violation}"


def test_the_checked_optimum_is_reported():
    results = solved(MODEL)
    assert results["status"] == "OPTIMAL" and results["solution"] == pytest.approx({"x": 7.0, "y": 0.25})


def test_a_small_mip_found_infeasible_is_confirmed_without_presolve(monkeypatch):
    real = scipy.optimize.milp
    calls = []

    def presolve_says_infeasible(*args, options=None, **kwargs):
        calls.append(dict(options))
        if options.get("presolve", True):
            return OptimizeResult(status=2, x=None, success=False,
                                  message="The problem is infeasible. (HiGHS Status 8: model_status is Infeasible)")
        return real(*args, options=options, **kwargs)

    monkeypatch.setattr(scipy.optimize, "milp", presolve_says_infeasible)
    # A small MIP is solved without presolve from the start; a larger one is confirmed without it.
    results = solved(MODEL)
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(7.25)
    assert calls == [{"presolve": False}]
    calls.clear()
    larger = MODEL.replace("subject to {", "dvar boolean pad[1..1000];\n    subject to { sum(i in 1..1000) pad[i] <= 3;")
    results = solved(larger)
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(7.25)
    assert calls == [{}, {"presolve": False}]

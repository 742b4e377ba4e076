"""korvane.solve: every example model solves to its known optimum, and the Gurobi target's script
reaches the same objective on the gurobipy stand-in."""
import glob
import json
import os

import pytest

import korvane
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_files
from script_runner import run_gurobi_script

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
MODELS = sorted(glob.glob(os.path.join(EXAMPLES, "*.mod")))


def known_optimum(model):
    with open(model) as f:
        first = f.readline()
    assert first.startswith("// optimum:"), model
    return float(first.split(":", 1)[1])


def data_of(model):
    return model[:-4] + ".dat"


def test_there_are_examples():
    assert len(MODELS) >= 8


@pytest.mark.parametrize("model", MODELS, ids=os.path.basename)
@pytest.mark.parametrize("solver", ["scipy", "highs"])
def test_examples_solve_to_their_optimum(model, solver, capsys):
    results = korvane.solve(model, data_of(model), solver=solver)
    assert results["status"] == "OPTIMAL"
    assert results["objective_value"] == pytest.approx(known_optimum(model), rel=1e-6, abs=1e-6)
    assert json.loads(json.dumps(results, allow_nan=False)) == results
    assert "Optimal solution found:" in capsys.readouterr().out


@pytest.mark.parametrize("model", MODELS, ids=os.path.basename)
def test_gurobi_script_reaches_the_same_objective(model):
    tree, data = parse_files(model, data_of(model))
    gurobi = run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())
    scipy = korvane.solve(model, data_of(model))
    assert gurobi["status"] == scipy["status"] == "OPTIMAL"
    assert gurobi["objective_value"] == pytest.approx(scipy["objective_value"], rel=1e-6, abs=1e-6)
    assert gurobi["objective_value"] == pytest.approx(known_optimum(model), rel=1e-6, abs=1e-6)


def test_solution_keys_are_gurobipy_names():
    results = korvane.solve(os.path.join(EXAMPLES, "facility.mod"), os.path.join(EXAMPLES, "facility.dat"))
    assert "open[North]" in results["solution"] and "serve[South,C2]" in results["solution"]
    assert set(results["stats"]) == {"MIPGap", "Runtime", "NodeCount", "IterCount"}


def test_model_without_data_file(tmp_path):
    model = tmp_path / "tiny.mod"
    model.write_text("dvar float+ x; dvar float+ y; maximize x + y; subject to { x + 2 * y <= 4; x <= 3; }")
    results = korvane.solve(str(model))
    assert results["objective_value"] == pytest.approx(3.5)


def test_infeasible_models_report_their_status(tmp_path):
    model = tmp_path / "bad.mod"
    model.write_text("dvar int x in 0..3; minimize x; subject to { x >= 5; }")
    results = korvane.solve(str(model))
    assert results.keys() == {"status", "message", "log"} and results["status"] == "INFEASIBLE"
    assert "HiGHS Status 8" in results["message"]


def test_gurobi_needs_gurobipy(monkeypatch):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "gurobipy" else real(name, *a))
    with pytest.raises(RuntimeError, match="the 'gurobi' solver needs the gurobipy package, which is not installed"):
        korvane.solve(MODELS[0], data_of(MODELS[0]), solver="gurobi")


def test_gurobi_solver_runs_the_gurobipy_script():
    model = os.path.join(EXAMPLES, "knapsack.mod")
    results = korvane.solve(model, data_of(model), solver="gurobi")  # the stand-in is on sys.path
    assert results["objective_value"] == pytest.approx(known_optimum(model))
    assert json.loads(json.dumps(results, allow_nan=False)) == results


def test_unknown_solver():
    with pytest.raises(ValueError, match="Unknown solver: 'cplex'"):
        korvane.solve(MODELS[0], data_of(MODELS[0]), solver="cplex")


def test_model_errors_propagate(tmp_path):
    model = tmp_path / "m.mod"
    model.write_text("int n = ...;\ndvar float x;\nminimize n * x;\nsubject to {}")
    with pytest.raises(korvane.faultlore.SemanticError) as info:
        korvane.solve(str(model))
    assert info.value.lineno == 1


def _hard_knapsack(tmp_path):
    """A multi-dimensional 0/1 knapsack that HiGHS does not close in a fraction of a second."""
    import random

    rng = random.Random(7)
    n, m = 150, 10
    weights = [[rng.randint(20, 99) for _ in range(n)] for _ in range(m)]
    model = tmp_path / "mkp.mod"
    model.write_text(f"range I = 1..{n};\nrange K = 1..{m};\nint w[K][I] = ...;\nint v[I] = ...;\nint cap[K] = ...;\n"
                     "dvar boolean x[I];\nmaximize sum(i in I) v[i] * x[i];\n"
                     "subject to { forall(k in K) sum(i in I) w[k][i] * x[i] <= cap[k]; }\n")
    data = tmp_path / "mkp.dat"
    data.write_text(f"w = {weights};\nv = {[rng.randint(20, 99) for _ in range(n)]};\n"
                    f"cap = {[sum(row) // 2 for row in weights]};\n")
    return str(model), str(data), weights


@pytest.mark.parametrize("solver", ["scipy", "gurobi"])
def test_a_time_limit_stops_with_the_incumbent(tmp_path, solver):
    import io

    model, data, weights = _hard_knapsack(tmp_path)
    report = io.StringIO()
    results = korvane.solve(model, data, solver=solver, time_limit=0.1, output=report)
    if solver == "gurobi":  # the gurobipy script reports the raw status of a limit
        assert results["status"] == "OPTIMIZATION_STATUS_9"
        return
    assert results["status"] == "TIME_LIMIT"
    chosen = [i for i in range(len(weights[0])) if results["solution"][f"x[{i + 1}]"] > 0.5]
    for row in weights:  # the incumbent is a feasible point
        assert sum(row[i] for i in chosen) <= sum(row) // 2
    assert "limit" in report.getvalue()


def test_the_report_goes_to_the_given_stream_only(capsys):
    import io

    model = os.path.join(EXAMPLES, "knapsack.mod")
    report = io.StringIO()
    for solver in ("scipy", "gurobi"):
        results = korvane.solve(model, data_of(model), solver=solver, mip_gap=0.0, output=report)
        assert results["objective_value"] == pytest.approx(known_optimum(model))
    assert capsys.readouterr().out == ""
    assert report.getvalue().count("Optimal solution found:") == 2


@pytest.mark.parametrize("options, error", [
    ({"time_limit": 0}, ValueError), ({"time_limit": float("nan")}, ValueError), ({"mip_gap": -0.1}, ValueError),
    ({"time_limit": "10"}, TypeError), ({"mip_gap": True}, TypeError)])
def test_solver_options_are_checked(options, error):
    with pytest.raises(error):
        korvane.solve(MODELS[0], data_of(MODELS[0]), **options)

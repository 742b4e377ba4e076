"""What a model computes after its solve, run by korvane.solve on both targets: declarations that
read decision variables (set aside by instantiation), decision expressions and post `execute`
blocks, with the solution's values bound; and the solver settings of `execute` blocks. Printed
output is checked against brute force, values against Python recomputations from the solution."""
import io
import itertools
import random

import pytest

import korvane
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_files, post_process
from korvane.solving import compile_model

SOLVERS = ["scipy", "gurobi"]

# Two knapsacks share the items; an item goes into at most one of them.
TWO_KNAPSACKS = """\
{string} Items = ...;
range Sacks = 1..2;
int value[Items] = ...;
int weight[Items] = ...;
int room[Sacks] = ...;
tuple Placed { string item; int sack; int weight; }

dvar boolean put[Items][Sacks];
dexpr int worth = sum(i in Items, s in Sacks) value[i] * put[i][s];

maximize worth;
subject to {
  forall(i in Items) once: sum(s in Sacks) put[i][s] <= 1;
  forall(s in Sacks) fits: sum(i in Items) weight[i] * put[i][s] <= room[s];
}

{Placed} placed = {<i, s, weight[i]> | i in Items, s in Sacks : put[i][s] == 1};
{string} left_out = {i | i in Items : sum(s in Sacks) put[i][s] == 0};
int load[s in Sacks] = sum(i in Items) weight[i] * put[i][s];
float fill = sum(s in Sacks) load[s] / sum(s in Sacks) room[s];
int heaviest = max(p in placed) p.weight;
float doubled = 2 * worth;

execute REPORT {
  for (var p in placed) writeln(p.item, " in sack ", p.sack);
  for (var s in Sacks) writeln("sack ", s, " holds ", load[s], " of ", room[s]);
  var count = 0;
  for (var i in Items) {
    if (put[i][1].solutionValue + thisOplModel.put[i][2] > 0.5) count++;
  }
  writeln(count, " placed, ", Opl.card(left_out), " left out, worth ", worth, " = ", cplex.getObjValue());
}
"""


def knapsack_data(seed):
    rng = random.Random(seed)
    items = [f"i{k}" for k in range(7)]
    value = [rng.randint(5, 40) for _ in items]
    weight = [rng.randint(2, 12) for _ in items]
    room = [rng.randint(8, 20), rng.randint(8, 20)]
    text = (f"Items = {{{' '.join(items)}}};\nvalue = {value};\nweight = {weight};\nroom = {room};\n"
            .replace(",", ""))
    return items, value, weight, room, text


def optimal_placements(value, weight, room):
    """(optimum, every placement that reaches it): each item's sack, 1 or 2, or None."""
    feasible = {}
    for placement in itertools.product((None, 1, 2), repeat=len(value)):
        loads = [sum(w for w, p in zip(weight, placement) if p == s) for s in (1, 2)]
        if all(load <= r for load, r in zip(loads, room)):
            feasible[placement] = sum(v for v, p in zip(value, placement) if p is not None)
    best = max(feasible.values())
    return best, [placement for placement, worth in feasible.items() if worth == best]


def report(items, weight, room, placement, worth):
    """What the REPORT block writes for a placement."""
    lines = [f"{i} in sack {s}" for i, p in zip(items, placement) for s in (1, 2) if p == s]
    lines += [f"sack {s} holds {sum(w for w, p in zip(weight, placement) if p == s)} of {room[s - 1]}" for s in (1, 2)]
    placed = sum(p is not None for p in placement)
    lines.append(f"{placed} placed, {len(items) - placed} left out, worth {worth} = {worth}")
    return "".join(line + "\n" for line in lines)


def expected_post_values(items, weight, room, solution, objective):
    """The post declarations of TWO_KNAPSACKS, computed in Python from the solver's point."""
    put = {(i, s): round(solution[f"put[{i},{s}]"]) for i in items for s in (1, 2)}
    placed = [[i, s, w] for i, w in zip(items, weight) for s in (1, 2) if put[i, s] == 1]
    load = [sum(w for i, w in zip(items, weight) if put[i, s] == 1) for s in (1, 2)]
    return {"placed": placed, "left_out": [i for i in items if put[i, 1] + put[i, 2] == 0], "load": load,
            "fill": sum(load) / sum(room), "heaviest": max((p[2] for p in placed), default=float("-inf")),
            "doubled": 2 * objective}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("solver", SOLVERS)
def test_post_declarations_and_blocks_see_the_solution(tmp_path, seed, solver):
    items, value, weight, room, data = knapsack_data(seed)
    (tmp_path / "m.mod").write_text(TWO_KNAPSACKS)
    (tmp_path / "m.dat").write_text(data)
    output = io.StringIO()
    results = korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), solver=solver, output=output)
    optimum, placements = optimal_placements(value, weight, room)
    assert results["objective_value"] == pytest.approx(optimum)
    expected = expected_post_values(items, weight, room, results["solution"], results["objective_value"])
    if expected["heaviest"] == float("-inf"):
        expected["heaviest"] = None  # JSON has no infinity
    assert results["post_values"] == pytest.approx(expected)
    assert results["log"] in {report(items, weight, room, placement, optimum) for placement in placements}
    assert output.getvalue().endswith(results["log"])  # after the script's report


def test_post_declarations_stay_out_of_the_generated_scripts(tmp_path):
    (tmp_path / "m.mod").write_text(TWO_KNAPSACKS)
    (tmp_path / "m.dat").write_text(knapsack_data(0)[-1])
    tree, data = parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert [d["name"] for d in tree["post_declarations"]] == ["placed", "left_out", "load", "fill", "heaviest",
                                                              "doubled"]
    assert not {"placed", "load", "fill"} & {d["name"] for d in tree["declarations"]}
    script = compile_model(tree, data, "gurobi")
    assert "\n# post-processing declaration 'doubled' (line 22) is computed by korvane.solve, not by this script\n" in script
    assert script.count("# post-processing declaration") == 6
    assert script.endswith("\n# post-processing block 'REPORT' (line 24) is run by korvane.solve, not by this script")
    compile(script, "gurobi", "exec")


def test_integer_variables_read_as_integers_and_a_missing_one_is_named(tmp_path):
    (tmp_path / "m.mod").write_text("dvar int y in 0..5;\ndvar float z;\nmaximize y;\nsubject to { z == y / 2; }\n"
                                    "{int} odd = {k | k in 0..5 : k == y && y mod 2 == 1};\nfloat half = z;\n")
    tree, data = parse_files(str(tmp_path / "m.mod"))
    assert post_process(tree, data, {"y": 4.9999999, "z": -0.0}, 5.0) == ("", {"odd": [5], "half": 0.0})
    with pytest.raises(SemanticError, match="The solution has no number for the variable 'z', but None"):
        post_process(tree, data, {"y": 5.0}, 5.0)
    with pytest.raises(TypeError, match="argument 'solution' must be a dict or None"):
        post_process(tree, data, [("y", 5.0)], 5.0)


@pytest.mark.parametrize("solver", SOLVERS)
def test_an_infeasible_model_skips_post_processing(tmp_path, solver):
    (tmp_path / "m.mod").write_text("dvar int x in 0..3;\nminimize x;\nsubject to { x >= 4; }\nint twice = 2 * x;\n")
    results = korvane.solve(str(tmp_path / "m.mod"), solver=solver, output=io.StringIO())
    assert "post_values" not in results
    assert results["log"] == f"post-processing skipped: the solve ended {results['status']} without a solution\n"


def test_a_failing_post_declaration_names_its_line(tmp_path):
    (tmp_path / "m.mod").write_text("dvar int x in 0..3;\nminimize x;\nfloat ratio = 1 / x;\n")
    with pytest.raises(SemanticError, match="Division by zero") as info:
        korvane.solve(str(tmp_path / "m.mod"), output=io.StringIO())
    assert info.value.lineno == 3


# ---- settings ----

def hard_knapsack(tmp_path, settings):
    """A multi-dimensional 0/1 knapsack that HiGHS does not close in a fraction of a second."""
    rng = random.Random(7)
    n, m = 150, 10
    weights = [[rng.randint(20, 99) for _ in range(n)] for _ in range(m)]
    (tmp_path / "mkp.mod").write_text(
        f"execute {{ {settings} }}\nrange I = 1..{n};\nrange K = 1..{m};\nint w[K][I] = ...;\nint v[I] = ...;\n"
        "int cap[K] = ...;\ndvar boolean x[I];\nmaximize sum(i in I) v[i] * x[i];\n"
        "subject to { forall(k in K) sum(i in I) w[k][i] * x[i] <= cap[k]; }\n"
        "int chosen = sum(i in I) x[i];\nexecute { writeln(chosen, \" chosen\"); }\n")
    (tmp_path / "mkp.dat").write_text(f"w = {weights};\nv = {[rng.randint(20, 99) for _ in range(n)]};\n"
                                      f"cap = {[sum(row) // 2 for row in weights]};\n")
    return str(tmp_path / "mkp.mod"), str(tmp_path / "mkp.dat"), weights


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("settings, time_limit, note", [
    ("cplex.tilim = 0.1;", None, ""),
    ("cplex.tilim = 1000;", 0.1, "setting cplex.tilim = 1000.0 overridden by time_limit=0.1 of the caller\n"),
])
def test_the_time_limit_that_wins_reaches_the_solver(tmp_path, solver, settings, time_limit, note):
    model, data, weights = hard_knapsack(tmp_path, settings)
    results = korvane.solve(model, data, solver=solver, time_limit=time_limit, output=io.StringIO())
    assert results["status"] == ("TIME_LIMIT" if solver == "scipy" else "OPTIMIZATION_STATUS_9")
    if solver == "gurobi":  # the gurobipy script reports no point at a limit
        return
    chosen = [i for i in range(len(weights[0])) if results["solution"][f"x[{i + 1}]"] > 0.5]
    for row in weights:  # the incumbent is a feasible point, and post-processing ran on it
        assert sum(row[i] for i in chosen) <= sum(row) // 2
    assert results["log"] == f"{note}{len(chosen)} chosen\n"


SETTINGS_MODEL = """\
execute {
  writeln("settings made");
  cplex.threads = 2;
  cplex.epagap = 0.5;
  cplex.mipemphasis = 1;
  cplex.tilim = -1;
  cplex.epgap = 0.01;
}
dvar int x in 0..10;
dvar int y in 0..10;
maximize 3 * x + 2 * y;
subject to { x + y <= 7; x <= 4; }
execute { writeln("x = ", x, ", y = ", y); }
"""


@pytest.mark.parametrize("solver, notes", [
    ("scipy", ["setting cplex.threads ignored: no counterpart in HiGHS through SciPy",
               "setting cplex.epagap ignored: no counterpart in HiGHS through SciPy"]),
    ("gurobi", []),
])
def test_settings_without_a_counterpart_are_reported(tmp_path, solver, notes):
    (tmp_path / "m.mod").write_text(SETTINGS_MODEL)
    results = korvane.solve(str(tmp_path / "m.mod"), solver=solver, output=io.StringIO())
    assert results["objective_value"] == pytest.approx(18)
    assert results["log"].splitlines() == (
        ["settings made", "setting cplex.mipemphasis ignored: no counterpart"] + notes +
        ["setting cplex.tilim = -1.0 ignored: it must be a finite number > 0, not -1.0", "x = 4, y = 3"])
    tree, data = parse_files(str(tmp_path / "m.mod"))
    script = compile_model(tree, data, solver)
    if solver == "gurobi":
        assert "model = gp.Model('OPLModel')\nmodel.setParam('Threads', 2)\nmodel.setParam('MIPGapAbs', 0.5)\n" \
               "model.setParam('MIPGap', 0.01)\n" in script
    else:
        assert "settings = {**{'mip_gap': 0.01}, **dict(globals().get('solver_options') or {})}\n" in script

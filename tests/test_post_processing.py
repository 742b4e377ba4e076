"""What a model computes after its solve: declarations that read decision variables are set aside
by instantiation and computed by korvane.solve with the solution's values bound, on both targets;
checked against brute force and against the same values recomputed in Python from the solution."""
import io
import itertools
import random

import pytest

import korvane
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_files, post_process

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


def brute_force_optimum(value, weight, room):
    best = 0
    for placement in itertools.product((None, 0, 1), repeat=len(value)):  # each item: out, sack 1, sack 2
        loads = [sum(w for w, p in zip(weight, placement) if p == s) for s in (0, 1)]
        if all(load <= r for load, r in zip(loads, room)):
            best = max(best, sum(v for v, p in zip(value, placement) if p is not None))
    return best


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
def test_post_declarations_see_the_solution(tmp_path, seed, solver):
    items, value, weight, room, data = knapsack_data(seed)
    (tmp_path / "m.mod").write_text(TWO_KNAPSACKS)
    (tmp_path / "m.dat").write_text(data)
    results = korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), solver=solver, output=io.StringIO())
    assert results["objective_value"] == pytest.approx(brute_force_optimum(value, weight, room))
    expected = expected_post_values(items, weight, room, results["solution"], results["objective_value"])
    if expected["heaviest"] == float("-inf"):
        expected["heaviest"] = None  # JSON has no infinity
    assert results["post_values"] == pytest.approx(expected)
    assert results["log"] == ""


def test_post_declarations_stay_out_of_the_generated_scripts(tmp_path):
    (tmp_path / "m.mod").write_text(TWO_KNAPSACKS)
    (tmp_path / "m.dat").write_text(knapsack_data(0)[-1])
    tree, data = parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert [d["name"] for d in tree["post_declarations"]] == ["placed", "left_out", "load", "fill", "heaviest",
                                                              "doubled"]
    assert not {"placed", "load", "fill"} & {d["name"] for d in tree["declarations"]}
    script = korvane.solving.compile_model(tree, data, "gurobi")
    assert script.endswith("\n# post-processing declaration 'doubled' (line 22) is computed by korvane.solve, "
                           "not by this script")
    assert script.count("# post-processing declaration") == 6
    compile(script, "gurobi", "exec")


def test_integer_variables_read_as_integers_and_a_missing_one_is_named(tmp_path):
    (tmp_path / "m.mod").write_text("dvar int y in 0..5;\ndvar float z;\nmaximize y;\nsubject to { z == y / 2; }\n"
                                    "{int} odd = {k | k in 0..5 : k == y && y mod 2 == 1};\nfloat half = z;\n")
    tree, data = parse_files(str(tmp_path / "m.mod"))
    assert post_process(tree, data, {"y": 4.9999999, "z": -0.0}, 5.0) == ("", {"odd": [5], "half": 0.0})
    with pytest.raises(SemanticError, match="The solution has no number for the variable 'z', but None"):
        post_process(tree, data, {"y": 5.0}, 5.0)
    with pytest.raises(TypeError, match="argument 'solution' must be dict"):
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

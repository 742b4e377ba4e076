"""Explaining infeasible models: the reported conflict equals the known minimal one, and that set is
shown irreducible by an independent formulation solved with SciPy directly."""
import os

import numpy as np
import pytest
from fake_llm import FIXED_MODEL, PAIR_DATA, answer
from scipy.optimize import Bounds, LinearConstraint, milp
from test_insight_workflow import llm  # noqa: F401  (the fake LLM, with artifacts under tmp_path)
from velmora_server import call_for_json

import korvane
from korvane.__main__ import main
from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.oplparse import parse_files

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")


def feasible(variables, members):
    """Whether the hand-written members admit a point. A member is ("row", {var: coef}, lo, hi),
    ("bound", var, lo, hi) or ("integer", var); variables are free and continuous otherwise."""
    column = {name: i for i, name in enumerate(variables)}
    lower, upper = np.full(len(variables), -np.inf), np.full(len(variables), np.inf)
    integrality = np.zeros(len(variables))
    rows, lows, highs = [], [], []
    for member in members:
        if member[0] == "row":
            row = np.zeros(len(variables))
            for name, coef in member[1].items():
                row[column[name]] = coef
            rows.append(row)
            lows.append(member[2])
            highs.append(member[3])
        elif member[0] == "bound":
            lower[column[member[1]]] = max(lower[column[member[1]]], member[2])
            upper[column[member[1]]] = min(upper[column[member[1]]], member[3])
        else:
            integrality[column[member[1]]] = 1
    if np.any(lower > upper):
        return False
    constraints = [LinearConstraint(np.array(rows), lows, highs)] if rows else []
    result = milp(np.zeros(len(variables)), integrality=integrality, bounds=Bounds(lower, upper),
                  constraints=constraints)
    assert result.status in (0, 2), result.message
    return result.status == 0


INF = np.inf

# name -> (model, data, expected conflict names, variables and members of the known conflict)
CASES = {
    "two capacities against a demand": (
        """{string} F = ...;
        float cap[F] = ...;
        float demand = ...;
        dvar float+ x[F];
        dvar float+ spare;
        minimize sum(f in F) x[f] + spare;
        subject to {
          forall(f in F)
            capacity: x[f] <= cap[f];
          meet: sum(f in F) x[f] >= demand;
          other: spare + x["North"] <= 100;
          spare >= 2;
        }""",
        'F = {"North", "South"};\ncap = [30, 20];\ndemand = 60;\n',
        {'capacity["North"]', 'capacity["South"]', "meet"},
        (["xN", "xS"], {'capacity["North"]': ("bound", "xN", -INF, 30), 'capacity["South"]': ("bound", "xS", -INF, 20),
                        "meet": ("row", {"xN": 1, "xS": 1}, 60, INF)}),
    ),
    "an implication chain": (
        """dvar boolean a;
        dvar boolean b;
        dvar boolean c;
        dvar boolean d;
        maximize a + b + c + d;
        subject to {
          start: a == 1;
          ab: a == 1 => b == 1;
          bc: b == 1 => c == 1;
          stop: c == 0;
          free: d <= 1;
        }""",
        None,
        {"start", "ab", "bc", "stop"},
        (["a", "b", "c"], {"start": ("bound", "a", 1, 1), "ab": ("row", {"a": 1, "b": -1}, -INF, 0),
                           "bc": ("row", {"b": 1, "c": -1}, -INF, 0), "stop": ("bound", "c", 0, 0)}),
    ),
    "declared bounds against a constraint": (
        """dvar float+ x;
        dvar float+ y;
        dvar float z;
        minimize x + y + z;
        subject to {
          below: x + y <= -1;
          loose: z >= -5;
        }""",
        None,
        {"below", "bounds of x (declaration)", "bounds of y (declaration)"},
        (["x", "y"], {"below": ("row", {"x": 1, "y": 1}, -INF, -1), "bounds of x (declaration)": ("bound", "x", 0, INF),
                      "bounds of y (declaration)": ("bound", "y", 0, INF)}),
    ),
    "integrality alone": (
        """dvar int x;
        dvar int y;
        dvar float w;
        minimize x + y + w;
        subject to {
          half: 2 * x + 2 * y == 3;
          cap_w: w + x <= 10;
        }""",
        None,
        {"half", "integrality of x (declaration)", "integrality of y (declaration)"},
        (["x", "y"], {"half": ("row", {"x": 2, "y": 2}, 3, 3), "integrality of x (declaration)": ("integer", "x"),
                      "integrality of y (declaration)": ("integer", "y")}),
    ),
    "integrality of a single column": (
        """dvar int x;
        dvar float w;
        minimize x + w;
        subject to {
          half: 2 * x == 1;
          w + x >= 0;
        }""",
        None,
        {"half", "integrality of x (declaration)"},
        (["x"], {"half": ("bound", "x", 0.5, 0.5), "integrality of x (declaration)": ("integer", "x")}),
    ),
    "two bounds of one tuple-indexed column": (
        """tuple Arc { string a; string b; float cost; }
        {Arc} Arcs = ...;
        dvar float+ flow[Arcs];
        minimize sum(a in Arcs) flow[a];
        subject to {
          forall(a in Arcs)
            cap: flow[a] <= a.cost;
          forall(a in Arcs)
            flow[a] >= 2;
        }""",
        'Arcs = {<"u", "v", 1.5>, <"v", "u", 3>};\n',
        {'cap[<"u","v",1.5>]', 'constraint at line 9 for a = <"u","v",1.5>'},
        (["f"], {"cap": ("bound", "f", -INF, 1.5), "at least": ("bound", "f", 2, INF)}),
    ),
}


def write_case(tmp_path, model, data):
    model_file = tmp_path / "case.mod"
    model_file.write_text(model)
    data_file = None
    if data is not None:
        data_file = tmp_path / "case.dat"
        data_file.write_text(data)
    return str(model_file), None if data_file is None else str(data_file)


@pytest.mark.parametrize("case", list(CASES))
def test_reported_conflict_is_the_known_irreducible_one(tmp_path, case):
    model, data, expected, (variables, members) = CASES[case]
    # The known conflict, checked without korvane: infeasible, and feasible without any member.
    assert not feasible(variables, members.values())
    for name in members:
        assert feasible(variables, [m for other, m in members.items() if other != name]), name

    result = korvane.explain_infeasible(*write_case(tmp_path, model, data))
    assert result["infeasible"] is True and result["irreducible"] is True
    assert {entry["name"] for entry in result["conflict"]} == expected
    for entry in result["conflict"]:
        assert entry["rows"] and entry["line"]


def test_conflict_entries_carry_indices_lines_rows_and_data(tmp_path):
    model, data, _, _ = CASES["two capacities against a demand"]
    result = korvane.explain_infeasible(*write_case(tmp_path, model, data))
    by_name = {entry["name"]: entry for entry in result["conflict"]}
    north = by_name['capacity["North"]']
    assert north["label"] == "capacity" and north["indices"] == {"f": "North"} and north["line"] == 9
    assert north["source"] == "capacity: x[f] <= cap[f];"
    assert north["rows"] == ["x[North] <= 30"]
    assert [(d["text"], d["dat_line"]) for d in north["data"]] == [('cap["North"] = 30', 2)]
    assert by_name["meet"]["rows"] == ["x[North] + x[South] >= 60"]
    assert [(d["text"], d["dat_line"]) for d in by_name["meet"]["data"]] == [("demand = 60", 3)]


def test_feasible_model_has_nothing_to_explain():
    result = korvane.explain_infeasible(os.path.join(EXAMPLES, "facility.mod"), os.path.join(EXAMPLES, "facility.dat"))
    assert result["infeasible"] is False and result["conflict"] == []
    assert "nothing to explain" in result["message"]
    # A limit that has passed before the first solve leaves the question open.
    undecided = korvane.explain_infeasible(os.path.join(EXAMPLES, "facility.mod"), os.path.join(EXAMPLES, "facility.dat"),
                                           time_limit=1e-9)
    assert undecided["infeasible"] is None and undecided["irreducible"] is False


def test_conflict_found_among_many_rows_is_the_planted_one(tmp_path):
    # A chain of 200 rows x[i] <= x[i+1] with one planted contradiction at its ends; the rest of the
    # rows are slack. The conflict must be exactly the planted chain segment and its two ends.
    model = """int n = ...;
    range I = 1..n;
    dvar float x[I];
    minimize sum(i in I) x[i];
    subject to {
      forall(i in 1..n-1)
        link: x[i] <= x[i+1];
      forall(i in I)
        slack: x[i] >= -1000;
      first: x[5] >= 7;
      last: x[9] <= 6;
    }"""
    result = korvane.explain_infeasible(*write_case(tmp_path, model, "n = 200;\n"))
    names = {entry["name"] for entry in result["conflict"]}
    assert names == {"first", "last"} | {f"link[{i}]" for i in range(5, 9)}
    assert result["irreducible"] is True


def test_row_origins_of_an_example_name_each_row_by_its_constraint():
    tree, data = parse_files(os.path.join(EXAMPLES, "facility.mod"), os.path.join(EXAMPLES, "facility.dat"))
    generator = SciPyCSCCodeGenerator(tree, data)
    generator.build_matrices()
    origins = generator.row_origins
    assert len(origins["ub"]) == generator.A_ub["shape"][0] and len(origins["eq"]) == generator.A_eq["shape"][0]
    table = origins["origins"]

    def label_and_indices(origin):
        info = origins["constraints"][table["constraint"][origin]]
        values = [table["value_table"][v] for v in table["values"][table["start"][origin]:table["start"][origin + 1]]]
        return info["label"], dict(zip(info["iterators"], values))

    customers, facilities = data["Customers"], data["Facilities"]
    assert [label_and_indices(o) for o in origins["eq"]] == [("served", {"c": c}) for c in customers]
    ub = [label_and_indices(o) for o in origins["ub"]]
    assert ub == ([("only_if_open", {"f": f, "c": c}) for f in facilities for c in customers]
                  + [("within_capacity", {"f": f}) for f in facilities])


def test_cli_explains_an_infeasible_model(tmp_path, capsys):
    model, data, _, _ = CASES["two capacities against a demand"]
    code = main(["solve", *write_case(tmp_path, model, data), "--explain"])
    out, err = capsys.readouterr()
    assert code == 3 and err == ""
    lines = out.splitlines()
    assert lines[0] == "Status: INFEASIBLE" and lines[1].startswith("Solver: ")
    assert "irreducible conflicting set of 3" in lines[2]
    assert "- meet (line 10)" in lines and "    x[North] <= 30" in lines
    # A feasible model prints no explanation.
    main(["solve", os.path.join(EXAMPLES, "knapsack.mod"), os.path.join(EXAMPLES, "knapsack.dat"), "--explain"])
    assert "conflicting" not in capsys.readouterr().out


# ---- the repair loop ----

# The production model of the fake LLM with a demand it cannot meet in its labour hours.
OVERDEMANDED = FIXED_MODEL.replace("  x_cap: x <= 4;", "  x_cap: x <= 4;\n  demand: x + y >= hours + 1;")


def test_generative_solve_feeds_the_conflict_back_for_repair(llm, tmp_path):
    llm.reply(answer(OVERDEMANDED, PAIR_DATA), answer(FIXED_MODEL, PAIR_DATA))
    files = str(tmp_path / "gen.mod"), str(tmp_path / "gen.dat")
    stats = korvane.generative_solve("Plan production.", *files, iterations=3)
    assert stats["success"] and stats["iterations"] == 2
    [error] = stats["errors"]
    assert error["stage"] == "feasibility"
    assert "irreducible conflicting set of 2 member(s): labour, demand." in error["message"]
    repair = llm.chats[1].messages[-1]["content"]
    assert "no solution satisfies all its constraints" in repair and error["message"] in repair
    assert "    x + y <= 7\n" in repair and "data: hours = 7 (.dat line 3)" in repair


def test_insight_tool_gives_the_llm_the_conflict_of_an_infeasible_model(llm):
    llm.reply(answer(OVERDEMANDED, PAIR_DATA), "The demand exceeds the labour hours.")
    out = call_for_json("insight_tool", prompt="p", iterations=1)
    assert out["results"]["status"] == "INFEASIBLE" and not out["stats"]["success"]
    assert out["stats"]["errors"][0]["stage"] == "feasibility"
    assert out["feedback"]["check"]["stage"] == "feasibility"
    request = llm.chats[1].messages[1]["content"]
    assert "the model is infeasible. The model is infeasible; an irreducible conflicting set" in request
    assert "- demand (line 10)" in request


def test_capacity_shortage_in_the_facility_example(tmp_path):
    # Total capacity 120 against a demand of 165: with the serve variables' bounds left out,
    # every customer's row and every capacity row is needed.
    with open(os.path.join(EXAMPLES, "facility.dat")) as f:
        data = f.read().replace("capacity = [100, 80, 120, 70]", "capacity = [40, 30, 20, 30]")
    data_file = tmp_path / "short.dat"
    data_file.write_text(data)
    result = korvane.explain_infeasible(os.path.join(EXAMPLES, "facility.mod"), str(data_file))
    names = [entry["name"] for entry in result["conflict"]]
    assert names == (["bounds of open (declaration)"] + [f'served["C{i}"]' for i in range(1, 7)]
                     + [f'within_capacity["{f}"]' for f in ("North", "South", "East", "West")])
    assert result["irreducible"]
    assert result["conflict"][0]["rows"] == [f"open[{f}] <= 1" for f in ("North", "South", "East", "West")]
    east = result["conflict"][9]
    assert east["rows"] == ["-20*open[East] + 30*serve[East,C1] + 25*serve[East,C2] + 40*serve[East,C3] "
                            "+ 20*serve[East,C4] + 35*serve[East,C5] + 15*serve[East,C6] <= 0"]
    assert [(d["text"], d["dat_line"]) for d in east["data"]] == [("demand = [30, 25, 40, 20, 35, 15]", 5),
                                                                  ('capacity["East"] = 20', 4)]

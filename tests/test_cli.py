"""The command line: compile, check, parse and solve, with errors as one line on standard error."""
import json
import os
import subprocess
import sys
import tomllib

import pytest

from korvane.__main__ import main

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLES = os.path.join(ROOT, "examples")


def example(name, ext):
    return os.path.join(EXAMPLES, f"{name}.{ext}")


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_solve_prints_status_objective_and_non_zero_variables(capsys):
    code, out, err = run(capsys, "solve", example("knapsack", "mod"), example("knapsack", "dat"))
    assert code == 0 and err == ""
    lines = out.splitlines()
    assert lines[:3] == ["Status: OPTIMAL", "Objective: 1359", "Variable  Value"]
    assert [line.split() for line in lines[3:]] == [[f"take[{i}]", "1"] for i in (1, 2, 4, 5, 7, 10)]


@pytest.mark.parametrize("name", ["assignment", "coloring", "coverage", "facility", "knapsack", "production",
                                  "scheduling", "transportation"])
def test_solve_every_example(capsys, name):
    code, out, _ = run(capsys, "solve", example(name, "mod"), example(name, "dat"))
    with open(example(name, "mod")) as f:
        optimum = float(f.readline().split(":")[1])
    assert code == 0
    assert float(out.splitlines()[1].split(": ")[1]) == pytest.approx(optimum, rel=1e-6)


def test_solve_prints_why_there_is_no_optimum(capsys, tmp_path):
    model, data = tmp_path / "fixed.mod", tmp_path / "fixed.dat"
    model.write_text("float v = ...;\ndvar int y;\nminimize y;\nsubject to { y == v; }\n")
    data.write_text("v = 1.5;\n")
    code, out, err = run(capsys, "solve", str(model), str(data))
    assert code == 0 and err == ""
    assert out == "Status: INFEASIBLE\nMessage: the bounds of the integer variable y admit no integer value\n"


def test_a_data_file_fault_names_the_data_file_and_line(capsys, tmp_path):
    model, data = tmp_path / "m.mod", tmp_path / "m.dat"
    model.write_text("int n = ...;\ndvar float x;\nminimize x;\nsubject to { x >= n; }\n")
    data.write_text("n = 1;\nn = 2.5;\n")
    code, out, err = run(capsys, "solve", str(model), str(data))
    assert code == 1 and out == ""
    assert err.startswith(f"{data}:2: Data item 'n' is assigned twice (first at line 1)")


def test_solve_with_gurobi_on_the_stand_in(capsys):
    code, out, _ = run(capsys, "solve", example("transportation", "mod"), example("transportation", "dat"),
                       "--solver", "gurobi")
    assert code == 0 and out.startswith("Status: OPTIMAL\nObjective: 1210\n")


def test_compile_writes_the_gurobipy_script(capsys, tmp_path):
    code, out, _ = run(capsys, "compile", example("knapsack", "mod"), example("knapsack", "dat"))
    assert code == 0 and "import gurobipy as gp" in out
    compile(out, "knapsack.py", "exec")
    target = tmp_path / "out.py"
    code, out, _ = run(capsys, "compile", example("knapsack", "mod"), example("knapsack", "dat"), "-o", str(target))
    assert code == 0 and out == "" and "model.optimize()" in target.read_text()


def test_check_accepts_a_good_model(capsys):
    code, out, err = run(capsys, "check", example("facility", "mod"), example("facility", "dat"))
    assert (code, err) == (0, "") and out == f"{example('facility', 'mod')}: OK\n"


@pytest.mark.parametrize("model, data, where, message, hint", [
    ("int n = ...;\ndvar float x;\nminimize n * x;\nsubject to {}", "", "m.mod:1",
     "Parameter 'n' declared with '= ...' in .mod but not found in .dat file.", False),
    ("dvar float x;\nminimize x;\nsubject to {\n  x <= ;\n}", None, "m.mod:4", "Syntax error at or near token ';'", True),
    ("int n = ...;\ndvar float x;\nminimize x;\nsubject to {}", "n = 3\nm = ;", "m.dat:2",
     "Syntax error in .dat file at or near token", True),
    ("float p[1..2] = [1, 2];\ndvar float x;\nminimize x;\nsubject to {\n  c: p[3] * x <= 1;\n}", None, "m.mod:5",
     "Parameter 'p' not found for index [3] in constraint 'c'", True),
])
def test_check_reports_errors_with_file_line_and_hint(capsys, tmp_path, model, data, where, message, hint):
    (tmp_path / "m.mod").write_text(model)
    args = ["check", str(tmp_path / "m.mod")]
    if data is not None:
        (tmp_path / "m.dat").write_text(data)
        args.append(str(tmp_path / "m.dat"))
    code, out, err = run(capsys, *args)
    assert code == 1 and out == ""
    lines = err.splitlines()
    assert len(lines) >= 1 and all(line.startswith(str(tmp_path)) for line in lines)
    assert lines[0].startswith(str(tmp_path / where) + ": " + message)
    assert ("Hint:" in lines[0]) == hint


def test_parse_prints_json(capsys):
    code, out, _ = run(capsys, "parse", example("assignment", "mod"))
    tree = json.loads(out)
    assert code == 0 and tree["objective"]["type"] == "minimize"
    code, out, _ = run(capsys, "parse", example("assignment", "dat"))
    assert json.loads(out)["Workers"] == ["Ann", "Bob", "Cid", "Dee"]


def test_parse_data_with_tuple_keys(capsys, tmp_path):
    (tmp_path / "k.dat").write_text('k = #[<1, "a">: 2]#;')
    code, out, _ = run(capsys, "parse", str(tmp_path / "k.dat"))
    assert code == 0 and json.loads(out) == {"k": {'[1, "a"]': 2}}


@pytest.mark.parametrize("argv, message", [
    (["solve", "missing.mod", "missing.dat"], "missing.mod: No such file or directory"),
    (["parse", "missing.dat"], "missing.dat: No such file or directory"),
    (["compile", "missing.mod"], "missing.mod: No such file or directory"),
])
def test_file_errors_are_one_line(capsys, argv, message):
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == "" and err == message + "\n"


def test_solver_error_is_one_line(capsys, tmp_path):
    (tmp_path / "nl.mod").write_text("dvar float x;\ndvar float y;\nminimize x;\nsubject to {\n  c: x * y <= 1;\n}")
    (tmp_path / "nl.dat").write_text("")
    code, _, err = run(capsys, "solve", str(tmp_path / "nl.mod"), str(tmp_path / "nl.dat"))
    assert code == 1 and err.count("\n") == 1
    assert err.startswith(f"{tmp_path / 'nl.mod'}:5: Unsupported non-linear expression in constraint 'c'")


def test_usage_errors_exit_with_two(capsys):
    with pytest.raises(SystemExit) as info:
        main(["solve", "only.mod"])
    assert info.value.code == 2
    assert capsys.readouterr().err == "korvane solve: error: the following arguments are required: DATA.dat\n"


def test_module_entry_point_and_console_script():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ.get("KORVANE_STAGE") or ROOT,
                                                       os.path.join(HERE, "support")]))
    done = subprocess.run([sys.executable, "-m", "korvane", "solve", example("coverage", "mod"),
                           example("coverage", "dat")], capture_output=True, text=True, env=env)
    assert done.returncode == 0 and done.stdout.startswith("Status: OPTIMAL\nObjective: 51.5\n")
    done = subprocess.run([sys.executable, "-m", "korvane", "parse", "nowhere.mod"], capture_output=True,
                          text=True, env=env)
    assert done.returncode == 1 and "Traceback" not in done.stderr and done.stderr.count("\n") == 1
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        assert tomllib.load(f)["project"]["scripts"] == {"korvane": "korvane.__main__:main"}

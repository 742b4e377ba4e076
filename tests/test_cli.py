"""The command line: compile, check, parse and solve, with errors as one line on standard error."""
import io
import json
import os
import subprocess
import select
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
    assert code == 3 and err == ""
    status, solver = out.splitlines()
    assert status == "Status: INFEASIBLE" and solver.startswith("Solver: ") and "nfeasible" in solver


def test_a_data_file_fault_names_the_data_file_and_line(capsys, tmp_path):
    model, data = tmp_path / "m.mod", tmp_path / "m.dat"
    model.write_text("int n = ...;\ndvar float x;\nminimize x;\nsubject to { x >= n; }\n")
    data.write_text("n = 1;\nn = 2.5;\n")
    code, out, err = run(capsys, "solve", str(model), str(data))
    assert code == 1 and out == ""
    assert err.startswith(f"{data}:2:1: Data item 'n' is assigned twice (first at line 1)")


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
    ("int n = ...;\ndvar float x;\nminimize n * x;\nsubject to {}", "", "m.mod:1:1",
     "Parameter 'n' declared with '= ...' in .mod but not found in .dat file.", True),
    ("dvar float x;\nminimize x;\nsubject to {\n  x <= ;\n}", None, "m.mod:4:8", "Syntax error at or near token ';'", True),
    ("int n = ...;\ndvar float x;\nminimize x;\nsubject to {}", "n = 3\nm = ;", "m.dat:1:6",
     "Syntax error in .dat file at or near token 'm': expected ';' after the assignment to 'n'", True),
    ("float p[1..2] = [1, 2];\ndvar float x;\nminimize x;\nsubject to {\n  c: p[3] * x <= 1;\n}", None, "m.mod:5:3",
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
    (["check", "missing.mod"], "missing.mod: No such file or directory"),
])
def test_file_errors_are_one_line(capsys, argv, message):
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == "" and err == message + "\n"


def test_solver_error_is_one_line(capsys, tmp_path):
    (tmp_path / "nl.mod").write_text("dvar float x;\ndvar float y;\nminimize x;\nsubject to {\n  c: x * y <= 1;\n}")
    (tmp_path / "nl.dat").write_text("")
    code, _, err = run(capsys, "solve", str(tmp_path / "nl.mod"), str(tmp_path / "nl.dat"))
    assert code == 1 and err.count("\n") == 1
    assert err.startswith(f"{tmp_path / 'nl.mod'}:5:3: Unsupported non-linear expression in constraint 'c'")


def test_usage_errors_exit_with_two(capsys):
    with pytest.raises(SystemExit) as info:
        main(["solve"])
    assert info.value.code == 2
    assert capsys.readouterr().err == "korvane solve: error: the following arguments are required: MODEL.mod\n"


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


def write_model(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_check_reports_every_error_once_sorted_with_the_count(capsys, tmp_path):
    model = write_model(tmp_path, "m.mod", "int n = 3\nint cap = 4;\ndvar float x;\nmaximise x;\nsubject to {\n"
                                            "  c1: x <= cap;\n  c2: x >= 1 @ 2;\n  c3: x == y;\n}\n")
    code, out, err = run(capsys, "check", model)
    lines = err.splitlines()
    assert code == 1 and out == ""
    assert [line.split(": ")[0] for line in lines[:-1]] == [f"{model}:1:10", f"{model}:4:1", f"{model}:7:14",
                                                             f"{model}:8:12"]
    assert lines[-1] == f"{model}: 4 errors"


def test_check_reports_a_data_error_once_at_the_value_and_the_declaration(capsys, tmp_path):
    model = write_model(tmp_path, "m.mod", "{string} S = ...;\nfloat c[S] = ...;\ndvar float x;\nminimize x;\n")
    data = write_model(tmp_path, "m.dat", 'S = {"a", "b"};\nc = [1, 2, 3];\n')
    code, _, err = run(capsys, "check", model, data)
    lines = err.splitlines()
    assert code == 1 and len(lines) == 2 and lines[1] == f"{model}: 1 error"
    assert lines[0].startswith(f"{data}:2:1: Parameter 'c' data length 3 does not match")
    assert lines[0].endswith(f"(declared at {model}:2).")


TINY = "dvar float+ x;\ndvar float+ y;\nmaximize x + y;\nsubject to {\n  x + 2 * y <= 4;\n  x <= 3;\n}\n"


@pytest.mark.parametrize("solver", ["highs", "scipy", "gurobi"])
def test_solve_without_data_on_every_solver(capsys, tmp_path, solver):
    code, out, err = run(capsys, "solve", write_model(tmp_path, "tiny.mod", TINY), "--solver", solver)
    assert (code, err) == (0, "")
    assert out.splitlines()[:2] == ["Status: OPTIMAL", "Objective: 3.5"]


def test_json_and_quiet(capsys, tmp_path):
    model = write_model(tmp_path, "tiny.mod", TINY)
    code, out, _ = run(capsys, "solve", model, "--json", "--time-limit", "30", "--mip-gap", "0")
    results = json.loads(out)
    assert code == 0 and results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(3.5)
    assert results["solution"] == pytest.approx({"x": 3.0, "y": 0.5})
    code, out, err = run(capsys, "solve", model, "--quiet")
    assert (code, err) == (0, "") and out == "Status: OPTIMAL\nObjective: 3.5\n"


@pytest.mark.parametrize("text, status, code", [
    ("dvar int x in 0..3;\nminimize x;\nsubject to {\n  x >= 5;\n}\n", "INFEASIBLE", 3),
    ("dvar float+ x;\nmaximize x;\n", "UNBOUNDED", 4),
])
def test_outcomes_in_words_with_the_solvers_message_and_their_exit_status(capsys, tmp_path, text, status, code):
    model = write_model(tmp_path, "o.mod", text)
    got, out, err = run(capsys, "solve", model)
    lines = out.splitlines()
    assert (got, err) == (code, "") and lines[0] == f"Status: {status}"
    assert lines[1].startswith("Solver: The problem is ") and "HiGHS Status" in lines[1]
    got, out, _ = run(capsys, "solve", model, "--solver", "gurobi")
    assert got == code and out.splitlines()[0] == f"Status: {status}"


@pytest.mark.parametrize("status, code", [("TIME_LIMIT", 6), ("OPTIMIZATION_STATUS_9", 6), ("INF_OR_UNBD", 5),
                                          ("OPTIMIZATION_STATUS_4", 5), ("OPTIMIZATION_STATUS_12", 7)])
def test_every_outcome_has_its_documented_exit_status(capsys, tmp_path, monkeypatch, status, code):
    import korvane.__main__ as cli

    monkeypatch.setattr(cli, "solve_parsed", lambda *args, **kwargs: {"status": status, "message": "stopped"})
    got, out, _ = run(capsys, "solve", write_model(tmp_path, "tiny.mod", TINY))
    assert got == code and out.startswith(f"Status: {cli._GUROBI_CODES.get(status, status)}\nSolver: stopped\n")


def test_compile_targets(capsys, tmp_path):
    model = write_model(tmp_path, "tiny.mod", TINY)
    for target, key in (("scipy", "scipy_output"), ("gurobi", "gurobi_output")):
        code, out, _ = run(capsys, "compile", model, "--target", target)
        container = {}
        exec(compile(out, f"tiny_{target}.py", "exec"), {"results_container": container, "print": lambda *a: None})
        assert code == 0 and container[key]["objective_value"] == pytest.approx(3.5)


@pytest.mark.parametrize("argv, message", [
    (["solve", "m.mod", "--time-limit", "0"], "--time-limit must be a finite number > 0"),
    (["solve", "m.mod", "--mip-gap", "-1"], "--mip-gap must be a finite number >= 0"),
    (["solve", "m.mod", "--solver", "cplex"], "invalid choice: 'cplex'"),
    (["compile", "m.mod", "--target", "glpk"], "invalid choice: 'glpk'"),
])
def test_wrong_options_exit_with_two(capsys, argv, message):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2 and message in capsys.readouterr().err


def test_no_arguments_print_usage(capsys):
    code, out, err = run(capsys)
    assert code == 2 and out == "" and err.startswith("usage: korvane") and "Exit status:" in err


def test_internal_failures_show_no_exception_names(capsys, tmp_path, monkeypatch):
    import korvane.__main__ as cli

    def broken(*args, **kwargs):
        raise ZeroDivisionError("division by zero")

    monkeypatch.setattr(cli, "solve_parsed", broken)
    code, _, err = run(capsys, "solve", write_model(tmp_path, "tiny.mod", TINY))
    assert code == 1 and err == "korvane: internal error: division by zero (please report it with the files)\n"


def test_progress_line_shows_the_phase_and_highs_incumbent_on_a_terminal(tmp_path):
    from korvane.progress import ProgressLine, wanted

    master, slave = os.openpty()
    terminal = os.fdopen(slave, "w")
    row = " L       0       0         0   0.00%   -974.9684277    -930               4.84%      475     13      4" \
          "       107     1.8s\n"
    shown = b""

    def read_screen(until):
        nonlocal shown
        while until not in shown and select.select([master], [], [], 60)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # every writer has closed the terminal
                return
            shown += chunk

    with ProgressLine(terminal, wanted(terminal, quiet=False), delay=0) as progress:
        progress.phase("solving")
        with progress.solver_log():
            os.write(1, row.encode())
            read_screen(b"gap 4.84%")
    terminal.close()
    read_screen(b"the end, which never comes")
    os.close(master)
    assert b"korvane: solving: incumbent -930, bound -974.9684277, gap 4.84% (" in shown
    assert shown.endswith(b"\r\x1b[K")
    assert not wanted(terminal, quiet=True) and not wanted(io.StringIO(), quiet=False)


def cli_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ.get("KORVANE_STAGE") or ROOT,
                                                        os.path.join(HERE, "support")]))


def test_version_and_a_closed_pipe_as_subprocesses(tmp_path):
    done = subprocess.run([sys.executable, "-m", "korvane", "--version"], capture_output=True, text=True, env=cli_env())
    assert done.returncode == 0 and done.stdout == "korvane 0.1.0\n"
    big = tmp_path / "big.dat"
    big.write_text("v = [" + ", ".join(str(i) for i in range(200_000)) + "];\n")
    reader = subprocess.Popen([sys.executable, "-m", "korvane", "parse", str(big)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=cli_env())
    assert reader.stdout.readline() == b"{\n"
    reader.stdout.close()
    assert reader.wait() == 141 and reader.stderr.read() == b""
    reader.stderr.close()


@pytest.mark.parametrize("solver, note", [
    ("highs", "setting cplex.threads ignored: no counterpart in HiGHS through SciPy\n"), ("gurobi", "")])
def test_solve_prints_the_models_own_output_after_the_table(solver, note):
    done = subprocess.run([sys.executable, "-m", "korvane", "solve", example("packing_report", "mod"),
                           example("packing_report", "dat"), "--solver", solver], capture_output=True, text=True,
                          env=cli_env())
    assert done.returncode == 0 and done.stderr == ""
    table = "".join(f"take[{item}]".ljust(11) + "  1\n" for item in ("tent", "stove", "lamp", "map", "radio"))
    assert done.stdout == (
        "Status: OPTIMAL\nObjective: 158\nVariable     Value\n" + table +
        "setting cplex.mipemphasis ignored: no counterpart\n" + note +
        "packed 5 items weighing 63 of 64\nroom left: 1\n  tent: value 55, weight 23\n  stove: value 34, weight 15\n"
        "  lamp: value 21, weight 6\n  map: value 8, weight 2\n  radio: value 40, weight 17\n")

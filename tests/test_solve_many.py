"""korvane.solve_many and `korvane solve-many` on a Dask cluster of two local worker processes:
every row equals korvane.solve of its scenario, failures stay in their rows, and a worker killed
in the middle of a batch loses no scenario. Every batch runs under a time bound."""
import csv
import io
import itertools
import json
import logging
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest
from distributed import Client, LocalCluster

import korvane
from korvane.__main__ import main

# Dask's own use of a Tornado call that Tornado deprecates, and its note that a second cluster's
# scheduler serves its status pages on another port than the first.
pytestmark = [pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning"),
              pytest.mark.filterwarnings("ignore:Port 8787 is already in use:UserWarning")]

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
KNAPSACK = os.path.join(ROOT, "examples", "knapsack.mod")
BOUND = 180  # seconds for one batch, cluster start-ups included, on a busy two-core machine


def bounded(function, *args, seconds=BOUND, **kwargs):
    """function(*args, **kwargs) on a daemon thread; the test fails if it is not back in time."""
    outcome = {}

    def run():
        try:
            outcome["value"] = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - re-raised on the test's thread
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"{function.__name__} did not return within {seconds} s"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def _start_cluster():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.ERROR)
    client = Client(cluster, set_as_default=False)
    client.wait_for_workers(2, timeout=BOUND)
    return cluster, client


def _cluster_client():
    cluster, client = bounded(_start_cluster)
    yield client
    bounded(client.close)
    bounded(cluster.close)


@pytest.fixture(scope="module")
def scheduler():
    """The address of a two-worker local cluster shared by the module: start-ups are slow."""
    for client in _cluster_client():
        yield client.scheduler.address


@pytest.fixture
def doomed():
    """A client of a two-worker local cluster of its own, for a test that kills a worker: the
    process that the nanny starts in its place does not always come up on a loaded machine."""
    yield from _cluster_client()


def knapsack_data(tmp_path, capacity):
    with open(os.path.join(ROOT, "examples", "knapsack.dat")) as f:
        text = f.read().replace("capacity = 200;", f"capacity = {capacity};")
    path = tmp_path / f"cap{capacity}.dat"
    path.write_text(text)
    return str(path)


def assert_same_results(row, results):
    assert row["status"] == results["status"]
    assert row["objective_value"] == pytest.approx(results["objective_value"], abs=1e-9)
    assert row["solution"].keys() == results["solution"].keys()
    for name, value in results["solution"].items():
        assert row["solution"][name] == pytest.approx(value, abs=1e-6), name


def test_rows_equal_solve_one_by_one_for_files_and_for_a_sweep(tmp_path, scheduler):
    capacities = [0, 60, 120, 200, 60]
    files = [knapsack_data(tmp_path, capacity) for capacity in capacities]
    reported = []
    rows = bounded(korvane.solve_many, KNAPSACK, files, scheduler=scheduler, progress=reported.append)
    assert sorted(reported, key=rows.index) == rows  # each row reported once, as it came in
    swept = bounded(korvane.solve_many, KNAPSACK, [files[0]], scheduler=scheduler, vary={"capacity": capacities})
    assert [row["scenario"] for row in rows] == [row["data_file"] for row in rows] == files
    assert [row["scenario"] for row in swept] == [f"capacity={capacity}" for capacity in capacities]
    for row, same, data_file in zip(rows, swept, files):
        results = korvane.solve(KNAPSACK, data_file, output=io.StringIO())
        assert_same_results(row, results)
        assert_same_results(same, results)
        assert row["error"] is None and row["seconds"] > 0
    assert json.loads(json.dumps(rows, allow_nan=False)) == rows


def test_models_computed_from_their_data_are_instantiated_per_scenario(tmp_path, scheduler):
    # A script builds the distances from each scenario's coordinates, so the model can only be
    # instantiated with that scenario's data.
    model = os.path.join(ROOT, "examples", "script_distances.mod")
    original = os.path.join(ROOT, "examples", "script_distances.dat")
    moved = tmp_path / "moved.dat"
    with open(original) as f:
        moved.write_text(f.read().replace("clientX = [1, 5, 2, 7, 4];", "clientX = [9, 5, 2, 7, 0];"))
    files = [original, str(moved)]
    rows = bounded(korvane.solve_many, model, files, scheduler=scheduler)
    for row, data_file in zip(rows, files):
        assert row["error"] is None
        assert_same_results(row, korvane.solve(model, data_file, output=io.StringIO()))
    assert rows[0]["objective_value"] != rows[1]["objective_value"]


MKP_MODEL = """int n = ...;
int m = ...;
range I = 1..n;
range K = 1..m;
int w[K][I] = ...;
int v[I] = ...;
int cap[K] = ...;
dvar boolean x[I];
maximize sum(i in I) v[i] * x[i];
subject to {
  forall(k in K) sum(i in I) w[k][i] * x[i] <= cap[k];
}
"""


def mkp_instance(seed, n, m=5, hard=False):
    """A multi-dimensional 0/1 knapsack. Values that follow the weights (hard=True) make it one
    that HiGHS does not close in many seconds even at n = 40."""
    rng = random.Random(seed)
    weights = [[rng.randint(20, 99) for _ in range(n)] for _ in range(m)]
    if hard:
        values = [sum(row[i] for row in weights) // m + 10 for i in range(n)]
    else:
        values = [rng.randint(20, 99) for _ in range(n)]
    return weights, values, [sum(row) // 2 for row in weights]


def mkp_data(instance):
    weights, values, caps = instance
    return f"n = {len(values)};\nm = {len(caps)};\nw = {weights};\nv = {values};\ncap = {caps};\n"


def brute_force(instance):
    weights, values, caps = instance
    best = 0
    for take in itertools.product((0, 1), repeat=len(values)):
        if all(sum(w * t for w, t in zip(row, take)) <= cap for row, cap in zip(weights, caps)):
            best = max(best, sum(v * t for v, t in zip(values, take)))
    return best


def feasible(instance, solution):
    weights, _, caps = instance
    chosen = [i for i in range(len(weights[0])) if solution[f"x[{i + 1}]"] > 0.5]
    return all(sum(row[i] for i in chosen) <= cap for row, cap in zip(weights, caps))


def test_broken_and_time_limited_scenarios_stay_in_their_rows(tmp_path, scheduler):
    model = tmp_path / "mkp.mod"
    model.write_text(MKP_MODEL)
    small = [mkp_instance(seed, 9) for seed in (1, 2, 3)]
    hard = mkp_instance(7, 40, hard=True)
    files = {"small1.dat": mkp_data(small[0]), "broken.dat": "n = 9;\nm = ;\n", "hard.dat": mkp_data(hard),
             "small2.dat": mkp_data(small[1]), "short.dat": mkp_data(small[2]).replace("n = 9;", "n = 12;"),
             "small3.dat": mkp_data(small[2])}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    paths = [str(tmp_path / name) for name in files] + [str(tmp_path / "missing.dat")]
    rows = bounded(korvane.solve_many, str(model), paths, scheduler=scheduler, time_limit=3)
    by_name = {os.path.basename(row["data_file"]): row for row in rows}
    assert [row["data_file"] for row in rows] == paths
    for name, instance in (("small1.dat", small[0]), ("small2.dat", small[1]), ("small3.dat", small[2])):
        assert by_name[name]["status"] == "OPTIMAL" and by_name[name]["error"] is None
        assert by_name[name]["objective_value"] == pytest.approx(brute_force(instance))
    assert by_name["hard.dat"]["status"] == "TIME_LIMIT" and feasible(hard, by_name["hard.dat"]["solution"])
    failed = {name: row for name, row in by_name.items() if row["status"] == "ERROR"}
    assert sorted(failed) == ["broken.dat", "missing.dat", "short.dat"]
    assert failed["broken.dat"]["error"].startswith(f"{tmp_path / 'broken.dat'}:2: Syntax error in .dat file")
    assert failed["missing.dat"]["error"] == f"{tmp_path / 'missing.dat'}: No such file or directory"
    assert failed["short.dat"]["error"]  # nine values for twelve items
    assert all(row["objective_value"] is None and row["solution"] is None for row in failed.values())


def hard_files(tmp_path, count):
    model = tmp_path / "mkp.mod"
    model.write_text(MKP_MODEL)
    paths = []
    for seed in range(count):
        paths.append(str(tmp_path / f"hard{seed}.dat"))
        (tmp_path / f"hard{seed}.dat").write_text(mkp_data(mkp_instance(seed, 40, hard=True)))
    return str(model), paths


def solve_while_killing_a_worker(client, model, paths):
    """The rows of a batch during which one busy worker process gets SIGKILL."""
    before = bounded(client.run, os.getpid)
    outcome = []
    batch = threading.Thread(target=lambda: outcome.append(korvane.solve_many(
        model, paths, scheduler=client.scheduler.address, time_limit=1.5)), daemon=True)
    batch.start()
    victim = bounded(_busy_worker, client, before)
    os.kill(before[victim], signal.SIGKILL)
    assert batch.is_alive()  # the kill came in the middle of the batch
    batch.join(BOUND)
    assert not batch.is_alive() and len(outcome) == 1
    assert before[victim] not in bounded(client.run, os.getpid).values()
    return outcome[0]


def _busy_worker(client, workers):
    """The address of a worker that is solving a scenario right now."""
    while True:
        for address, keys in client.processing().items():
            if address in workers and any(str(key).startswith("korvane-scenario-") for key in keys):
                time.sleep(0.3)  # well inside a solve of 1.5 s
                return address
        time.sleep(0.05)


def test_a_worker_killed_mid_run_loses_no_scenario(tmp_path, doomed):
    model, paths = hard_files(tmp_path, 6)
    rows = solve_while_killing_a_worker(doomed, model, paths)
    assert [row["data_file"] for row in rows] == paths
    assert all(row["status"] == "TIME_LIMIT" and row["error"] is None for row in rows), rows


def test_a_scenario_whose_worker_dies_too_often_is_an_error_row(tmp_path, doomed):
    def allow_no_failure(dask_scheduler=None):
        dask_scheduler.allowed_failures = 0

    bounded(doomed.run_on_scheduler, allow_no_failure)  # the first death of a worker fails its tasks
    model, paths = hard_files(tmp_path, 4)
    rows = solve_while_killing_a_worker(doomed, model, paths)
    assert [row["data_file"] for row in rows] == paths
    failed = [row for row in rows if row["status"] == "ERROR"]
    assert failed and all(row["error"].startswith("KilledWorker: ") for row in failed)
    assert all(row["status"] == "TIME_LIMIT" for row in rows if row not in failed)


PRICE_MODEL = """// the optimum is 3 * price + (cap - 3) when price > 1, else cap (for cap >= 3)
float price = ...;
int+ cap = ...;
dvar float+ x;
dvar float+ y;
maximize price * x + y;
subject to {
  x + y <= cap;
  x <= 3;
}
"""


def run_cli(capsys, *argv):
    code = bounded(main, list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_sweeps_the_cross_product_and_writes_results(tmp_path, capsys, scheduler):
    model = tmp_path / "price.mod"
    model.write_text(PRICE_MODEL)
    for out_file in ("rows.jsonl", "rows.csv"):
        code, out, err = run_cli(capsys, "solve-many", str(model), "--vary", "price=0.5,2", "--vary", "cap=4, 10",
                                 "--scheduler", scheduler, "--out", str(tmp_path / out_file))
        assert code == 0
        assert err.splitlines()[-1].startswith("solved 4, failed 0, remaining 0, ")
        table = [line.split() for line in out.splitlines()]
        assert table[0] == ["Scenario", "Status", "Objective", "Seconds"]
        assert [line[:3] for line in table[1:]] == [["price=0.5,cap=4", "OPTIMAL", "4"],
                                                    ["price=0.5,cap=10", "OPTIMAL", "10"],
                                                    ["price=2.0,cap=4", "OPTIMAL", "7"],
                                                    ["price=2.0,cap=10", "OPTIMAL", "13"]]
    with open(tmp_path / "rows.jsonl") as f:
        rows = [json.loads(line) for line in f]
    assert [(row["scenario"], row["objective_value"]) for row in rows] == [
        ("price=0.5,cap=4", 4), ("price=0.5,cap=10", 10), ("price=2.0,cap=4", 7), ("price=2.0,cap=10", 13)]
    assert rows[3]["solution"] == {"x": 3, "y": 7} and rows[0]["data_file"] is None
    with open(tmp_path / "rows.csv", newline="") as f:
        records = list(csv.DictReader(f))
    assert [(r["scenario"], float(r["objective_value"]), json.loads(r["solution"])) for r in records] == [
        (row["scenario"], row["objective_value"], row["solution"]) for row in rows]


def test_cli_reports_failed_scenarios_and_exits_with_one(tmp_path, capsys, scheduler):
    (tmp_path / "good.dat").write_text("price = 2;\ncap = 5;\n")
    (tmp_path / "bad.dat").write_text("price = 2;\ncap = ;\n")
    (tmp_path / "price.mod").write_text(PRICE_MODEL)
    code, out, err = run_cli(capsys, "solve-many", str(tmp_path / "price.mod"), str(tmp_path / "good.dat"),
                             str(tmp_path / "bad.dat"), "--scheduler", scheduler)
    assert code == 1
    assert [line.split()[1:3] for line in out.splitlines()[1:]] == [["OPTIMAL", "8"], ["ERROR", "0.00"]]
    assert "solved 1, failed 1, remaining 0" in err
    assert err.splitlines()[-1].startswith(str(tmp_path / "bad.dat"))


@pytest.mark.parametrize("argv, message", [
    (["--vary", "nothing=1"], "cannot vary 'nothing': the model declares no parameter of that name"),
    (["--vary", "x=1"], "cannot vary 'x': the model declares no parameter of that name"),
    (["--vary", "fixed=1"], "cannot vary 'fixed': its value is written in the model; declare it with '= ...'"),
    (["--vary", "row=1"], "cannot vary 'row': it is an indexed parameter; only scalar parameters can be varied"),
    (["--vary", "cap=1.5"], "cannot vary 'cap': '1.5' is not a value of type int+"),
    (["--vary", "cap=-2"], "cannot vary 'cap': '-2' is not a value of type int+"),
    (["--vary", "price=cheap"], "cannot vary 'price': 'cheap' is not a value of type float"),
    (["--vary", "price=inf"], "cannot vary 'price': 'inf' is not a value of type float"),
    (["--vary", "on=yes"], "cannot vary 'on': 'yes' is not a value of type boolean"),
    (["--vary", "cap=1", "--vary", "cap=2"], "each parameter can be given to --vary once"),
    (["m.dat", "m.dat", "--vary", "cap=1"], "varying parameters takes one data file at most, not 2"),
    (["m.dat", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "--workers sizes the local cluster; it cannot be combined with --scheduler"),
    ([], "give the data files to solve, or --vary"),
    (["m.dat", "--scheduler", "head-node"], "not a scheduler address: 'head-node' (write it as tcp://host:port)"),
    (["--vary", "cap"], "argument --vary: expected NAME=VALUE,VALUE,... but got 'cap'"),
    (["m.dat", "--out", "rows.txt"], "argument --out: the results file must end in .csv or .jsonl, not 'rows.txt'"),
    (["m.dat", "--workers", "0"], "argument --workers: expected a positive number of workers, not '0'"),
])
def test_command_line_mistakes_exit_with_two_before_any_cluster_starts(tmp_path, capsys, monkeypatch, argv, message):
    import korvane.batch

    monkeypatch.setattr(korvane.batch, "_client", None)  # reaching a cluster would fail differently
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.mod").write_text("float price = ...;\nint+ cap = ...;\nfloat fixed = 2;\nboolean on = ...;\n"
                                    "int row[1..2] = ...;\ndvar float+ x;\nmaximize price * x;\n"
                                    "subject to { x <= cap; }\n")
    (tmp_path / "m.dat").write_text("price = 1;\ncap = 2;\non = true;\nrow = [1, 2];\n")
    try:
        code = main(["solve-many", "m.mod", *argv])
    except SystemExit as exit_:
        code = exit_.code
    out, err = capsys.readouterr()
    assert (code, out) == (2, "")
    assert err.endswith(f"error: {message}\n")


def test_an_unwritable_results_file_fails_before_the_batch(tmp_path, capsys, monkeypatch):
    import korvane.batch

    monkeypatch.setattr(korvane.batch, "_client", None)
    target = tmp_path / "no such folder" / "rows.csv"
    code, out, err = run_cli(capsys, "solve-many", KNAPSACK, KNAPSACK[:-4] + ".dat", "--out", str(target))
    assert (code, out, err) == (1, "", f"{target}: No such file or directory\n")


def test_an_unreachable_scheduler_is_one_line_and_exit_one(capsys):
    import dask

    with dask.config.set({"distributed.comm.timeouts.connect": "2s"}):
        code, out, err = run_cli(capsys, "solve-many", KNAPSACK, KNAPSACK[:-4] + ".dat", "--scheduler",
                                 "tcp://127.0.0.1:1")
    assert (code, out) == (1, "")
    assert err == "korvane solve-many: Timed out trying to connect to tcp://127.0.0.1:1 after 2 s\n"


def test_the_command_starts_and_stops_its_own_local_cluster(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ.get("KORVANE_STAGE") or ROOT,
                                                       os.path.join(HERE, "support")]))
    data = os.path.join(ROOT, "examples", "knapsack.dat")
    done = subprocess.run([sys.executable, "-m", "korvane", "solve-many", KNAPSACK, data, knapsack_data(tmp_path, 60),
                           "--workers", "2", "--out", str(tmp_path / "rows.jsonl")],
                          capture_output=True, text=True, env=env, timeout=BOUND)
    assert done.returncode == 0, done.stderr
    assert [line.split()[1:3] for line in done.stdout.splitlines()[1:]] == [["OPTIMAL", "1359"], ["OPTIMAL", "803"]]
    assert "Traceback" not in done.stderr and "remaining 0" in done.stderr

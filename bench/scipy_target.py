"""Speed and memory of the SciPy target against GLPK's MathProg translator and PuLP.

A p-median model (500 customers, 1,000 candidate sites: about 500,000 variables and 2,000,000
non-zeros counting the objective) is generated with its data, written as a korvane .mod/.dat
pair and as a GNU MathProg model, and built three ways, each in a fresh process:

  korvane  parse_files + SciPyCSCCodeGenerator.generate_code() + the script's own loading of
           its matrices (everything the script does before it calls the solver)
  glpsol   glpsol --check (translate the model and build the problem, no solve)
  PuLP     the same model built with PuLP's Python objects (no solve)

Times exclude the interpreter's start and the imports of numpy, scipy and pulp, which do not
depend on the model; peak memory is each process's maximum resident set size. Goals: korvane at
most 0.2 x glpsol's time and 0.1 x PuLP's, and a peak memory below glpsol's.

glpsol (Debian's glpk-utils) and PuLP (python3-pulp) are installed on demand with apt-get when
missing; the test suite never needs them.

    python3 bench/scipy_target.py [--runs N] [--customers N] [--sites N]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable

KORVANE_MODEL = """\
int nc = ...;
int nf = ...;
int p = ...;
range Customers = 1..nc;
range Sites = 1..nf;
float demand[Customers] = ...;
float distance[Customers][Sites] = ...;

dvar boolean assign[Customers][Sites];
dvar boolean open[Sites];

minimize sum(i in Customers, j in Sites) demand[i] * distance[i][j] * assign[i][j];

subject to {
  forall(i in Customers)
    served: sum(j in Sites) assign[i][j] == 1;
  forall(i in Customers, j in Sites)
    only_open: assign[i][j] <= open[j];
  medians: sum(j in Sites) open[j] == p;
}
"""

MATHPROG_MODEL = """\
param nc; param nf; param p;
set Customers := 1..nc;
set Sites := 1..nf;
param demand{Customers};
param distance{Customers, Sites};
var assign{Customers, Sites} binary;
var open{Sites} binary;
minimize cost: sum{i in Customers, j in Sites} demand[i] * distance[i, j] * assign[i, j];
s.t. served{i in Customers}: sum{j in Sites} assign[i, j] = 1;
s.t. only_open{i in Customers, j in Sites}: assign[i, j] <= open[j];
s.t. medians: sum{j in Sites} open[j] = p;
"""

# Each contestant runs in its own process and prints {"seconds": ...} after building the model.
KORVANE_RUN = """\
import json, sys, time
sys.path.insert(0, {root!r})
import numpy, scipy.optimize, scipy.sparse
from korvane.oplparse import parse_files
from korvane.lpwrightsparse import SciPyCSCCodeGenerator
started = time.perf_counter()
tree, data = parse_files({mod!r}, {dat!r})
script = SciPyCSCCodeGenerator(tree, data).generate_code()
before_solve = script[:script.index("\\n# Solve")]
namespace = {{"results_container": {{}}}}
exec(compile(before_solve, "<scipy script>", "exec"), namespace)
seconds = time.perf_counter() - started
assert namespace["A_eq"].nnz + namespace["A_ub"].nnz + numpy.count_nonzero(namespace["c"]) >= {nnz}
print(json.dumps({{"seconds": seconds, "script_mb": len(script) / 1e6}}))
"""

PULP_RUN = """\
import json, sys, time
sys.path.insert(0, {bench!r})
import pulp
from build_speed import PMedian
with open({data!r}) as f:
    data = json.load(f)
started = time.perf_counter()
PMedian.pulp(data)
seconds = time.perf_counter() - started
print(json.dumps({{"seconds": seconds}}))
"""


def ensure_tools():
    """glpsol and PuLP come from Debian; install them when this machine lacks them."""
    missing = []
    if shutil.which("glpsol") is None:
        missing.append("glpk-utils")
    if subprocess.run([PYTHON, "-c", "import pulp"], capture_output=True).returncode != 0:
        missing.append("python3-pulp")
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    print(f"installing {' '.join(missing)} with apt-get", file=sys.stderr)
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], check=True,
                   env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})


def build_data(customers, sites, seed=11):
    rng = random.Random(seed)
    return {
        "nc": customers,
        "nf": sites,
        "p": max(1, sites // 20),
        "demand": [rng.randint(1, 100) for _ in range(customers)],
        "distance": [[round(rng.uniform(1, 500), 2) for _ in range(sites)] for _ in range(customers)],
    }


def korvane_dat(data):
    return (f"nc = {data['nc']};\nnf = {data['nf']};\np = {data['p']};\n"
            "demand = [" + ", ".join(map(str, data["demand"])) + "];\n"
            "distance = [\n" + ",\n".join("  [" + ", ".join(map(repr, row)) + "]" for row in data["distance"])
            + "\n];\n")


def mathprog_dat(data):
    lines = [f"data;\nparam nc := {data['nc']};\nparam nf := {data['nf']};\nparam p := {data['p']};",
             "param demand := " + " ".join(f"{i + 1} {v}" for i, v in enumerate(data["demand"])) + ";",
             "param distance : " + " ".join(str(j + 1) for j in range(data["nf"])) + " :="]
    lines += [f"{i + 1} " + " ".join(map(repr, row)) for i, row in enumerate(data["distance"])]
    return "\n".join(lines) + "\n;\nend;\n"


def write_files(data, folder):
    paths = {name: os.path.join(folder, name) for name in ("pmedian.mod", "pmedian.dat", "pmedian.glpk.mod",
                                                          "pmedian.glpk.dat", "pmedian.json")}
    for name, text in (("pmedian.mod", KORVANE_MODEL), ("pmedian.dat", korvane_dat(data)),
                       ("pmedian.glpk.mod", MATHPROG_MODEL), ("pmedian.glpk.dat", mathprog_dat(data)),
                       ("pmedian.json", json.dumps(data))):
        with open(paths[name], "w") as f:
            f.write(text)
    return paths


def run_measured(command):
    """(seconds reported by the process or its wall time, peak RSS in MB, stdout)."""
    import time

    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    out, err = process.stdout.read(), process.stderr.read()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({process.returncode}): {err.strip()[-2000:]}")
    reported = json.loads(out.strip().splitlines()[-1]) if command[0] == PYTHON else {}
    return reported.get("seconds", wall), usage.ru_maxrss / 1024, reported


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per contestant (best time, largest memory)")
    parser.add_argument("--customers", type=int, default=500)
    parser.add_argument("--sites", type=int, default=1000)
    parser.add_argument("--skip-pulp", action="store_true", help="PuLP takes minutes at full size")
    args = parser.parse_args()
    ensure_tools()
    data = build_data(args.customers, args.sites)
    n, nnz = args.customers * args.sites + args.sites, 4 * args.customers * args.sites + args.sites
    with tempfile.TemporaryDirectory(prefix="korvane_bench_") as folder:
        paths = write_files(data, folder)
        contestants = {
            "korvane": [PYTHON, "-c", KORVANE_RUN.format(root=ROOT, mod=paths["pmedian.mod"], dat=paths["pmedian.dat"],
                                                         nnz=3 * args.customers * args.sites)],
            "glpsol": ["glpsol", "--check", "-m", paths["pmedian.glpk.mod"], "-d", paths["pmedian.glpk.dat"]],
        }
        if not args.skip_pulp:
            code = PULP_RUN.format(bench=os.path.join(ROOT, "bench"), data=paths["pmedian.json"])
            contestants["PuLP"] = [PYTHON, "-c", code]
        results = {}
        for _ in range(args.runs):  # interleaved, so that every contestant sees the same machine load
            for name, command in contestants.items():
                seconds, rss, _ = run_measured(command)
                best = results.get(name, (float("inf"), 0.0))
                results[name] = (min(best[0], seconds), max(best[1], rss))
        print(f"p-median: {args.customers} customers x {args.sites} sites, {n:,} variables, "
              f"about {nnz:,} non-zeros (objective included); best of {args.runs}")
        print(f"{'':10}{'seconds':>10}{'peak MB':>10}")
        for name, (seconds, rss) in results.items():
            print(f"{name:10}{seconds:10.3f}{rss:10.1f}")
        k_time, k_rss = results["korvane"]
        g_time, g_rss = results["glpsol"]
        print(f"korvane / glpsol time: {k_time / g_time:.3f} (goal <= 0.2)")
        if "PuLP" in results:
            print(f"korvane / PuLP time:   {k_time / results['PuLP'][0]:.3f} (goal <= 0.1)")
        print(f"korvane / glpsol peak memory: {k_rss / g_rss:.3f} (goal < 1.0)")


if __name__ == "__main__":
    main()

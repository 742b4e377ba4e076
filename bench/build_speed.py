"""Build speed of the SciPy target against glpsol --check, PuLP and a numpy floor.

Three model classes, each at three sizes spanning 10x in non-zeros:

  p-median      customers x sites, a dense assignment with `assign <= open` links
  transport     plants and markets joined by a sparse set of tuple arcs, with the filtered sums
                `sum(a in Arcs : a.p == p)` and `sum(a in Arcs : a.m == m)`
  fixed-charge  facilities x customers with capacities switched by binary `open` variables

Every run is a fresh process that builds the model up to the point where a solver would start:

  korvane  parse_files + SciPyCSCCodeGenerator.generate_code() + the script's own loading of its
           arrays (everything the script does before it calls the solver)
  glpsol   glpsol --check on the same model written in GNU MathProg (translate and build)
  PuLP     the same model built with PuLP's objects, the way its documentation writes them
  numpy    the floor: the same CSC arrays built with numpy from the data's index arrays (index
           generation included)

Times are CPU seconds of the build alone (imports and the interpreter's start excluded; glpsol's
whole process), so that the other jobs of a shared machine disturb them less than wall time;
memory is each process's peak resident set. The table gives medians of --runs runs and, per
tool, the slope of log(time) against log(non-zeros) over the three sizes (1.0 is linear).

glpsol (glpk-utils) and PuLP (python3-pulp) are Debian packages, installed with apt-get when
missing.

    python3 bench/build_speed.py [--runs N] [--classes p-median,transport,fixed-charge]
                                 [--tools korvane,glpsol,PuLP,numpy] [--scale F]
"""
import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import scipy_target  # noqa: E402

PYTHON = sys.executable


# ---- the model classes: korvane and MathProg texts, data files, PuLP and numpy builds ----

class PMedian:
    sizes = [(158, 316), (281, 562), (500, 1000)]  # customers, sites
    model = scipy_target.KORVANE_MODEL
    mathprog = scipy_target.MATHPROG_MODEL
    dat = staticmethod(scipy_target.korvane_dat)
    mathprog_dat = staticmethod(scipy_target.mathprog_dat)

    @staticmethod
    def data(size, rng):
        return scipy_target.build_data(*size, seed=rng.randrange(1 << 30))

    @staticmethod
    def nonzeros(d):
        return 4 * d["nc"] * d["nf"] + d["nf"]

    @staticmethod
    def pulp(d):
        import pulp
        C, F = range(1, d["nc"] + 1), range(1, d["nf"] + 1)
        demand, distance = d["demand"], d["distance"]
        prob = pulp.LpProblem("pmedian", pulp.LpMinimize)
        assign = pulp.LpVariable.dicts("assign", (C, F), cat="Binary")
        open_ = pulp.LpVariable.dicts("open", F, cat="Binary")
        prob += pulp.lpSum(demand[i - 1] * distance[i - 1][j - 1] * assign[i][j] for i in C for j in F)
        for i in C:
            prob += pulp.lpSum(assign[i][j] for j in F) == 1, f"served_{i}"
        for i in C:
            for j in F:
                prob += assign[i][j] <= open_[j], f"only_open_{i}_{j}"
        prob += pulp.lpSum(open_[j] for j in F) == d["p"], "medians"
        return prob

    @staticmethod
    def numpy(d):
        import numpy as np
        from scipy.sparse import csc_matrix
        c, s = d["nc"], d["nf"]
        cs = c * s
        demand, distance = np.asarray(d["demand"], dtype=float), np.asarray(d["distance"], dtype=float)
        cost = np.concatenate(((demand[:, None] * distance).ravel(), np.zeros(s)))
        n = cs + s
        every = np.arange(cs)
        a_ub = csc_matrix((np.concatenate((np.ones(cs), -np.ones(cs))),
                           (np.concatenate((every, every)), np.concatenate((every, cs + np.tile(np.arange(s), c))))),
                          shape=(cs, n))
        a_eq = csc_matrix((np.ones(n), (np.concatenate((np.repeat(np.arange(c), s), np.full(s, c))), np.arange(n))),
                          shape=(c + 1, n))
        rhs = np.concatenate((np.ones(c), [d["p"]]))
        return cost, a_ub, np.zeros(cs), a_eq, rhs, np.zeros(n), np.ones(n), np.ones(n, dtype=np.uint8)


class Transport:
    sizes = [1000, 3162, 10000]  # plants (and markets), 20 arcs leave each plant
    arcs_per_plant = 20

    model = """\
tuple Arc { string p; string m; }
{string} Plants = ...;
{string} Markets = ...;
{Arc} Arcs = ...;
float supply[Plants] = ...;
float demand[Markets] = ...;
float cost[Arcs] = ...;
dvar float+ ship[Arcs];
minimize sum(a in Arcs) cost[a] * ship[a];
subject to {
  forall(p in Plants)
    within_supply: sum(a in Arcs : a.p == p) ship[a] <= supply[p];
  forall(m in Markets)
    meet_demand: sum(a in Arcs : a.m == m) ship[a] >= demand[m];
}
"""

    mathprog = """\
set Plants; set Markets;
set Arcs within Plants cross Markets;
param supply{Plants}; param demand{Markets}; param cost{Arcs};
var ship{Arcs} >= 0;
minimize total: sum{(p, m) in Arcs} cost[p, m] * ship[p, m];
s.t. within_supply{p in Plants}: sum{(p, m) in Arcs} ship[p, m] <= supply[p];
s.t. meet_demand{m in Markets}: sum{(p, m) in Arcs} ship[p, m] >= demand[m];
end;
"""

    @classmethod
    def data(cls, size, rng):
        arcs = sorted({(p, m) for p in range(size) for m in rng.sample(range(size), cls.arcs_per_plant)})
        return {"plants": [f"P{i}" for i in range(size)], "markets": [f"M{i}" for i in range(size)],
                "arcs": [[f"P{p}", f"M{m}"] for p, m in arcs], "arc_index": arcs,
                "supply": [rng.randint(50, 100) for _ in range(size)],
                "demand": [rng.randint(10, 40) for _ in range(size)],
                "cost": [rng.randint(1, 50) for _ in arcs]}

    @staticmethod
    def nonzeros(d):
        return 3 * len(d["arcs"])

    @staticmethod
    def dat(d):
        return ("Plants = {" + ", ".join(f'"{p}"' for p in d["plants"]) + "};\n"
                "Markets = {" + ", ".join(f'"{m}"' for m in d["markets"]) + "};\n"
                "Arcs = {" + ", ".join(f'<"{p}", "{m}">' for p, m in d["arcs"]) + "};\n"
                f"supply = [{', '.join(map(str, d['supply']))}];\n"
                f"demand = [{', '.join(map(str, d['demand']))}];\n"
                f"cost = [{', '.join(map(str, d['cost']))}];\n")

    @staticmethod
    def mathprog_dat(d):
        return ("data;\nset Plants := " + " ".join(d["plants"]) + ";\n"
                "set Markets := " + " ".join(d["markets"]) + ";\n"
                "set Arcs := " + " ".join(f"({p},{m})" for p, m in d["arcs"]) + ";\n"
                "param supply := " + " ".join(f"{p} {v}" for p, v in zip(d["plants"], d["supply"])) + ";\n"
                "param demand := " + " ".join(f"{m} {v}" for m, v in zip(d["markets"], d["demand"])) + ";\n"
                "param cost := " + " ".join(f"{p} {m} {v}" for (p, m), v in zip(d["arcs"], d["cost"])) + ";\nend;\n")

    @staticmethod
    def pulp(d):
        import pulp
        arcs = [tuple(a) for a in d["arcs"]]
        prob = pulp.LpProblem("transport", pulp.LpMinimize)
        ship = pulp.LpVariable.dicts("ship", arcs, lowBound=0)
        by_plant, by_market = {}, {}
        for a in arcs:
            by_plant.setdefault(a[0], []).append(a)
            by_market.setdefault(a[1], []).append(a)
        prob += pulp.lpSum(cost * ship[a] for a, cost in zip(arcs, d["cost"]))
        for p, supply in zip(d["plants"], d["supply"]):
            prob += pulp.lpSum(ship[a] for a in by_plant.get(p, [])) <= supply, f"within_supply_{p}"
        for m, demand in zip(d["markets"], d["demand"]):
            prob += pulp.lpSum(ship[a] for a in by_market.get(m, [])) >= demand, f"meet_demand_{m}"
        return prob

    @staticmethod
    def numpy(d):
        import numpy as np
        from scipy.sparse import csc_matrix
        index = np.asarray(d["arc_index"], dtype=np.int64)
        n, plants = len(index), len(d["plants"])
        columns = np.arange(n)
        a_ub = csc_matrix((np.concatenate((np.ones(n), -np.ones(n))),
                           (np.concatenate((index[:, 0], plants + index[:, 1])), np.concatenate((columns, columns)))),
                          shape=(plants + len(d["markets"]), n))
        rhs = np.concatenate((np.asarray(d["supply"], dtype=float), -np.asarray(d["demand"], dtype=float)))
        return np.asarray(d["cost"], dtype=float), a_ub, rhs, np.zeros(n), np.full(n, np.inf)


class FixedCharge:
    sizes = [(100, 400), (100, 1265), (100, 4000)]  # facilities, customers

    model = """\
int nf = ...;
int nc = ...;
range Facilities = 1..nf;
range Customers = 1..nc;
float fixed[Facilities] = ...;
float capacity[Facilities] = ...;
float demand[Customers] = ...;
float cost[Facilities][Customers] = ...;
dvar float+ flow[Facilities][Customers];
dvar boolean open[Facilities];
minimize sum(f in Facilities) fixed[f] * open[f] + sum(f in Facilities, c in Customers) cost[f][c] * flow[f][c];
subject to {
  forall(c in Customers)
    served: sum(f in Facilities) flow[f][c] >= demand[c];
  forall(f in Facilities)
    within_capacity: sum(c in Customers) flow[f][c] <= capacity[f] * open[f];
  forall(f in Facilities, c in Customers)
    only_open: flow[f][c] <= demand[c] * open[f];
}
"""

    mathprog = """\
param nf; param nc;
set Facilities := 1..nf;
set Customers := 1..nc;
param fixed{Facilities}; param capacity{Facilities}; param demand{Customers};
param cost{Facilities, Customers};
var flow{Facilities, Customers} >= 0;
var open{Facilities} binary;
minimize total: sum{f in Facilities} fixed[f] * open[f] + sum{f in Facilities, c in Customers} cost[f, c] * flow[f, c];
s.t. served{c in Customers}: sum{f in Facilities} flow[f, c] >= demand[c];
s.t. within_capacity{f in Facilities}: sum{c in Customers} flow[f, c] <= capacity[f] * open[f];
s.t. only_open{f in Facilities, c in Customers}: flow[f, c] <= demand[c] * open[f];
end;
"""

    @staticmethod
    def data(size, rng):
        f, c = size
        demand = [rng.randint(1, 30) for _ in range(c)]
        return {"nf": f, "nc": c, "fixed": [rng.randint(500, 2000) for _ in range(f)],
                "capacity": [sum(demand) // 10 + rng.randint(0, 100) for _ in range(f)], "demand": demand,
                "cost": [[round(rng.uniform(1, 100), 2) for _ in range(c)] for _ in range(f)]}

    @staticmethod
    def nonzeros(d):
        return 5 * d["nf"] * d["nc"] + 2 * d["nf"]

    @staticmethod
    def dat(d):
        return (f"nf = {d['nf']};\nnc = {d['nc']};\n"
                + "".join(f"{name} = [{', '.join(map(str, d[name]))}];\n" for name in ("fixed", "capacity", "demand"))
                + "cost = [\n" + ",\n".join("  [" + ", ".join(map(repr, row)) + "]" for row in d["cost"]) + "\n];\n")

    @staticmethod
    def mathprog_dat(d):
        lines = [f"data;\nparam nf := {d['nf']};\nparam nc := {d['nc']};"]
        lines += [f"param {name} := " + " ".join(f"{i + 1} {v}" for i, v in enumerate(d[name])) + ";"
                  for name in ("fixed", "capacity", "demand")]
        lines.append("param cost : " + " ".join(str(j + 1) for j in range(d["nc"])) + " :=")
        lines += [f"{i + 1} " + " ".join(map(repr, row)) for i, row in enumerate(d["cost"])]
        return "\n".join(lines) + "\n;\nend;\n"

    @staticmethod
    def pulp(d):
        import pulp
        F, C = range(d["nf"]), range(d["nc"])
        prob = pulp.LpProblem("fixed_charge", pulp.LpMinimize)
        flow = pulp.LpVariable.dicts("flow", (F, C), lowBound=0)
        open_ = pulp.LpVariable.dicts("open", F, cat="Binary")
        prob += (pulp.lpSum(d["fixed"][f] * open_[f] for f in F)
                 + pulp.lpSum(d["cost"][f][c] * flow[f][c] for f in F for c in C))
        for c in C:
            prob += pulp.lpSum(flow[f][c] for f in F) >= d["demand"][c], f"served_{c}"
        for f in F:
            prob += pulp.lpSum(flow[f][c] for c in C) <= d["capacity"][f] * open_[f], f"within_capacity_{f}"
        for f in F:
            for c in C:
                prob += flow[f][c] <= d["demand"][c] * open_[f], f"only_open_{f}_{c}"
        return prob

    @staticmethod
    def numpy(d):
        import numpy as np
        from scipy.sparse import csc_matrix
        f, c = d["nf"], d["nc"]
        fc = f * c
        n = fc + f
        demand = np.asarray(d["demand"], dtype=float)
        cost = np.concatenate((np.asarray(d["cost"], dtype=float).ravel(), np.asarray(d["fixed"], dtype=float)))
        flows = np.arange(fc)
        facility_of = np.repeat(np.arange(f), c)
        customer_of = np.tile(np.arange(c), f)
        rows = np.concatenate((customer_of, c + facility_of, c + np.arange(f), c + f + flows, c + f + flows))
        columns = np.concatenate((flows, flows, fc + np.arange(f), flows, fc + facility_of))
        values = np.concatenate((-np.ones(fc), np.ones(fc), -np.asarray(d["capacity"], dtype=float), np.ones(fc),
                                 -demand[customer_of]))
        a_ub = csc_matrix((values, (rows, columns)), shape=(c + f + fc, n))
        rhs = np.concatenate((-demand, np.zeros(f + fc)))
        return cost, a_ub, rhs, np.zeros(n), np.concatenate((np.full(fc, np.inf), np.ones(f)))


CLASSES = {"p-median": PMedian, "transport": Transport, "fixed-charge": FixedCharge}
TOOLS = ["korvane", "glpsol", "PuLP", "numpy"]


# ---- one run in a fresh process ----

def child(tool, class_name, folder):
    """Runs in the measured process: build once and print the CPU seconds the build took."""
    sys.path.insert(0, ROOT)
    cls = CLASSES[class_name]
    if tool == "korvane":
        import numpy  # noqa: F401  (the script's imports are not the build's cost)
        import scipy.optimize  # noqa: F401
        import scipy.sparse  # noqa: F401
        from korvane.lpwrightsparse import SciPyCSCCodeGenerator
        from korvane.oplparse import parse_files
        started = time.process_time()
        tree, data = parse_files(os.path.join(folder, "model.mod"), os.path.join(folder, "model.dat"))
        script = SciPyCSCCodeGenerator(tree, data).generate_code()
        namespace = {"results_container": {}}
        exec(compile(script[:script.index("\n# Solve")], "<scipy script>", "exec"), namespace)
        seconds = time.process_time() - started
    else:
        if tool == "PuLP":
            import pulp  # noqa: F401
        else:
            import numpy  # noqa: F401
            import scipy.sparse  # noqa: F401
        with open(os.path.join(folder, "data.json")) as f:
            data = json.load(f)
        started = time.process_time()
        getattr(cls, tool.lower())(data)
        seconds = time.process_time() - started
    print(json.dumps({"seconds": seconds}))


def run_once(tool, class_name, folder):
    """(CPU seconds, peak resident MB) of one fresh process."""
    if tool == "glpsol":
        command = ["glpsol", "--check", "-m", os.path.join(folder, "model.glpk.mod"),
                   "-d", os.path.join(folder, "model.glpk.dat")]
    else:
        command = [PYTHON, os.path.abspath(__file__), "--child", tool, class_name, folder]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _, status, usage = os.wait4(process.pid, 0)
    out, err = process.stdout.read(), process.stderr.read()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{tool} on {class_name} failed: {(err or out).strip()[-2000:]}")
    if tool == "glpsol":
        seconds = usage.ru_utime + usage.ru_stime
    else:
        seconds = json.loads(out.strip().splitlines()[-1])["seconds"]
    return seconds, usage.ru_maxrss / 1024


def write_case(class_name, size, folder):
    """Writes the case's files from a child process and returns its non-zeros. The measured
    processes are started from this one, and a child's peak memory counts its parent's at the
    start, so this process never holds the data itself."""
    out = subprocess.run([PYTHON, os.path.abspath(__file__), "--write", class_name, json.dumps(size), folder],
                         check=True, capture_output=True, text=True).stdout
    return int(out.strip().splitlines()[-1])


def write_files(class_name, size, folder, seed=11):
    cls = CLASSES[class_name]
    size = tuple(size) if isinstance(size, list) else size
    data = cls.data(size, random.Random(seed))
    for name, text in (("model.mod", cls.model), ("model.dat", cls.dat(data)), ("model.glpk.mod", cls.mathprog),
                       ("model.glpk.dat", cls.mathprog_dat(data))):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    with open(os.path.join(folder, "data.json"), "w") as f:
        json.dump(data, f)
    print(cls.nonzeros(data))


def affordable(measured, nnz, cap):
    """Whether a tool's run at `nnz` non-zeros should stay below `cap` seconds even if its time grew
    with the square of the size (glpsol scans a set for each of its slices)."""
    if not measured:
        return True
    last_nnz, last_seconds, _ = measured[-1]
    return last_seconds * (nnz / last_nnz) ** 2 <= cap


def slope(points):
    """Least-squares slope of log(seconds) against log(non-zeros)."""
    xs = [math.log(n) for n, _ in points]
    ys = [math.log(max(t, 1e-6)) for _, t in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def scaled(size, factor):
    if isinstance(size, tuple):
        return tuple(max(2, round(part * math.sqrt(factor))) for part in size)
    return max(30, round(size * factor))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per tool and size (the median is reported)")
    parser.add_argument("--classes", default=",".join(CLASSES))
    parser.add_argument("--tools", default=",".join(TOOLS))
    parser.add_argument("--scale", type=float, default=1.0, help="scale every size's non-zeros (for a quick look)")
    parser.add_argument("--cap", type=float, default=60.0,
                        help="skip a tool at a larger size where a quadratic growth would take more seconds")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--write", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)
    if args.write:
        return write_files(args.write[0], json.loads(args.write[1]), args.write[2])
    tools = args.tools.split(",")
    if "glpsol" in tools or "PuLP" in tools:
        scipy_target.ensure_tools()
    for class_name in args.classes.split(","):
        cls = CLASSES[class_name]
        table = {}  # tool -> [(nnz, median seconds, peak MB)]
        for size in cls.sizes:
            size = scaled(size, args.scale)
            with tempfile.TemporaryDirectory(prefix="korvane_build_speed_") as folder:
                nnz = write_case(class_name, size, folder)
                running = [tool for tool in tools if affordable(table.get(tool), nnz, args.cap)]
                samples = {tool: [] for tool in running}
                for _ in range(args.runs):  # interleaved: every tool sees the same machine load
                    for tool in running:
                        samples[tool].append(run_once(tool, class_name, folder))
                for tool in running:
                    seconds = statistics.median(s for s, _ in samples[tool])
                    table.setdefault(tool, []).append((nnz, seconds, max(m for _, m in samples[tool])))
        report(class_name, table, args.runs)


def report(class_name, table, runs):
    print(f"\n{class_name}: CPU seconds (median of {runs}) and peak MB per size")
    sizes = sorted({nnz for rows in table.values() for nnz, _, _ in rows})
    print(f"{'non-zeros':>12}" + "".join(f"{tool:>20}" for tool in table))
    for i, nnz in enumerate(sizes):
        cells = [f"{table[t][i][1]:>11.3f}s{table[t][i][2]:>7.0f}MB" if i < len(table[t]) else f"{'(skipped)':>20}"
                 for t in table]
        print(f"{nnz:>12,}" + "".join(cells))
    slopes = [slope([(n, s) for n, s, _ in table[t]]) if len(table[t]) > 1 else math.nan for t in table]
    print(f"{'slope':>12}" + "".join(f"{value:>20.2f}" for value in slopes))
    if "korvane" in table:
        mine = table["korvane"]
        for tool, rows in table.items():
            if tool != "korvane":
                i = len(rows) - 1
                print(f"  at {rows[i][0]:,} non-zeros: korvane / {tool} time {mine[i][1] / rows[i][1]:.3f}, "
                      f"memory {mine[i][2] / rows[i][2]:.2f}")


if __name__ == "__main__":
    main()

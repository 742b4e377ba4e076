"""Time of explaining an infeasible model against the time of solving it.

The model has 10,000 rows over 10,000 columns that would be feasible on their own, plus a planted
cycle of 5 rows (z[1] - z[2] >= 1, ..., z[5] - z[1] >= 1) that no point satisfies. Both sides
start from the .mod/.dat files:

  solve    korvane.solve(): parse, build, write and run the HiGHS script, which reports INFEASIBLE
  explain  korvane.explain_infeasible(): parse, build, and find the conflict

A row `tie: z[1] + x[1] <= 1000` joins the cycle to the rest, so that the search cannot set the
other rows aside at once as an independent part of the model; --separate leaves it out. With
--integer the columns x and y are integers (a MIP). Goal: explain at most 20 x solve, with the
reported conflict exactly the 5 planted rows. --in-family plants the conflict inside the two big
families instead (mix[j] against limit[j], limit[j+1] and y[j+1] >= 0; no cycle).

    python3 bench/explain.py [--runs N] [--rows N] [--integer] [--separate] [--in-family]
"""
import argparse
import os
import random
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import korvane  # noqa: E402

MODEL = """\
int n = ...;
range I = 1..n;
range K = 1..5;
float b[I] = ...;
dvar {kind} x[I];
dvar {kind} y[I];
dvar float z[K];
minimize sum(i in I) (x[i] + y[i]);
subject to {{
  forall(i in 1..n-1)
    mix: x[i] + 2 * x[i+1] + y[i] >= b[i];
  forall(i in I)
    limit: x[i] + y[i] <= 100;
  forall(k in 1..4)
    order: z[k] - z[k+1] >= 1;
  {closing}
  {tie}
}}
"""


def write_model(directory, rows, integer, separate, in_family):
    n = rows // 2
    rng = random.Random(1)
    b = [rng.randint(1, 50) for _ in range(n)]
    if in_family:
        # mix[j] asks for 400 where limit[j] and limit[j+1] (with y[j+1] >= 0) allow 300.
        b[n // 2] = 400
    model = os.path.join(directory, "cycle.mod")
    data = os.path.join(directory, "cycle.dat")
    with open(model, "w") as f:
        tie = "" if separate else "tie: z[1] + x[1] <= 1000;"
        closing = "" if in_family else "closing: z[5] - z[1] >= 1;"
        f.write(MODEL.format(kind="int+" if integer else "float+", tie=tie, closing=closing))
    with open(data, "w") as f:
        f.write(f"n = {n};\nb = [{', '.join(map(str, b))}];\n")
    return model, data


def best_of(runs, work):
    best, result = float("inf"), None
    for _ in range(runs):
        started = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - started)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--integer", action="store_true")
    parser.add_argument("--separate", action="store_true")
    parser.add_argument("--in-family", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        model, data = write_model(directory, args.rows, args.integer, args.separate, args.in_family)
        solve_time, solved = best_of(args.runs, lambda: korvane.solve(model, data, output=open(os.devnull, "w")))
        explain_time, explained = best_of(args.runs, lambda: korvane.explain_infeasible(model, data))
    assert solved["status"] == "INFEASIBLE", solved
    names = sorted(entry["name"] for entry in explained["conflict"])
    expected = sorted([f"order[{k}]" for k in range(1, 5)] + ["closing"])
    if args.in_family:
        j = args.rows // 4 + 1
        expected = sorted(["bounds of y (declaration)", f"limit[{j}]", f"limit[{j + 1}]", f"mix[{j}]"])
    print(f"rows: {args.rows + 5}, columns: {args.rows + 5}, {'MIP' if args.integer else 'LP'}, "
          f"{'the cycle a part of its own' if args.separate else 'one connected model'}")
    print(f"solve (INFEASIBLE):  {solve_time:.3f} s")
    print(f"explain:             {explain_time:.3f} s  ({explained['solves']} restricted solves)")
    print(f"ratio:               {explain_time / solve_time:.1f} x  (goal <= 20 x)")
    print(f"conflict:            {', '.join(names)}  irreducible={explained['irreducible']}  "
          f"{'as planted' if names == expected else 'NOT the planted one'}")


if __name__ == "__main__":
    main()

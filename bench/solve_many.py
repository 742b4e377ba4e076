"""Speed-up of korvane.solve_many on a local Dask cluster against korvane.solve in a loop.

Writes SCENARIOS data files of one mid-size capacitated facility-location model
(examples/facility.mod, with FACILITIES x CUSTOMERS random instances), solves them one after the
other with korvane.solve, then with solve_many on a local cluster of N worker processes for each
N given (korvane.batch.local_cluster, the cluster solve_many starts by itself). The cluster is
started, and its workers warmed up, before the clock starts, so the figures compare solving, not
start-up, which is reported on its own. Per worker count:

    speed-up                 sequential time / batch time (ideal: N, on a machine with N free cores)
    parallelism              sum of the workers' solve times / batch time: how many workers were busy
                             on average (close to N unless other processes compete for the cores)
    overhead per scenario    (batch time x N - sum of the workers' solve times) / SCENARIOS: the time
                             a worker spends per scenario on anything but the solve, idle workers at
                             the tail of the batch included
    scheduling overhead      the same for SCENARIOS copies of examples/knapsack, which solves in a few
                             milliseconds, so that neither the tail nor the solves weigh (target < 50 ms)

    python3 bench/solve_many.py [--scenarios 64] [--workers 1,2] [--facilities 8] [--customers 20]
"""
import argparse
import io
import os
import random
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import korvane  # noqa: E402

MODEL = os.path.join(ROOT, "examples", "facility.mod")
TINY_MODEL = os.path.join(ROOT, "examples", "knapsack.mod")
TINY_DATA = os.path.join(ROOT, "examples", "knapsack.dat")


def facility_data(seed, facilities, customers):
    rng = random.Random(seed)
    names = lambda prefix, count: ", ".join(f'"{prefix}{i}"' for i in range(count))  # noqa: E731
    demand = [rng.randint(10, 40) for _ in range(customers)]
    capacity = [rng.randint(2, 5) * sum(demand) // facilities for _ in range(facilities)]
    cost = [[rng.randint(50, 400) for _ in range(customers)] for _ in range(facilities)]
    return (f"Facilities = {{{names('F', facilities)}}};\nCustomers = {{{names('C', customers)}}};\n"
            f"fixed_cost = {[rng.randint(800, 2000) for _ in range(facilities)]};\ncapacity = {capacity};\n"
            f"demand = {demand};\ncost = {cost};\n")


def write_scenarios(folder, count, facilities, customers):
    paths = []
    for seed in range(count):
        path = os.path.join(folder, f"scenario{seed:03d}.dat")
        with open(path, "w") as out:
            out.write(facility_data(seed, facilities, customers))
        paths.append(path)
    return paths


def sequential(paths):
    started = time.perf_counter()
    objectives = [korvane.solve(MODEL, path, output=io.StringIO())["objective_value"] for path in paths]
    return time.perf_counter() - started, objectives


def on_cluster(paths, workers):
    from korvane.batch import local_cluster

    started = time.perf_counter()
    with local_cluster(workers) as address:
        korvane.solve_many(MODEL, paths[:workers], scheduler=address)  # the workers import SciPy once
        startup = time.perf_counter() - started
        started = time.perf_counter()
        rows = korvane.solve_many(MODEL, paths, scheduler=address)
        batch_time = time.perf_counter() - started
        started = time.perf_counter()
        tiny = korvane.solve_many(TINY_MODEL, [TINY_DATA] * len(paths), scheduler=address)
        tiny_time = time.perf_counter() - started
        return startup, batch_time, rows, overhead(tiny_time, workers, tiny)


def overhead(batch_time, workers, rows):
    """Seconds per scenario that the workers spent on anything but solving."""
    return (batch_time * workers - sum(row["seconds"] for row in rows)) / len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenarios", type=int, default=64)
    parser.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    parser.add_argument("--facilities", type=int, default=8)
    parser.add_argument("--customers", type=int, default=20)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        paths = write_scenarios(folder, args.scenarios, args.facilities, args.customers)
        korvane.solve(MODEL, paths[0], output=io.StringIO())  # SciPy imported before the clock starts
        seq_time, objectives = sequential(paths)
        print(f"{args.scenarios} scenarios of {args.facilities} facilities x {args.customers} customers "
              f"on {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
        print(f"sequential korvane.solve: {seq_time:.2f} s ({seq_time / args.scenarios * 1000:.0f} ms per scenario)")
        for workers in (int(n) for n in args.workers.split(",")):
            startup, batch_time, rows, scheduling = on_cluster(paths, workers)
            assert all(abs(row["objective_value"] - objective) <= 1e-6 * max(1, abs(objective))
                       for row, objective in zip(rows, objectives)), "solve_many and solve disagree"
            solving = sum(row["seconds"] for row in rows)
            print(f"solve_many, {workers} worker(s): {batch_time:.2f} s, speed-up {seq_time / batch_time:.2f}x, "
                  f"parallelism {solving / batch_time:.2f}, overhead {overhead(batch_time, workers, rows) * 1000:.1f} "
                  f"ms per scenario, scheduling overhead {scheduling * 1000:.1f} ms per scenario "
                  f"(cluster start-up {startup:.1f} s, load average {os.getloadavg()[0]:.1f})")

if __name__ == "__main__":
    main()

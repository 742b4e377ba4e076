"""Speed of korvane.oplparse.instantiate against json.loads of the data it computes.

A model whose data is all computed: a 1,000 x 1,000 array from an expression over its named
indices and a set of 500,000 integers from a comprehension, about 1.5 * 10^6 values. The
baseline is json.loads of a JSON text holding the same values. Both are timed side by side, best
of several runs each. Target: a ratio of at most 2.0.

    python3 bench/instantiate.py [--runs N]
"""
import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from korvane.oplparse import instantiate, parse_model  # noqa: E402

MODEL = """
int n = 1000;
range R = 1..n;
float cost[i in R][j in R] = (i * j) mod 7 + i / 2;
{int} Even = {k | k in 1..n * n : k mod 2 == 0};
dvar float x;
minimize x;
"""


def best_time(fn, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    runs = parser.parse_args().runs
    tree = parse_model(MODEL)
    _, data = instantiate(tree, {})
    text = json.dumps({"cost": data["cost"], "Even": data["Even"]})
    ours = best_time(lambda: instantiate(tree, {}), runs)
    baseline = best_time(lambda: json.loads(text), runs)
    values = len(data["cost"]) * len(data["cost"][0]) + len(data["Even"])
    print(f"{values:,} computed values")
    print(f"instantiate: {ours:.3f} s   json.loads: {baseline:.3f} s   ratio: {ours / baseline:.2f} (target <= 2.0)")


if __name__ == "__main__":
    main()

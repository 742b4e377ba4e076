"""Speed of korvane.oplparse.parse_data against json.loads on the same data.

Builds a .dat text of about 10 MB (a 1,000 x 1,000 matrix of costs and a large set of tuples),
writes the same data as JSON, and times both parsers side by side, best of several runs each.
The goal is a ratio of at most 1.0 (parse_data no slower than json.loads).

    python3 bench/parse.py [--runs N]
"""
import argparse
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from korvane.oplparse import parse_data  # noqa: E402

SIZE = 1000
ARCS = 150_000


def build(seed=7):
    rng = random.Random(seed)
    cost = [[round(rng.uniform(0, 1000), 2) for _ in range(SIZE)] for _ in range(SIZE)]
    arcs = [[f"N{rng.randrange(5000)}", f"N{rng.randrange(5000)}", rng.randrange(1, 100)] for _ in range(ARCS)]
    return {"n": SIZE, "cost": cost, "arcs": arcs}


def dat_text(data):
    rows = ",\n".join("  [" + ", ".join(repr(v) for v in row) + "]" for row in data["cost"])
    arcs = ",\n".join(f'  <"{a}", "{b}", {c}>' for a, b, c in data["arcs"])
    return f"n = {data['n']};\ncost = [\n{rows}\n];\narcs = {{\n{arcs}\n}};\n"


def best_time(fn, text, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn(text)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    data = build()
    dat = dat_text(data)
    js = json.dumps(data)
    assert parse_data(dat) == json.loads(js), "parse_data and json.loads disagree"

    t_dat = t_json = float("inf")
    for _ in range(args.runs):  # alternate, so that both see the same machine load
        t_dat = min(t_dat, best_time(parse_data, dat, 1))
        t_json = min(t_json, best_time(json.loads, js, 1))
    print(f".dat text: {len(dat) / 1e6:.1f} MB, JSON text: {len(js) / 1e6:.1f} MB")
    print(f"parse_data: {t_dat * 1000:.1f} ms")
    print(f"json.loads: {t_json * 1000:.1f} ms")
    print(f"ratio parse_data / json.loads: {t_dat / t_json:.2f} (goal: at most 1.0)")


if __name__ == "__main__":
    main()

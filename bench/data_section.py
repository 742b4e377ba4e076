"""Speed of the data section against CPython's own repr() of the same data.

A 2-D parameter of 1,000 x 1,000 floats over a set and a range, and a 1-D parameter of 10^6
floats over a range. The script's data section ends up holding one dictionary per parameter; the
baseline is the time CPython needs to repr() those two dictionaries. Both are timed side by side,
alternating, and the best of several runs of each is compared. Target: a ratio of at most 2.0.

Run from the repository root after `make build`: /usr/bin/python3 bench/data_section.py
"""
import os
import random
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

# The tests' generator that stops after the data section, and their tree builders.
from data_section_support import DataOnly, decl, inline_range, model, param, range_dim, set_dim  # noqa: E402

ROWS = 1000
COLUMNS = 1000
ENTRIES = 10**6
RUNS = 5


def bench_model():
    return model(
        decl("set_declaration", "Rows"),
        inline_range("Columns", 1, COLUMNS),
        inline_range("Positions", 1, ENTRIES),
        param("cost", set_dim("Rows"), range_dim("Columns", 1, COLUMNS)),
        param("weight", range_dim("Positions", 1, ENTRIES)),
    )


def data():
    rng = random.Random(7)
    rows = [f"r{i}" for i in range(ROWS)]
    return {
        "Rows": rows,
        "cost": [[rng.random() * 100 for _ in range(COLUMNS)] for _ in rows],
        "weight": [rng.random() for _ in range(ENTRIES)],
    }


def script_dictionaries(values):
    """The dictionaries the data section writes, built the obvious way in Python."""
    cost = {(row, j + 1): v for row, line in zip(values["Rows"], values["cost"]) for j, v in enumerate(line)}
    weight = {i + 1: v for i, v in enumerate(values["weight"])}
    return cost, weight


def best(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    ast, values = bench_model(), data()
    dictionaries = script_dictionaries(values)

    def generate():
        return DataOnly(ast, values).generate_code()

    def baseline():
        for d in dictionaries:
            repr(d)

    script = generate()
    for name, d in zip(("cost", "weight"), dictionaries):
        assert "\n" + name + " = " + repr(d) + "\n" in script, name  # the script holds exactly these
    generate_times, repr_times = [], []
    for _ in range(RUNS):
        generate_times.append(best(generate))
        repr_times.append(best(baseline))
    g, r = min(generate_times), min(repr_times)
    print(f"generate_code(): {g:.3f} s   repr() of the script's dictionaries: {r:.3f} s   ratio {g / r:.2f} (target <= 2.0)")


if __name__ == "__main__":
    main()

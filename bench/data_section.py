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

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from korvane.mipwright import GurobiCodeGenerator  # noqa: E402

ROWS = 1000
COLUMNS = 1000
ENTRIES = 10**6
RUNS = 5


class DataSectionOnly(GurobiCodeGenerator):
    """The whole generate_code() run with the sections after the data section left empty."""

    def _generate_declarations(self, declarations):
        pass

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        return "0"

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        pass


def number(value):
    return {"type": "number", "value": value}


def model():
    columns = {"type": "named_range_dimension", "name": "Columns", "start": number(1), "end": number(COLUMNS)}
    positions = {"type": "named_range_dimension", "name": "Positions", "start": number(1), "end": number(ENTRIES)}
    return {
        "declarations": [
            {"type": "set_declaration", "name": "Rows"},
            {"type": "range_declaration_inline", "name": "Columns", "start": number(1), "end": number(COLUMNS)},
            {"type": "range_declaration_inline", "name": "Positions", "start": number(1), "end": number(ENTRIES)},
            {"type": "parameter_external_indexed", "name": "cost",
             "dimensions": [{"type": "named_set_dimension", "name": "Rows"}, columns]},
            {"type": "parameter_external_indexed", "name": "weight", "dimensions": [positions]},
        ],
        "objective": {"type": "minimize", "expression": number(0)},
        "constraints": [],
    }


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
    ast, values = model(), data()
    dictionaries = script_dictionaries(values)

    def generate():
        return DataSectionOnly(ast, values).generate_code()

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

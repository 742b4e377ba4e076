"""The CSC generator's arrays: every encoding of the script loads back bit for bit, and the
attributes made on first read equal those of a generator read at once, however late they are
read, whatever was set or deleted before, and across copies and pickles."""
import array
import copy
import math
import pickle
import random

import numpy as np
import pytest

from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.oplparse import parse_data, parse_model

INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1


def float_cases(rng):
    def decimals(digits, low, high, n=3000):
        return [rng.randint(low, high) / 10 ** digits for _ in range(n)]

    return {
        "empty": [],
        "one": [-7.25],
        "constant": [2.5] * 5000,
        "constant negative zero": [-0.0] * 300,
        "constant infinity": [math.inf] * 300,
        "zeros of both signs": [rng.choice((0.0, -0.0)) for _ in range(4000)],
        "few values and extremes": [rng.choice((1.0, -1.0, -0.0, math.inf, -math.inf, 5e-324, 1e308, 0.1))
                                    for _ in range(5000)],
        "257 distinct": [float(i) for i in range(257)] * 3,
        "integers in 8 bits": decimals(0, -128, 127) + [0.5] * 200,
        "integers at the int32 limits": decimals(0, INT32_MIN, INT32_MAX) + [float(INT32_MIN), float(INT32_MAX)],
        "integers just past int32": decimals(0, -1000, 1000) + [2.0 ** 31],
        "cents in 16 bits": decimals(2, -30000, 30000),
        "repeating cents": decimals(2, -30000, 30000, 300) * 20,
        "six decimals in 32 bits": decimals(6, INT32_MIN, INT32_MAX),
        "seven decimals": decimals(7, -10 ** 9, 10 ** 9),
        "decimals with a negative zero": decimals(1, -5000, 5000) + [-0.0],
        "decimals with an infinity": decimals(1, -5000, 5000) + [math.inf],
        "tiny and huge": [rng.choice((5e-324, 2.2250738585072014e-308, 1.7976931348623157e308)) * rng.random()
                          for _ in range(3000)],
        "random": [rng.uniform(-1e6, 1e6) for _ in range(6000)],
        "repeating pattern": [rng.random() for _ in range(300)] * 40,
    }


def int_cases(rng):
    return {
        "empty": [],
        "constant": [7] * 1000,
        "int32 extremes": [rng.choice((INT32_MIN, INT32_MAX, 0, -1, 1)) for _ in range(3000)],
        "ascending in 8 bits": sorted(rng.randint(0, 5000) for _ in range(3000)),
        "jumps in 16 bits": [rng.randint(-20000, 20000) for _ in range(3000)],
        "random": [rng.randint(INT32_MIN, INT32_MAX) for _ in range(3000)],
    }


class Arrays(SciPyCSCCodeGenerator):
    """A generator whose arrays are replaced after the build by the ones to encode."""

    arrays = {}

    def build_matrices(self):
        super().build_matrices()
        for name, value in self.arrays.items():
            setattr(self, name, value)


def loaded_arrays(arrays):
    gen = Arrays(parse_model("dvar float x; minimize x; subject to {}"), {})
    gen.arrays = arrays
    text = gen.generate_code()
    # The matrices' own arrays are compared before the sparse matrix checks them.
    text = text.replace("return csc_matrix((data, indices, indptr), shape=shape)", "return data, indices, indptr, shape")
    namespace = {"results_container": {}}
    exec(compile(text[:text.index("\n# Solve")], "<scipy script>", "exec"), namespace)
    return namespace, text


def test_every_encoding_loads_back_bit_for_bit_and_writable():
    rng = random.Random(20)
    floats, ints = float_cases(rng), int_cases(rng)
    text = ""
    for (float_name, values), int_name in zip(floats.items(), list(ints) * 4):
        integers = ints[int_name]
        flags = [rng.choice((0, 1)) for _ in range(len(values))]
        arrays = {"c": array.array("d", values), "bounds": (values, array.array("d", values[::-1])),
                  "integrality": array.array("B", flags),
                  "A_ub": {"data": values, "indices": array.array("i", integers), "indptr": integers[::-1],
                           "shape": (3, 4)},
                  "b_eq": values[:len(values) // 2]}
        namespace, script = loaded_arrays(arrays)
        text += script
        expected = {"c": ("<f8", values), "lb": ("<f8", values), "ub": ("<f8", values[::-1]),
                    "integrality": ("|u1", flags), "b_eq": ("<f8", values[:len(values) // 2])}
        data, indices, indptr, shape = namespace["A_ub"]
        loaded = {name: namespace[name] for name in expected}
        loaded.update({"data": data, "indices": indices, "indptr": indptr})
        expected.update({"data": ("<f8", values), "indices": ("<i4", integers), "indptr": ("<i4", integers[::-1])})
        assert shape == (3, 4)
        for name, (dtype, source) in expected.items():
            got = loaded[name]
            assert got.dtype.str == dtype and got.flags.writeable, (float_name, int_name, name)
            assert got.tobytes() == np.array(source, dtype=dtype).tobytes(), (float_name, int_name, name)
    for form in ("_fill(", "_codes(", "_raw(", "_array(", "', True, '<i2', 100.0,", "', False, '<i4', 1.0,",
                 "', False, '<i4', 1000000.0,",
                 "', '<i1', '<i4')", "', '<i2', '<i4')", "', '<i4', '<i4')"):
        assert form in text, form


ORIGINS_MODEL = """
tuple Arc { string a; string b; float cost; }
{Arc} Arcs = ...;
dvar float+ flow[Arcs];
dvar int+ pick[1..3];
minimize sum(a in Arcs) a.cost * flow[a] + sum(i in 1..3) pick[i];
subject to {
  forall(a in Arcs, k in 1..2) arc: flow[a] + k * flow[a] >= a.cost;
  forall(a in Arcs) cap: flow[a] <= 3;
  total: sum(i in 1..3) pick[i] == 2;
  pair: pick[1] - pick[2] <= 0.5;
}"""
ORIGINS_DATA = 'Arcs = {<"u", "v", 1.5>, <"v", "u", 2>};'
LAZY = ("bounds", "c", "integrality", "A_ub", "b_ub", "A_eq", "b_eq", "row_origins", "var_names", "var_indices")


def fresh():
    gen = SciPyCSCCodeGenerator(parse_model(ORIGINS_MODEL), parse_data(ORIGINS_DATA))
    gen.build_matrices()
    return gen


def snapshot(value):
    """The value with every array as (type, typecode, items), comparable with ==."""
    if isinstance(value, array.array):
        return ("array", value.typecode, value.tolist())
    if isinstance(value, dict):
        return ("dict", [(k, snapshot(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [snapshot(v) for v in value])
    return (type(value).__name__, value)


def test_attributes_made_late_equal_those_read_at_once():
    at_once = fresh()
    assert not hasattr(at_once, "missing") and "_column_names" not in vars(at_once)
    expected = {name: snapshot(getattr(at_once, name)) for name in LAZY}
    assert expected["row_origins"][1][0][0] == "ub" and expected["A_eq"] != expected["A_ub"]

    # Read in another order, after the script was written from the model itself.
    late = fresh()
    text = late.generate_code()
    for name in reversed(LAZY):
        assert snapshot(getattr(late, name)) == expected[name], name
    assert "_built" not in vars(late)

    # Read after the generator that made them is gone, or from copies and pickles.
    kept = fresh()
    row_origins = kept.row_origins
    copies = [copy.copy(kept), copy.deepcopy(kept), pickle.loads(pickle.dumps(kept))]
    del kept
    assert snapshot(row_origins) == expected["row_origins"]
    for other in copies:
        assert "_built" not in vars(other)
        assert {name: snapshot(getattr(other, name)) for name in LAZY} == expected

    # A value set before the first read wins until the next build; a deleted one is gone until
    # then. The script (which builds again) is the same as ever.
    changed = fresh()
    changed.c = array.array("d", [9.0] * len(changed.var_names))
    del changed.b_eq, changed.row_origins
    with pytest.raises(AttributeError):
        changed.b_eq
    with pytest.raises(AttributeError):
        del changed.row_origins
    assert snapshot(changed.c) == ("array", "d", [9.0] * len(changed.var_names))
    assert {name: snapshot(getattr(changed, name)) for name in LAZY if name not in ("c", "b_eq", "row_origins")} == \
        {name: value for name, value in expected.items() if name not in ("c", "b_eq", "row_origins")}
    assert changed.generate_code() == text
    assert {name: snapshot(getattr(changed, name)) for name in LAZY} == expected

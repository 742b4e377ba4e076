"""Hostile and careless input to the SciPy target: subscripts outside their index sets, numbers
that are not finite or not exact, ranges and dimensions beyond any memory, and loops beyond the
term limit must be SemanticErrors naming what is wrong, never a crash, a silently dropped
constraint or a neighbouring column read instead."""
import math
import os
import subprocess
import sys

import pytest

import korvane
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_model
from scipy_support import built, solved

S_MODEL = """
    {string} S = {"a", "b"};
    tuple P { string a; int b; }
    {P} Ps = {<"p", 1>, <"q", 2>};
    float cost[S] = [1, 2];
    float w[1..3] = [1, 2, 3];
    float byp[Ps] = [5, 6];
    dvar float+ x[S] in 0..10;
    dvar float+ y[Ps] in 0..10;
    dvar float+ z[1..3] in 0..10;
    minimize sum(s in S) x[s];
    subject to {
        c1: %s;
    }
"""


@pytest.mark.parametrize("constraint, message", [
    ('x["a"] >= cost["zz"]', "Parameter 'cost' not found for index ['zz']"),
    ('x["zz"] >= 1', "variable 'x' has no element ['zz']"),
    ('y[<"p", 2>] >= 1', "variable 'y' has no element [<p,2>]"),
    ('x["a"] >= byp[<"r", 1>]', "Parameter 'byp' not found for index [<r,1>]"),
    ('x["a"] >= w[4]', "Parameter 'w' not found for index [4]"),
    ('x["a"] >= w[0]', "Parameter 'w' not found for index [0]"),
    ('z[4] >= 1', "variable 'z' has no element [4]"),
    ('z[1.5] >= 1', "variable 'z' has no element [1.5]"),
])
def test_subscripts_outside_their_index_set(constraint, message):
    with pytest.raises(SemanticError) as info:
        built(S_MODEL % constraint)
    assert message in info.value.message and "constraint 'c1'" in info.value.message
    assert info.value.lineno == 13


CHILD = """
import io, sys
sys.path.insert(0, sys.argv[1])
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_model
from korvane.solving import solve_parsed
try:
    solve_parsed(parse_model(sys.argv[2]), {}, output=io.StringIO())
except SemanticError as e:
    print(e.message)
"""


def test_a_subscript_outside_its_set_neither_crashes_nor_reads_a_neighbour():
    # The position of a missing element once became a huge unsigned index: a crash, or the column
    # next door reported OPTIMAL. A child process shows a crash as a failure of this test alone.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__file__)))
    run = subprocess.run([sys.executable, "-c", CHILD, package_root, S_MODEL % 'x["zz"] >= 1'],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "variable 'x' has no element ['zz']" in run.stdout


def _generate_gurobi(tree, data):
    from korvane.mipwright import GurobiCodeGenerator

    GurobiCodeGenerator(tree, data).generate_code()


REFUSED = r"Error(?: \(Line \d+\))?: Unsupported number"


@pytest.mark.parametrize("target", ["scipy", "gurobi"])
@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan])
def test_non_finite_numbers_from_python_are_refused_by_both_targets(target, value):
    build = _build if target == "scipy" else _generate_gurobi
    text = "float a = ...;\nfloat c[1..2] = ...;\ndvar float+ x in 0..10;\nminimize x;\nsubject to { x >= a; x >= c[1]; }"
    with pytest.raises(SemanticError, match=rf"{REFUSED} {value} in data item 'a': only finite numbers"):
        build(parse_model(text), {"a": value, "c": [1, 2]})
    with pytest.raises(SemanticError, match=rf"{REFUSED} {value} in data item 'c'"):
        build(parse_model(text), {"a": 1, "c": [1, value]})
    tree = parse_model(text)
    tree["constraints"][0]["right"] = {"type": "number", "value": value}
    with pytest.raises(SemanticError, match=rf"{REFUSED} {value} in the model") as info:
        build(tree, {"a": 1, "c": [1, 2]})
    assert info.value.lineno == 5


def _build(tree, data):
    from korvane.lpwrightsparse import SciPyCSCCodeGenerator

    SciPyCSCCodeGenerator(tree, data).build_matrices()


@pytest.mark.parametrize("model, data, message", [
    ("float n = ...; dvar float x[1..3]; minimize x[1]; subject to { forall(i in 1..n) x[1] >= 1; }", {"n": math.inf},
     "Unsupported number inf"),
    ("float n = ...; dvar float x[1..3]; minimize x[1]; subject to { forall(i in 1..n) x[1] >= 1; }", {"n": 1e300},
     "Range bounds must be integer-valued in the constraint at line 1: 1e+300 is beyond the integers"),
    ("float n = ...; dvar float x[1..3]; minimize x[1]; subject to { forall(i in 1..n * n) x[1] >= 1; }", {"n": 1e200},
     "Range bounds must be integer-valued in the constraint at line 1: inf is not a finite number"),
    ("int n = ...; range R = 1..n; dvar float x[R]; minimize x[1]; subject to {}", {"n": 2 ** 60},
     "Unsupported integer 1152921504606846976"),
    ("int n = ...; dvar float x; minimize x; subject to { x >= n; }", {"n": 2 ** 53 + 1},
     "integers beyond 2^53 cannot be represented exactly"),
    ("{int} S = ...; dvar float x[S]; minimize x[1]; subject to {}", {"S": [2 ** 53, 2 ** 53 + 1]},
     "Unsupported integer 9007199254740993"),
    ("dvar float x[1..4294967296][1..4294967296]; minimize x[1][1]; subject to {}", {},
     "Variable 'x' has too many elements"),
    ("dvar float x[-9007199254740992..9007199254740992]; minimize x[1]; subject to {}", {},
     "Variable 'x' has too many elements"),
    ("float c[1..100000][1..100000][1..100000] = ...; dvar float x; minimize x; subject to {}", {"c": [[[1]]]},
     "Parameter 'c' has more elements than the limit"),
    ("float big = ...; dvar float x; minimize big * big * x; subject to {}", {"big": 1e200},
     "Arithmetic overflow in the objective"),
])
def test_ranges_counts_and_numbers_are_checked_before_arithmetic(model, data, message):
    with pytest.raises(SemanticError) as info:
        _build(parse_model(model), data)
    assert message in info.value.message


@pytest.mark.parametrize("constraint", [
    "forall(i in 1..2000000000) x >= 1",
    "forall(i in 1..40000, j in 1..40000 : i == j) x >= 1",
    "x >= sum(i in 1..1000000000000) 1",
    "forall(i in 1..100000, j in 1..100000, k in 1..100000 : i == j && j == k) x >= 1",
])
def test_loops_beyond_the_term_limit_are_refused_at_once(constraint):
    tree = parse_model(f"dvar float x; minimize x;\nsubject to {{ {constraint}; }}")
    with pytest.raises(SemanticError, match=r"Too many terms: the constraint at line 2 instantiates more than 100000000 "):
        _build(tree, {})


def test_the_term_limit_is_configurable_per_generator():
    from korvane.lpwrightsparse import SciPyCSCCodeGenerator

    tree = parse_model("dvar float x; minimize x; subject to { x >= sum(i in 1..50) 1; }")
    gen = SciPyCSCCodeGenerator(tree, {})
    gen.term_limit = 49
    with pytest.raises(SemanticError, match="more than 49 loop iterations"):
        gen.build_matrices()
    gen.term_limit = 50
    gen.build_matrices()
    assert gen.bounds[0][0] == 50
    nested = parse_model("dvar float x; minimize x; subject to { forall(i in 1..1000) x >= sum(j in 1..1000) 0; }")
    gen = SciPyCSCCodeGenerator(nested, {})
    gen.term_limit = 10 ** 5
    with pytest.raises(SemanticError, match="more than 100000 loop iterations"):
        gen.build_matrices()
    gen.term_limit = 0
    with pytest.raises(ValueError, match="term_limit must be a positive int"):
        gen.build_matrices()


def test_large_exact_integers_and_finite_data_still_solve():
    results = solved("int n = ...; dvar float x; minimize x; subject to { x >= n; }", "n = 9007199254740992;")
    assert results["status"] == "OPTIMAL" and results["objective_value"] == 2.0 ** 53


@pytest.mark.parametrize("model, data, message", [
    ('{string} S = {"a"}; float c[S] = ...; dvar float x; minimize x; subject to { x >= c["a"]; }',
     {"c": {"a": 1, "b": 2}}, "Parameter 'c' has data for key b, which is not an element of its index set 'S'"),
    ("float c[1..2][1..2] = ...; dvar float x; minimize x; subject to { x >= c[1][1]; }",
     {"c": {(1, 1): 1, (1, 3): 2}}, "Parameter 'c' has data for key 3, which is not an element of its index set '1..2'"),
])
def test_keyed_data_outside_the_index_set_is_an_error_not_a_dropped_entry(model, data, message):
    with pytest.raises(SemanticError) as info:
        _build(parse_model(model), data)
    assert message in info.value.message

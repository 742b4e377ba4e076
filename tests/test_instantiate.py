"""korvane.oplparse.instantiate: computed data, asserts and the lowering of syntax sugar, checked
against values computed here in Python and against solves of models written without the sugar."""
import copy
import io
import itertools
import math
import os
import re

import pytest

import korvane
from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import instantiate, parse_data, parse_files, parse_model
from korvane.solving import solve_parsed
from script_runner import run_gurobi_script

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

S = ["a", "b", "c", "d"]
CAP = [7, 3, 9, 4]

# (declaration, the value Python computes for it) over {string} S and int Cap[S] from the data
COMPUTED = [
    ("int n = card(S);", len(S)),
    ("int o = ord(S, \"c\");", S.index("c")),
    ("string f = first(S);", S[0]),
    ("string l = last(S);", S[-1]),
    ("string nx = next(S, \"b\");", "c"),
    ("string pv = prev(S, \"b\");", "a"),
    ("string nc = nextc(S, \"d\");", "a"),
    ("string pc = prevc(S, \"a\");", "d"),
    ("string it = item(S, 2);", S[2]),
    ("int m = max(s in S) Cap[s];", max(CAP)),
    ("int lo = min(s in S : Cap[s] > 3) Cap[s];", min(c for c in CAP if c > 3)),
    ("int total = sum(s in S) Cap[s];", sum(CAP)),
    ("int p = prod(s in S) Cap[s];", math.prod(CAP)),
    ("float share = Cap[\"a\"] / sum(s in S) Cap[s];", CAP[0] / sum(CAP)),
    ("float ab = abs(-2.5);", 2.5),
    ("int fl = floor(7 / 2);", 3),
    ("int ce = ceil(7 / 2);", 4),
    ("int ro = round(2.4);", 2),
    ("float sq = sqrt(Cap[\"b\"] * 3);", 3.0),
    ("float pw = pow(2, 10);", 1024.0),
    ("float ex = exp(1);", math.e),
    ("float lg = log(100) / log(10);", 2.0),
    ("float mi = minl(Cap[\"a\"], Cap[\"b\"], 5);", 3.0),
    ("float ma = maxl(Cap[\"a\"], Cap[\"b\"], 5);", 7.0),
    ("int md = 17 mod 5;", 2),
    ("int pct = -17 % 5;", -2),
    ("int dv = 17 div 5;", 3),
    ("int big = maxint;", 2147483647),
    ("int cond = card(S) > 3 ? 10 : 20;", 10),
    ("boolean many = card(S) >= 4;", True),
    ("float twice[s in S] = 2 * Cap[s];", [2.0 * c for c in CAP]),
    ("int rank[s in S] = ord(S, s) + 1;", [1, 2, 3, 4]),
    ("int grid[i in 1..2, j in 1..3] = 10 * i + j;", [[11, 12, 13], [21, 22, 23]]),
]


def computed(declaration):
    model = "{string} S = ...;\nint Cap[S] = ...;\n" + declaration + "\ndvar float x;\nminimize x;\nsubject to { x >= 0; }"
    tree, data = instantiate(parse_model(model), {"S": list(S), "Cap": list(CAP)})
    name = re.match(r"\w+\s+(\w+)", declaration).group(1)
    return tree, data[name]


@pytest.mark.parametrize("declaration, expected", COMPUTED)
def test_computed_declarations_match_python(declaration, expected):
    tree, value = computed(declaration)
    assert value == pytest.approx(expected) if isinstance(expected, float) else value == expected
    assert type(value) is type(expected)
    # The declaration the generators see reads the value from the data.
    assert {d["type"] for d in tree["declarations"]} <= {"typed_set_external", "parameter_external_indexed",
                                                         "parameter_external_explicit",
                                                         "parameter_external_explicit_indexed", "dvar"}


def test_indexed_initializers_run_over_every_index():
    _, value = computed("int tri[i in 1..3][j in 1..3] = i >= j ? i * j : 0;")
    assert value == [[i * j if i >= j else 0 for j in range(1, 4)] for i in range(1, 4)]


def test_inputs_are_left_as_they_were():
    tree = parse_model("int n = 2 * 3; dvar float x; minimize x; subject to { x >= n; }")
    data = {"unused": [1, 2]}
    tree_before, data_before = copy.deepcopy(tree), copy.deepcopy(data)
    new_tree, new_data = instantiate(tree, data)
    assert (tree, data) == (tree_before, data_before)
    assert new_data == {"unused": [1, 2], "n": 6}
    assert new_tree["declarations"][0] == {"type": "parameter_external_explicit", "name": "n", "value_type": "int",
                                           "lineno": 1}


CORE_EXAMPLES = ["assignment", "coloring", "coverage", "facility", "knapsack", "production", "scheduling",
                 "transportation"]


@pytest.mark.parametrize("model", [os.path.join(EXAMPLES, name + ".mod") for name in CORE_EXAMPLES],
                         ids=os.path.basename)
def test_models_without_computed_constructs_pass_through(model):
    with open(model) as f:
        tree = parse_model(f.read())
    with open(model[:-4] + ".dat") as f:
        data = parse_data(f.read())
    assert instantiate(tree, data) == (tree, data)
    instantiated = parse_files(model, model[:-4] + ".dat")
    assert GurobiCodeGenerator(*instantiated).generate_code() == GurobiCodeGenerator(tree, data).generate_code()


# A capacitated selection whose capacity, costs and bounds are computed in the model: the same
# instance written with the values spelled out must give the same optimum on both targets, and
# brute force over the binary choices must agree.
COMPUTED_MODEL = """
{string} Items = ...;
int Weight[Items] = ...;
int Value[Items] = ...;
int Heaviest = max(i in Items) Weight[i];
int Capacity = (sum(i in Items) Weight[i]) div 2;
float Ratio[i in Items] = Value[i] / Weight[i];
int Rank[i in Items] = ord(Items, i) + 1;
assert Capacity >= Heaviest;
assert forall(i in Items) Weight[i] > 0;
dvar boolean take[i in Items];
dvar float+ slack in 0..Capacity;
maximize sum(i in Items) Value[i] * take[i] - 0.001 * slack;
subject to {
  sum(i in Items) Weight[i] * take[i] + slack == Capacity;
  forall(i in Items : Ratio[i] < 1) take[i] <= 0;
  sum(i in Items) Rank[i] * take[i] <= 9;
}
"""

ITEMS = {"Items": ["p", "q", "r", "s", "t"], "Weight": [4, 6, 3, 5, 8], "Value": [9, 5, 7, 8, 10]}


def brute_force_optimum(data):
    weights, values = data["Weight"], data["Value"]
    capacity = sum(weights) // 2
    best = None
    for choice in itertools.product([0, 1], repeat=len(weights)):
        load = sum(w * c for w, c in zip(weights, choice))
        ranks = sum((k + 1) * c for k, c in enumerate(choice))
        ratio_ok = all(c == 0 or v / w >= 1 for v, w, c in zip(values, weights, choice))
        if load <= capacity and ranks <= 9 and ratio_ok:
            objective = sum(v * c for v, c in zip(values, choice)) - 0.001 * (capacity - load)
            best = objective if best is None else max(best, objective)
    return best


def test_computed_model_solves_on_both_targets(tmp_path):
    (tmp_path / "m.mod").write_text(COMPUTED_MODEL)
    (tmp_path / "m.dat").write_text('Items = {"p" "q" "r" "s" "t"}; Weight = [4 6 3 5 8]; Value = [9 5 7 8 10];')
    expected = brute_force_optimum(ITEMS)
    results = korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert results["objective_value"] == pytest.approx(expected, abs=1e-6)
    tree, data = parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    gurobi = run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())
    assert gurobi["objective_value"] == pytest.approx(expected, abs=1e-6)


@pytest.mark.parametrize("model, data, message, lineno", [
    (COMPUTED_MODEL, dict(ITEMS, Weight=[4, 6, 3, 5, 40]),
     "Assertion failed: 'assert Capacity >= Heaviest'", 9),
    (COMPUTED_MODEL, dict(ITEMS, Weight=[4, 6, -3, 5, 8]),
     "Assertion failed: 'assert forall(i in Items) Weight[i] > 0' for r", 10),
    (COMPUTED_MODEL, dict(ITEMS, Capacity=3),
     "Parameter 'Capacity' is computed in the model and also given in the .dat file.", 6),
    ("int n = 5 / 2;\ndvar float x; minimize x;",
     {}, "Type mismatch in the initializer of 'n': it is declared int but its value is 2.5", 1),
    ("{string} S = ...;\nstring s = next(S, \"b\");\ndvar float x; minimize x;", {"S": ["a", "b"]},
     "Unsupported 'next' of the last element 'b' of 'S' in the declaration of 's': use nextc to wrap around", 2),
    ("int d = 3 div 0;\ndvar float x; minimize x;", {}, "Division by zero in the declaration of 'd'", 1),
    ("{string} S = ...;\nint k = ord(S, \"z\");\ndvar float x; minimize x;", {"S": ["a"]},
     "'z' is not an element of 'S' in ord() in the declaration of 'k'", 2),
])
def test_instantiation_errors_name_the_line_and_file(model, data, message, lineno):
    with pytest.raises(SemanticError) as info:
        instantiate(parse_model(model), data, filename="m.mod")
    assert info.value.message.startswith(message)
    assert (info.value.lineno, info.value.filename) == (lineno, "m.mod")


def test_named_indices_in_variable_bounds(tmp_path):
    model = """
    {string} J = ...; float Low[J] = ...; float Up[J] = ...; range R = 2..6;
    dvar float m[j in J] in Low[j]..Up[j];
    dvar int k in R;
    maximize sum(j in J) m[j] - k;
    """
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text('J = {"u" "v"}; Low = [1, -2]; Up = [3.5, 4];')
    assert korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))["objective_value"] == pytest.approx(5.5)
    tree, data = parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(5.5)


def test_subscript_outside_a_set_is_an_error_on_the_scipy_target(tmp_path):
    (tmp_path / "m.mod").write_text('{string} S = ...;\ndvar float+ x[S];\nminimize x["z"];')
    (tmp_path / "m.dat").write_text('S = {"a" "b"};')
    with pytest.raises(SemanticError, match=r"Index out of range: variable 'x' has no element \['z'\]"):
        korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))


# ---- syntax sugar: each model against the same model written in the core language ----

NETWORK_DATA = ('N = {"s" "a" "b" "t"}; Arcs = {<"s" "a" 4 2> <"s" "b" 2 5> <"a" "b" 2 1> <"a" "t" 3 6> '
                '<"b" "t" 5 1>}; Supply = [6 0 0 -6];')
NETWORK_HEAD = """
tuple Arc { string i; string j; int cap; float cost; }
{string} N = ...;
{Arc} Arcs = ...;
float Supply[N] = ...;
dvar float+ flow[Arcs];
"""
SUGARED = [
    # tuple patterns, slices with a bound name, a literal field, tuple-literal subscripts
    (NETWORK_HEAD + """
minimize sum(<i,j,k,c> in Arcs) c * flow[<i,j,k,c>];
subject to {
  forall(n in N)
    balance: sum(<n,j,k,c> in Arcs) flow[<n,j,k,c>] - sum(<i,n,k,c> in Arcs) flow[<i,n,k,c>] == Supply[n];
  forall(<i,j,k,c> in Arcs) flow[<i,j,k,c>] <= k;
  forall(<i,"t",k,c> in Arcs : c > 1) flow[<i,"t",k,c>] <= 2;
}""", NETWORK_HEAD + """
minimize sum(a in Arcs) a.cost * flow[a];
subject to {
  forall(n in N)
    balance: sum(a in Arcs : a.i == n) flow[a] - sum(a in Arcs : a.j == n) flow[a] == Supply[n];
  forall(a in Arcs) flow[a] <= a.cap;
  forall(a in Arcs : a.j == "t" && a.cost > 1) flow[a] <= 2;
}""", NETWORK_DATA),
    # labels before foralls and blocks, ranged constraints, a trailing ';', constraint declarations,
    # and data-only if/else at the top level and inside foralls
    ("""
range I = 1..5;
float c[I] = ...;
int mode = ...;
constraint cap[I];
dvar float+ x[I];
maximize sum(i in I) c[i] * x[i];
subject to {
  cap: forall(i in I) {
    1 <= x[i] <= 4;
    if (i mod 2 == 0) { x[i] <= 2; } else { x[i] <= 1 + i div 2; };
  };
  total: { sum(i in I) x[i] <= 12; 10 >= x[1] + x[2] >= 0; };
  if (mode == 1) { x[5] <= 1.5; } else if (mode == 2) { x[5] <= 2.5; } else { x[5] <= 3.5; }
  forall(i in I : i > 1) lim[i]: x[i] >= x[i-1] - 10;
}""", """
range I = 1..5;
float c[I] = ...;
int mode = ...;
dvar float+ x[I];
maximize sum(i in I) c[i] * x[i];
subject to {
  forall(i in I) { x[i] >= 1; x[i] <= 4; }
  forall(i in I : i == 2 || i == 4) x[i] <= 2;
  x[1] <= 1; x[3] <= 2; x[5] <= 3;
  sum(i in I) x[i] <= 12;
  x[1] + x[2] <= 10;
  x[5] <= 2.5;
}""", "c = [1 2 3 4 5]; mode = 2;"),
]


@pytest.mark.parametrize("sugared, plain, data", SUGARED)
def test_sugar_solves_like_the_core_language(sugared, plain, data, tmp_path):
    objectives = {}
    for name, model in [("sugared", sugared), ("plain", plain)]:
        (tmp_path / f"{name}.mod").write_text(model)
        (tmp_path / f"{name}.dat").write_text(data)
        files = str(tmp_path / f"{name}.mod"), str(tmp_path / f"{name}.dat")
        scipy = korvane.solve(*files)["objective_value"]
        gurobi = run_gurobi_script(GurobiCodeGenerator(*parse_files(*files)).generate_code())["objective_value"]
        assert scipy == pytest.approx(gurobi, abs=1e-6)
        objectives[name] = scipy
    assert objectives["sugared"] == pytest.approx(objectives["plain"], abs=1e-6)


# Data functions inside constraints: both targets must agree with a brute force over the same
# feasible region, computed here with Python's own arithmetic (C-style mod and div).
FUNCTIONS_MODEL = """
{string} S = ...;
range T = 1..4;
int d[T] = ...;
dvar int+ x[T] in 0..20;
dvar int+ y[S] in 0..5;
maximize sum(t in T) x[t] + sum(s in S) ord(S, s) * y[s];
subject to {
  forall(t in T) x[t] <= d[t] mod 4 + (d[t] div 3) + abs(-t);
  forall(t in T : t > 1) x[t] >= x[prev(T, t)] - 1;
  forall(t in T : t < 4) x[next(T, t)] <= 2 * x[t] + 1;
  sum(s in S) y[s] <= prod(t in 1..3) t + max(t in T) d[t] div 10 + card(S);
  forall(s in S : s != last(S)) y[s] <= ceil(card(S) / 2);
  y[first(S)] >= pow(2, 1);
}
"""


def c_mod(a, b):
    return int(math.fmod(a, b))


def functions_brute_force(d, names):
    caps = [d[t - 1] % 4 + d[t - 1] // 3 + t for t in range(1, 5)]
    best_x = None
    for xs in itertools.product(*[range(0, min(20, c) + 1) for c in caps]):
        if all(xs[k] >= xs[k - 1] - 1 for k in range(1, 4)) and all(xs[k + 1] <= 2 * xs[k] + 1 for k in range(3)):
            best_x = sum(xs) if best_x is None else max(best_x, sum(xs))
    budget = math.prod(range(1, 4)) + max(d) // 10 + len(names)
    best_y = None
    for ys in itertools.product(range(6), repeat=len(names)):
        ok = sum(ys) <= budget and ys[0] >= 2 and all(y <= math.ceil(len(names) / 2) for y in ys[:-1])
        if ok:
            value = sum(k * y for k, y in enumerate(ys))
            best_y = value if best_y is None else max(best_y, value)
    return best_x + best_y


def test_data_functions_in_constraints_on_both_targets(tmp_path):
    d, names = [5, 13, 7, 22], ["u", "v", "w"]
    assert all(c_mod(a, 4) == a % 4 for a in d)  # non-negative data: C and Python agree
    (tmp_path / "f.mod").write_text(FUNCTIONS_MODEL)
    (tmp_path / "f.dat").write_text('S = {"u" "v" "w"}; d = [5 13 7 22];')
    expected = functions_brute_force(d, names)
    files = str(tmp_path / "f.mod"), str(tmp_path / "f.dat")
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected)
    tree, data = parse_files(*files)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(expected)


def test_negative_operands_of_mod_and_div_truncate_on_both_targets(tmp_path):
    model = "int a[1..2] = ...;\ndvar float x[1..2];\nminimize sum(i in 1..2) x[i];\n" \
            "subject to { forall(i in 1..2) x[i] >= a[i] mod 3 + 10 * (a[i] div 4); }"
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text("a = [-7 9];")
    expected = (c_mod(-7, 3) + 10 * int(-7 / 4)) + (9 % 3 + 10 * (9 // 4))
    files = str(tmp_path / "m.mod"), str(tmp_path / "m.dat")
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected)
    tree, data = parse_files(*files)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(expected)


def test_computed_subscripts_over_sets_are_refused_with_the_construct():
    tree = parse_model('{string} S = ...;\ndvar float x[S];\nminimize sum(s in S : s != last(S)) x[next(S, s)];')
    with pytest.raises(SemanticError) as info:
        instantiate(tree, {"S": ["a", "b"]}, filename="m.mod")
    assert info.value.message.startswith("Unsupported 'next' over iterators in a subscript of 'x'")
    assert (info.value.lineno, info.value.filename) == (3, "m.mod")


# ---- files as editors save them ----

def test_bom_latin1_and_gbk_comments_and_using_cplex(tmp_path):
    model = ("\ufeffusing CPLEX;\n// co\u00fbt unitaire\n".encode("utf-8") + b"/* \xe6\x88\x90\xb1\xbe gbk: \xb3\xc9\xb1\xbe */\n"
             + b"// caf\xe9\ndvar float+ x in 0..4;\nmaximize 2 * x; // fin \xff\n")
    (tmp_path / "m.mod").write_bytes(model)
    (tmp_path / "m.dat").write_bytes(b"\xef\xbb\xbf// donn\xe9es\n")
    tree, data = parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert data == {} and tree["objective"]["lineno"] == 6
    assert parse_model("\ufeffdvar int x; minimize x;")["objective"]["type"] == "minimize"
    assert korvane.solve(str(tmp_path / "m.mod"))["objective_value"] == pytest.approx(8)


@pytest.mark.parametrize("content, lineno", [
    (b'dvar int x;\nminimize x; string s = "caf\xe9";', 2),
    (b"dvar int x;\n\nminimize x\xa0;", 3),
    (b'// "a comment with a quote\ndvar int co\xfbt;', 2),
])
def test_bytes_that_are_not_utf8_outside_comments_are_errors(content, lineno, tmp_path):
    (tmp_path / "m.mod").write_bytes(content)
    with pytest.raises(SemanticError) as info:
        parse_files(str(tmp_path / "m.mod"))
    assert info.value.lineno == lineno and "(not UTF-8) outside a comment" in info.value.message
    assert info.value.filename == str(tmp_path / "m.mod")


# ---- data files as people write them ----

@pytest.mark.parametrize("text, expected", [
    ("Cities = {GARY CLEV PITT};", {"Cities": ["GARY", "CLEV", "PITT"]}),
    ("Room = #[desk: 12, chair: 4,]#;", {"Room": {"desk": 12, "chair": 4}}),
    ("Arcs = {<a b 3>, <b c 4>,};", {"Arcs": [["a", "b", 3], ["b", "c", 4]]}),
    ("x = [.5, 1., 1e3, -.25, 2E-1,];", {"x": [0.5, 1.0, 1000.0, -0.25, 0.2]}),
    ("Cost = #[<a b>: 3, <b c>: .5]#;", {"Cost": {("a", "b"): 3, ("b", "c"): 0.5}}),
    ("flag = true; name = alpha;", {"flag": True, "name": "alpha"}),
])
def test_data_forms(text, expected):
    assert parse_data(text) == expected


@pytest.mark.parametrize("text, word, lineno", [
    ('n = 1;\nSheetConnection sheet("plan.xlsx");', "SheetConnection", 2),
    ('Demand from SheetRead(sheet, "A1:B4");', "name from ...", 1),
    ('n = 1;\n\nDemand = DBRead(db, "select");', "DBRead", 3),
])
def test_spreadsheet_and_database_data_is_refused_by_name(text, word, lineno):
    with pytest.raises(SemanticError) as info:
        parse_data(text, filename="d.dat")
    assert info.value.message.startswith(f"Unsupported '{word}' in the .dat file: reading data from spreadsheets and "
                                         "databases is not supported")
    assert (info.value.lineno, info.value.filename) == (lineno, "d.dat")


def test_unquoted_names_solve_like_quoted_ones(tmp_path):
    model = ("{string} Cities = ...;\nfloat Demand[Cities] = ...;\ndvar float+ ship[Cities];\n"
             "minimize sum(c in Cities) ship[c];\nsubject to { forall(c in Cities) ship[c] >= Demand[c]; }")
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text("Cities = {GARY CLEV PITT,};\nDemand = #[GARY: 3, CLEV: .5, PITT: 2.,]#;")
    assert korvane.solve(str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))["objective_value"] == pytest.approx(5.5)


# ---- sets computed from the data ----

def python_sets(n, triples):
    even = [i for i in range(1, n + 1) if i % 2 == 0]
    odd = [i for i in range(1, n + 1) if i not in even]
    return {
        "Even": even, "Odd": odd, "U": even + [7, 8], "I": [i for i in even if i in (2, 3, 4)],
        "X": [1, 2, 4], "R": [1, 2, 3], "Pos": [[a, b] for a, b, c in triples if c > 0],
        "Pairs": [[i, j] for i in range(1, 4) for j in range(1, 4) if i < j],
    }


SETS_MODEL = """
int n = ...;
tuple E { int a; int b; int c; }
tuple P { int a; int b; }
{E} Es = ...;
{int} Even = {i | i in 1..n : i mod 2 == 0};
{int} Odd = asSet(1..n) diff Even;
{int} U = Even union {7, 8};
{int} I = Even inter {2, 3, 4};
{int} X = {1, 2, 3} symdiff {3, 4};
setof(int) R = 1..3;
{P} Pos = {<a, b> | <a, b, c> in Es : c > 0};
{P} Pairs = {<i, j> | i in 1..3, j in 1..3 : i < j};
dvar float+ x[1..n];
dvar float+ y[Pairs];
minimize sum(i in Even union Odd) x[i] + sum(<i, j> in Pairs) (i + j) * y[<i, j>];
subject to {
  forall(i in {k | k in 1..n : k > n - 2}) x[i] >= i;
  forall(p in Pos) x[p.a] >= p.b;
  sum(p in Pairs) y[p] >= 2;
}
"""


def test_computed_sets_match_python_and_solve_on_both_targets(tmp_path):
    triples = [[1, 2, 3], [4, 5, -1], [6, 7, 0], [3, 9, 2]]
    (tmp_path / "s.mod").write_text(SETS_MODEL)
    (tmp_path / "s.dat").write_text("n = 6; Es = {<1 2 3> <4 5 -1> <6 7 0> <3 9 2>};")
    tree, data = parse_files(str(tmp_path / "s.mod"), str(tmp_path / "s.dat"))
    for name, expected in python_sets(6, triples).items():
        assert data[name] == expected, name
    bounds = {5: 5, 6: 6, 1: 2, 3: 9}
    expected = sum(bounds.values()) + 2 * 3  # the cheapest pair (1, 2) twice
    assert korvane.solve(str(tmp_path / "s.mod"), str(tmp_path / "s.dat"))["objective_value"] == pytest.approx(expected)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(expected)


@pytest.mark.parametrize("model, message, lineno", [
    ("{int} S = {1, 2};\ndvar float x;\nminimize x;\nsubject to { forall(i in S) forall(j in S diff {i}) x >= j; }",
     "Unsupported set expression in the range of 'j': it uses the iterator 'i'; use a filter instead", 4),
    ("{int} S = {i | i in 1..3} union 4;", "Unsupported set expression: use a declared set or range", 1),
    ("dvar int x;\n{int} S = {x, 1};\nrange R = 1..card(S);", "Unsupported use of 'S' in the model: it is computed from the solution", 3),
    ("int n = 1;\nrange float R = 0.5..2.5;", "Unsupported construct 'range float': give the bounds to the variables", 2),
    ("{int} A = {1};\n{int} B = {2};\nint n = abs(A union B);",
     "Unsupported set expression in an argument of 'abs': declare the set first, as in '{int} U = A union B;'", 3),
    ("{int} S = {1, 2};\ndvar float x;\nminimize x;\nsubject to { forall(i in S)\n x >= card({j | j in S : j > i}); }",
     "Unsupported set expression in the argument of 'card': it uses the iterator 'i'", 5),
    # set-valued tuple fields: iterated, counted and tested for membership; other uses are refused
    ("tuple Task { string name;\n setof(string) after; }", "Unsupported set-valued field written with 'setof'", 2),
    ("tuple Task { string name; {string} after; }\n{Task} T = ...;\nint n = sum(t in T)\n t.after;",
     "Unsupported use of the set-valued field 'after' of tuple 'Task' as a value", 4),
    ("tuple Task { string name; {string} after; }\n{string} K = ...;\nTask t[K] = ...;",
     "Unsupported tuple array 't': tuple 'Task' has a set-valued field", 3),
    ("tuple Task { string name; {string} after; }\n{Task} T = {<\"a\", {}>};",
     "Unsupported set of tuples 'T' written in the model", 2),
    ("tuple Task { string name; {string} after; }\ntuple Job { Task t; }", "Unsupported field of tuple type 'Task'", 2),
    ("{int} Q[1..2] = ...;\nint k = sum(i in 1..2 : 3 in Q[i, 1]) 1;", "Unsupported subscripts of 'Q'", 2),
])
def test_set_expression_errors_name_the_construct(model, message, lineno):
    with pytest.raises(SemanticError) as info:
        parse_model(model)
    assert info.value.message.startswith(message) and info.value.lineno == lineno


COVER_MODEL = """
{string} Sites = ...;
range Customers = 1..5;
{string} Covers[Customers] = ...;
{int} Later[i in Customers] = {j | j in Customers : j > i};
float Cost[Sites] = ...;
dvar boolean open[Sites];
dvar float+ z[Customers];
minimize sum(s in Sites) Cost[s] * open[s] + sum(c in Customers) z[c];
subject to {
  forall(c in Customers) sum(s in Covers[c]) open[s] >= 1;
  forall(c in Customers : card(Later[c]) > 2) z[c] >= card(Later[c]);
  forall(c in Customers, d in Later[c]) z[d] >= 0.5;
}
"""


@pytest.mark.parametrize("covers", ["[{A B} {B C} {C} {A D} {D B}]", "#[1: {A B}, 2: {B C}, 3: {C}, 4: {A D}, 5: {D B}]#"])
def test_arrays_of_sets_against_brute_force(covers, tmp_path):
    sites, cost = "ABCD", {"A": 3, "B": 2, "C": 4, "D": 1}
    cover = [{"A", "B"}, {"B", "C"}, {"C"}, {"A", "D"}, {"D", "B"}]
    best = min(sum(cost[s] for s in chosen) for k in range(1, 5) for chosen in itertools.combinations(sites, k)
               if all(cover_set & set(chosen) for cover_set in cover))
    later = [[j for j in range(1, 6) if j > i] for i in range(1, 6)]
    z = [len(later[c]) if len(later[c]) > 2 else 0 for c in range(5)]
    z = [max(v, 0.5 if any(c + 1 in later[i] for i in range(5)) else 0) for c, v in enumerate(z)]
    (tmp_path / "c.mod").write_text(COVER_MODEL)
    (tmp_path / "c.dat").write_text(f"Sites = {{A B C D}}; Cost = [3 2 4 1]; Covers = {covers};")
    files = str(tmp_path / "c.mod"), str(tmp_path / "c.dat")
    assert korvane.solve(*files)["objective_value"] == pytest.approx(best + sum(z))
    tree, data = parse_files(*files)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(best + sum(z))
    assert "Covers" not in data and data["_Later_members"] == [[i, j] for i in range(1, 6) for j in later[i - 1]]


WITH_MODEL = """{string} Nodes = ...;
tuple Arc { string tail; string head; float cost; }
{Arc} Arcs with tail in Nodes, head in Nodes = ...;
dvar float+ flow[Arcs];
minimize sum(a in Arcs) a.cost * flow[a];
subject to { sum(a in Arcs : a.head == "t") flow[a] >= 1; }
"""


@pytest.mark.parametrize("arcs, message", [
    ('{<s t 2> <s m 1> <m t 0.5>}', None),
    ('{<s t 2> <s x 1> <m t 0.5>}', "Tuple <s,x,1> of 'Arcs' has head = x, which is not an element of 'Nodes'"),
    ('{<s t 2> <q m 1>}', "Tuple <q,m,1> of 'Arcs' has tail = q, which is not an element of 'Nodes'"),
])
def test_with_clauses_check_every_tuple(arcs, message, tmp_path):
    (tmp_path / "w.mod").write_text(WITH_MODEL)
    (tmp_path / "w.dat").write_text(f"Nodes = {{s m t}}; Arcs = {arcs};")
    files = str(tmp_path / "w.mod"), str(tmp_path / "w.dat")
    if message is None:
        assert korvane.solve(*files)["objective_value"] == pytest.approx(0.5)  # m -> t, the cheapest arc into t
        return
    with pytest.raises(SemanticError) as info:
        parse_files(*files)
    assert info.value.message.startswith(message) and info.value.lineno == 3
    assert info.value.filename == files[0]


def test_membership_tests_on_both_targets(tmp_path):
    model = """{int} S = ...;
    tuple Arc { int i; int j; }
    {Arc} Arcs = ...;
    int inside = sum(k in 1..6 : k in S) 1;
    dvar float+ x[1..6];
    minimize sum(k in 1..6) x[k];
    subject to {
      forall(k in 1..6 : k in S) x[k] >= inside;
      forall(k in 1..5 : <k, k + 1> in Arcs && !(k in S)) x[k] >= 10;
    }"""
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text("S = {2 3 5}; Arcs = {<1 2> <4 5> <3 4>};")
    members, arcs = {2, 3, 5}, {(1, 2), (4, 5), (3, 4)}
    expected = len(members) * len(members) + 10 * sum(1 for k in range(1, 6) if (k, k + 1) in arcs and k not in members)
    files = str(tmp_path / "m.mod"), str(tmp_path / "m.dat")
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected)
    tree, data = parse_files(*files)
    assert data["inside"] == 3
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(expected)


@pytest.mark.parametrize("solver", ["scipy", "gurobi"])
def test_infinity_is_no_bound_in_a_declaration_and_refused_elsewhere(solver):
    model = ("dvar float y in 0..infinity;\ndvar int z in -infinity..5;\nmaximize z - y;\n"
             "subject to { y >= 1; }\n")
    results = solve_parsed(*instantiate(parse_model(model), {}), solver, output=io.StringIO())
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(4)
    # A parameter whose value is infinity is no bound where it bounds one variable alone...
    model = ("float cap = infinity;\nfloat low = -infinity;\nrange I = 1..3;\ndvar float x[I] in low..cap;\n"
             "minimize sum(i in I) x[i];\nsubject to {\n  forall(i in I) { x[i] <= cap; cap >= x[i]; x[i] >= i; }\n}\n")
    results = solve_parsed(*instantiate(parse_model(model), {}), solver, output=io.StringIO())
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(6)
    # ... and an error with its line where it would reach a row.
    with pytest.raises(SemanticError, match="Unsupported use of 'c', whose value is infinity") as info:
        instantiate(parse_model("float c = infinity;\ndvar float x;\nmaximize x;\n"
                                "subject to {\n x + 1 <= c; }\n"), {})
    assert info.value.lineno == 5

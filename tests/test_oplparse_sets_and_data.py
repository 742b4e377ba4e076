"""Arrays of sets of tuples, membership in an array's sets, set functions of set expressions,
values computed under the filters that guard them, infinity as no bound, and the .dat checks
against the declared types: values computed here in Python, solves against a second formulation
on both targets, and a table of located errors."""
import itertools
import random

import numpy as np
import pytest
from scipy.optimize import linprog

import korvane
from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_files
from script_runner import run_gurobi_script

FLOW_MODEL = """tuple Arc { string tail; string head; }
{string} Nodes = ...;
{Arc} Arcs = ...;
float cost[Arcs] = ...;
float supply[Nodes] = ...;
{Arc} Out[Nodes] = ...;
{Arc} In[n in Nodes] = {a | a in Arcs : a.head == n};
float unlimited = infinity;
int wide = card({n | n in Nodes : card(Out[n]) >= 2});
int firstSink = ord(Nodes, first({n | n in Nodes : supply[n] < 0}));
int loops = sum(n in Nodes, m in Nodes : <n, m> in Out[n] && <m, n> in Out[m]) 1;
constraint balance[Nodes];
dvar float+ ship[Arcs] in 0..unlimited;
minimize sum(a in Arcs) cost[a] * ship[a];
subject to {
  forall(n in Nodes)
    balance[n] = sum(a in Out[n]) ship[a] - sum(a in In[n]) ship[a] == supply[n];
  forall(n in Nodes, a in Out[n] : card(Out[n]) >= 2 && !(a in In[a.head] && a.tail == "n0"))
    ship[a] <= 30 + wide;
}
"""


def random_network(seed):
    rng = random.Random(seed)
    nodes = [f"n{k}" for k in range(6)]
    arcs = sorted({(a, b) for a in nodes for b in nodes if a != b and rng.random() < 0.45}
                  | {(nodes[k], nodes[k + 1]) for k in range(5)})
    supply = {n: 0 for n in nodes}
    for k in range(3):
        amount = rng.randint(5, 25)
        supply[nodes[k]] += amount
        supply[nodes[-1 - k]] -= amount
    cost = {a: rng.randint(1, 9) for a in arcs}
    return nodes, arcs, supply, cost


def flow_data(nodes, arcs, supply, cost):
    out = ", ".join(f"{n}: {{{' '.join(f'<{a} {b}>' for a, b in arcs if a == n)}}}" for n in nodes)
    return (f"Nodes = {{{' '.join(nodes)}}};\nArcs = {{{' '.join(f'<{a} {b}>' for a, b in arcs)}}};\n"
            f"cost = [{' '.join(str(cost[a]) for a in arcs)}];\n"
            f"supply = [{' '.join(str(supply[n]) for n in nodes)}];\nOut = #[{out}]#;\n")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_arrays_of_sets_of_tuples_against_python_and_a_matrix_formulation(seed, tmp_path):
    nodes, arcs, supply, cost = random_network(seed)
    out = {n: [a for a in arcs if a[0] == n] for n in nodes}
    wide = sum(1 for n in nodes if len(out[n]) >= 2)
    (tmp_path / "f.mod").write_text(FLOW_MODEL)
    (tmp_path / "f.dat").write_text(flow_data(nodes, arcs, supply, cost))
    files = str(tmp_path / "f.mod"), str(tmp_path / "f.dat")
    tree, data = parse_files(*files)
    assert data["wide"] == wide
    assert data["firstSink"] == nodes.index(next(n for n in nodes if supply[n] < 0))
    assert data["loops"] == sum(1 for n, m in itertools.product(nodes, nodes) if (n, m) in arcs and (m, n) in arcs)
    assert data["_In_members"] == [[n, list(a)] for n in nodes for a in arcs if a[1] == n]
    assert "unlimited" not in data  # no row reads it: it only said "no bound"
    # The same flow problem as a matrix, solved by SciPy directly.
    incidence = [[(a[0] == n) - (a[1] == n) for a in arcs] for n in nodes]
    bounds = [(0, 30 + wide if len(out[a[0]]) >= 2 and a[0] != "n0" else None) for a in arcs]
    expected = linprog([cost[a] for a in arcs], A_eq=incidence, b_eq=[supply[n] for n in nodes], bounds=bounds)
    assert expected.status == 0
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected.fun)
    script = GurobiCodeGenerator(tree, data).generate_code()
    assert "'balance'" in script
    assert run_gurobi_script(script)["objective_value"] == pytest.approx(expected.fun)


GUARDED_MODEL = """range I = 1..{n};
int a[I] = ...;
int d[I] = ...;
constraint kiln;
dvar float+ x[I];
maximize sum(i in I) x[i];
subject to {{
  forall(i in I : d[i] != 0) x[i] <= a[i] div d[i] + a[i] mod d[i];
  forall(i in I : d[i] == 0 && a[i] mod 2 == 1) x[i] <= 1;
  forall(i in I : d[i] == 0 && a[i] mod 2 == 0) x[i] <= prod(k in 1..2 : k <= i) a[i];
  kiln = sum(i in I) x[i] <= 1000;
}}
"""


@pytest.mark.parametrize("seed", [4, 5])
def test_values_computed_under_their_filters_on_both_targets(seed, tmp_path):
    rng = random.Random(seed)
    n = 8
    a = [rng.randint(0, 40) for _ in range(n)]
    d = [rng.choice([0, 0, 3, 4, 7]) for _ in range(n)]
    d[:2], a[:2] = [0, 0], [5, 6]
    bound = []
    for i in range(n):
        if d[i] != 0:
            bound.append(a[i] // d[i] + a[i] % d[i])
        else:
            bound.append(1 if a[i] % 2 else a[i] ** min(i + 1, 2))
    (tmp_path / "g.mod").write_text(GUARDED_MODEL.format(n=n))
    (tmp_path / "g.dat").write_text(f"a = {a};\nd = {d};\n")
    files = str(tmp_path / "g.mod"), str(tmp_path / "g.dat")
    results = korvane.solve(*files)
    tree, data = parse_files(*files)
    gurobi = run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())
    assert results["objective_value"] == pytest.approx(min(sum(bound), 1000))
    assert gurobi["objective_value"] == pytest.approx(min(sum(bound), 1000))


def located(tmp_path, model, data=None):
    (tmp_path / "m.mod").write_text(model)
    if data is not None:
        (tmp_path / "m.dat").write_text(data)
    with pytest.raises(SemanticError) as info:
        parse_files(str(tmp_path / "m.mod"), str(tmp_path / "m.dat") if data is not None else None)
    return info.value


@pytest.mark.parametrize("model, data, message, where", [
    # values computed in a constraint: unguarded, a division by zero is still an error
    ("int d[1..2] = [1, 0];\ndvar float+ x[1..2];\nmaximize sum(i in 1..2) x[i];\nsubject to {\n"
     "  forall(i in 1..2) x[i] <= 10 div d[i];\n}", None, "Division by zero in 'div' at line 5", ("m.mod", 5)),
    # infinity stands alone as a bound, nowhere else
    ("float cap = infinity;\ndvar float x;\nminimize x;\nsubject to {\n  x >= 0;\n  2 * x <= cap;\n}", None,
     "Unsupported use of 'cap', whose value is infinity", ("m.mod", 6)),
    ("float cap = -infinity;\ndvar float x;\nminimize x;\nsubject to {\n  x <= cap;\n}", None,
     "Unsupported use of 'cap', whose value is infinity", ("m.mod", 5)),
    # set functions take a set expression unless it needs an iterator
    ("{int} S = {1, 2};\ndvar float x;\nminimize x;\nsubject to {\n  forall(i in S)\n"
     "    x >= first({j | j in S : j > i});\n}", None,
     "Unsupported set expression in the argument of 'first': it uses the iterator 'i'", ("m.mod", 6)),
    # an array of sets of tuples is checked like a set of tuples
    ("tuple P { int a; int b; }\n{P} Q[1..2] = ...;\nint k = card(Q[1]);", "Q = [{<1 2>},\n {<3>}];",
     "Tuple <3> of 'Q' has 1 field(s) but tuple 'P' declares 2", ("m.dat", 2)),
    # the kinds of values in the .dat file
    ("float p = ...;\nint n = ...;", "n = 2;\np = \"abc\";",
     "Parameter 'p' is declared float but its data holds 'abc', which is a name or string", ("m.dat", 2)),
    ("float p[1..2] = ...;", "p = [1.5,\n  abc];",
     "Parameter 'p' is declared float but its data holds 'abc', which is a name or string", ("m.dat", 2)),
    ("int n = ...;", "\nn = true;", "Parameter 'n' is declared int but its data holds true, which is a boolean",
     ("m.dat", 2)),
    ("string s = ...;", "s = 4;", "Parameter 's' is declared string but its data holds 4, which is a number",
     ("m.dat", 1)),
    ("tuple T { string a; int b; }\n{T} S = ...;", "S = {<x 1>,\n <y>};",
     "Tuple <'y'> of 'S' has 1 field(s) but tuple 'T' declares 2", ("m.dat", 2)),
    ("tuple T { string a; int b; }\n{string} K = ...;\nT t[K] = ...;", "K = {u v};\nt = [<x 1>, <y 2 3>];",
     "Tuple <'y' 2 3> of 't' has 3 field(s) but tuple 'T' declares 2", ("m.dat", 2)),
    ("{int} S = ...;", "S = {1..3,\n 2..4};", "Duplicate element 2 in the set of 'S'", ("m.dat", 2)),
    ("tuple T { string a; {int} b; }\n{T} S = ...;", "S = {<x {1}>,\n <y 2>};",
     "Tuple <'y' 2> of 'S' gives no set for its field 'b'", ("m.dat", 2)),
    ("tuple T { string a; {int} b; }\n{T} S = ...;", "S = {<x {1}>,\n <y>};",
     "Tuple <'y'> of 'S' has 1 field(s) but tuple 'T' declares 2", ("m.dat", 2)),
    ("{int} S = ...;\n{string} T = ...;", "S = {1, 2};\nT = {a, 3};",
     "Set 'T' is declared {string} but its data holds 3, which is a number", ("m.dat", 2)),
    ("{int} Q[1..2] = ...;", "Q = [{1},\n {2, b}];",
     "Set array 'Q' is declared {int} but its data holds 'b', which is a name or string", ("m.dat", 2)),
])
def test_errors_name_the_construct_file_and_line(model, data, message, where, tmp_path):
    error = located(tmp_path, model, data)
    assert error.message.startswith(message), error.message
    assert (error.filename.rsplit("/", 1)[-1], error.lineno) == where


def test_ranges_inside_sets_and_old_style_constraint_names(tmp_path):
    model = ("{int} S = ...;\n{int} T = ...;\nconstraint ct;\nconstraint lim[S];\ndvar float+ x[S];\n"
             "maximize sum(i in S) x[i];\nsubject to {\n  ct = sum(i in S) x[i] <= card(S union T);\n"
             "  forall(i in S) lim[i] = x[i] <= i;\n}\n")
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text("S = {1..3, 7, 10 .. 11};\nT = {-2..0, 1};\n")
    files = str(tmp_path / "m.mod"), str(tmp_path / "m.dat")
    tree, data = parse_files(*files)
    assert data["S"] == [1, 2, 3, 7, 10, 11] and data["T"] == [-2, -1, 0, 1]
    expected = min(1 + 2 + 3 + 7 + 10 + 11, len({1, 2, 3, 7, 10, 11, -2, -1, 0}))
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected)
    script = GurobiCodeGenerator(tree, data).generate_code()
    assert "name='ct'" in script and "'lim'" in script
    assert run_gurobi_script(script)["objective_value"] == pytest.approx(expected)
    assert np.isfinite(expected)


# Sites whose customers are a set-valued field: membership in a filter, card in a filter, and
# iteration in a sum and in a forall, against a brute force over every choice of open sites.
COVER_FIELD_MODEL = """tuple Site {{ string name; {{int}} covers; float cost; }}
{{Site}} Sites = ...;
{{Site}} Big = {{s | s in Sites : card(s.covers) >= 3}};
range Customers = 1..{customers};
float reward[Customers] = ...;
dvar boolean open[Sites];
dvar boolean served[Customers];
maximize sum(c in Customers) reward[c] * served[c] - sum(s in Sites) s.cost * open[s]
  - sum(s in Sites) sum(j in s.covers) 0.25 * open[s];
subject to {{
  forall(c in Customers) served[c] <= sum(s in Sites : c in s.covers) open[s];
  forall(s in Sites, j in s.covers) served[j] >= open[s];
  sum(s in Big) open[s] <= 1;
  forall(s in Sites : card(s.covers) == 0) open[s] == 0;
}}
"""


def random_sites(seed):
    rng = random.Random(seed)
    customers = rng.randint(4, 7)
    sites = []
    for k in range(rng.randint(5, 8)):
        covers = sorted(rng.sample(range(1, customers + 1), rng.randint(0, 4)))
        sites.append((f"s{k}", covers, rng.randint(1, 9) if covers else -1))  # only its card keeps it closed
    reward = [rng.randint(1, 6) for _ in range(customers)]
    return customers, sites, reward


def best_cover(customers, sites, reward):
    best = 0.0
    for chosen in itertools.product([0, 1], repeat=len(sites)):
        opened = [s for s, on in zip(sites, chosen) if on]
        if any(not s[1] for s in opened) or sum(len(s[1]) >= 3 for s in opened) > 1:
            continue
        served = {c for s in opened for c in s[1]}
        value = sum(reward[c - 1] for c in served) - sum(s[2] + 0.25 * len(s[1]) for s in opened)
        best = max(best, value)
    return best


@pytest.mark.parametrize("seed", [4, 5, 6, 7])
def test_set_valued_tuple_fields_against_brute_force_on_both_targets(seed, tmp_path):
    customers, sites, reward = random_sites(seed)
    (tmp_path / "c.mod").write_text(COVER_FIELD_MODEL.format(customers=customers))
    written = ", ".join(f"<{name}, {{{', '.join(map(str, covers))}}}, {cost}>" for name, covers, cost in sites)
    (tmp_path / "c.dat").write_text(f"Sites = {{ {written} }};\nreward = {reward};\n")
    files = str(tmp_path / "c.mod"), str(tmp_path / "c.dat")
    tree, data = parse_files(*files)
    assert data["Sites"] == [[name, cost] for name, _, cost in sites]
    assert data["Big"] == [[name, cost] for name, covers, cost in sites if len(covers) >= 3]
    expected = best_cover(customers, sites, reward)
    assert korvane.solve(*files)["objective_value"] == pytest.approx(expected)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(expected)


TWO_FIELDS_MODEL = """tuple T { {int} a; string n; {string} b; int w; }
{T} S = ...;
{T} Heavy = {t | t in S : t.w > 5};
int na = sum(t in S) card(t.a);
int nb = sum(t in Heavy, x in t.b) 1;
int hits = sum(t in S : 2 in t.a && "q" in t.b) t.w;
dexpr int d = sum(t in S, k in t.a) k;
dvar int x in 0..100;
maximize x + d;
subject to { x <= na + nb + hits; }
"""


@pytest.mark.parametrize("seed", [3, 4])
def test_two_set_valued_fields_in_one_tuple_against_python(seed, tmp_path):
    rng = random.Random(seed)
    rows = [(sorted(rng.sample(range(1, 5), rng.randint(0, 3))), f"n{k}", sorted(rng.sample("pqr", rng.randint(0, 3))),
             rng.randint(1, 9)) for k in range(6)]
    (tmp_path / "t.mod").write_text(TWO_FIELDS_MODEL)
    written = " ".join(f"<{{{' '.join(map(str, a))}}} {n} {{{' '.join(b)}}} {w}>" for a, n, b, w in rows)
    (tmp_path / "t.dat").write_text(f"S = {{{written}}};\n")
    files = str(tmp_path / "t.mod"), str(tmp_path / "t.dat")
    tree, data = parse_files(*files)
    expected = {"na": sum(len(a) for a, _, _, _ in rows), "nb": sum(len(b) for _, _, b, w in rows if w > 5),
                "hits": sum(w for a, _, b, w in rows if 2 in a and "q" in b)}
    assert {name: data[name] for name in expected} == expected
    optimum = min(100, sum(expected.values())) + sum(sum(a) for a, _, _, _ in rows)
    assert korvane.solve(*files)["objective_value"] == pytest.approx(optimum)
    assert run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())["objective_value"] == pytest.approx(optimum)

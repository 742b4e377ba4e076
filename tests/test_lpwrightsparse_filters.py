"""Filters that select a loop's elements by equality (`a.p == p`, `i == k`) against the same
filters written so that every element is tested in turn: matrices, bounds, names and errors must
come out identical, whichever shape the filter has."""
import random

import pytest

from korvane.faultlore import SemanticError
from scipy_support import built, solved

HEADER = """
    tuple Arc { string p; string m; int n; }
    {string} Plants = ...;
    {string} Markets = ...;
    {Arc} Arcs = ...;
    range R = 1..6;
    float cost[Arcs] = ...;
    float supply[Plants] = ...;
    dvar float+ ship[Arcs];
    dvar float+ y[R][R];
    dvar boolean b[Plants];
"""


def random_data(seed):
    rng = random.Random(seed)
    plants = [f"P{i}" for i in range(5)]
    markets = [f"M{i}" for i in range(4)]
    arcs = sorted({(rng.choice(plants), rng.choice(markets), rng.randint(1, 3)) for _ in range(14)})
    return (f"Plants = {{{', '.join(map(repr, plants))}}};\n".replace("'", '"')
            + f"Markets = {{{', '.join(map(repr, markets))}}};\n".replace("'", '"')
            + "Arcs = {" + ", ".join(f'<"{p}", "{m}", {n}>' for p, m, n in arcs) + "};\n"
            + "cost = [" + ", ".join(str(rng.randint(1, 9)) for _ in arcs) + "];\n"
            + "supply = [" + ", ".join(str(rng.randint(5, 20)) for _ in plants) + "];\n")


# (filtered by equality, the same filter with every equality written as a negated inequality)
BODIES = [
    ("forall(p in Plants) sum(a in Arcs : a.p == p) ship[a] <= supply[p];",
     "forall(p in Plants) sum(a in Arcs : !(a.p != p)) ship[a] <= supply[p];"),
    ("forall(p in Plants) sum(a in Arcs : p == a.p && a.n >= 2) ship[a] <= supply[p];",
     "forall(p in Plants) sum(a in Arcs : !(p != a.p) && a.n >= 2) ship[a] <= supply[p];"),
    ("forall(p in Plants, m in Markets) sum(a in Arcs : a.p == p && a.m == m && cost[a] > 3) ship[a] <= 4;",
     "forall(p in Plants, m in Markets) sum(a in Arcs : !(a.p != p) && !(a.m != m) && cost[a] > 3) ship[a] <= 4;"),
    ("forall(p in Plants, m in Markets : p != \"P0\" && m == \"M1\") sum(a in Arcs : a.m == m && a.p == p) ship[a] >= 1;",
     "forall(p in Plants, m in Markets : p != \"P0\" && !(m != \"M1\")) sum(a in Arcs : !(a.m != m) && !(a.p != p)) ship[a] >= 1;"),
    ("forall(a in Arcs, p in Plants : a.p == p) ship[a] <= supply[p] * b[p];",
     "forall(a in Arcs, p in Plants : !(a.p != p)) ship[a] <= supply[p] * b[p];"),
    ("forall(i in R, k in R : i == k) y[i][k] <= i; forall(i in R) sum(j in R : j == i + 1 && j == 7 - i) y[i][j] >= 1;",
     "forall(i in R, k in R : !(i != k)) y[i][k] <= i; forall(i in R) sum(j in R : !(j != i + 1) && !(j != 7 - i)) y[i][j] >= 1;"),
    ("forall(i in R) sum(a in Arcs : a.n == i / 2 && (a.m == \"M0\" || a.m == \"M2\")) ship[a] == i;",
     "forall(i in R) sum(a in Arcs : !(a.n != i / 2) && (a.m == \"M0\" || a.m == \"M2\")) ship[a] == i;"),
    ("forall(p in Plants) sum(a in Arcs : cost[a] >= 2 && a.p == p) ship[a] <= supply[p];",
     "forall(p in Plants) sum(a in Arcs : cost[a] >= 2 && !(a.p != p)) ship[a] <= supply[p];"),
]


def matrices(gen):
    return (gen.var_names, list(gen.c), [list(side) for side in gen.bounds], list(gen.integrality),
            *[(list(m["data"]), list(m["indices"]), list(m["indptr"]), m["shape"]) for m in (gen.A_ub, gen.A_eq)],
            list(gen.b_ub), list(gen.b_eq))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("keyed, scanned", BODIES)
def test_selection_by_equality_builds_what_a_scan_builds(keyed, scanned, seed):
    data = random_data(seed)
    objective = "minimize sum(a in Arcs) cost[a] * ship[a] + sum(i in R, j in R) y[i][j];"
    fast = built(HEADER + objective + "subject to {" + keyed + "}", data)
    slow = built(HEADER + objective + "subject to {" + scanned + "}", data)
    assert matrices(fast) == matrices(slow)
    # The objective's own sums over filtered loops give the same constants.
    sums = ("minimize sum(p in Plants) sum(a in Arcs : a.p == p) cost[a] * ship[a]"
            " + sum(p in Plants, a in Arcs : a.p == p) cost[a];")
    assert built(HEADER + sums + "subject to {}", data).objective_constant == pytest.approx(
        built(HEADER + sums.replace("a.p == p", "!(a.p != p)") + "subject to {}", data).objective_constant)


def test_transport_over_arcs_solves_to_its_optimum():
    # Two plants, three markets; the cheapest arcs that meet each demand within each supply cost
    # 2*10 + 3*5 + 1*8 + 4*2 = 51.
    results = solved(HEADER.replace("float supply[Plants] = ...;", "float supply[Plants] = ...; float demand[Markets] = ...;")
                     + """
        minimize sum(a in Arcs) cost[a] * ship[a];
        subject to {
          forall(p in Plants) sum(a in Arcs : a.p == p) ship[a] <= supply[p];
          forall(m in Markets) sum(a in Arcs : a.m == m) ship[a] >= demand[m];
        }""", """
        Plants = {"A", "B"}; Markets = {"X", "Y", "Z"};
        Arcs = {<"A", "X", 1>, <"A", "Y", 1>, <"B", "X", 1>, <"B", "Y", 1>, <"B", "Z", 1>};
        cost = [2, 3, 5, 4, 1];
        supply = [15, 20];
        demand = [10, 7, 8];
    """)
    assert results["status"] == "OPTIMAL"
    assert results["objective_value"] == pytest.approx(2 * 10 + 3 * 5 + 4 * 2 + 1 * 8)


@pytest.mark.parametrize("keyed, scanned", [
    ("forall(p in Plants) sum(a in Arcs : a.p == p && cost[<\"none\", \"M0\", 1>] > 0) ship[a] <= 1;",
     "forall(p in Plants) sum(a in Arcs : !(a.p != p) && cost[<\"none\", \"M0\", 1>] > 0) ship[a] <= 1;"),
    ("forall(p in Plants) sum(a in Arcs : supply[a.m] > 0 && a.p == p) ship[a] <= 1;",
     "forall(p in Plants) sum(a in Arcs : supply[a.m] > 0 && !(a.p != p)) ship[a] <= 1;"),
    ("forall(p in Plants) sum(a in Arcs : a.p == p && a.n == cost[<p, \"M9\", 1>]) ship[a] <= 1;",
     "forall(p in Plants) sum(a in Arcs : !(a.p != p) && !(a.n != cost[<p, \"M9\", 1>])) ship[a] <= 1;"),
    ("forall(i in R) sum(j in R : j == i && supply[j] >= 1) y[i][j] <= 1;",
     "forall(i in R) sum(j in R : !(j != i) && supply[j] >= 1) y[i][j] <= 1;"),
])
def test_errors_are_those_of_the_scan(keyed, scanned):
    messages = []
    for body in (keyed, scanned):
        with pytest.raises(SemanticError) as caught:
            built(HEADER + "minimize 0; subject to {" + body + "}", random_data(0))
        messages.append(str(caught.value))
    assert messages[0] == messages[1]


@pytest.mark.parametrize("body, message", [
    ("forall(m in Markets) b[m] <= 1;", "variable 'b' has no element ['M0']"),
    ("forall(m in Markets) sum(p in Plants) b[p] >= supply[m];", "Parameter 'supply' not found for index ['M0']"),
    ("forall(a in Arcs) ship[a] <= supply[a.m];", "Parameter 'supply' not found for index ['M"),
])
def test_subscripts_outside_their_set_are_reported(body, message):
    # An element of another set has no position in the subscripted one, whether the subscript
    # is an iterator over that other set or a value computed from one.
    with pytest.raises(SemanticError, match=message.replace("[", r"\[").replace("]", r"\]")):
        built(HEADER + "minimize 0; subject to {" + body + "}", random_data(1))

"""Linear terms that the CSC generator plans once (direct columns and coefficients) against the
general walk of the expression tree: random models of many shapes are built both ways, and every
result -- matrices, bounds, costs, names, row origins -- or the error raised must be identical."""
import array
import random

import pytest

from korvane.faultlore import SemanticError
from scipy_support import generator

DECLARATIONS = """
int n = ...;
int m0 = ...;
int m1 = ...;
range I = 1..n;
range J = m0..m1;
{string} S = ...;
tuple T { string s; int k; }
{T} Tups = ...;
float p[I] = ...;
float d[I] = ...;
float q[I][J] = ...;
float r[S] = ...;
float w[Tups] = ...;
dvar float x[I][J] in -5..5;
dvar float+ y[I];
dvar float z[S] in -3..4;
dvar float u[Tups] in 0..9;
dvar boolean b[J];
"""


def number(rng):
    return rng.choice([0, 0, 1, -1, 2, 0.5, -2.25, 3, 1e-3, 7])


def random_data(rng):
    n, m0 = rng.randint(1, 4), rng.choice([0, 1, 2])
    m1 = m0 + rng.choice([0, 1, 3, 9, 17, 24])  # sums of 16 terms and more run as affine loops
    strings = ["a", "b", "c", "d"][: rng.randint(1, 4)]
    tups = sorted({(rng.choice(strings), rng.randint(1, 3)) for _ in range(rng.randint(1, 5))})
    cols = m1 - m0 + 1
    return "\n".join([
        f"n = {n}; m0 = {m0}; m1 = {m1};",
        "S = {" + ", ".join(f'"{s}"' for s in strings) + "};",
        "Tups = {" + ", ".join(f'<"{s}", {k}>' for s, k in tups) + "};",
        "p = [" + ", ".join(str(number(rng)) for _ in range(n)) + "];",
        "d = [" + ", ".join(str(number(rng) or 4) for _ in range(n)) + "];",
        "q = [" + ", ".join("[" + ", ".join(str(number(rng)) for _ in range(cols)) + "]" for _ in range(n)) + "];",
        "r = [" + ", ".join(str(number(rng)) for _ in strings) + "];",
        "w = [" + ", ".join(str(number(rng)) for _ in tups) + "];",
    ])


# Terms over the iterators i (in I) and j (in J): some repeat a column, some need the general
# walk (conditions, abs, coefficients that are not products of table entries); the risky ones
# shift a subscript out of its range or divide by zero.
IJ_TERMS = [
    "x[i][j]", "q[i][j] * x[i][j]", "p[i] * q[i][j] * x[i][j]", "x[i][j] * p[i]", "-x[i][j]",
    "2.5 * x[i][j]", "x[i][j] / d[i]", "x[i][j] - 2 * x[i][j]", "x[i][j] + x[i][j]", "x[i][m0]",
    "x[1][j]", "(p[i] + 1) * x[i][j]", "(q[i][j] > 0 ? x[i][j] : y[i])", "q[i][j]", "p[i] * 3",
    "b[j]", "q[i][j] * b[j]", "abs(p[i]) * y[i]", "y[i] - y[i] + x[i][j]", "-(p[i] * (x[i][j] - y[i]))",
    "x[i][j] / 2 + 1", "q[i][j] * p[i] * 0.5 * x[i][j] * d[i]",
]
RISKY_TERMS = ["x[i][j + 1]", "x[i + 1][j]", "x[i][j] / p[i]", "x[i][j] * 0", "x[i][j - 1]"]
SUMS = [
    "sum(j in J) ({t})", "sum(j in J : j != m0) ({t})", "sum(j in J : q[i][j] > 0) ({t})",
    "sum(j in m0..m1) ({t})", "sum(j in J) ({t} + y[i])", "sum(j in J) sum(k in J) ({t} + x[i][k])",
    "sum(j in J : j < m1) (x[i][j + 1] - {t})", "sum(j in m0 + 1..m1) (x[i][j - 1] + {t})",
    "sum(j in J : i + 1 <= n) (x[1 + i][j] * q[i][j] + {t})",
]
S_TERMS = ["sum(s in S) r[s] * z[s]", "sum(s in S) z[s]", "z[\"a\"]", "sum(s in S : r[s] != 0) z[s] / r[s]",
           "sum(t in Tups) w[t] * u[t]", "sum(t in Tups : t.k >= 2) u[t]", "sum(t in Tups) (u[t] + t.k)",
           "sum(s in S, t in Tups : t.s == s) r[s] * u[t]"]


def random_model(rng):
    def ij_term():
        return rng.choice(RISKY_TERMS if rng.random() < 0.04 else IJ_TERMS)

    def row_side():
        return " + ".join(rng.choice(SUMS).format(t=ij_term()) for _ in range(rng.randint(1, 2)))

    whole = rng.choice(["sum(i in I, j in J) ({t})", "sum(j in J, i in I) ({t})", "sum(i in I) sum(j in J) ({t})"])
    objective = (f"{rng.choice(['minimize', 'maximize'])} "
                 f"sum(i in I) ({row_side()}) + {rng.choice(S_TERMS)} + {whole.format(t=ij_term())};")
    constraints = []
    for c in range(rng.randint(1, 4)):
        shape = rng.randrange(5)
        op = rng.choice(["<=", ">=", "=="])
        if shape == 0:
            constraints.append(f"forall(i in I) c{c}: {row_side()} {op} p[i] + 10;")
        elif shape == 1:
            constraints.append(f"forall(i in I, j in J) c{c}: {ij_term()} {op} y[i] + q[i][j];")
        elif shape == 2:
            constraints.append(f"forall(i in I, j in J : q[i][j] != 0) {ij_term()} {op} {rng.randint(-3, 3)};")
        elif shape == 3:
            constraints.append(f"forall(s in S) c{c}: {rng.choice(S_TERMS)} + sum(i in I) y[i] {op} r[s] + 5;")
        else:
            constraints.append(f"c{c}: sum(i in I) ({row_side()}) + {whole.format(t=ij_term())} {op} 4;")
    return DECLARATIONS + objective + "\nsubject to {\n" + "\n".join(constraints) + "\n}\n"


RESULTS = ("var_names", "var_indices", "bounds", "c", "integrality", "A_ub", "b_ub", "A_eq", "b_eq",
           "objective_sense", "objective_constant", "model_var_count", "tuple_types", "row_origins")


def plain(value):
    """Every result as nested lists and reprs, so that 0.0 and -0.0 differ and arrays compare exactly."""
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, array.array)):
        return [plain(item) for item in value]
    return repr(value)


def outcome(model, data):
    try:
        gen = generator(model, data)
        gen.build_matrices()
    except SemanticError as error:
        return ("error", str(error), error.lineno)
    return plain({name: getattr(gen, name) for name in RESULTS})


def test_planned_terms_build_exactly_what_the_general_walk_builds(monkeypatch):
    rng = random.Random(20)
    errors = 0
    for _ in range(1000):
        model, data = random_model(rng), random_data(rng)
        monkeypatch.delenv("KORVANE_GENERAL_TERMS", raising=False)
        planned = outcome(model, data)
        monkeypatch.setenv("KORVANE_GENERAL_TERMS", "1")
        general = outcome(model, data)
        assert planned == general, model + data
        errors += isinstance(planned, tuple)
    # Both kinds of outcome were exercised: built models and errors (out-of-range subscripts,
    # divisions by zero).
    assert 50 <= errors <= 400

"""Helpers for the SciPy target's tests: build a generator from model and data text, read its
matrices densely, and run its script the way korvane.solve does."""
import contextlib
import io

import numpy as np
import scipy.sparse as sp

from korvane.lpwrightsparse import SciPyCSCCodeGenerator
from korvane.oplparse import parse_data, parse_model


def generator(model, data=""):
    return SciPyCSCCodeGenerator(parse_model(model), parse_data(data))


def built(model, data=""):
    gen = generator(model, data)
    gen.build_matrices()
    return gen


def csc(matrix):
    return sp.csc_matrix((np.asarray(matrix["data"]), np.asarray(matrix["indices"]), np.asarray(matrix["indptr"])),
                         shape=matrix["shape"])


def rows(gen, which="ub"):
    """The rows of A_ub (or A_eq) as {column name: coefficient} dicts paired with their bounds."""
    matrix = csc(gen.A_ub if which == "ub" else gen.A_eq).tocsr()
    rhs = gen.b_ub if which == "ub" else gen.b_eq
    out = []
    for r in range(matrix.shape[0]):
        start, end = matrix.indptr[r], matrix.indptr[r + 1]
        terms = {gen.var_names[j]: v for j, v in zip(matrix.indices[start:end], matrix.data[start:end])}
        out.append((terms, rhs[r]))
    return out


def bounds(gen, name):
    j = gen.var_indices[name]
    return gen.bounds[0][j], gen.bounds[1][j]


def run_script(text):
    code = compile(text, "<scipy script>", "exec")
    namespace = {"results_container": {}}
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exec(code, namespace)
    results = namespace["results_container"]["scipy_output"]
    results["_stdout"] = out.getvalue()
    return results


def solved(model, data=""):
    return run_script(generator(model, data).generate_code())

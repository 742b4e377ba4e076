"""Solving a model end to end: parse the .mod/.dat pair, compile it for a target, run the script.

The default target is SciPy (HiGHS through scipy.optimize), which needs nothing beyond NumPy and
SciPy; the Gurobi target needs the gurobipy package on the machine that runs the script.
"""
import importlib.util
import math

from .oplparse import parse_files

# solver name -> (target, key under which the script leaves its results)
_SOLVERS = {
    "scipy": ("scipy", "scipy_output"),
    "highs": ("scipy", "scipy_output"),
    "gurobi": ("gurobi", "gurobi_output"),
}


def compile_model(tree, data, solver="scipy"):
    """The script text for a model tree and its data on the target of `solver`."""
    target, _ = _target(solver)
    if target == "gurobi":
        from .mipwright import GurobiCodeGenerator

        return GurobiCodeGenerator(tree, data).generate_code()
    from .lpwright import SciPyCodeGenerator

    return SciPyCodeGenerator(tree, data).generate_code()


def solve(model_file, data_file=None, solver="scipy"):
    """Parse, compile and solve a model; return its results as a JSON-serialisable dictionary
    with `status` and, when optimal, `solution` (variable name to value), `objective_value` and
    `stats`."""
    _require_solver(solver)
    tree, data = parse_files(model_file, data_file)
    return solve_parsed(tree, data, solver, name=model_file)


def solve_parsed(tree, data, solver="scipy", name="model"):
    """solve() for a model tree and data dictionary already in hand."""
    target, key = _require_solver(solver)
    script = compile_model(tree, data, target)
    container = {}
    code = compile(script, f"<korvane {target} script for {name}>", "exec")
    exec(code, {"__name__": "__korvane_script__", "results_container": container})
    return _plain(container[key])


def _require_solver(solver):
    target, key = _target(solver)
    if target == "gurobi" and importlib.util.find_spec("gurobipy") is None:
        raise RuntimeError("the 'gurobi' solver needs the gurobipy package, which is not installed; "
                           "install gurobipy or use solver='scipy' (HiGHS, included with SciPy)")
    return target, key


def _target(solver):
    try:
        return _SOLVERS[solver]
    except (KeyError, TypeError):
        raise ValueError(f"Unknown solver: {solver!r} (use 'scipy', 'highs' or 'gurobi')") from None


def _plain(value):
    """Python numbers, strings, lists and dicts only: NumPy scalars become Python numbers and a
    number that is not finite becomes None, so json.dumps writes strict JSON."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, int):
        return int(value)
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    return number if math.isfinite(number) else None

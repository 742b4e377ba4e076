"""korvane._velmoraserve for the tests, imported against the FastMCP stand-in, and a `solve` that
runs a generated pair for real: parsed, compiled to a gurobipy script and solved by the gurobipy
stand-in with HiGHS.

The package's own `korvane.solve` (module korvane.solving, the SciPy target) is built in
parallel; while it is absent, a placeholder module lets the server import, and tests hand the
server the `solve` below by replacing its module attribute.
"""
import importlib
import importlib.util
import sys
import types

from script_runner import run_gurobi_script

from korvane.mipwright import GurobiCodeGenerator
from korvane.oplparse import parse_files


def _placeholder_solve(model_file, data_file, solver="scipy"):
    raise RuntimeError("korvane.solve is not built in this tree")


if importlib.util.find_spec("korvane.solving") is None:
    placeholder = types.ModuleType("korvane.solving")
    placeholder.solve = _placeholder_solve
    sys.modules["korvane.solving"] = placeholder

server = importlib.import_module("korvane._velmoraserve")


def solve_with_highs(model_file, data_file, solver="scipy"):
    """Compiles the pair to a gurobipy script and solves it on the stand-in (HiGHS underneath)."""
    tree, data = parse_files(model_file, data_file)
    return run_gurobi_script(GurobiCodeGenerator(tree, data).generate_code())

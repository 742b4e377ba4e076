"""A gurobipy stand-in for korvane's tests.

It records the model that a generated script builds and solves it with HiGHS through
scipy.optimize.milp, so tests can check the optima of real models. It follows gurobipy's documented
behaviour for the calls korvane's scripts make. Where the stand-in cannot know what gurobipy would
do, it raises NotImplementedError instead of guessing; errors that gurobipy itself raises keep
their gurobipy types (GurobiError, AttributeError, TypeError). Product code never imports it.
"""
from ._base import GRB, GurobiError
from ._expr import LinExpr, TempConstr, Var, quicksum
from ._model import Constr, GenConstr, Model, tupledict

__all__ = ["GRB", "Constr", "GenConstr", "GurobiError", "LinExpr", "Model", "TempConstr", "Var",
           "quicksum", "tupledict"]

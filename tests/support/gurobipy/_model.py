"""The model: what a script adds to it, and the results of its last solve."""
import itertools
import math
from collections.abc import Mapping

from ._base import GRB, Attributes, GurobiError, checked_name, is_number, number, unavailable
from ._expr import LinExpr, TempConstr, Var, finite_coefficients
from ._solve import solve

# lower-case name -> (name, type, lowest, highest), as gurobipy checks a new value. MIPGapAbs and
# Threads are only recorded: SciPy's HiGHS takes neither, and a solve to the relative gap stops no
# earlier than an absolute gap would let it.
_PARAMETERS = {"dualreductions": ("DualReductions", int, 0, 1), "outputflag": ("OutputFlag", int, 0, 1),
               "timelimit": ("TimeLimit", float, 0.0, math.inf), "mipgap": ("MIPGap", float, 0.0, math.inf),
               "mipgapabs": ("MIPGapAbs", float, 0.0, math.inf), "threads": ("Threads", int, 0, 1024)}
_SENSES = (GRB.LESS_EQUAL, GRB.GREATER_EQUAL, GRB.EQUAL)


class tupledict(dict):
    """The mapping addVars returns: index key to variable, in creation order."""


def _is_key_component(value):
    return isinstance(value, (int, float, str)) and not isinstance(value, bool)


def _index_elements(index):
    if isinstance(index, int) and not isinstance(index, bool):
        return range(index)
    if isinstance(index, (str, bytes, Mapping)):
        raise NotImplementedError(f"the gurobipy stand-in does not take a {type(index).__name__} "
                                  "as an index argument of addVars")
    try:
        return list(index)
    except TypeError:
        raise TypeError(f"an index argument of addVars must be an int or an iterable, "
                        f"not {type(index).__name__}") from None


def _single_key(element):
    """A key from the one index argument: a scalar, or a tuple of two or more scalars."""
    if _is_key_component(element):
        return element
    if isinstance(element, tuple) and len(element) >= 2 and all(map(_is_key_component, element)):
        return element
    raise NotImplementedError(f"the gurobipy stand-in does not know how gurobipy keys {element!r}")


def _flat_key(combination):
    """A key from several index arguments: their elements, tuples flattened into components."""
    key = []
    for element in combination:
        if _is_key_component(element):
            key.append(element)
        elif isinstance(element, tuple) and element and all(map(_is_key_component, element)):
            key.extend(element)
        else:
            raise NotImplementedError(f"the gurobipy stand-in does not know how gurobipy keys {element!r}")
    return tuple(key)


def index_keys(indices):
    if not indices:
        raise TypeError("addVars needs at least one index argument")
    elements = [_index_elements(index) for index in indices]
    if len(elements) == 1:
        keys = [_single_key(element) for element in elements[0]]
    else:
        keys = [_flat_key(combination) for combination in itertools.product(*elements)]
    if len(set(keys)) != len(keys):
        raise NotImplementedError("the gurobipy stand-in does not know what addVars does with repeated keys")
    return keys


def subscripted(name, key):
    components = key if isinstance(key, tuple) else (key,)
    return f"{name}[{','.join(str(component) for component in components)}]"


class Constr(Attributes):
    """A linear constraint: expression, sense and right-hand side as the model stores them."""

    __slots__ = ("_model", "_index", "_expr", "_sense", "_rhs", "_name")

    def __init__(self, model, index, expr, sense, rhs, name):
        self._model = model
        self._index = index
        self._expr = expr
        self._sense = sense
        self._rhs = rhs
        self._name = name

    def _updated(self, value):
        self._model._require_updated(self)
        return value

    _attributes = {
        "constrname": lambda c: c._updated(c._name or f"R{c._index}"),
        "sense": lambda c: c._updated(c._sense),
        "rhs": lambda c: c._updated(c._rhs),
    }

    def __repr__(self):
        return f"<gurobi.Constr {self._name or f'R{self._index}'}>"


class GenConstr(Attributes):
    """A general constraint: an indicator (binvar == binval forces expr sense rhs), or
    resvar = the max or min of args and constant, or resvar = |args[0]|, or resvar = f(args[0])
    for the piecewise-linear f through the points (xpts[i], ypts[i])."""

    __slots__ = ("_model", "_index", "_kind", "_binvar", "_binval", "_expr", "_sense", "_rhs", "_name",
                 "_resvar", "_args", "_constant", "_points")

    def __init__(self, model, index, name, kind="indicator", binvar=None, binval=None, row=(None, None, None),
                 resvar=None, args=(), constant=None, points=()):
        self._model = model
        self._index = index
        self._kind = kind
        self._binvar = binvar
        self._binval = binval
        self._expr, self._sense, self._rhs = row
        self._name = name
        self._resvar = resvar
        self._args = tuple(args)
        self._constant = constant
        self._points = tuple(points)

    def _label(self):
        return repr(self._name) if self._name else f"#{self._index}"

    def _updated_name(self):
        self._model._require_updated(self)
        if not self._name:
            raise NotImplementedError("the gurobipy stand-in does not know the default name of a general constraint")
        return self._name

    _attributes = {"genconstrname": _updated_name}

    def __repr__(self):
        return f"<gurobi.GenConstr {self._label()}>"


class Model(Attributes):
    """Records variables, constraints, indicators and the objective; optimize() solves them."""

    __slots__ = ("_name", "_vars", "_constrs", "_genconstrs", "_objective", "_sense", "_params",
                 "_updated_counts", "_outcome")

    def __init__(self, name="", env=None):
        if env is not None:
            raise NotImplementedError("the gurobipy stand-in has no environments")
        self._name = checked_name(name)
        self._vars = []
        self._constrs = []
        self._genconstrs = []
        self._objective = LinExpr()
        self._sense = GRB.MINIMIZE
        self._params = {"DualReductions": 1, "OutputFlag": 1, "TimeLimit": math.inf, "MIPGap": 0.0, "MIPGapAbs": 1e-10,
                        "Threads": 0}
        self._updated_counts = {Var: 0, Constr: 0, GenConstr: 0}
        self._outcome = None

    # Building

    def _modified(self):
        """Any change to the model discards the results of the last solve."""
        self._outcome = None

    def _owned(self, var, where):
        if not isinstance(var, Var):
            raise TypeError(f"{where}: expected a variable, not {type(var).__name__}")
        if var._model is not self:
            raise GurobiError(f"{where}: variable '{var._label()}' does not belong to this model")
        return var

    def _owned_expr(self, expr, where):
        for var in expr._terms:
            self._owned(var, where)
        finite_coefficients(expr, where)
        return expr

    def addVar(self, lb=0.0, ub=GRB.INFINITY, obj=0.0, vtype=GRB.CONTINUOUS, name="", column=None):
        if column is not None:
            raise NotImplementedError("the gurobipy stand-in does not take columns")
        if vtype in (GRB.SEMICONT, GRB.SEMIINT):
            raise NotImplementedError("the gurobipy stand-in has no semi-continuous variables")
        if vtype not in (GRB.CONTINUOUS, GRB.BINARY, GRB.INTEGER):
            raise GurobiError(f"Invalid variable type {vtype!r}")
        var = Var(self, len(self._vars), number(lb, "lb"), number(ub, "ub"), vtype, checked_name(name))
        objective = number(obj, "obj")
        self._modified()
        self._vars.append(var)
        if objective:
            self._objective._accumulate(var, objective)
        return var

    def addVars(self, *indices, lb=0.0, ub=GRB.INFINITY, obj=0.0, vtype=GRB.CONTINUOUS, name=""):
        checked_name(name)
        variables = tupledict()
        for key in index_keys(indices):
            var_name = subscripted(name, key) if name else ""
            variables[key] = self.addVar(lb=lb, ub=ub, obj=obj, vtype=vtype, name=var_name)
        return variables

    def addConstr(self, constr, name=""):
        if not isinstance(constr, TempConstr):
            raise TypeError(f"addConstr takes a constraint made with <=, >= or ==, not {type(constr).__name__}")
        expr, sense, rhs = constr._row()
        self._owned_expr(expr, f"constraint {name!r}")
        self._modified()
        added = Constr(self, len(self._constrs), expr, sense, rhs, checked_name(name))
        self._constrs.append(added)
        return added

    def addGenConstrIndicator(self, binvar, binval, lhs, sense=None, rhs=None, name=""):
        where = f"indicator constraint {name!r}"
        self._owned(binvar, where)
        if binvar._vtype != GRB.BINARY:
            raise GurobiError(f"{where}: indicator variable '{binvar._label()}' is not binary")
        if isinstance(binval, bool) or binval in (0, 1):
            binval = int(binval)
        else:
            raise GurobiError(f"{where}: indicator value must be 0 or 1, not {binval!r}")
        row = self._indicator_row(lhs, sense, rhs, where)
        self._owned_expr(row[0], where)
        self._modified()
        added = GenConstr(self, len(self._genconstrs), checked_name(name), binvar=binvar, binval=binval, row=row)
        self._genconstrs.append(added)
        return added

    def _add_function(self, kind, resvar, args, constant, name):
        where = f"{kind} constraint {name!r}"
        self._owned(resvar, where)
        for var in args:
            self._owned(var, where)
        if constant is not None:
            constant = number(constant, "constant")
        self._modified()
        added = GenConstr(self, len(self._genconstrs), checked_name(name), kind=kind, resvar=resvar, args=args,
                          constant=constant)
        self._genconstrs.append(added)
        return added

    def addGenConstrMax(self, resvar, vars, constant=None, name=""):  # noqa: A002 (gurobipy's own name)
        """resvar = max(vars..., constant)."""
        return self._add_function("max", resvar, list(vars), constant, name)

    def addGenConstrMin(self, resvar, vars, constant=None, name=""):  # noqa: A002 (gurobipy's own name)
        """resvar = min(vars..., constant)."""
        return self._add_function("min", resvar, list(vars), constant, name)

    def addGenConstrAbs(self, resvar, argvar, name=""):
        """resvar = |argvar|."""
        return self._add_function("abs", resvar, [argvar], None, name)

    def addGenConstrPWL(self, xvar, yvar, xpts, ypts, name=""):
        """yvar = f(xvar) for the piecewise-linear f through the points (xpts[i], ypts[i]); the
        first two and the last two points define rays, so f goes on beyond them."""
        where = f"piecewise-linear constraint {name!r}"
        self._owned(xvar, where)
        self._owned(yvar, where)
        xpts = [number(x, "xpts") for x in xpts]
        ypts = [number(y, "ypts") for y in ypts]
        if len(xpts) != len(ypts) or not xpts:
            raise GurobiError(f"{where}: xpts and ypts must be non-empty lists of the same length")
        if any(later < earlier for earlier, later in zip(xpts, xpts[1:])):
            raise GurobiError(f"{where}: xpts must be in non-decreasing order")
        if any(later == earlier for earlier, later in zip(xpts, xpts[1:])):
            raise NotImplementedError(f"{where}: the gurobipy stand-in does not model jumps (repeated x values)")
        self._modified()
        added = GenConstr(self, len(self._genconstrs), checked_name(name), kind="pwl", resvar=yvar, args=[xvar],
                          points=list(zip(xpts, ypts)))
        self._genconstrs.append(added)
        return added

    @staticmethod
    def _indicator_row(lhs, sense, rhs, where):
        if isinstance(lhs, TempConstr):
            if sense is not None or rhs is not None:
                raise NotImplementedError(f"{where}: the gurobipy stand-in does not take sense or rhs "
                                          "together with a constraint")
            return lhs._row()
        if sense not in _SENSES:
            raise GurobiError(f"{where}: sense must be one of {_SENSES}, not {sense!r}")
        return TempConstr(LinExpr(lhs) - number(rhs, "rhs"), sense)._row()

    def setObjective(self, expr, sense=None):
        if isinstance(expr, TempConstr):
            raise GurobiError("the objective must be an expression, not a constraint")
        objective = self._owned_expr(LinExpr(expr), "objective")
        if sense is not None and sense not in (GRB.MINIMIZE, GRB.MAXIMIZE):
            raise GurobiError(f"Invalid objective sense {sense!r}")
        self._modified()
        self._objective = objective
        if sense is not None:
            self._sense = sense

    def setParam(self, paramname, newval):
        known = _PARAMETERS.get(paramname.lower()) if isinstance(paramname, str) else None
        if known is None:
            raise NotImplementedError(f"the gurobipy stand-in does not implement the parameter {paramname!r}")
        canonical, kind, low, high = known
        integral = kind is float or (is_number(newval) and newval == int(newval))
        if not (is_number(newval) and integral and low <= newval <= high):
            raise GurobiError(f"Unable to set parameter {canonical} to value {newval!r} "
                              f"(allowed: {kind.__name__} {low} to {high})")
        self._params[canonical] = kind(newval)

    def update(self):
        self._updated_counts = {Var: len(self._vars), Constr: len(self._constrs),
                                GenConstr: len(self._genconstrs)}

    def optimize(self, callback=None):
        if callback is not None:
            raise NotImplementedError("the gurobipy stand-in does not take callbacks")
        self.update()
        self._outcome = solve(self._vars, self._constrs, self._genconstrs, self._objective,
                              self._sense, presolve=self._params["DualReductions"] == 1,
                              time_limit=self._params["TimeLimit"], mip_gap=self._params["MIPGap"])

    # Queries

    def _require_updated(self, item):
        if item._index >= self._updated_counts[type(item)]:
            raise GurobiError(f"{item!r} is awaiting a model update; call model.update() first")

    def _all_updated(self, items):
        if items and self._updated_counts[type(items[0])] < len(items):
            raise NotImplementedError("the gurobipy stand-in does not list items awaiting a model update; "
                                      "call model.update() first")
        return list(items)

    def getVars(self):
        return self._all_updated(self._vars)

    def getConstrs(self):
        return self._all_updated(self._constrs)

    def getGenConstrs(self):
        return self._all_updated(self._genconstrs)

    def getVarByName(self, name):
        return self._one_named("VarName", self.getVars(), name)

    def getConstrByName(self, name):
        return self._one_named("ConstrName", self.getConstrs(), name)

    @staticmethod
    def _one_named(attribute, items, name):
        matches = [item for item in items if getattr(item, attribute) == name]
        if len(matches) > 1:
            raise NotImplementedError(f"the gurobipy stand-in does not choose among several items named {name!r}")
        return matches[0] if matches else None

    def getRow(self, constr):
        self._require_updated(constr)
        return LinExpr(constr._expr)

    def getGenConstrIndicator(self, genconstr):
        self._require_updated(genconstr)
        if genconstr._kind != "indicator":
            raise GurobiError(f"{genconstr!r} is not an indicator constraint")
        return genconstr._binvar, genconstr._binval, LinExpr(genconstr._expr), genconstr._sense, genconstr._rhs

    def _solution(self):
        return self._outcome.values if self._outcome else None

    def _is_mip(self):
        return bool(self._genconstrs) or any(var._vtype != GRB.CONTINUOUS for var in self._vars)

    def _solved(self, attribute):
        if self._outcome is None:
            raise unavailable(attribute)
        return self._outcome

    def _objective_value(self):
        if self._solution() is None:
            raise unavailable("ObjVal")
        return self._outcome.objective

    def _mip_gap(self):
        if self._solution() is None or not self._is_mip() or self._outcome.mip_gap is None:
            raise unavailable("MIPGap")
        return self._outcome.mip_gap

    def _node_count(self):
        nodes = self._solved("NodeCount").node_count
        if nodes is None:
            raise unavailable("NodeCount")
        return nodes

    def _iteration_count(self):
        self._solved("IterCount")
        # HiGHS does not report simplex iterations through milp; NaN says "unknown" and can never
        # pass for a count.
        return math.nan

    _attributes = {
        "status": lambda m: m._outcome.status if m._outcome else GRB.LOADED,
        "objval": _objective_value,
        "mipgap": _mip_gap,
        "runtime": lambda m: m._solved("Runtime").runtime,
        "nodecount": _node_count,
        "itercount": _iteration_count,
        "modelname": lambda m: m._name,
    }

"""Variables and linear expressions, and the temporary constraints their comparisons make."""
import math

from ._base import GRB, Attributes, GurobiError, is_number, unavailable


def _is_operand(value):
    return isinstance(value, _Linear) or is_number(value)


def _combination(*scaled_terms):
    result = LinExpr()
    for value, factor in scaled_terms:
        result._accumulate(value, factor)
    return result


def _compare(left, right, sense):
    if not _is_operand(right):
        raise TypeError(f"cannot compare a linear expression with {type(right).__name__}")
    return TempConstr(_combination((left, 1.0), (right, -1.0)), sense)


class _Linear:
    """Arithmetic shared by Var and LinExpr; every operation returns a new LinExpr.

    Only <=, >= and == make constraints: < and > are left undefined, so Python raises TypeError
    for them as it does for gurobipy's objects."""

    __slots__ = ()
    __hash__ = object.__hash__

    def __add__(self, other):
        return _combination((self, 1.0), (other, 1.0)) if _is_operand(other) else NotImplemented

    __radd__ = __add__

    def __sub__(self, other):
        return _combination((self, 1.0), (other, -1.0)) if _is_operand(other) else NotImplemented

    def __rsub__(self, other):
        return _combination((other, 1.0), (self, -1.0)) if _is_operand(other) else NotImplemented

    def __mul__(self, other):
        if isinstance(other, _Linear):
            raise NotImplementedError("the gurobipy stand-in supports linear expressions only; "
                                      "a product of two variables is quadratic")
        return _combination((self, float(other))) if is_number(other) else NotImplemented

    __rmul__ = __mul__

    def __truediv__(self, other):
        return _combination((self, 1.0 / float(other))) if is_number(other) else NotImplemented

    def __neg__(self):
        return _combination((self, -1.0))

    def __pos__(self):
        return _combination((self, 1.0))

    def __le__(self, other):
        return _compare(self, other, GRB.LESS_EQUAL)

    def __ge__(self, other):
        return _compare(self, other, GRB.GREATER_EQUAL)

    def __eq__(self, other):
        return _compare(self, other, GRB.EQUAL)


class Var(_Linear, Attributes):
    """One decision variable. Its attributes are readable after model.update() or optimize()."""

    __slots__ = ("_model", "_index", "_lb", "_ub", "_vtype", "_name")

    def __init__(self, model, index, lb, ub, vtype, name):
        self._model = model
        self._index = index
        self._lb = lb
        self._ub = ub
        self._vtype = vtype
        self._name = name

    def _label(self):
        """The name gurobipy gives the variable: its own, or C followed by its position."""
        return self._name or f"C{self._index}"

    def _bound(self, attribute, value):
        self._model._require_updated(self)
        if self._vtype == GRB.BINARY and not 0.0 <= value <= 1.0:
            raise NotImplementedError(f"the gurobipy stand-in does not know what {attribute} reports "
                                      f"for binary variable '{self._label()}' given the bound {value}")
        return value

    def _value(self):
        values = self._model._solution()
        if values is None:
            raise unavailable("X")
        return float(values[self._index])

    def _updated_label(self):
        self._model._require_updated(self)
        return self._label()

    def _updated_vtype(self):
        self._model._require_updated(self)
        return self._vtype

    _attributes = {
        "varname": _updated_label,
        "lb": lambda var: var._bound("LB", var._lb),
        "ub": lambda var: var._bound("UB", var._ub),
        "vtype": _updated_vtype,
        "x": _value,
    }

    def __repr__(self):
        return f"<gurobi.Var {self._label()}>"


class LinExpr(_Linear):
    """A linear expression: coefficients by variable (the terms of one variable merged) and a
    constant. LinExpr(), LinExpr(constant), LinExpr(var or expression), LinExpr(coef, var) and
    LinExpr(coefs, vars) build one as gurobipy's constructor does."""

    __slots__ = ("_terms", "_constant")

    def __init__(self, arg1=0.0, arg2=None):
        self._terms = {}
        self._constant = 0.0
        if arg2 is None:
            self._accumulate(arg1, 1.0)
        elif is_number(arg1) and isinstance(arg2, Var):
            self._accumulate(arg2, float(arg1))
        elif isinstance(arg1, (list, tuple)) and isinstance(arg2, (list, tuple)) and len(arg1) == len(arg2):
            for coef, var in zip(arg1, arg2):
                if not (is_number(coef) and isinstance(var, Var)):
                    raise TypeError("LinExpr(coefs, vars) takes numbers and variables")
                self._accumulate(var, float(coef))
        else:
            raise TypeError("LinExpr takes a number, a variable, an expression, (coef, var) or (coefs, vars)")

    def _accumulate(self, value, factor):
        if isinstance(value, Var):
            self._terms[value] = self._terms.get(value, 0.0) + factor
        elif isinstance(value, LinExpr):
            for var, coef in value._terms.items():
                self._terms[var] = self._terms.get(var, 0.0) + factor * coef
            self._constant += factor * value._constant
        elif is_number(value):
            self._constant += factor * float(value)
        else:
            raise TypeError(f"a linear expression cannot take {type(value).__name__}")

    def terms(self):
        """The stand-in's inspection hook: variable to non-zero coefficient, in order of first
        appearance."""
        return {var: coef for var, coef in self._terms.items() if coef}

    def getConstant(self):
        return self._constant

    def getValue(self):
        return self._constant + sum(coef * var.X for var, coef in self._terms.items())

    def __repr__(self):
        parts = [f"{coef:+g} {var._label()}" for var, coef in self._terms.items()]
        return f"<gurobi.LinExpr: {' '.join(parts + [f'{self._constant:+g}'])}>"


class TempConstr:
    """What <=, >= and == of linear operands return: the difference left - right and the sense,
    waiting for model.addConstr or model.addGenConstrIndicator."""

    __slots__ = ("_difference", "_sense")

    def __init__(self, difference, sense):
        self._difference = difference
        self._sense = sense

    def __bool__(self):
        raise GurobiError('Constraint has no bool value (are you trying "lb <= expr <= ub"?)')

    def _row(self):
        """(expression without constant, sense, right-hand side) of the constraint."""
        expr = LinExpr(self._difference)
        rhs = -expr._constant
        if math.isnan(rhs):
            raise GurobiError("the right-hand side of a constraint is NaN")
        expr._constant = 0.0
        return expr, self._sense, rhs


def quicksum(values):
    total = LinExpr()
    for value in values:
        total._accumulate(value, 1.0)
    return total


def finite_coefficients(expr, where):
    for var, coef in expr._terms.items():
        if not math.isfinite(coef) or abs(coef) >= GRB.INFINITY:
            raise GurobiError(f"{where}: coefficient {coef} of variable '{var._label()}' is not finite")

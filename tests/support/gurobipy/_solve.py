"""Solving a recorded model with HiGHS through scipy.optimize.milp.

Indicator constraints become big-M rows whose M comes from the bounds of the variables on their
linear side, so a row is exactly redundant when its indicator is off; a side without a finite
bound is refused rather than given a guessed M. The bounds used there are the variables' own,
tightened by what the constraints imply (x <= 10 holds in every feasible solution, so it bounds x
as surely as ub=10 would): models often state bounds as constraints. Max, min and abs constraints
become rows the same way, with a binary per argument choosing the one the result equals."""
import bisect
import math
import time
from dataclasses import dataclass
from typing import Optional

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, milp

from ._base import GRB

# scipy's wording of the HiGHS verdicts; a verdict worded otherwise is not mapped but reported.
_VERDICTS = {
    0: ("Optimization terminated successfully.", GRB.OPTIMAL),
    2: ("The problem is infeasible.", GRB.INFEASIBLE),
    3: ("The problem is unbounded.", GRB.UNBOUNDED),
    4: ("The problem is unbounded or infeasible.", GRB.INF_OR_UNBD),
    1: ("Time limit reached.", GRB.TIME_LIMIT),
}


@dataclass(frozen=True)
class Outcome:
    status: int
    values: Optional[np.ndarray]
    objective: Optional[float]
    mip_gap: Optional[float]
    node_count: Optional[float]
    runtime: float


def _infinite_beyond_limit(value):
    """gurobipy reads any bound of magnitude GRB.INFINITY or more as infinite."""
    return math.copysign(math.inf, value) if abs(value) >= GRB.INFINITY else value


def column_bounds(var):
    low, high = _infinite_beyond_limit(var._lb), _infinite_beyond_limit(var._ub)
    if var._vtype == GRB.BINARY:
        return max(low, 0.0), min(high, 1.0)
    return low, high


def _row_bounds(sense, rhs):
    rhs = _infinite_beyond_limit(rhs)
    return {GRB.LESS_EQUAL: (-math.inf, rhs), GRB.GREATER_EQUAL: (rhs, math.inf), GRB.EQUAL: (rhs, rhs)}[sense]


def _activity_range(terms, bounds):
    """(least, greatest) of sum coef * var over the bounds, each with the count of its infinite
    contributions left out of the finite part."""
    least, greatest, open_least, open_greatest = 0.0, 0.0, 0, 0
    for var, coef in terms:
        low, high = bounds[var]
        small, large = (coef * low, coef * high) if coef > 0 else (coef * high, coef * low)
        if math.isinf(small):
            open_least += 1
        else:
            least += small
        if math.isinf(large):
            open_greatest += 1
        else:
            greatest += large
    return least, open_least, greatest, open_greatest


def _tighten(bounds, var, low, high):
    """Narrows var's bounds to low..high, loosened by a relative 1e-9 against rounding; True when
    they changed by more than that."""
    slack = 1e-9 * (1.0 + max(abs(low) if math.isfinite(low) else 0.0, abs(high) if math.isfinite(high) else 0.0))
    old_low, old_high = bounds[var]
    new_low, new_high = max(old_low, low - slack), min(old_high, high + slack)
    changed = new_low > old_low + 1e-7 * (1.0 + abs(new_low)) or new_high < old_high - 1e-7 * (1.0 + abs(new_high))
    if changed:
        bounds[var] = (new_low, new_high)
    return changed


def _row_propagation(terms, row_low, row_high, bounds):
    changed = False
    least, open_least, greatest, open_greatest = _activity_range(terms, bounds)
    for var, coef in terms:
        low, high = bounds[var]
        small, large = (coef * low, coef * high) if coef > 0 else (coef * high, coef * low)
        # The other terms' least and greatest sums, when finite.
        rest_least = (least - (0.0 if math.isinf(small) else small)) \
            if open_least - math.isinf(small) == 0 else -math.inf
        rest_greatest = (greatest - (0.0 if math.isinf(large) else large)) \
            if open_greatest - math.isinf(large) == 0 else math.inf
        low_side, high_side = row_low - rest_greatest, row_high - rest_least
        new_low, new_high = sorted((low_side / coef, high_side / coef))
        changed |= _tighten(bounds, var, new_low, new_high)
    return changed


def _pwl_value(points, x):
    """f(x) for the piecewise-linear f through `points`, its end segments going on as rays."""
    if len(points) == 1:
        return points[0][1]
    k = min(max(bisect.bisect_right([px for px, _ in points], x) - 1, 0), len(points) - 2)
    (x0, y0), (x1, y1) = points[k], points[k + 1]
    return y0 + (y1 - y0) / (x1 - x0) * (x - x0)


def _pwl_range(genconstr, bounds):
    low, high = bounds[genconstr._args[0]]
    if math.isinf(low) or math.isinf(high):
        return -math.inf, math.inf
    values = [_pwl_value(genconstr._points, x) for x in [low, high] + [px for px, _ in genconstr._points if low < px < high]]
    return min(values), max(values)


def _function_range(genconstr, bounds):
    """The interval of a max, min, abs or piecewise-linear constraint's result that its arguments
    allow."""
    if genconstr._kind == "pwl":
        return _pwl_range(genconstr, bounds)
    ranges = [bounds[arg] for arg in genconstr._args]
    if genconstr._constant is not None:
        ranges.append((genconstr._constant, genconstr._constant))
    if not ranges:
        return -math.inf, math.inf
    if genconstr._kind == "max":
        return max(low for low, _ in ranges), max(high for _, high in ranges)
    if genconstr._kind == "min":
        return min(low for low, _ in ranges), min(high for _, high in ranges)
    low, high = ranges[0]
    return max(0.0, low, -high), max(-low, high)


def implied_bounds(variables, constraints, functions=(), rounds=8):
    """Column bounds tightened as a presolve does, by bounds that every feasible point satisfies:
    each constraint bounds each of its variables by what its other terms leave it (x <= 10 bounds
    x as surely as ub=10 would, and x - y == 0 passes y's bounds to x), and a max, min or abs
    constraint bounds its result by its arguments. A few passes let bounds flow along chains."""
    bounds = {var: column_bounds(var) for var in variables}
    rows = []
    for constraint in constraints:
        terms = [(var, coef) for var, coef in constraint._expr._terms.items() if coef != 0]
        if len(terms) == 1:
            (var, coef), (row_low, row_high) = terms[0], _row_bounds(constraint._sense, constraint._rhs)
            low, high = sorted((row_low / coef, row_high / coef))
            bounds[var] = (max(bounds[var][0], low), min(bounds[var][1], high))
        if terms:
            rows.append((terms, *_row_bounds(constraint._sense, constraint._rhs)))
    # Rows that admit no point would push bounds past each other without end: the model is
    # infeasible, and the bounds single rows state are kept.
    propagated = dict(bounds)
    for _ in range(rounds):
        changed = False
        for terms, row_low, row_high in rows:
            changed |= _row_propagation(terms, row_low, row_high, propagated)
        for genconstr in functions:
            changed |= _tighten(propagated, genconstr._resvar, *_function_range(genconstr, propagated))
        if any(low > high + 1e-6 * (1.0 + abs(low)) for low, high in propagated.values()):
            return bounds
        if not changed:
            break
    return propagated


def _extreme_activity(indicator, direction, bounds):
    """The largest (direction +1) or smallest (-1) value of the indicator's linear side."""
    total = 0.0
    for var, coef in indicator._expr._terms.items():
        low, high = bounds[var]
        bound = high if coef * direction > 0 else low
        if math.isinf(bound):
            side = "upper" if bound > 0 else "lower"
            raise NotImplementedError(
                f"indicator constraint {indicator._label()}: variable '{var._label()}' has no finite {side} "
                "bound, so the gurobipy stand-in cannot build a big-M row for it")
        total += coef * bound
    return total


def _indicator_rows(indicator, bounds):
    """Rows expr - M * off <= rhs and expr + M * off >= rhs, where off = 1 - binvar when the
    indicator fires on 1 and off = binvar when it fires on 0."""
    binvar, expr, rhs = indicator._binvar, indicator._expr._terms, indicator._rhs
    off_coef, off_constant = (-1.0, 1.0) if indicator._binval == 1 else (1.0, 0.0)
    rows = []
    if indicator._sense in (GRB.LESS_EQUAL, GRB.EQUAL):
        big_m = max(0.0, _extreme_activity(indicator, +1, bounds) - rhs)
        terms = dict(expr)
        terms[binvar] = terms.get(binvar, 0.0) - big_m * off_coef
        rows.append((terms, -math.inf, rhs + big_m * off_constant))
    if indicator._sense in (GRB.GREATER_EQUAL, GRB.EQUAL):
        big_m = max(0.0, rhs - _extreme_activity(indicator, -1, bounds))
        terms = dict(expr)
        terms[binvar] = terms.get(binvar, 0.0) + big_m * off_coef
        rows.append((terms, rhs - big_m * off_constant, math.inf))
    return rows


class _Hidden:
    """A column of the solve that no variable of the model stands for (a choice binary)."""

    def __init__(self, index):
        self._index = index


def _finite(bound, var, side, genconstr):
    if math.isinf(bound):
        raise NotImplementedError(f"{genconstr._kind} constraint {genconstr._name!r}: variable '{var._label()}' has no "
                                  f"finite {side} bound, so the gurobipy stand-in cannot build its big-M rows")
    return bound


def _pwl_rows(genconstr, bounds, new_column):
    """Rows for y = f(x) over x's bounds: x = low + the fills of the segments between low, the
    points inside and high, each fill at most its width, and a binary per inner point saying the
    segment before it is full, which the next one needs before it may begin."""
    x, y = genconstr._args[0], genconstr._resvar
    low, high = (_finite(b, x, side, genconstr) for b, side in zip(bounds[x], ("lower", "upper")))
    cuts = [low] + [px for px, _ in genconstr._points if low < px < high] + [high]
    value = {y: 1.0}
    filled = {x: 1.0}
    rows, previous_full = [], None
    for k, (left, right) in enumerate(zip(cuts, cuts[1:])):
        width = right - left
        fill = new_column(0.0, width, False)
        filled[fill] = -1.0
        value[fill] = -(_pwl_value(genconstr._points, right) - _pwl_value(genconstr._points, left)) / width
        if previous_full is not None:
            rows.append(({fill: 1.0, previous_full: -width}, -math.inf, 0.0))
        if k + 2 < len(cuts):
            previous_full = new_column(0.0, 1.0, True)
            rows.append(({fill: 1.0, previous_full: -width}, 0.0, math.inf))
    base = _pwl_value(genconstr._points, low)
    rows.append((filled, low, low))      # x - the fills == low
    rows.append((value, base, base))     # y - the slopes times the fills == f(low)
    return rows


def _function_rows(genconstr, bounds, new_binary):
    """Rows for resvar = max/min(args, constant) or resvar = |arg|: resvar on the right side of
    every piece, and a binary per piece choosing the one it equals, with M from the bounds."""
    res = genconstr._resvar
    if genconstr._kind == "abs":
        arg = genconstr._args[0]
        low, high = (_finite(b, arg, side, genconstr) for b, side in zip(bounds[arg], ("lower", "upper")))
        big_m = 2.0 * max(abs(low), abs(high))
        choice = new_binary()
        return [({res: 1.0, arg: -1.0}, 0.0, math.inf), ({res: 1.0, arg: 1.0}, 0.0, math.inf),
                ({res: 1.0, arg: -1.0, choice: big_m}, -math.inf, big_m),   # choice 1: res <= arg
                ({res: 1.0, arg: 1.0, choice: -big_m}, -math.inf, 0.0)]     # choice 0: res <= -arg
    sign = 1.0 if genconstr._kind == "max" else -1.0
    # In terms of sign * value every piece is a max; a constant is a piece without a variable.
    pieces = [({arg: sign}, 0.0) for arg in genconstr._args]
    if genconstr._constant is not None:
        pieces.append(({}, sign * genconstr._constant))
    if not pieces:
        raise NotImplementedError(f"{genconstr._kind} constraint {genconstr._name!r}: nothing to take the "
                                  f"{genconstr._kind} of")

    def signed_range(terms, constant):
        if not terms:
            return constant, constant
        (var, coef), = terms.items()
        low, high = (_finite(b, var, side, genconstr) for b, side in zip(bounds[var], ("lower", "upper")))
        return (low, high) if coef > 0 else (-high, -low)

    ranges = [signed_range(*piece) for piece in pieces]
    top = max(high for _, high in ranges)
    rows, choices = [], {}
    for (terms, constant), (low, _) in zip(pieces, ranges):
        above = {res: sign}
        for var, coef in terms.items():
            above[var] = above.get(var, 0.0) - coef
        rows.append((dict(above), constant, math.inf))  # sign * res >= piece
        choice = new_binary()
        choices[choice] = 1.0
        big_m = top - low
        above[choice] = big_m
        rows.append((above, -math.inf, constant + big_m))  # chosen: sign * res <= piece
    rows.append((choices, 1.0, 1.0))
    return rows


def _linear_constraint(rows, column_count):
    matrix = np.zeros((len(rows), column_count))
    lower, upper = np.empty(len(rows)), np.empty(len(rows))
    for r, (terms, low, high) in enumerate(rows):
        for var, coef in terms.items():
            matrix[r, var._index] += coef
        lower[r], upper[r] = low, high
    return LinearConstraint(matrix, lower, upper)


def _verdict(result):
    expected = _VERDICTS.get(result.status)
    if expected is None or not result.message.startswith(expected[0]):
        raise RuntimeError(f"HiGHS ended without a verdict the gurobipy stand-in can map: {result.message}")
    return expected[1]


def solve(variables, constraints, indicators, objective, sense, presolve, time_limit=math.inf, mip_gap=0.0):
    """Solves to proven optimality (relative gap 0 unless MIPGap says otherwise), so tests can
    compare exact optima; a time limit that stops the search keeps the incumbent, if any.

    HiGHS solves without presolve: the presolve of the HiGHS in SciPy 1.10 has been seen to return
    suboptimal optima, and points that violate the rows, on small MIPs that Gurobi solves right.
    Presolve is used only to give Gurobi's verdict on a model without an optimum while dual
    reductions are on: "unbounded or infeasible" where HiGHS without presolve tells the two
    apart, as Gurobi does once dual reductions are switched off."""
    if not variables:
        raise NotImplementedError("the gurobipy stand-in cannot solve a model without variables")
    rows = [(c._expr._terms, *_row_bounds(c._sense, c._rhs)) for c in constraints]
    known_bounds = implied_bounds(variables, constraints, [g for g in indicators if g._kind != "indicator"])
    bounds = [column_bounds(var) for var in variables]
    integral = [var._vtype != GRB.CONTINUOUS for var in variables]

    def new_column(low, high, integer):
        bounds.append((low, high))
        integral.append(integer)
        return _Hidden(len(bounds) - 1)

    def new_binary():
        return new_column(0.0, 1.0, True)

    for genconstr in indicators:
        if genconstr._kind == "indicator":
            rows.extend(_indicator_rows(genconstr, known_bounds))
        elif genconstr._kind == "pwl":
            rows.extend(_pwl_rows(genconstr, known_bounds, new_column))
        else:
            rows.extend(_function_rows(genconstr, known_bounds, new_binary))
    costs = np.zeros(len(bounds))
    for var, coef in objective._terms.items():
        costs[var._index] += sense * coef
    started = time.perf_counter()

    def run(with_presolve):
        return milp(costs, integrality=np.array(integral, dtype=int),
                    bounds=Bounds([low for low, _ in bounds], [high for _, high in bounds]),
                    constraints=_linear_constraint(rows, len(bounds)) if rows else None,
                    options={"presolve": with_presolve, "mip_rel_gap": mip_gap,
                             **({} if math.isinf(time_limit) else {"time_limit": time_limit})})

    result = run(False)
    if presolve and result.status not in (0, 1, 2):
        result = run(True)
    runtime = time.perf_counter() - started
    status = _verdict(result)
    is_mip = any(integral)
    nodes = 0.0 if not is_mip else None if result.mip_node_count is None else float(result.mip_node_count)
    if status != GRB.OPTIMAL and (status != GRB.TIME_LIMIT or result.x is None):
        return Outcome(status, None, None, None, nodes, runtime)
    values = np.array(result.x, dtype=float)
    value = objective._constant + sum(coef * values[var._index] for var, coef in objective._terms.items())
    gap = None if result.mip_gap is None else float(result.mip_gap)
    return Outcome(status, values, float(value), gap, nodes, runtime)

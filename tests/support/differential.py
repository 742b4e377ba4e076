"""Differential testing of both targets against brute force.

A seeded generator writes small random models in the modelling language: two to four integer
variables with small domains (an array x[1..n], an integer y, a boolean b), every comparison
operator, strict comparisons and `!=`, fractional coefficients and constants, counts of true
comparisons, comparisons used as numbers, abs, maxl and minl, and implications between comparisons, literals and
their and/or/not combinations. Every construct is written twice: as model text, and as a Python
expression over the variables' values, so that enumerating every point of the domains gives the
true optimum (or proves the model infeasible).

Each model is solved through the SciPy target and through the gurobipy script run on the
stand-in; a target agrees when it reports the same optimum and a point that brute force accepts,
or INFEASIBLE exactly when brute force finds no point.

The presolve of the HiGHS in SciPy 1.10 sometimes returns a suboptimal optimum, or a point that
violates the rows, on such small MIPs. A disagreement of the SciPy target that goes away when
the very matrices it built are solved without presolve is a fault of the solver, not of the
encoding: it is counted apart ("presolve faults") and does not fail the run. Run as a script
for a long run:

    python3 tests/support/differential.py --models 20000 --seconds 3000
"""
import argparse
import itertools
import math
import os
import random
import sys
import time
import traceback
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

OPERATORS = ("==", "!=", "<=", ">=", "<", ">")
# Dyadic fractions only: their sums are exact in binary floating point, so brute force never
# rounds, and a difference that is not zero is at least 1/4 away from it.
COEFFICIENTS = (1, 1, 1, -1, 2, -2, 3, 0.5, -0.5, 1.5, -1.5, 0.25)
CONSTANTS = (-3, -2, -1, 0, 0, 1, 1, 2, 3, 0.5, -0.5, 1.5, 2.5)
# Optima of these models differ by 1/4 at least; solvers keep integer values to within 1e-6.
TOLERANCE = 1e-4


@dataclass
class Variable:
    opl: str      # x[1], y, b
    py: str       # x1, y, b: its name in the brute-force expressions
    low: int
    high: int
    boolean: bool = False


# Parameters every model declares; the Python texts use their values.
PARAMETERS = {"k": ("int", 2), "h": ("float", 1.5)}


@dataclass
class Model:
    """A model written twice: `constraints` and `objective` are (model text, Python text) pairs.
    The Python texts name the array x[1..n] both as x1..xn and as x[1]..x[n]."""
    variables: List[Variable]
    constraints: List[Tuple[str, str]]
    sense: str = "minimize"
    objective: Tuple[str, str] = ("0", "0")
    array: int = 0    # the size n of the array x[1..n] (0: no array)
    name: str = ""

    def text(self):
        lines = [f"{kind} {name} = {value};" for name, (kind, value) in PARAMETERS.items()]
        if self.array:
            low, high = self.variables[0].low, self.variables[0].high
            lines.append(f"dvar int x[1..{self.array}] in {low}..{high};")
        for v in self.variables[self.array:]:
            lines.append(f"dvar boolean {v.opl};" if v.boolean else f"dvar int {v.opl} in {v.low}..{v.high};")
        lines.append(f"{self.sense} {self.objective[0]};")
        lines.append("subject to {")
        lines.extend(f"  {opl};" for opl, _ in self.constraints)
        lines.append("}")
        return "\n".join(lines) + "\n"

    def function(self, body):
        """A Python function of the variables' values computing `body`."""
        names = ", ".join(v.py for v in self.variables)
        if not self.array:
            return eval(f"lambda {names}: {body}")  # noqa: S307 (test oracle)
        x = "(None, " + "".join(f"{v.py}, " for v in self.variables[:self.array]) + ")"
        return eval(f"lambda {names}: (lambda x: {body})({x})")  # noqa: S307 (test oracle)

    def brute_force(self):
        """The optimum, or None when no point satisfies every constraint."""
        feasible = self.feasibility()
        objective = self.function(self.objective[1])
        best = None
        for point in itertools.product(*(range(v.low, v.high + 1) for v in self.variables)):
            if feasible(*point):
                value = objective(*point)
                if best is None or (value < best if self.sense == "minimize" else value > best):
                    best = value
        return best

    def feasibility(self):
        return self.function(" and ".join(f"({py})" for _, py in self.constraints) or "True")

    def objective_at(self, point):
        return self.function(self.objective[1])(*point)


# ---- the random generator ----

class ModelWriter:
    """Writes one random model from a seeded random source."""

    def __init__(self, rng):
        self.r = rng
        n = rng.choice((0, 2, 2, 3))
        low = rng.randint(-3, 0)
        high = rng.randint(low + 1, min(3, low + 5))
        self.variables = [Variable(f"x[{i}]", f"x{i}", low, high) for i in range(1, n + 1)]
        self.array = n
        if n < 3 or rng.random() < 0.5:
            y_low = rng.randint(-2, 0)
            self.variables.append(Variable("y", "y", y_low, rng.randint(y_low + 1, 2)))
        if n < 2 or rng.random() < 0.7:
            self.variables.append(Variable("b", "b", 0, 1, boolean=True))
        self.boolean = next((v for v in self.variables if v.boolean), None)
        self.loop_variable = None

    # numbers and linear expressions

    def constant(self):
        """A literal, a parameter or the loop variable, as (model text, Python text)."""
        if self.loop_variable and self.r.random() < 0.2:
            return self.loop_variable, self.loop_variable
        if self.r.random() < 0.1:
            name = self.r.choice(list(PARAMETERS))
            return name, str(PARAMETERS[name][1])
        k = self.r.choice(CONSTANTS)
        return str(k), str(k)

    def term(self):
        v = self.r.choice(self.variables)
        c = self.r.choice(COEFFICIENTS)
        if c == 1:
            return v.opl, v.py
        return f"{c} * {v.opl}", f"({c} * {v.py})"

    def linear(self, terms=None, numeric_comparisons=True):
        parts = [self.term() for _ in range(terms or self.r.choice((1, 1, 2, 2, 3)))]
        if numeric_comparisons and self.r.random() < 0.15:
            parts.append(self.comparison_as_number())
        if numeric_comparisons and self.r.random() < 0.12:
            parts.append(self.function_term())
        if self.r.random() < 0.3:
            parts.append(self.constant())
        opl = " + ".join(p[0] for p in parts)
        py = " + ".join(p[1] for p in parts)
        return opl, f"({py})"

    def comparison_as_number(self):
        """c * (comparison), or a count of true comparisons."""
        if self.array and self.r.random() < 0.3:
            return self.count()
        opl, py = self.comparison(numeric_comparisons=False, allow_not_equal=False)
        c = self.r.choice((1, 2, -1, 0.5))
        if c == 1:
            return f"({opl})", f"int({py})"
        return f"{c} * ({opl})", f"({c} * int({py}))"

    def function_term(self):
        """c * abs(linear), or c * maxl / minl of two linear expressions."""
        if self.r.random() < 0.5:
            inner = self.linear(terms=self.r.choice((1, 2)), numeric_comparisons=False)
            opl, py = f"abs({inner[0]})", f"abs({inner[1]})"
        else:
            kind = self.r.choice(("maxl", "minl"))
            a, b = (self.linear(terms=1, numeric_comparisons=False) for _ in range(2))
            opl, py = f"{kind}({a[0]}, {b[0]})", f"{kind[:3]}({a[1]}, {b[1]})"
        c = self.r.choice((1, 1, -1, 2, 0.5))
        if c == 1:
            return opl, py
        return f"{c} * {opl}", f"({c} * {py})"

    def count(self):
        """sum(i in 1..n) (x[i] op k), the number of i for which the comparison holds."""
        op = self.r.choice(("==", "<=", ">=", "<", ">", "!="))
        k = self.r.choice((self.r.randint(self.variables[0].low, self.variables[0].high), 0.5, -0.5))
        opl = f"sum(i in 1..{self.array}) (x[i] {op} {k})"
        py = "(" + " + ".join(f"int(x{i} {op} {k})" for i in range(1, self.array + 1)) + ")"
        return opl, py

    # comparisons

    def comparison(self, numeric_comparisons=True, allow_not_equal=True):
        ops = OPERATORS if allow_not_equal else OPERATORS[:1] + OPERATORS[2:]
        op = self.r.choice(ops)
        left = self.linear(numeric_comparisons=numeric_comparisons)
        if self.r.random() < 0.6:
            right = self.constant()
        else:
            right = self.linear(terms=1, numeric_comparisons=numeric_comparisons)
        return f"{left[0]} {op} {right[0]}", f"{left[1]} {op} {right[1]}"

    def count_comparison(self):
        count = self.count()
        op = self.r.choice(OPERATORS)
        k = self.r.choice((0, 1, 2, 3, 0.5, 1.5, 2.5, -1))
        return f"{count[0]} {op} {k}", f"{count[1]} {op} {k}"

    def reified(self):
        """A variable, or a comparison, compared with the truth of a comparison."""
        inner = self.count_comparison() if self.array and self.r.random() < 0.3 else \
            self.comparison(numeric_comparisons=False, allow_not_equal=False)
        if self.r.random() < 0.25:
            other = self.comparison(numeric_comparisons=False, allow_not_equal=False)
            op = self.r.choice(("==", "!=", "<=", ">="))
            return f"({other[0]}) {op} ({inner[0]})", f"int({other[1]}) {op} int({inner[1]})"
        v = self.r.choice(self.variables)
        op = self.r.choice(("==", "==", "!=", "<=", ">=", "<", ">"))
        return f"{v.opl} {op} ({inner[0]})", f"{v.py} {op} int({inner[1]})"

    # conditions of implications

    def condition(self, depth=0):
        roll = self.r.random()
        if depth < 2 and roll < 0.15:
            left, right = self.condition(depth + 1), self.condition(depth + 1)
            if self.r.random() < 0.5:
                return f"({left[0]}) && ({right[0]})", f"(({left[1]}) and ({right[1]}))"
            return f"({left[0]}) || ({right[0]})", f"(({left[1]}) or ({right[1]}))"
        if depth < 2 and roll < 0.22:
            inner = self.condition(depth + 1)
            return f"!({inner[0]})", f"(not ({inner[1]}))"
        if roll < 0.27:
            value = self.r.choice(("true", "false"))
            return value, str(value == "true")
        if roll < 0.32 and self.boolean:
            return self.boolean.opl, f"({self.boolean.py} == 1)"
        if roll < 0.42:
            # a comparison used as a number, compared again
            inner = self.comparison(numeric_comparisons=False, allow_not_equal=False)
            op = self.r.choice(OPERATORS)
            k = self.r.choice((0, 1, 0, 1, 2, -1, 0.5))
            return f"({inner[0]}) {op} {k}", f"(int({inner[1]}) {op} {k})"
        if roll < 0.5 and self.boolean:
            # a binary tested against an expression (not a literal)
            op = self.r.choice(("==", ">=", "<=", "!="))
            other = self.linear(terms=1, numeric_comparisons=False)
            return f"{self.boolean.opl} {op} {other[0]}", f"({self.boolean.py} {op} {other[1]})"
        if roll < 0.58 and self.boolean:
            op = self.r.choice(("==", ">=", "<=", "!=", "<", ">"))
            k = self.r.choice((0, 1, 0, 1, 2, -1, 0.5))
            return f"{self.boolean.opl} {op} {k}", f"({self.boolean.py} {op} {k})"
        if roll < 0.65 and self.array:
            c = self.count_comparison()
            return c[0], f"({c[1]})"
        c = self.comparison()
        return c[0], f"({c[1]})"

    def implication(self):
        antecedent, consequent = self.condition(), self.condition()
        a_opl = f"({antecedent[0]})" if self.r.random() < 0.3 else antecedent[0]
        c_opl = f"({consequent[0]})" if self.r.random() < 0.3 else consequent[0]
        return f"{a_opl} => {c_opl}", f"(not ({antecedent[1]}) or ({consequent[1]}))"

    # constraints and the model

    def forall(self):
        """forall(j in 1..n) over a constraint on x[j] (and on j as a number)."""
        saved = self.variables
        self.variables = saved + [Variable("x[j]", "x[j]", saved[0].low, saved[0].high)] * 3
        self.loop_variable = "j"
        try:
            body = self.constraint(loops=False)
        finally:
            self.variables = saved
            self.loop_variable = None
        return (f"forall(j in 1..{self.array}) {body[0]}",
                f"all(({body[1]}) for j in range(1, {self.array + 1}))")

    def constraint(self, loops=True):
        roll = self.r.random()
        if loops and self.array and roll < 0.1:
            return self.forall()
        if roll < 0.3:
            return self.comparison()
        if roll < 0.42 and self.array:
            return self.count_comparison()
        if roll < 0.6:
            return self.reified()
        return self.implication()

    def objective(self):
        parts = [(f"{c} * {v.opl}", f"({c} * {v.py})")
                 for v in self.variables for c in [self.r.choice((1, -1, 2, -2, 3, -3, 1, -1))]]
        if self.r.random() < 0.2:
            parts.append(self.comparison_as_number())
        if self.r.random() < 0.2:
            parts.append(self.function_term())
        return " + ".join(p[0] for p in parts), " + ".join(p[1] for p in parts)

    def model(self, name=""):
        constraints = [self.constraint() for _ in range(self.r.choice((1, 2, 2, 3, 4)))]
        sense = self.r.choice(("minimize", "maximize"))
        return Model(self.variables, constraints, sense, self.objective(), self.array, name)


def random_model(seed):
    return ModelWriter(random.Random(seed)).model(name=f"seed {seed}")


# ---- solving through both targets ----

@dataclass
class Outcome:
    status: str
    objective: Optional[float] = None
    solution: dict = field(default_factory=dict)
    error: str = ""


def _solve_scipy(tree):
    from korvane.solving import solve_parsed
    results = solve_parsed(tree, {}, "scipy")
    return Outcome(results["status"], results.get("objective_value"), results.get("solution") or {})


def _solve_gurobi(tree):
    from korvane.solving import compile_model
    from script_runner import execute_gurobi_script
    results = execute_gurobi_script(compile_model(tree, {}, "gurobi")).results
    return Outcome(results["status"], results.get("objective_value"), results.get("solution") or {})


def _solve_scipy_without_presolve(tree):
    """The SciPy target's matrices, solved by HiGHS without presolve."""
    import numpy as np
    import scipy.sparse as sp
    from scipy.optimize import Bounds, LinearConstraint, milp

    from korvane.lpwrightsparse import SciPyCSCCodeGenerator
    gen = SciPyCSCCodeGenerator(tree, {})
    gen.build_matrices()
    constraints = []
    for matrix, low, high in ((gen.A_ub, None, gen.b_ub), (gen.A_eq, gen.b_eq, gen.b_eq)):
        a = sp.csc_matrix((np.asarray(matrix["data"]), np.asarray(matrix["indices"]), np.asarray(matrix["indptr"])),
                          shape=matrix["shape"])
        if a.shape[0]:
            constraints.append(LinearConstraint(a, -np.inf if low is None else np.asarray(low), np.asarray(high)))
    sign = -1.0 if gen.objective_sense == "maximize" else 1.0
    result = milp(sign * np.asarray(gen.c), integrality=np.asarray(gen.integrality),
                  bounds=Bounds(np.asarray(gen.bounds[0]), np.asarray(gen.bounds[1])), constraints=constraints,
                  options={"presolve": False})
    if result.status != 0:
        return Outcome({2: "INFEASIBLE"}.get(result.status, f"STATUS_{result.status}"))
    return Outcome("OPTIMAL", sign * result.fun + gen.objective_constant, dict(zip(gen.var_names, result.x)))


TARGETS = {"scipy": _solve_scipy, "gurobi": _solve_gurobi}


def _silently(solve, tree):
    with open(os.devnull, "w") as devnull:
        saved = sys.stdout
        sys.stdout = devnull
        try:
            return solve(tree)
        finally:
            sys.stdout = saved


def disagreement(model, target, optimum, solve=None):
    """A text saying how `target` disagrees with brute force on `model`, or None."""
    from korvane.oplparse import instantiate, parse_model
    tree, _ = instantiate(parse_model(model.text()), {})
    try:
        got = _silently(solve or TARGETS[target], tree)
    except Exception:  # noqa: BLE001 - every failure of a target is a finding
        return f"{target} raised:\n{traceback.format_exc(limit=-3)}"
    if optimum is None:
        if got.status != "INFEASIBLE":
            return f"{target}: {got.status} {got.objective}, brute force: infeasible"
        return None
    if got.status != "OPTIMAL":
        return f"{target}: {got.status}, brute force: optimum {optimum}"
    if got.objective is None or abs(got.objective - optimum) > TOLERANCE:
        return f"{target}: objective {got.objective}, brute force: {optimum}"
    point = []
    for v in model.variables:
        value = got.solution.get(v.opl)
        if value is None or abs(value - round(value)) > 1e-6:
            return f"{target}: {v.opl} = {value} in the reported point {got.solution}"
        point.append(int(round(value)))
    if not model.feasibility()(*point):
        return f"{target}: the reported point {dict(zip((v.opl for v in model.variables), point))} " \
               "violates the model"
    if abs(model.objective_at(point) - optimum) > TOLERANCE:
        return f"{target}: the reported point has objective {model.objective_at(point)}, not {optimum}"
    return None


def findings(model):
    """(disagreements of either target with brute force, presolve faults) on one model."""
    optimum = model.brute_force()
    problems, presolve_faults = [], []
    for target in TARGETS:
        problem = disagreement(model, target, optimum)
        if problem and target == "scipy" and "raised" not in problem and \
                disagreement(model, target, optimum, _solve_scipy_without_presolve) is None:
            presolve_faults.append(problem)
        elif problem:
            problems.append(problem)
    return problems, presolve_faults


def report(model, problems):
    return f"--- {model.name}\n{model.text()}" + "\n".join(problems)


@dataclass
class Run:
    checked: int = 0
    failures: list = field(default_factory=list)         # reports of disagreements
    presolve_faults: list = field(default_factory=list)  # reports of the solver's presolve faults


def run(seeds, deadline=None):
    """Checks the models of `seeds`, until `deadline` (a time.monotonic() value) if given."""
    out = Run()
    for seed in seeds:
        if deadline is not None and time.monotonic() > deadline:
            break
        model = random_model(seed)
        problems, presolve_faults = findings(model)
        out.checked += 1
        if problems:
            out.failures.append(report(model, problems))
        if presolve_faults:
            out.presolve_faults.append(report(model, presolve_faults))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", type=int, default=20000)
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=None, help="stop starting models after this long")
    parser.add_argument("--show", type=int, default=20, help="how many disagreements to print")
    args = parser.parse_args(argv)
    deadline = time.monotonic() + args.seconds if args.seconds else None
    started = time.monotonic()
    result = run(range(args.first_seed, args.first_seed + args.models), deadline)
    for text in result.failures[:args.show]:
        print(text, end="\n\n")
    for text in result.presolve_faults[:args.show]:
        print("presolve fault (the same matrices solved without presolve agree):\n" + text, end="\n\n")
    print(f"{result.checked} models in {time.monotonic() - started:.0f} s, {len(result.failures)} with a "
          f"disagreement, {len(result.presolve_faults)} with a presolve fault of the SciPy target's solver")
    return 1 if result.failures or result.checked == 0 else 0


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    sys.path[:0] = [here, os.environ.get("KORVANE_STAGE") or root,
                    os.environ.get("KORVANE_PROBE_DIR") or os.path.join(root, "build", "release", "probe")]
    sys.exit(main())

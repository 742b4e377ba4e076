"""The gurobipy stand-in that generated scripts run against: keys and names, expressions, errors,
solves with known optima, and whole scripts through the script runner."""
import itertools
import math

import gurobipy as gp
import pytest
from gurobipy import GRB
from script_runner import execute_gurobi_script, run_gurobi_script

from korvane.mipwright import GurobiCodeGenerator


def names(variables):
    return [v.VarName for v in variables]


def coefficients(expr):
    return {var.VarName: coef for var, coef in expr.terms().items()}


@pytest.fixture
def model():
    return gp.Model("test")


class TestAddVars:
    @pytest.mark.parametrize("indices, keys, var_names", [
        ((3,), [0, 1, 2], ["x[0]", "x[1]", "x[2]"]),
        (([1, "a", 2.5],), [1, "a", 2.5], ["x[1]", "x[a]", "x[2.5]"]),
        (([(1, "a"), (2, "b")],), [(1, "a"), (2, "b")], ["x[1,a]", "x[2,b]"]),
        ((2, ["a", "b"]), [(0, "a"), (0, "b"), (1, "a"), (1, "b")], ["x[0,a]", "x[0,b]", "x[1,a]", "x[1,b]"]),
        (([(1, 2), (3, 4)], range(1, 3)), [(1, 2, 1), (1, 2, 2), (3, 4, 1), (3, 4, 2)],
         ["x[1,2,1]", "x[1,2,2]", "x[3,4,1]", "x[3,4,2]"]),
        ((itertools.product(range(1, 3), ["a"]),), [(1, "a"), (2, "a")], ["x[1,a]", "x[2,a]"]),
    ])
    def test_keys_and_names(self, model, indices, keys, var_names):
        x = model.addVars(*indices, name="x")
        model.update()
        assert type(x) is gp.tupledict and list(x) == keys
        assert names(x.values()) == var_names

    def test_tuple_keys_by_either_spelling_and_creation_order(self, model):
        first = model.addVar(name="first")
        y = model.addVars(range(1, 3), range(1, 3), lb=-2, ub=5, vtype=GRB.INTEGER, name="y")
        model.update()
        assert y[1, 2] is y[(1, 2)]
        assert model.getVars() == [first] + list(y.values())
        assert {(v.LB, v.UB, v.VType) for v in y.values()} == {(-2.0, 5.0, GRB.INTEGER)}

    def test_unnamed_variables_are_numbered_by_position(self, model):
        model.addVar(name="a")
        model.addVars(2)
        model.update()
        assert names(model.getVars()) == ["a", "C1", "C2"]

    @pytest.mark.parametrize("indices, error", [
        (([((1, 2), 3)],), NotImplementedError),  # a nested tuple as a key
        (([(1,)],), NotImplementedError),  # a one-element tuple as a key
        (([1, 1],), NotImplementedError),  # repeated keys
        (("ab",), NotImplementedError),
        (([True],), NotImplementedError),
        ((2.5,), TypeError),
        ((), TypeError),
    ])
    def test_keys_it_cannot_vouch_for(self, model, indices, error):
        with pytest.raises(error):
            model.addVars(*indices, name="x")
        assert model.getVars() == []


class TestExpressions:
    def test_arithmetic(self, model):
        x, y = model.addVar(name="x"), model.addVar(name="y")
        model.update()
        expr = 2 * x - (y - 3) / 2 + 1 - x
        assert coefficients(expr) == {"x": 1.0, "y": -0.5} and expr.getConstant() == 2.5
        expr = 4 - (-x) * 3 + sum([x, y, 1])
        assert coefficients(expr) == {"x": 4.0, "y": 1.0} and expr.getConstant() == 5.0
        expr = gp.quicksum(k * v for k, v in [(2, x), (3, y), (1, x)]) + gp.quicksum([])
        assert coefficients(expr) == {"x": 3.0, "y": 3.0} and expr.getConstant() == 0.0
        assert coefficients(gp.LinExpr([1, 2], [x, y])) == {"x": 1.0, "y": 2.0}

    @pytest.mark.parametrize("make, row, sense, rhs", [
        (lambda x, y: x + 2 <= y, {"x": 1.0, "y": -1.0}, GRB.LESS_EQUAL, -2.0),
        # A number on the left hands the comparison to the expression, reflected.
        (lambda x, y: 3 >= 2 * x, {"x": 2.0}, GRB.LESS_EQUAL, 3.0),
        (lambda x, y: 5 == x + y + 1, {"x": 1.0, "y": 1.0}, GRB.EQUAL, 4.0),
        (lambda x, y: x - y >= -1 - y, {"x": 1.0}, GRB.GREATER_EQUAL, -1.0),
        (lambda x, y: gp.quicksum([]) >= 0, {}, GRB.GREATER_EQUAL, 0.0),
    ])
    def test_comparisons_become_rows(self, model, make, row, sense, rhs):
        x, y = model.addVar(name="x"), model.addVar(name="y")
        constr = model.addConstr(make(x, y), name="c")
        model.update()
        assert (constr.ConstrName, constr.Sense, constr.RHS) == ("c", sense, rhs)
        assert coefficients(model.getRow(constr)) == row


class TestErrors:
    @pytest.mark.parametrize("make, error", [
        (lambda x, y: x * y, NotImplementedError),
        (lambda x, y: (x + 1) * (y - 1), NotImplementedError),
        (lambda x, y: x < 1, TypeError),
        (lambda x, y: x > y, TypeError),
        (lambda x, y: 1 < x + y, TypeError),
        (lambda x, y: bool(0 <= x <= 1), gp.GurobiError),
        (lambda x, y: x == "a", TypeError),
        (lambda x, y: x + "a", TypeError),
        (lambda x, y: 1 / x, TypeError),
        (lambda x, y: gp.quicksum([x <= 1]), TypeError),
    ])
    def test_expressions(self, model, make, error):
        x, y = model.addVar(name="x"), model.addVar(name="y")
        with pytest.raises(error):
            make(x, y)

    def test_model_calls(self, model):
        x = model.addVar(name="x")
        b = model.addVar(vtype=GRB.BINARY, name="b")
        with pytest.raises(gp.GurobiError, match="awaiting a model update"):
            x.VarName
        with pytest.raises(NotImplementedError):
            model.getVars()
        with pytest.raises(TypeError):
            model.addConstr(x + 1)
        with pytest.raises(gp.GurobiError, match="does not belong"):
            model.addConstr(gp.Model().addVar() <= 1)
        with pytest.raises(gp.GurobiError, match="not binary"):
            model.addGenConstrIndicator(x, 1, x <= 1)
        with pytest.raises(gp.GurobiError, match="0 or 1"):
            model.addGenConstrIndicator(b, 2, x <= 1)
        with pytest.raises(gp.GurobiError, match="Name too long"):
            model.addVar(name="v" * 256)
        with pytest.raises(NotImplementedError):
            model.setParam("Heuristics", 0.5)
        with pytest.raises(gp.GurobiError):
            model.setParam("TimeLimit", -1)
        with pytest.raises(gp.GurobiError):
            model.setParam(GRB.Param.DualReductions, 2)
        with pytest.raises(AttributeError, match="'X'"):
            x.X
        with pytest.raises(AttributeError, match="'Runtime'"):
            model.Runtime

    def test_indicator_side_without_a_bound_names_the_variable(self, model):
        x = model.addVar(name="free")
        b = model.addVar(vtype=GRB.BINARY, name="b")
        model.addGenConstrIndicator(b, 1, x >= 2, name="fine")  # only x's lower bound is needed
        model.addGenConstrIndicator(b, 0, x, GRB.LESS_EQUAL, 4, name="ind")
        with pytest.raises(NotImplementedError, match="indicator constraint 'ind': variable 'free' has no finite upper"):
            model.optimize()

    def test_single_variable_constraints_bound_an_indicator_side(self, model):
        # x <= 10 written as a constraint bounds x as surely as ub=10 would.
        x = model.addVar(vtype=GRB.INTEGER, lb=-GRB.INFINITY, name="x")
        b = model.addVar(vtype=GRB.BINARY, name="b")
        model.addConstr(2 * x <= 20, name="ub")
        model.addConstr(-x <= 3, name="lb")
        model.addGenConstrIndicator(b, 1, x <= 4, name="ind")
        model.addConstr(b >= 1, name="on")
        model.setObjective(x, GRB.MAXIMIZE)
        model.optimize()
        assert model.status == GRB.OPTIMAL and model.ObjVal == pytest.approx(4)
        model.setObjective(x, GRB.MINIMIZE)
        model.optimize()
        assert model.ObjVal == pytest.approx(-3)


def solved(model):
    model.optimize()
    return model.status


class TestSolves:
    def test_lp(self, model):
        x, y = model.addVar(ub=3, name="x"), model.addVar(name="y")
        model.addConstr(x + y <= 4)
        model.addConstr(x + 3 * y <= 6)
        model.setObjective(3 * x + 2 * y + 1, GRB.MAXIMIZE)
        assert solved(model) == GRB.OPTIMAL and model.Status == model.status
        assert (model.ObjVal, x.X, y.X) == pytest.approx((12.0, 3.0, 1.0))
        assert model.NodeCount == 0.0 and math.isnan(model.IterCount)
        with pytest.raises(AttributeError, match="'MIPGap'"):
            model.MIPGap

    def test_integer_rounding_and_knapsack(self, model):
        x, y = model.addVar(vtype=GRB.INTEGER, name="x"), model.addVar(vtype=GRB.INTEGER, name="y")
        model.addConstr(2 * x + 2 * y <= 7)
        model.setObjective(x + y, GRB.MAXIMIZE)
        assert solved(model) == GRB.OPTIMAL and model.ObjVal == pytest.approx(3.0)
        assert model.MIPGap == pytest.approx(0.0) and model.NodeCount >= 0

        knapsack = gp.Model()
        take = knapsack.addVars(["a", "b", "c"], vtype=GRB.BINARY, ub=GRB.INFINITY, name="take")
        knapsack.addConstr(2 * take["a"] + 3 * take["b"] + take["c"] <= 5)
        knapsack.setObjective(5 * take["a"] + 4 * take["b"] + 3 * take["c"], GRB.MAXIMIZE)
        assert solved(knapsack) == GRB.OPTIMAL and knapsack.ObjVal == pytest.approx(9.0)
        assert [round(v.X) for v in take.values()] == [1, 1, 0]

    @pytest.mark.parametrize("binval, sense, rhs, objective, optimum, b_value, x_value", [
        (1, GRB.LESS_EQUAL, 2, lambda x, b: x + 10 * b, 12.0, 1, 2.0),  # binding: b = 1 caps x
        (1, GRB.LESS_EQUAL, 2, lambda x, b: x + 5 * b, 10.0, 0, 10.0),  # not binding: b = 0 frees x
        (0, GRB.GREATER_EQUAL, 7, lambda x, b: -x - 4 * b, -4.0, 1, 0.0),
        (0, GRB.GREATER_EQUAL, 7, lambda x, b: -x - 9 * b, -7.0, 0, 7.0),
        (1, GRB.EQUAL, 6, lambda x, b: x + 5 * b, 11.0, 1, 6.0),
        (1, GRB.EQUAL, 6, lambda x, b: x + 3 * b, 10.0, 0, 10.0),
    ])
    def test_indicator(self, model, binval, sense, rhs, objective, optimum, b_value, x_value):
        x = model.addVar(ub=10, name="x")
        b = model.addVar(vtype=GRB.BINARY, name="b")
        ind = model.addGenConstrIndicator(b, binval, x, sense, rhs, name="ind")
        model.setObjective(objective(x, b), GRB.MAXIMIZE)
        assert solved(model) == GRB.OPTIMAL
        assert (model.ObjVal, b.X, x.X) == pytest.approx((optimum, b_value, x_value))
        assert model.getGenConstrs() == [ind] and ind.GenConstrName == "ind"
        binvar, value, expr, got_sense, got_rhs = model.getGenConstrIndicator(ind)
        assert (binvar, value, coefficients(expr), got_sense, got_rhs) == (b, binval, {"x": 1.0}, sense, rhs)

    def test_infeasible(self, model):
        x = model.addVar(name="x")
        model.addConstr(x >= 2)
        model.addConstr(x <= 1)
        assert solved(model) == GRB.INFEASIBLE
        with pytest.raises(AttributeError, match="'ObjVal'"):
            model.ObjVal

    def test_unbounded(self, model):
        x = model.addVar(name="x")
        model.setObjective(x, GRB.MAXIMIZE)
        assert solved(model) == GRB.UNBOUNDED

    def test_dual_reductions_tell_an_unbounded_mip_apart(self, model):
        x = model.addVar(vtype=GRB.INTEGER, name="x")
        model.setObjective(x, GRB.MAXIMIZE)
        assert solved(model) == GRB.INF_OR_UNBD
        model.setParam(GRB.Param.DualReductions, 0)
        assert solved(model) == GRB.UNBOUNDED

    def test_a_change_discards_the_solution(self, model):
        x = model.addVar(lb=1, name="x")
        assert solved(model) == GRB.OPTIMAL and x.X == pytest.approx(1.0)
        model.addConstr(x >= 2)
        assert model.status == GRB.LOADED
        with pytest.raises(AttributeError):
            x.X


PREAMBLE = """\
import gurobipy as gp
from gurobipy import GRB
import itertools  # needed for multi-index forall
import math  # for math.sqrt and friends

def _safe_get(container, key, default=0):
    try:
        return container[key]
    except Exception:
        return default

"""

EPILOGUE = """\
model.optimize()
if model.status == GRB.INF_OR_UNBD:
    model.setParam(GRB.Param.DualReductions, 0)
    model.optimize()

results = {}
if model.status == GRB.OPTIMAL:
    print('Optimal solution found:')
    solution = {}
    for v in model.getVars():
        print(f'{v.VarName}: {v.X}')
        solution[v.VarName] = v.X
    print(f'Objective value: {model.ObjVal}')
    results['solution'] = solution
    results['objective_value'] = model.ObjVal
    results['status'] = 'OPTIMAL'
    stats = {}
    try:
        stats['MIPGap'] = model.MIPGap
    except AttributeError:
        stats['MIPGap'] = None
    stats['Runtime'] = model.Runtime
    stats['NodeCount'] = model.NodeCount
    stats['IterCount'] = model.IterCount
    results['stats'] = stats
elif model.status == GRB.INF_OR_UNBD:
    print('Model is infeasible or unbounded')
    results['status'] = 'INF_OR_UNBD'
elif model.status == GRB.INFEASIBLE:
    print('Model is infeasible')
    results['status'] = 'INFEASIBLE'
elif model.status == GRB.UNBOUNDED:
    print('Model is unbounded')
    results['status'] = 'UNBOUNDED'
else:
    print(f'Optimization ended with status {model.status}')
    results['status'] = f'OPTIMIZATION_STATUS_{model.status}'
results_container['gurobi_output'] = results"""

# Two items per group, at most one per group, within a capacity; the bonus is only earned with
# item (2, 'b'). Best: (1, 'a') and (2, 'b') with the full bonus, 4 + 2 + 5 = 11 at weight 4.
KNAPSACK_BODY = """\
capacity = 7
value = {(1, 'a'): 4, (1, 'b'): 3, (2, 'a'): 5, (2, 'b'): 2}
weight = {(1, 'a'): 3, (1, 'b'): 2, (2, 'a'): 4, (2, 'b'): 1}
model = gp.Model('OPLModel')

take = model.addVars(itertools.product(range(1, 2 + 1), ['a', 'b']), vtype=GRB.BINARY, name='take')
bonus = model.addVar(vtype=GRB.CONTINUOUS, name='bonus', lb=0, ub=5)

model.update()

model.setObjective(gp.quicksum(value[i, k] * take[i, k] for i in range(1, 2 + 1) for k in ['a', 'b']) + bonus, GRB.MAXIMIZE)

model.addConstr(gp.quicksum(weight[i, k] * take[i, k] for i in range(1, 2 + 1) for k in ['a', 'b']) <= capacity, name='cap')
for i in range(1, 2 + 1):
    model.addConstr(take[i, 'a'] + take[(i, 'b')] <= 1, name=('one' + '[' + ','.join(str(v) for v in [i]) + ']'))
model.addGenConstrIndicator(take[2, 'b'], 0, bonus <= 0.0, name='bonus_off')
"""


class TestScripts:
    def test_generated_shape_end_to_end(self):
        run = execute_gurobi_script(PREAMBLE + KNAPSACK_BODY + EPILOGUE)
        results = run.results
        assert list(results) == ["solution", "objective_value", "status", "stats"]
        assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(11.0)
        assert results["solution"] == pytest.approx(
            {"take[1,a]": 1.0, "take[1,b]": 0.0, "take[2,a]": 0.0, "take[2,b]": 1.0, "bonus": 5.0})
        stats = results["stats"]
        assert list(stats) == ["MIPGap", "Runtime", "NodeCount", "IterCount"]
        assert stats["MIPGap"] == pytest.approx(0.0) and stats["Runtime"] >= 0 and stats["NodeCount"] >= 0
        assert [c.ConstrName for c in run.model.getConstrs()] == ["cap", "one[1]", "one[2]"]
        assert [g.GenConstrName for g in run.model.getGenConstrs()] == ["bonus_off"]
        assert run.stdout.startswith("Optimal solution found:\ntake[1,a]: ")
        assert run.stdout.endswith("Objective value: 11.0\n")

    @pytest.mark.parametrize("body, results", [
        ("x = model.addVar(name='x')\nmodel.addConstr(x >= 2, name='lo')\nmodel.addConstr(x <= 1, name='hi')\n",
         {"status": "INFEASIBLE"}),
        ("n = model.addVar(vtype=GRB.INTEGER, name='n')\nmodel.setObjective(n, GRB.MAXIMIZE)\n",
         {"status": "UNBOUNDED"}),  # reported only after the second solve
        ("x = model.addVar(name='x', lb=-GRB.INFINITY)\nmodel.addConstr(x >= 1.5, name='c')\nmodel.setObjective(2 * x, GRB.MINIMIZE)\n",
         {"status": "OPTIMAL", "objective_value": 3.0, "x": 1.5, "MIPGap": None}),
    ])
    def test_statuses(self, body, results):
        got = run_gurobi_script(PREAMBLE + "model = gp.Model('OPLModel')\n" + body + EPILOGUE)
        if "stats" in got:
            got["MIPGap"] = got.pop("stats")["MIPGap"]
            got.update(got.pop("solution"))
        assert got == pytest.approx(results)

    def test_the_frames_own_preamble_and_epilogue(self):
        body = KNAPSACK_BODY.splitlines()

        class HandWrittenSections(GurobiCodeGenerator):
            def _generate_data_declarations(self, data_dict):
                for line in body[:3]:
                    self._add_code_line(line)

            def _generate_declarations(self, declarations):
                for line in body[5:10]:
                    self._add_code_line(line)

            def _traverse_expression(self, node, current_iterators, symbolic=False):
                return node["text"]

            def _collect_variable_bounds(self, constraints):
                pass

            def _generate_constraints(self, constraints):
                for line in constraints:
                    self._add_code_line(line)

        objective = body[10][len("model.setObjective("):-len(", GRB.MAXIMIZE)")]
        ast = {"declarations": [], "objective": {"type": "maximize", "expression": {"text": objective}},
               "constraints": body[12:]}
        text = HandWrittenSections(ast).generate_code()
        assert text == PREAMBLE + KNAPSACK_BODY + EPILOGUE
        assert run_gurobi_script(text)["objective_value"] == pytest.approx(11.0)

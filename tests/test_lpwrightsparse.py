"""The CSC generator: columns, objective, rows and bounds as matrices, data in every shape the
Gurobi target's data section accepts, and the errors of models and data."""
import math
import random

import pytest

from korvane.faultlore import SemanticError
from korvane.lpwrightcore import SciPyCodeGeneratorBase
from korvane.lpwrightsparse import EPS, SciPyCSCCodeGenerator
from korvane.oplparse import parse_model
from scipy_support import bounds, built, csc, generator, rows, run_script, solved

INF = math.inf


def objective(gen):
    return {name: coef for name, coef in zip(gen.var_names, gen.c) if coef}


# ---- columns ----

def test_columns_in_declaration_order_with_gurobipy_names():
    gen = built("""
        tuple P { string a; int b; }
        {P} Ps = ...;
        {string} S = ...;
        range R = 1..2;
        dvar float z;
        dvar int+ x[R][S];
        dvar boolean y[Ps];
        dvar float+ w[2..3];
        minimize z;
        subject to {}
    """, 'Ps = {<"p", 1>, <"q", 2>}; S = {"a", "b"};')
    assert gen.var_names == ["z", "x[1,a]", "x[1,b]", "x[2,a]", "x[2,b]", "y[p,1]", "y[q,2]", "w[2]", "w[3]"]
    assert gen.var_indices == {name: j for j, name in enumerate(gen.var_names)}
    assert gen.model_var_count == 9
    assert isinstance(gen, SciPyCodeGeneratorBase)


@pytest.mark.parametrize("var_type, low, high, integer", [
    ("boolean", 0, 1, 1), ("int+", 0, INF, 1), ("int", -INF, INF, 1), ("float+", 0, INF, 0), ("float", -INF, INF, 0),
])
def test_domains(var_type, low, high, integer):
    gen = built(f"dvar {var_type} v; minimize v; subject to {{}}")
    assert bounds(gen, "v") == (low, high)
    assert list(gen.integrality) == [integer]


def test_attribute_forms():
    gen = built("dvar float+ x; dvar float+ y; maximize 2 * x + 3; subject to { c: x + y <= 4; x - y == 1; }")
    assert gen.objective_sense == "maximize" and gen.objective_constant == 3.0
    assert list(gen.c) == [2.0, 0.0]
    assert gen.c.typecode == "d" and gen.integrality.typecode == "B"
    for matrix in (gen.A_ub, gen.A_eq):
        assert set(matrix) == {"data", "indices", "indptr", "shape"}
        assert (matrix["data"].typecode, matrix["indices"].typecode, matrix["indptr"].typecode) == ("d", "i", "i")
    assert gen.A_ub["shape"] == (1, 2) and list(gen.A_ub["indptr"]) == [0, 1, 2]
    assert rows(gen) == [({"x": 1.0, "y": 1.0}, 4.0)]
    assert rows(gen, "eq") == [({"x": 1.0, "y": -1.0}, 1.0)]


# ---- rows ----

@pytest.mark.parametrize("op, terms, rhs, which", [
    ("<=", {"x": 1.0, "y": -2.0}, 3.0, "ub"),
    (">=", {"x": -1.0, "y": 2.0}, -3.0, "ub"),
    ("==", {"x": 1.0, "y": -2.0}, 3.0, "eq"),
    ("<", {"x": 1.0, "y": -2.0}, 3.0 - EPS, "ub"),
    (">", {"x": -1.0, "y": 2.0}, -3.0 - EPS, "ub"),
])
def test_comparison_rows(op, terms, rhs, which):
    gen = built(f"dvar float x; dvar float y; minimize x; subject to {{ x - 1 {op} 2 * y + 2; }}")
    assert rows(gen, which) == [(terms, pytest.approx(rhs))]
    assert rows(gen, "eq" if which == "ub" else "ub") == []


def test_repeated_columns_are_merged_and_zeros_dropped():
    gen = built("dvar float x; dvar float y; dvar float z; minimize x;"
                "subject to { x + y + x - y + 0 * z + z <= 1; }")
    assert rows(gen) == [({"x": 2.0, "z": 1.0}, 1.0)]


def test_single_column_rows_become_bounds():
    gen = built("dvar int x[1..3]; minimize x[1]; subject to {"
                "forall(i in 1..3) x[i] <= 2 * i; x[2] >= 1; 3 >= x[3]; -2 * x[1] >= -5; x[3] == 2.5 + 0.5; }")
    assert [bounds(gen, f"x[{i}]") for i in (1, 2, 3)] == [(-INF, 2.0), (1.0, 4.0), (3.0, 3.0)]
    assert rows(gen) == [] and rows(gen, "eq") == []


def test_crossing_bounds_make_the_model_infeasible():
    text = "dvar float x; minimize x; subject to { x >= 3; x <= 1; }"
    gen = built(text)
    # The column keeps a finite point for the big-M values of later rows; the contradicting
    # bound stays a row, so an explanation can name it.
    assert bounds(gen, "x") == (3.0, 3.0) and rows(gen) == [({"x": 1.0}, 1.0)]
    assert solved(text)["status"] == "INFEASIBLE"


def test_constant_constraints():
    assert rows(built("dvar float x; minimize x; subject to { 1 <= 2; }")) == []
    with pytest.raises(SemanticError, match=r"line 1 can never hold: it has no decision variables, and 3 <= 2 is false"):
        built("dvar float+ x; minimize x; subject to { 3 <= 2; }")


def test_matrices_are_sorted_csc():
    gen = built("range I = 1..30; dvar float x[I]; minimize sum(i in I) x[i];"
                "subject to { forall(i in 1..29) x[i] + x[i + 1] + x[31 - i] >= i; }")
    matrix = csc(gen.A_ub)
    matrix.check_format(full_check=True)
    assert matrix.has_sorted_indices and matrix.shape == (29, 30)
    dense = matrix.toarray()
    assert dense[0, 0] == dense[0, 1] == dense[0, 29] == -1


# ---- data ----

SHAPES_MODEL = """
    {string} S = ...;
    range R = 1..2;
    float p[S][R] = ...;
    dvar float+ x[S][R];
    minimize sum(s in S, r in R) p[s][r] * x[s][r];
    subject to {}
"""


@pytest.mark.parametrize("data", [
    "p = [[1, 2], [3, 4]];",
    "p = #[<\"a\", 1>: 1, <\"a\", 2>: 2, <\"b\", 1>: 3, <\"b\", 2>: 4]#;",
    "p = #[\"a\": #[1: 1, 2: 2]#, \"b\": #[1: 3, 2: 4]#]#;",
    "p = #[\"a\": [1, 2], \"b\": [3, 4]]#;",
    "p__map = [[1, 2], [3, 4]];",
])
def test_two_dimensional_data_shapes(data):
    gen = built(SHAPES_MODEL, 'S = {"a", "b"};' + data)
    assert objective(gen) == {"x[a,1]": 1, "x[a,2]": 2, "x[b,1]": 3, "x[b,2]": 4}


def test_flat_key_value_list_and_alias_precedence():
    gen = built('{string} S = ...; float p[S] = ...; dvar float+ x[S]; minimize sum(s in S) p[s] * x[s];'
                'subject to {}', 'S = {"a", "b"}; p = [9, 9]; p__map = ["a", 1, "b", 2.5];')
    assert objective(gen) == {"x[a]": 1, "x[b]": 2.5}


def test_ranges_from_data_inline_values_and_expressions():
    gen = built("""
        int n = 3;
        range R = ...;
        float w[1..n] = [1.5, 2, 4];
        {int} K = {2, 3};
        dvar float+ x[R];
        minimize sum(i in R : i >= 2) w[i] * x[i] + sum(k in K) (k > 2 ? 10 : 20) * x[k]
                 + max(w[1], 3) * x[1] + min(w[2], 1) * x[1] + sqrt(16) * x[3] - w[1] / 2 * x[2];
        subject to {}
    """, "R = 1..3;")
    assert objective(gen) == {"x[1]": 4.0, "x[2]": 2 + 20 - 0.75, "x[3]": 4 + 10 + 4}


def test_tuple_sets_fields_and_tuple_arrays():
    gen = built("""
        tuple Arc { string from; string to; float cost; }
        tuple Info { int cap; }
        {Arc} Arcs = ...;
        {string} Nodes = ...;
        Info info[Nodes] = ...;
        float bonus[Arcs] = ...;
        dvar float+ flow[Arcs];
        minimize sum(a in Arcs : a.from != "c") (a.cost + bonus[a] + info[a.to].cap) * flow[a]
                 + flow[<"a", "b", 1.5>];
        subject to { forall(n in Nodes) sum(a in Arcs : a.to == n) flow[a] <= info[n].cap; }
    """, 'Arcs = {<"a", "b", 1.5>, <"b", "c", 2>, <"c", "a", 3>}; Nodes = {"a", "b", "c"};'
         'info = [<10>, <20>, <30>]; bonus = #[<"a", "b", 1.5>: 1, <"b", "c", 2>: 2, <"c", "a", 3>: 3]#;')
    assert gen.var_names == ["flow[a,b,1.5]", "flow[b,c,2]", "flow[c,a,3]"]
    assert objective(gen) == {"flow[a,b,1.5]": 1.5 + 1 + 20 + 1, "flow[b,c,2]": 2 + 2 + 30}
    assert gen.tuple_types == {"Arc": ["from", "to", "cost"], "Info": ["cap"]}
    # one-column rows became bounds
    assert [bounds(gen, n)[1] for n in gen.var_names] == [20, 30, 10]


def test_tuple_array_given_as_dictionary_of_records():
    gen = built('tuple T { int a; int b; } {string} S = ...; T t[S] = ...; dvar float+ x[S];'
                'minimize sum(s in S) t[s].b * x[s]; subject to {}',
                'S = {"u", "v"}; t = #["v": <1, 2>, "u": <3, 4>]#;')
    assert objective(gen) == {"x[u]": 4, "x[v]": 2}


def test_multiple_iterators_filters_and_labels_in_foralls():
    gen = built("range I = 1..3; dvar float+ x[I][I]; minimize x[1][1]; subject to {"
                " forall(i in I, j in I : i < j) c: x[i][j] + x[j][i] <= i * j; }")
    assert rows(gen) == [({"x[1,2]": 1, "x[2,1]": 1}, 2), ({"x[1,3]": 1, "x[3,1]": 1}, 3),
                         ({"x[2,3]": 1, "x[3,2]": 1}, 6)]


def test_caller_data_is_not_changed():
    data = {"p": ["a", 1, "b", 2], "S": ["a", "b"]}
    gen = SciPyCSCCodeGenerator(
        parse_model('{string} S = ...; float p[S] = ...; dvar float+ x[S]; minimize sum(s in S) p[s] * x[s];'
                    'subject to {}'), data)
    gen.generate_code()
    assert data == {"p": ["a", 1, "b", 2], "S": ["a", "b"]}


# ---- errors ----

@pytest.mark.parametrize("model, data, message, line", [
    ("int n = ...;\ndvar float x;\nminimize n * x;\nsubject to {}", "",
     "Parameter 'n' declared with '= ...' in .mod but not found in .dat file.", 1),
    ("range R = 1..3;\nfloat p[R] = ...;\ndvar float x;\nminimize x;\nsubject to {}", "p = [1, 2];",
     "Parameter 'p' data length 2 does not match declared dimension 'R' of length 3 at dimension 1.", 2),
    ("range R = 1..2;\nfloat p[R][R] = ...;\ndvar float x;\nminimize x;\nsubject to {}", "p = [1, 2];",
     "Parameter 'p' expected a 1D array, got scalar at dimension 2.", 2),
    ("{string} S = ...;\nfloat p[S] = ...;\ndvar float x;\nminimize x;\nsubject to {}",
     'S = {"a"}; p = #["a": [1]]#;',
     "Parameter 'p' declared as 1-D over 'S' expects scalar values per key, but data provides an array for key a.",
     2),
    ("dvar float x;\nminimize x;\nsubject to {\n  c: x <= 2;\n}", "", None, None),
    ("{string} S = ...;\ndvar float x[S];\nminimize 1;\nsubject to {}", "",
     "Set 'S' declared in .mod but not found in .dat file.", 1),
    ("range R = ...;\ndvar float x[R];\nminimize 1;\nsubject to {}", "",
     "Range 'R' declared as external. Ranges must be defined in the model with explicit bounds", 1),
])
def test_data_errors(model, data, message, line):
    gen = generator(model, data)
    if message is None:
        gen.build_matrices()
        return
    with pytest.raises(SemanticError) as info:
        gen.generate_code()
    assert message in info.value.message and info.value.lineno == line


@pytest.mark.parametrize("constraint, message", [
    ("x[1] * x[2] <= 3", "Unsupported non-linear expression in constraint 'cap': a product of two expressions"),
    ("x[1] / x[2] <= 3", "Unsupported non-linear expression in constraint 'cap': a division by an expression"),
    ("(x[1] >= 1 ? x[1] : 0) <= 3", "a condition over decision variables"),
    ("p[4] * x[1] <= 3", "Parameter 'p' not found for index [4] in constraint 'cap'"),
    ("x[4] <= 3", "Index out of range: variable 'x' has no element [4] (dimension 1 runs over '1..3')"),
    ("sqrt(x[1]) <= 3", "sqrt, functions other than abs, subscripts and fields take data only"),
])
def test_model_errors_name_the_constraint_and_line(constraint, message):
    model = f"float p[1..3] = [1, 2, 3];\ndvar float+ x[1..3];\nminimize x[1];\nsubject to {{\n  cap: {constraint};\n}}"
    with pytest.raises(SemanticError) as info:
        generator(model).generate_code()
    assert message in info.value.message
    assert info.value.lineno == 5


def test_errors_inside_foralls_show_the_iterator_values():
    with pytest.raises(SemanticError, match=r"^Semantic Error \(Line 1\): Division by zero in constraint 'c\[2,b\]'"):
        generator('{string} S = ...; float p[1..2][S] = ...; dvar float x; minimize x;'
                  'subject to { forall(i in 1..2, s in S) c: x / (p[i][s] - 4) <= 1; }',
                  'S = {"a", "b"}; p = [[1, 2], [3, 4]];').generate_code()


def test_model_without_variables():
    with pytest.raises(SemanticError, match="declares no decision variables"):
        generator("int n = 1; minimize n; subject to {}").generate_code()


def test_deep_expressions_raise_recursion_error():
    tree = parse_model("dvar float x; minimize x; subject to {}")
    node = {"type": "name", "value": "x"}
    for _ in range(100000):
        node = {"type": "uminus", "value": node}
    tree["objective"]["expression"] = node
    with pytest.raises(RecursionError):
        SciPyCSCCodeGenerator(tree, {}).generate_code()


# ---- the script ----

def test_script_solves_an_lp_with_linprog():
    text = generator("dvar float+ x; dvar float+ y; maximize 3 * x + 2 * y + 1;"
                     "subject to { x + y <= 4; x + 3 * y <= 6; x <= 3; }").generate_code()
    compile(text, "<scipy>", "exec")
    assert "linprog(" in text and "base64" in text and "np.frombuffer" in text
    results = run_script(text)
    assert results["status"] == "OPTIMAL"
    assert results["objective_value"] == pytest.approx(3 * 3 + 2 * 1 + 1)
    assert results["solution"] == {"x": pytest.approx(3), "y": pytest.approx(1)}
    assert set(results["stats"]) == {"MIPGap", "Runtime", "NodeCount", "IterCount"}
    assert "Optimal solution found:" in results["_stdout"] and "Objective value: 12.0" in results["_stdout"]


def test_script_reports_unbounded_and_keeps_only_declared_variables_in_the_solution():
    assert solved("dvar float x; minimize x; subject to {}")["status"] == "UNBOUNDED"
    results = solved("dvar int x in 0..5; dvar int y in 0..5; minimize x + y; subject to { x != y; }")
    assert set(results["solution"]) == {"x", "y"} and results["objective_value"] == pytest.approx(1)


def test_results_variable_name_and_lines():
    gen = generator("dvar float+ x; minimize x; subject to {}")
    gen.results_varname = "outcome"
    text = gen.generate_code()
    assert "outcome = {}" in text and "results_container['scipy_output'] = outcome" in text
    assert gen.scipy_code_lines == text.split("\n")
    assert gen.generate_code() == text


def test_script_reads_the_generator_attributes():
    class Renamed(SciPyCSCCodeGenerator):
        def build_matrices(self):
            super().build_matrices()
            self.var_names[0] = "renamed"
            self.c[1] = 5.0

    gen = Renamed(parse_model("dvar float+ x[1..2]; minimize x[1] + x[2]; subject to { x[1] + x[2] >= 1; }"), {})
    results = run_script(gen.generate_code())
    assert results["solution"] == {"renamed": pytest.approx(1), "x[2]": pytest.approx(0)}


def test_big_arrays_are_embedded_compactly():
    n = 300
    text = generator(f"range I = 1..{n}; dvar float+ x[I][I]; minimize sum(i in I, j in I) x[i][j];"
                     "subject to { forall(i in I) sum(j in I) x[i][j] >= 1; }").generate_code()
    assert len(text) < 8 * n * n
    assert run_script(text)["objective_value"] == pytest.approx(n)


def test_every_array_loads_back_exactly_and_writable():
    # Constant bounds and right-hand sides, costs that do not compress, a negative zero, row
    # indices whose differences need 32 bits and column pointers that fit in 8.
    n = 40000
    gen = generator(f"""
        range I = 1..{n};
        float cost[I] = ...;
        dvar float+ x[I];
        dvar float y in -3..5;
        dvar boolean b;
        minimize sum(i in I) cost[i] * x[i] + y - 0 * b;
        subject to {{
          forall(i in I) x[i] + y <= 7;
          forall(i in I : i <= 3) x[i] - y == -0.0;
          b + y >= 1;
        }}""", "cost = [" + ", ".join(repr(random.Random(i).random()) for i in range(n)) + "];")
    text = gen.generate_code()
    namespace = {"results_container": {}}
    exec(compile(text[:text.index("\n# Solve")], "<scipy script>", "exec"), namespace)
    assert namespace["c"].tobytes() == gen.c.tobytes()
    assert namespace["lb"].tobytes() == gen.bounds[0].tobytes() and namespace["ub"].tobytes() == gen.bounds[1].tobytes()
    assert namespace["integrality"].tobytes() == gen.integrality.tobytes()
    for name in ("A_ub", "A_eq"):
        loaded, built_matrix = namespace[name], getattr(gen, name)
        assert loaded.shape == built_matrix["shape"]
        for part in ("data", "indices", "indptr"):
            assert getattr(loaded, part).tobytes() == built_matrix[part].tobytes(), (name, part)
    for name in ("b_ub", "b_eq"):
        assert namespace[name].tobytes() == getattr(gen, name).tobytes()
    for name in ("c", "lb", "ub", "integrality", "b_ub", "b_eq"):
        assert namespace[name].flags.writeable, name
    for form in ("_raw('", "_fill('", "_codes('", "'<i4', '<i4')", "'<i1', '<i4')"):
        assert form in text, form

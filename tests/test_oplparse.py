"""korvane.oplparse.parse_model: the model tree of each construct of the .mod language."""
import json
import pathlib

import pytest
from trees import binop, name, named_range, named_set, num, paren

from korvane.faultlore import SemanticError
from korvane.oplparse import parse_files, parse_model

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


# ---- node builders beside the shared ones, so that expected trees read like the model text ----

def cmp(op, left, right):
    return {**binop(op, left, right), "sem_type": "boolean"}


def at(n, *subscripts):
    return {"type": "indexed_name", "name": n, "dimensions": list(subscripts)}


def ref(n, **extra):
    return {"type": "name_reference_index", "name": n, **extra}


def lit(v):
    return {"type": "number_literal_index", "value": v}


def span(start, end):
    return {"type": "range_specifier", "start": start, "end": end}


def over(iterator, rng):
    return {"iterator": iterator, "range": rng}


def constraint(op, left, right, lineno, **extra):
    return {"type": "constraint", "op": op, "left": left, "right": right, "lineno": lineno, **extra}


def sum_of(iterators, body, where=None):
    node = {"type": "sum", "iterators": iterators}
    if where is not None:
        node["index_constraint"] = where
    node["expression"] = body
    return node


def declarations(text):
    return parse_model(text)["declarations"]


def constraints(text):
    return parse_model(text)["constraints"]


def objective_expr(text):
    return parse_model(text)["objective"]["expression"]


R_DIM = {"type": "named_range_dimension", "name": "R", "start": num(1), "end": name("n")}
HEADER = "int n = ...; range R = 1..n; {string} S = ...; tuple T { string a; int b; } {T} Ts = ...;\n"


# ---- the root and the objective ----

def test_empty_model_minimises_zero():
    assert parse_model("") == {
        "declarations": [],
        "objective": {"type": "minimize", "expression": num(0)},
        "constraints": [],
    }


@pytest.mark.parametrize("sense", ["maximize", "minimize"])
def test_objective(sense):
    tree = parse_model(f"dvar float x;\n{sense} 2 * x;")
    assert tree["objective"] == {"type": sense, "expression": binop("*", num(2), name("x")), "lineno": 2}


# ---- declarations ----

@pytest.mark.parametrize("text, expected", [
    ("int n;", {"type": "parameter_external", "name": "n", "value_type": "int", "lineno": 1}),
    ("float c = ...;", {"type": "parameter_external_explicit", "name": "c", "value_type": "float", "lineno": 1}),
    ("int n = -3;", {"type": "parameter_inline", "name": "n", "value": -3, "value_type": "int", "lineno": 1}),
    ("float f = 2;", {"type": "parameter_inline", "name": "f", "value": 2.0, "value_type": "float", "lineno": 1}),
    ("int+ k = 4;", {"type": "parameter_inline", "name": "k", "value": 4, "value_type": "int+", "lineno": 1}),
    ('string s = "a\\"b";', {"type": "parameter_inline", "name": "s", "value": 'a"b', "value_type": "string", "lineno": 1}),
    ("boolean b = false;", {"type": "parameter_inline", "name": "b", "value": False, "value_type": "boolean", "lineno": 1}),
    ("int d[1..3];", {"type": "parameter_external_indexed", "name": "d", "dimensions": [
        {"type": "range_index", "start": num(1), "end": num(3)}], "value_type": "int", "lineno": 1}),
    ("float c[1..2][1..2] = ...;", {"type": "parameter_external_explicit_indexed", "name": "c", "dimensions": [
        {"type": "range_index", "start": num(1), "end": num(2)}] * 2, "value_type": "float", "lineno": 1}),
    ("float m[1..2][1..2] = [[1, 2.5], [3 4]];", {
        "type": "parameter_inline_indexed", "name": "m", "value": [[1.0, 2.5], [3.0, 4.0]],
        "dimensions": [{"type": "range_index", "start": num(1), "end": num(2)}] * 2, "value_type": "float",
        "lineno": 1}),
])
def test_parameters(text, expected):
    assert declarations(text) == [expected]


def test_dimensions_over_named_ranges_sets_and_tuple_sets():
    decls = declarations(HEADER + "float c[R][S][Ts]; float d[R, 2..(n + 1)];")
    assert decls[-2]["dimensions"] == [R_DIM, {"type": "named_set_dimension", "name": "S"},
                                       {"type": "named_set_dimension", "name": "Ts"}]
    # Bounds of ranges and dimensions are evaluated from numbers, names and arithmetic only.
    assert decls[-1]["dimensions"] == [R_DIM, {"type": "range_index", "start": num(2), "end": binop("+", name("n"), num(1))}]


def test_ranges_tuples_and_sets():
    decls = declarations("""
        int n = 4;
        range R = 1..(n - 1);
        range E = ...;
        tuple Arc { key string from; string to; float cost; }
        {string} S = ...;
        {int} K = {1, 2, 3};
        {Arc} A = ...;
        {Arc} B = {<"x", "y", 2.5>, <"y", "z", 1>};
        Arc by_name[S] = ...;
    """)
    assert decls[1:] == [
        {"type": "range_declaration_inline", "name": "R", "start": num(1), "end": binop("-", name("n"), num(1)), "lineno": 3},
        {"type": "range_declaration_external", "name": "E", "lineno": 4},
        {"type": "tuple_type", "name": "Arc", "fields": [{"name": "from", "type": "string"}, {"name": "to", "type": "string"},
                                                        {"name": "cost", "type": "float"}], "lineno": 5},
        {"type": "typed_set_external", "name": "S", "element_type": "string", "lineno": 6},
        {"type": "typed_set", "name": "K", "value": [1, 2, 3], "element_type": "int", "lineno": 7},
        {"type": "set_of_tuples_external", "name": "A", "tuple_type": "Arc", "lineno": 8},
        {"type": "set_of_tuples", "name": "B", "tuple_type": "Arc", "value": [["x", "y", 2.5], ["y", "z", 1]], "lineno": 9},
        {"type": "tuple_array_external", "name": "by_name", "tuple_type": "Arc", "index_set": "S", "lineno": 10},
    ]


@pytest.mark.parametrize("domain", ["boolean", "int", "int+", "float", "float+"])
def test_decision_variables_of_every_domain(domain):
    decls = declarations(HEADER + f"dvar {domain} x; dvar {domain} y[R][S];")
    assert decls[-2:] == [
        {"type": "dvar", "name": "x", "var_type": domain, "lineno": 2},
        {"type": "dvar_indexed", "name": "y", "var_type": domain,
         "dimensions": [R_DIM, {"type": "named_set_dimension", "name": "S"}], "lineno": 2},
    ]


def test_variable_bounds_follow_the_model_constraints():
    tree = parse_model(HEADER + """dvar int x in 0..n;
        dvar float y[R][Ts] in -1..2.5;
        dvar int _z_i1;
        dvar int z[1..3] in 1..5;
        subject to { x <= 3; }""")
    y = at("y", ref("_y_i1"), ref("_y_i2"))
    z = at("z", ref("_z_i1_2"))  # the first fresh name is taken by the model's own variable
    assert tree["constraints"] == [
        constraint("<=", name("x"), num(3), 6),
        constraint(">=", name("x"), num(0), 2),
        constraint("<=", name("x"), name("n"), 2),
        {"type": "forall_constraint", "iterators": [over("_y_i1", named_range("R")), over("_y_i2", named_set("Ts"))],
         "constraints": [constraint(">=", y, num(-1), 3), constraint("<=", y, num(2.5), 3)], "lineno": 3},
        {"type": "forall_constraint", "iterators": [over("_z_i1_2", span(num(1), num(3)))],
         "constraints": [constraint(">=", z, num(1), 5), constraint("<=", z, num(5), 5)], "lineno": 5},
    ]


# ---- decision expressions ----

def test_scalar_dexpr_is_kept_and_substituted():
    tree = parse_model(HEADER + """dvar float x[R];
        dexpr float total = sum(i in R) x[i];
        maximize total;
        subject to { total <= 2 * total; }""")
    body = sum_of([over("i", named_range("R"))], at("x", ref("i")))
    assert tree["declarations"][-1] == {"type": "dexpr", "name": "total", "expression": body, "value_type": "float", "lineno": 3}
    assert tree["objective"]["expression"] == paren(body)
    assert tree["constraints"][0]["left"] == paren(body)
    assert tree["constraints"][0]["right"] == binop("*", num(2), paren(body))
    assert tree["constraints"][0]["left"] is not tree["constraints"][0]["right"]["right"]


def test_indexed_dexpr_replaces_its_index_without_capture():
    tree = parse_model(HEADER + """dvar float x[R][R];
        dexpr float load[i in R] = sum(j in R) x[i][j];
        subject to { forall(j in R) load[j + 1] + load[2] <= 5; }""")
    decl = tree["declarations"][-1]
    assert decl["type"] == "dexpr_indexed"
    assert decl["iterators"] == [over("i", named_range("R"))] and decl["dimensions"] == [R_DIM]
    # The inner iterator j would capture the subscript j + 1, so it is renamed.
    first = paren(sum_of([over("j_2", named_range("R"))], at("x", binop("+", ref("j"), lit(1)), ref("j_2"))))
    second = paren(sum_of([over("j", named_range("R"))], at("x", lit(2), ref("j"))))
    assert tree["constraints"][0]["constraint"]["left"] == binop("+", first, second)


# ---- constraints, foralls and labels ----

@pytest.mark.parametrize("op", ["==", "<=", ">=", "<", ">", "!="])
def test_comparison_constraints(op):
    assert constraints(f"dvar int x; constraints {{ (x {op} 1); }}") == [constraint(op, name("x"), num(1), 1)]


def test_labels_top_level_and_in_foralls():
    got = constraints(HEADER + """dvar int x[R][R];
        subject to {
          top: x[1][1] >= 0;
          forall(i in R, j in 1..n : i != j) {
            pair: x[i][j] <= 1;
            forall(k in S) inner: x[i][j] >= 0;
          }
          forall(i, j in R) x[i][j] == x[j][i];
        }""")
    assert got[0] == constraint(">=", at("x", lit(1), lit(1)), num(0), 4, label="top")
    outer = got[1]
    assert outer["iterators"] == [over("i", named_range("R")), over("j", span(num(1), name("n")))]
    assert outer["index_constraint"] == cmp("!=", name("i"), name("j"))
    pair, nested = outer["constraints"]
    assert pair["label_template"] == {"name": "pair", "iterators": ["i", "j"]} and "label" not in pair
    assert nested["constraint"]["label_template"] == {"name": "inner", "iterators": ["i", "j", "k"]}
    assert got[2]["iterators"] == [over("i", named_range("R")), over("j", named_range("R"))]
    assert got[2]["constraint"] == constraint("==", at("x", ref("i"), ref("j")), at("x", ref("j"), ref("i")), 9)


def test_iterators_over_tuple_sets_carry_their_tuple_type():
    got = constraints(HEADER + "dvar float f[Ts]; subject to { forall(t in Ts : t.a == \"p\") f[t] <= t.b; }")
    t = name("t", sem_type="T")
    assert got[0]["index_constraint"] == cmp("==", {"type": "field_access", "base": t, "field": "a"},
                                             {"type": "string_literal", "value": "p"})
    assert got[0]["constraint"]["left"] == at("f", ref("t", sem_type="T"))
    assert got[0]["constraint"]["right"] == {"type": "field_access", "base": t, "field": "b"}


def test_implications():
    got = constraints("dvar boolean b; dvar int x; dvar int y;\nsubject to {\n"
                      "  x >= 3 => (y <= 7);\n  b => x == 0;\n  (x >= 1 && !b) => y >= 1;\n}")
    assert got[0] == {"type": "implication_constraint", "antecedent": {"type": "constraint", "op": ">=", "left": name("x"),
                      "right": num(3)}, "consequent": {"type": "constraint", "op": "<=", "left": name("y"), "right": num(7)},
                      "lineno": 3}
    # A boolean variable as a condition stands for b == 1.
    assert got[1]["antecedent"] == {"type": "constraint", "op": "==", "left": name("b"), "right": num(1)}
    assert got[2]["antecedent"] == {"type": "and", "left": cmp(">=", name("x"), num(1)),
                                    "right": {"type": "not", "value": cmp("==", name("b"), num(1))}}


# ---- expressions ----

@pytest.mark.parametrize("text, expected", [
    ("a + b * c", binop("+", name("a"), binop("*", name("b"), name("c")))),
    ("(a + b) * c", binop("*", paren(binop("+", name("a"), name("b"))), name("c"))),
    ("a - b - c", binop("-", binop("-", name("a"), name("b")), name("c"))),
    ("-a / -2", binop("/", {"type": "uminus", "value": name("a")}, num(-2))),
    ("a >= 1 ? b : 2.5", {"type": "conditional", "condition": cmp(">=", name("a"), num(1)), "then": name("b"), "else": num(2.5)}),
    ("!(a == 1) || a < b && true", {"type": "or", "left": {"type": "not", "value": paren(cmp("==", name("a"), num(1)))},
                                    "right": {"type": "and", "left": cmp("<", name("a"), name("b")),
                                              "right": {"type": "boolean_literal", "value": True, "sem_type": "boolean"}}}),
    ("not a > 1 or a != 2 and b <= 1e3", {"type": "or", "left": cmp(">", {"type": "not", "value": name("a")}, num(1)),
                                          "right": {"type": "and", "left": cmp("!=", name("a"), num(2)),
                                                    "right": cmp("<=", name("b"), num(1000.0))}}),
    ("sqrt(a) + abs(b)", binop("+", {"type": "funcall", "name": "sqrt", "args": [name("a")]},
                              {"type": "funcall", "name": "abs", "args": [name("b")]})),
    ("min(a, 1) + maxl(b, c)", binop("+", {"type": "minl", "args": [name("a"), num(1)]},
                                    {"type": "maxl", "args": [name("b"), name("c")]})),
    ("sum(i in R : i > 1) d[i] * a + b", binop("+", sum_of([over("i", named_range("R"))], binop(
        "*", at("d", ref("i")), name("a")), cmp(">", name("i"), num(1))), name("b"))),
    ("sum(i in R, s in S) (a >= d[i])", sum_of([over("i", named_range("R")), over("s", named_set("S"))],
                                             paren(cmp(">=", name("a"), at("d", ref("i")))))),
    ("max(i in 1..n) d[i]", {"type": "max_agg", "iterators": [over("i", span(num(1), name("n")))], "expression": at("d", ref("i"))}),
])
def test_expressions(text, expected):
    assert objective_expr(HEADER + f"float a; float b; float c; float d[R]; minimize {text};") == expected


@pytest.mark.parametrize("subscript, expected", [
    ("3", lit(3)),
    ("i", ref("i")),
    ('"p"', {"type": "string_literal", "value": "p"}),
    ("true", {"type": "boolean_literal", "value": True, "sem_type": "boolean"}),
    ("t.b", {"type": "field_access_index", "base": name("t", sem_type="T"), "field": "b"}),
    ("2 * i - 1", {"type": "binop", "op": "-", "left": {"type": "binop", "op": "*", "left": lit(2), "right": ref("i")},
                   "right": lit(1)}),
    ("-(i)", {"type": "uminus", "value": {"type": "parenthesized_expression", "expression": ref("i")}}),
    ("<i, t.a>", {"type": "tuple_literal", "elements": [name("i"), {"type": "field_access", "base": name("t", sem_type="T"),
                                                                   "field": "a"}]}),
])
def test_index_nodes(subscript, expected):
    got = constraints(HEADER + f"float p[R]; subject to {{ forall(i in R, t in Ts) p[{subscript}] >= 0; }}")
    assert got[0]["constraint"]["left"]["dimensions"] == [expected]


def test_tuple_arrays_give_their_elements_a_tuple_type():
    expr = objective_expr(HEADER + "T rec[S] = ...; minimize sum(s in S) rec[s].b;")
    assert expr["expression"] == {"type": "field_access", "base": {**at("rec", ref("s")), "sem_type": "T"}, "field": "b"}


def test_comments_and_line_numbers():
    tree = parse_model("/* a block\n comment */ int n = 2; // trailing\n\n/* */ dvar int x;\nsubject to {\n"
                       "  c: x\n     >= n;\n}")
    assert [d["lineno"] for d in tree["declarations"]] == [2, 4]
    assert tree["constraints"][0]["lineno"] == 6


# ---- the examples ----

EXAMPLE_MODELS = sorted(EXAMPLES.glob("*.mod"))


def walk_constraints(nodes):
    for node in nodes:
        yield node
        yield from walk_constraints(node.get("constraints", []))
        if "constraint" in node:
            yield from walk_constraints([node["constraint"]])


def test_there_are_at_least_eight_examples():
    assert len(EXAMPLE_MODELS) >= 8


@pytest.mark.parametrize("model", EXAMPLE_MODELS, ids=lambda p: p.stem)
def test_examples_parse(model):
    assert model.read_text().startswith("// optimum: ")
    float(model.read_text().splitlines()[0].split(":", 1)[1])
    tree, data = parse_files(model, model.with_suffix(".dat"))
    assert data and json.loads(json.dumps(tree)) == tree
    assert all(isinstance(d["lineno"], int) for d in tree["declarations"])
    assert all(isinstance(c["lineno"], int) for c in walk_constraints(tree["constraints"]))


def test_parse_files_without_data(tmp_path):
    model = tmp_path / "m.mod"
    model.write_text("dvar int x;\nminimize x;\n")
    tree, data = parse_files(str(model))
    assert data == {} and tree["objective"]["lineno"] == 2
    with pytest.raises(FileNotFoundError):
        parse_files(tmp_path / "missing.mod")
    with pytest.raises(FileNotFoundError):
        parse_files(model, tmp_path / "missing.dat")
    with pytest.raises(IsADirectoryError):
        parse_files(tmp_path)
    (tmp_path / "latin1.dat").write_bytes(b'// caf\xe9 au lait\ns = "caf\xe9";')
    with pytest.raises(SemanticError) as info:
        parse_files(model, tmp_path / "latin1.dat")
    assert info.value.lineno == 2 and info.value.message.startswith("Invalid byte 0xE9 (not UTF-8) outside a comment")

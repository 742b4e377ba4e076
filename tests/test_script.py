"""Script blocks: the interpreter of execute and main blocks, run with the model's data during
instantiation and with the solution afterwards (run_script)."""
import io
import itertools
import math

import pytest

import korvane
import korvane.oplparse as oplparse
from korvane.faultlore import SemanticError
from korvane.oplparse import instantiate, parse_model, run_script


def prepared(model, data=None):
    return instantiate(parse_model(model, "m.mod"), data or {}, "m.mod")


def log_of(body, decls="", data=None):
    tree, _ = prepared(decls + "execute {\n" + body + "\n}\n", data)
    return tree["script_log"]


# ---- statement forms ----

@pytest.mark.parametrize("body, log", [
    # numbers as JavaScript writes them
    ('writeln(1 + 2, " ", 7 / 2, " ", 1 / 3, " ", 2 * 0.1, " ", 1e21, " ", 1e-7, " ", -0.5, " ", 10 % 4);',
     "3 3.5 0.3333333333333333 0.2 1e+21 1e-7 -0.5 2\n"),
    ('write("a" + 1 + 2); write(1 + 2 + "a"); writeln();', "a123a\n"),
    ('writeln(true && "x", " ", 0 || "y", " ", !0, " ", null, " ", undefined);', "x y true null undefined\n"),
    ('writeln(1 == "1", " ", "b" > "a", " ", 2 < 10, " ", "2" < "10", " ", 1 != 1);', "true true true false false\n"),
    # variables, compound assignment, ++ and --
    ("var a = 5, b; a += 2; a -= 1; a *= 3; a /= 2; var c = a++; var d = --a; writeln(a, b, c, d);",
     "9undefined99\n"),
    # loops, break, continue
    ("var s = 0; for (var i = 0; i < 10; i++) { if (i == 7) break; if (i % 2) continue; s += i; } writeln(s);", "12\n"),
    ("var n = 0; while (n < 100) n = n * 2 + 1; writeln(n);", "127\n"),
    ("var k = 0; for (;;) { k++; if (k >= 3) break; } writeln(k);", "3\n"),
    ("if (1 > 2) writeln(1); else if (2 > 1) writeln(2); else writeln(3);", "2\n"),
    # arrays
    ("var a = new Array(); a[2] = 'z'; var b = [1, [2, 3]]; writeln(a.length, ' ', a, ' ', b[1][0], ' ', b.length);",
     "3 ,,z 2 2\n"),
    ("var a = new Array(3); var m = new Array(4, 5); for (var i in m) a[i] = m[i] * 2; writeln(a, ' ', m);",
     "8,10, 4,5\n"),
    ("var grid = new Array(); for (var i = 0; i < 2; i++) { grid[i] = new Array(); grid[i][i] = i + 1; } writeln(grid[1][1]);",
     "2\n"),
    # Math
    ("writeln(Math.abs(-2), Math.min(3, 1, 2), Math.max(), Math.floor(-1.5), Math.ceil(1.2), Math.round(-2.5), "
     "Math.round(2.5), Math.sqrt(16), Math.pow(2, 10), Math.exp(0), Math.log(1));", "21-Infinity-22-234102410\n"),
    ("writeln(Opl.abs(-3), Opl.floor(2.7), Opl.ceil(2.1), Opl.round(-2.5));", "323-3\n"),
    ("var s = 'abc'; writeln(s.length, s[1], s + 1);", "3babc1\n"),
])
def test_statement_forms(body, log):
    assert log_of(body) == log


def test_declared_data_sets_ranges_tuples_and_opl_functions():
    decls = ('tuple Arc { string from; string to; int cap; }\n{Arc} Arcs = ...;\n{string} Cities = ...;\n'
             'range R = 2..5;\nint c[Cities][R] = ...;\n')
    data = {"Arcs": [["a", "b", 3], ["b", "c", 4]], "Cities": ["a", "b", "c"],
            "c": [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]}
    body = """
      var total = 0;
      for (var a in Arcs) { total += a.cap; write(a.from, a.to, " "); }
      writeln(total, " ", Arcs);
      writeln(Opl.card(Cities), Opl.first(Cities), Opl.last(R), Opl.ord(Cities, "c"), Opl.item(R, 1),
              Opl.next(Cities, "a"), Opl.prev(R, 5), Opl.next(R, 2, 3), " ", Cities.size);
      var s = 0;
      for (var i in Cities) for (var j in R) s += c[i][j];
      writeln(s, " ", c["b"], " ", R);
    """
    assert log_of(body, decls, data) == 'ab bc 7 {<"a" "b" 3> <"b" "c" 4>}\n3a523b45 3\n78 [5 6 7 8] {2 3 4 5}\n'


# ---- scoping ----

def test_var_is_hoisted_to_the_block_and_hides_declared_names():
    decls = "int n = 4;\n"
    # `var n` anywhere in the block makes n a block variable from its first statement on.
    assert log_of("writeln(n); if (false) { var n = 1; } writeln(n);", decls) == "undefined\nundefined\n"
    assert log_of("for (var i = 0; i < 2; i++) { var last = i; } writeln(i, last, n);", decls) == "214\n"
    # Variables of one block are not seen by the next; an assigned undeclared name is a variable.
    tree, _ = prepared(decls + "execute { var x = 1; y = 2; }\nexecute { writeln(n); }\n")
    assert tree["script_log"] == "4\n"
    with pytest.raises(SemanticError, match=r"'x' is not declared"):
        prepared("execute { var x = 1; }\nexecute { writeln(x); }\n")


# ---- data written by pre-processing blocks ----

def test_blocks_change_the_data_the_model_and_later_declarations_see():
    model = """
      int n = ...;
      int bonus = 1;
      float w[1..n];
      {int} Even = {};
      tuple P { int a; float b; }
      {int} K = {1, 2};
      P rec[K] = ...;
      execute build {
        for (var i = 1; i <= n; i++) { w[i] = i * i; if (i % 2 == 0) Even.add(i); }
        bonus = bonus + n;
        rec[2].b = rec[1].b + 0.5;
      }
      float total = sum(i in Even) w[i];
      int m = bonus * 10;
    """
    data = {"n": 4, "rec": [[1, 1.25], [2, 0.0]]}
    before = {"n": 4, "rec": [[1, 1.25], [2, 0.0]]}
    tree, out = prepared(model, data)
    assert data == before  # the caller's data is not changed
    assert out["w"] == [1.0, 4.0, 9.0, 16.0] and out["Even"] == [2, 4] and out["bonus"] == 5
    assert out["total"] == 20.0 and out["m"] == 50 and out["rec"] == [[1, 1.25], [2, 1.75]]
    assert [d["type"] for d in tree["declarations"]].count("script_block") == 0
    assert tree["post_blocks"] == [] and tree["settings"] == {} and tree["ignored_settings"] == []


def test_script_strings_do_not_hide_the_model_after_the_block():
    tree, _ = prepared("execute { writeln('/*', \"'\"); }\nint n = 2;\nexecute { writeln(n, '*/'); }\n")
    assert tree["script_log"] == "/*'\n2*/\n"


def test_models_without_blocks_have_no_script_keys():
    tree, _ = prepared("dvar float x in 0..1;\nmaximize x;\n")
    assert set(tree) == {"declarations", "objective", "constraints"}


# ---- settings ----

def test_settings_are_captured_from_execute_and_main():
    tree, _ = prepared("""
      execute { cplex.tilim = 20; cplex.epgap = 1e-3; cplex.mipemphasis = 1; cplex.tilim = cplex.tilim * 3; }
      dvar int x in 0..3;
      maximize x;
      main { cplex.threads = 2; cplex.epagap = 0.5; cplex.nodelim = 9; cplex.mipemphasis = 2;
             writeln("before"); thisOplModel.generate(); cplex.solve(); writeln("after"); }
    """)
    assert tree["settings"] == {"time_limit": 60.0, "mip_gap": 0.001, "threads": 2, "mip_gap_abs": 0.5}
    assert tree["ignored_settings"] == ["mipemphasis", "nodelim"]
    assert tree["script_log"] == "before\n"
    assert [b["kind"] for b in tree["post_blocks"]] == ["main"]


# ---- after the solve ----

def test_post_blocks_read_the_solution_and_the_objective():
    model = """
      {string} Items = {"a", "b", "c"};
      float v[Items] = [3, 1, 2];
      dvar boolean take[Items];
      maximize sum(i in Items) v[i] * take[i];
      subject to { sum(i in Items) take[i] <= 2; }
      execute report {
        for (var i in Items) if (take[i].solutionValue > 0.5) writeln("take ", i, " worth ", v[i]);
        writeln("total ", cplex.getObjValue(), " ", take);
      }
    """
    tree, data = prepared(model)
    [block] = tree["post_blocks"]
    assert block["phase"] == "post" and block["name"] == "report" and block["lineno"] == 7
    assert block["statements"][0]["type"] == "for_in"
    solution = {"take[a]": 1.0, "take[b]": 0.0, "take[c]": 1.0}
    out = run_script(block, tree, data, solution, 5.0)
    assert out["log"] == "take a worth 3\ntake c worth 2\ntotal 5 [1 0 1]\n"


def test_main_runs_its_statements_after_the_solve_with_the_solution():
    tree, data = prepared("""
      dvar int x in 0..4;
      maximize x;
      main {
        thisOplModel.generate();
        if (cplex.solve()) writeln("x = ", thisOplModel.x.solutionValue, " obj ", cplex.getObjValue());
        else writeln("no solution");
        thisOplModel.postProcess();
      }
    """)
    [block] = tree["post_blocks"]
    assert run_script(block, tree, data, {"x": 4.0}, 4.0)["log"] == "x = 4 obj 4\n"
    assert run_script(block, tree, data, None, None)["log"] == "no solution\n"


# ---- errors ----

@pytest.mark.parametrize("model, line, words", [
    ("execute {\n  var f = function() { };\n}", 2, ["'var f = function() { }'", "'function' is not supported in script blocks"]),
    ("execute {\n  writeln(1);\n  do { } while (false);\n}", 3, ["'do { } while (false)'", "'do'"]),
    ("execute {\n  var m = new IloOplModel();\n}", 2, ["'new IloOplModel'", "not supported in script blocks"]),
    ("execute {\n  foo(1);\n}", 2, ["calling 'foo'", "not supported"]),
    ("execute {\n  var a = new Array();\n  a[1e9] = 1;\n}", 3, ["an array of more than 10000000 elements is not supported"]),
    ("execute {\n  Math.sin(1);\n}", 2, ["'Math.sin(...)'", "not supported"]),
    ("int n = 2;\nexecute {\n  writeln(n.size);\n}", 3, ["'writeln(n.size);' at line 3", "property 'size'"]),
    ("int n = 2;\nexecute {\n  n = 'a';\n}", 3, ["'n' is declared int", "'a'"]),
    ("int n = 2;\nexecute {\n  n = 2.5;\n}", 3, ["'n' is declared int", "2.5"]),
    ("{int} S = {1};\nexecute {\n  writeln(Opl.next(S, 1));\n}", 3, ["Opl.next: 'S' has no element 1 after 1"]),
    ("execute {\n  writeln(y);\n}", 2, ["'y' is not declared"]),
    ("int n = 2;\nexecute {\n  n[1] = 3;\n}", 3, ["assigning to an element of 2"]),
    ("execute {\n  var a = 1\n  var b = 2 3;\n}", 3, ["Syntax error", "'3' at line 3"]),
    ("execute {\n  writeln('open);\n}", 2, ["Unterminated string"]),
    ("int n;\nexecute {\n  writeln(1);\n", 2, ["closing '}' is missing"]),
    ("main {\n  thisOplModel.generate();\n  cplex.solve();\n  cplex.solve();\n}", 4, ["solving a second time"]),
    ("main {\n  thisOplModel.generate();\n  for (var i = 0; i < 2; i++) cplex.solve();\n}", 3,
     ["'cplex.solve();' at line 3 of main block", "solving inside a loop"]),
    ("main {\n  cplex.solve();\n  thisOplModel.generate();\n}", 3, ["generating the model again"]),
    ("main {\n  var sub = new IloOplModel(thisOplModel.modelDefinition, cplex);\n}", 2, ["'new IloOplModel'"]),
    ("execute {\n  cplex.solve();\n}", 2, ["solving in an execute block"]),
    ("tuple T { int a; }\n{T} S = {<1>};\nexecute {\n  for (var t in S) t.a = 2;\n}", 4, ["elements of sets are read-only"]),
])
def test_error_table(model, line, words):
    with pytest.raises(SemanticError) as info:
        prepared(model)
    assert info.value.lineno == line
    assert all(w in info.value.message for w in words), info.value.message


def test_step_budget_stops_endless_loops(monkeypatch):
    assert oplparse.SCRIPT_STEP_LIMIT == 10**8
    monkeypatch.setattr(oplparse, "SCRIPT_STEP_LIMIT", 100000)
    with pytest.raises(SemanticError, match=r"execute block 'spin' was stopped at line 3 after 100000 steps"):
        prepared("execute spin {\n  var i = 0;\n  while (true) i++;\n}")
    monkeypatch.setattr(oplparse, "SCRIPT_STEP_LIMIT", 50)
    assert log_of("for (var i = 0; i < 10; i++) {} writeln(i);") == "10\n"
    with pytest.raises(SemanticError, match=r"after 50 steps"):
        log_of("for (var i = 0; i < 30; i++) {}")
    monkeypatch.setattr(oplparse, "SCRIPT_STEP_LIMIT", 0)
    with pytest.raises(ValueError, match="SCRIPT_STEP_LIMIT must be a positive int"):
        log_of("writeln(1);")


@pytest.mark.parametrize("body", ["(" * 100000 + "1" + ")" * 100000, "{" * 100000 + "}" * 100000,
                                  "if (1) " * 100000 + "writeln(1);", "-" * 100000 + "1;"])
def test_deep_nesting_is_a_recursion_error(body):
    with pytest.raises(RecursionError):
        log_of(body)


# ---- solving models whose data a script builds ----

BUILT_KNAPSACK = """
int n = ...;
int seed = ...;
range I = 1..n;
int w[I];
int v[I];
{int} Odd;
int capacity;
execute build {
  var x = seed, total = 0;
  for (var i in I) {
    x = (x * 31 + 7) % 97;
    w[i] = x % 13 + 1;
    v[i] = (x * 5) % 17 + 2;
    total += w[i];
    if (i % 2 == 1) Odd.add(i);
  }
  capacity = Math.floor(total * 0.4);
}
dvar boolean take[I];
maximize sum(i in I) v[i] * take[i];
subject to {
  sum(i in I) w[i] * take[i] <= capacity;
  sum(i in Odd) take[i] <= 3;
}
"""


def brute_force_knapsack(n, seed):
    x, w, v = seed, [], []
    for _ in range(n):
        x = (x * 31 + 7) % 97
        w.append(x % 13 + 1)
        v.append((x * 5) % 17 + 2)
    capacity = math.floor(sum(w) * 0.4)
    best = 0
    for pick in itertools.product((0, 1), repeat=n):
        if sum(p * wi for p, wi in zip(pick, w)) <= capacity and sum(pick[0::2]) <= 3:
            best = max(best, sum(p * vi for p, vi in zip(pick, v)))
    return best


@pytest.mark.parametrize("n, seed", [(8, 3), (11, 50), (12, 91)])
def test_data_built_by_a_script_solves_to_the_brute_force_optimum(tmp_path, n, seed):
    from korvane.mipwright import GurobiCodeGenerator
    from script_runner import run_gurobi_script

    model, data = tmp_path / "built.mod", tmp_path / "built.dat"
    model.write_text(BUILT_KNAPSACK)
    data.write_text(f"n = {n};\nseed = {seed};\n")
    expected = brute_force_knapsack(n, seed)
    results = korvane.solve(str(model), str(data), output=io.StringIO())
    assert results["status"] == "OPTIMAL" and results["objective_value"] == pytest.approx(expected)
    tree, values = oplparse.parse_files(str(model), str(data))
    gurobi = run_gurobi_script(GurobiCodeGenerator(tree, values).generate_code())
    assert gurobi["objective_value"] == pytest.approx(expected)


KEYED_MODEL = """
{string} S = ...;
{int} R = ...;
float k[S] = ...;
float m[S][R] = ...;
tuple T { string s; int r; }
{T} Pairs = ...;
float p[Pairs] = ...;
float q[S] = ...;
execute {
  k["b"] = 10; m["a"][2] = 7.5; q["a"] = 9;
  for (var t in Pairs) p[t] = t.r * 100;
  writeln(k, m, p, q);
}
dvar float+ x in 0..1;
maximize sum(s in S) k[s] * x + sum(s in S, r in R) m[s][r] * x + sum(t in Pairs) p[t] * x + sum(s in S) q[s] * x;
"""
KEYED_DATA = ('S = {a b}; R = {1 2}; k = #[a: 1, b: 2]#; m = #[a: #[1: 1, 2: 2]#, b: #[1: 3, 2: 4]#]#;\n'
              'Pairs = {<"a",1>, <"b",2>}; p = #[<"a",1>: 5, <"b",2>: 6]#; q = [a 1 b 2];\n')


def test_elements_of_keyed_data_are_written_where_both_targets_read_them(tmp_path):
    from korvane.mipwright import GurobiCodeGenerator
    from script_runner import run_gurobi_script

    model, data = tmp_path / "keyed.mod", tmp_path / "keyed.dat"
    model.write_text(KEYED_MODEL)
    data.write_text(KEYED_DATA)
    tree, values = oplparse.parse_files(str(model), str(data))
    assert tree["script_log"] == "[1 10][[1 7.5] [3 4]][100 200][9 2]\n"
    assert values["p"] == {("a", 1): 100.0, ("b", 2): 200.0} and values["q"] == {"a": 9.0, "b": 2}
    expected = 11 + 15.5 + 300 + 11
    assert korvane.solve(str(model), str(data), output=io.StringIO())["objective_value"] == pytest.approx(expected)
    gurobi = run_gurobi_script(GurobiCodeGenerator(tree, values).generate_code())
    assert gurobi["objective_value"] == pytest.approx(expected)

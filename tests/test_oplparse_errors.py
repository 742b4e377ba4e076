"""Errors of korvane.oplparse: SemanticErrors with the texts the repair hints expect, the line
they refer to and the file name."""
import pytest

from korvane.faultlore import SemanticError
from korvane.oplparse import parse_data, parse_files, parse_model

HINT_SYNTAX = ("Hint: rewrite the construct using simpler supported Korvane syntax. In particular, avoid filtered "
               "declarations, advanced inline indexing, and OPL-only shorthand that is not part of this implementation.")
HINT_EOF = ("Hint: the model or data is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most "
            "recent declaration or constraint block.")
HINT_DAT_SYNTAX = ("Hint: .dat files must contain plain data assignments such as 'x = 3;', 'S = { ... };', or "
                   "'A = [ ... ];' (no 'dvar', 'param', 'minimize', or 'subject to').")
HINT_DAT_EOF = ("Hint: the .dat file is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most "
                "recent assignment.")
HINT_DAT_CHAR = "Hint: use plain Korvane .dat syntax, not escaped JSON text or unsupported OPL-specific formatting."
HINT_SYMBOL = ("Hint: declare the symbol explicitly in the model or provide matching data with the expected name and "
               "index structure.")
HINT_INDEX = ("Hint: precompute the needed lookup table in the model/data and index it directly with iterator variables "
              "instead of indexing one indexed expression with another.")
HINT_FUNCTION = ("Hint: use only the functions supported by this implementation, or precompute the value in data or an "
                 "auxiliary parameter.")
HINT_UNSUPPORTED = "Hint: rewrite this construct using the supported Korvane subset implemented by this compiler."

DECLS = "int n = 3;\nrange R = 1..n;\ndvar int x[R];\nfloat p[R] = ...;\n"


def raised(fn, text, **kwargs):
    with pytest.raises(SemanticError) as info:
        fn(text, **kwargs)
    return info.value


@pytest.mark.parametrize("text, message, hint, lineno", [
    ("dvar int x;\nsubject to { 0 <= x >= 3; }", "Unsupported chained comparison '<= ... >=': a ranged constraint is "
     "written lo <= e <= hi or hi >= e >= lo", HINT_UNSUPPORTED, 2),
    ("int sum = 2;", "Syntax error at or near token 'sum'", HINT_SYNTAX, 1),
    ("dvar int x;\nsubject to {\n  x >= 1;\n", "Syntax error at end of file", HINT_EOF, 3),
    ("dvar int x;\nminimize x + y;", "Undeclared symbol 'y'", HINT_SYMBOL, 2),
    ("{Arc} A = ...;", "Undeclared symbol 'Arc'", HINT_SYMBOL, 1),
    ("float c[S];", "Undeclared symbol 'S'", HINT_SYMBOL, 1),
    ("using CP;\ndvar int x;", "Unsupported construct 'using CP': only linear and mixed-integer models are supported",
     HINT_UNSUPPORTED, 1),
    ("dvar interval t;", "Unsupported decision variable type 'interval': use boolean, int, int+, float or float+",
     HINT_UNSUPPORTED, 1),
    (DECLS + "subject to { if (x[1] > 1) { forall(i in R) x[i] >= 1; } }",
     "Unsupported statement inside an 'if' whose condition involves decision variables: only constraints, logical "
     "constraints and implications may stand there (no forall, no equivalence, no 'if' on the data)",
     HINT_UNSUPPORTED, 5),

    (DECLS + "minimize foo(n);", "Unsupported function 'foo'", HINT_FUNCTION, 5),
    (DECLS + "minimize x[x[1]];", "Unsupported index expression type 'indexed_name' in a subscript of 'x'", HINT_INDEX, 5),
    (DECLS + "minimize p[sum(i in R) i];", "Unsupported index expression type 'sum' in a subscript of 'p'", HINT_INDEX, 5),
    (DECLS + "dexpr int d[i in R] = x[i];\nminimize d[x[1]];",
     "Unsupported index expression type 'indexed_name' in a subscript of 'i'", HINT_INDEX, 6),
    (DECLS + "minimize x;", "Unsupported use of 'x' without subscripts: it is declared with 1 dimension(s)",
     HINT_UNSUPPORTED, 5),
    (DECLS + "minimize n[1];", "Unsupported subscript on 'n', which is not an array", HINT_UNSUPPORTED, 5),
    (DECLS + "minimize x[1][2];", "Unsupported subscripts of 'x': it is declared with 1 dimension(s) and used with 2",
     HINT_UNSUPPORTED, 5),
    (DECLS + "subject to { x[1] + 1; }",
     "Unsupported constraint: write a comparison (==, !=, <=, >=, <, >), a logical condition (&&, ||, !) or an "
     "implication (=>)", HINT_UNSUPPORTED, 5),
    (DECLS + "subject to { forall(i in R, j in i..n) x[j] >= 1; }",
     "Unsupported range: it uses 'i', an iterator of the same forall; use a filter instead, as in "
     "'forall(i in I, j in I : j > i)'", HINT_UNSUPPORTED, 5),
    (DECLS + "subject to { forall(i in n) x[i] >= 1; }",
     "Unsupported range for iterator 'i': use a..b, a declared range or a declared set", HINT_UNSUPPORTED, 5),
    (DECLS + "subject to { forall(<i, j> in R) x[i] >= 1; }",
     "Unsupported tuple pattern over 'R': a pattern <a, b, ...> takes a set of tuples", HINT_UNSUPPORTED, 5),
    ("tuple T { int a; int b; }\n{T} S = ...;\ndvar int x;\nsubject to { forall(<i> in S) x >= i; }",
     "Unsupported tuple pattern: tuple type 'T' has 2 fields but the pattern has 1", HINT_UNSUPPORTED, 4),
    (DECLS + "subject to { x[1] + 1 => x[2] >= 1; }",
     "Unsupported operand of '=>': use comparisons, boolean variables, true or false, combined with &&, || and !",
     HINT_UNSUPPORTED, 5),
    (DECLS + "dexpr int total = sum(i in R) x[i];\nsubject to { forall(x in R) total >= x; }",
     "Unsupported use of decision expression 'total': the iterator 'x' hides the declared name its expression uses; "
     "rename the iterator", HINT_UNSUPPORTED, 6),
    ("int n = m;", "Undeclared symbol 'm'", HINT_SYMBOL, 1),
    ("int d = [4, 5];", "Unsupported initializer of parameter 'd': a scalar takes one value, not a list",
     HINT_UNSUPPORTED, 1),
    ("dvar int x;\nint n = 2 * x;\nminimize x;\nsubject to { x >= n; }", "Unsupported use of 'n' in the model: it "
     "is computed from the solution, so only post-processing can read it", HINT_UNSUPPORTED, 4),
    ("dvar int x;\nint n = 2 * x;\nassert n >= 0;", "Unsupported use of 'n' in an assert: it checks the data only, "
     "and 'n' is computed from the solution", HINT_UNSUPPORTED, 3),
    ("dvar int x in 0..1;\n{int} S = {i | i in 1..2 : x == 1};\nsubject to { forall(i in S) x <= i; }",
     "Unsupported use of 'S' in the model: it is computed from the solution, so only post-processing can read it",
     HINT_UNSUPPORTED, 3),
    ("int n = 2.5;", "Unsupported value 2.5 for int 'n'", HINT_UNSUPPORTED, 1),
    ("{int} S = 3;", "Unsupported set expression: use a declared set or range, a..b, {a, b, ...}, {e | i in I : "
     "filter}, asSet, union, inter, diff or symdiff", HINT_UNSUPPORTED, 1),
    ("dvar int x;\nminimize x;\nmaximize x;", "Unsupported second objective 'maximize': a model has one objective",
     HINT_UNSUPPORTED, 3),
    ("dvar int x;\nminimize x.f;", "Unsupported field access '.f' on a value that is not a tuple", HINT_UNSUPPORTED, 2),
])
def test_model_errors(text, message, hint, lineno):
    err = raised(parse_model, text)
    assert err.message == message + " " + hint
    assert err.lineno == lineno
    assert str(err) == f"Semantic Error (Line {lineno}): {message} {hint}"


@pytest.mark.parametrize("text, message, lineno", [
    ("int n;\nfloat n;", "Symbol 'n' is declared twice. Hint: give each declaration its own name.", 2),
    ("tuple T {\n int a;\n float a;\n}", "Field 'a' is declared twice in tuple 'T'. Hint: give each field its own name.", 3),
])
def test_duplicates_carry_their_own_hint(text, message, lineno):
    err = raised(parse_model, text)
    assert (err.message, err.lineno) == (message, lineno)


@pytest.mark.parametrize("text, message, hint, lineno", [
    ("dvar int x;", "Syntax error in .dat file at or near token 'int'", HINT_DAT_SYNTAX, 1),
    ("a = [1, 2,,];", "Syntax error in .dat file at or near token ','", HINT_DAT_SYNTAX, 1),
    ("a = [1..2];", "Unsupported range 'a..b' inside a list of 'a' in the .dat file",
     "Hint: write the values one by one, or use a set {a..b}.", 1),
    ("a = {1..2,\n x..3};", "Unsupported range in the set of 'a': the bounds of a..b must be integers",
     "Hint: write the elements one by one.", 2),
    ("a = 1 yes;", "Syntax error in .dat file at or near token 'yes'", HINT_DAT_SYNTAX, 1),
    ("a = #[#[1: 2]#: 3]#;", "Syntax error in .dat file at or near token '#['", HINT_DAT_SYNTAX, 1),
    ('n = 1;\ns = "abc', "Syntax error in .dat file at end of file", HINT_DAT_EOF, 2),
    ("a = [1, 2\n\n", "Syntax error in .dat file at end of file", HINT_DAT_EOF, 1),
    ('n = 1;\nx = \\"a\\";', "Illegal character in .dat file: '\\'", HINT_DAT_CHAR, 2),
    ("x = 'a';", "Illegal character in .dat file: '''", HINT_DAT_CHAR, 1),
    ("x = 1 \u00e9;", "Illegal character in .dat file: '\u00e9'", HINT_DAT_CHAR, 1),
    ("x = 1\0;", "Illegal character in .dat file: '\0'", HINT_DAT_CHAR, 1),
])
def test_data_errors(text, message, hint, lineno):
    err = raised(parse_data, text)
    assert err.message == message + " " + hint
    assert err.lineno == lineno


def test_errors_name_their_file(tmp_path):
    assert raised(parse_model, "x", filename="m.mod").filename == "m.mod"
    assert raised(parse_data, "x", filename="d.dat").filename == "d.dat"
    assert raised(parse_model, "x").filename is None
    model, data = tmp_path / "m.mod", tmp_path / "d.dat"
    model.write_text("int n = ...;\n")
    data.write_text("n = ;\n")
    with pytest.raises(SemanticError) as info:
        parse_files(model, data)
    assert info.value.filename == str(data)


@pytest.mark.parametrize("fn", [parse_model, parse_data])
def test_text_must_be_a_str(fn):
    with pytest.raises(TypeError, match=fn.__name__ + r"\(\) argument 'text' must be str, not bytes"):
        fn(b"n = 1;")
    with pytest.raises(TypeError):
        fn()

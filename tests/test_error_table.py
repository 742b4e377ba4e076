"""Mistaken models and data files, each checked for one precise message: the file, line and column
it points at, and the key words of its message and hint. The command line prints
`file:line:col: message Hint: ...`; where the parser raises, SemanticError carries the same place."""
import re

import pytest

from korvane.__main__ import main
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_files
from korvane.solving import compile_model

M = "dvar float x;\nminimize x;\n"
N = "int n = ...;\n" + M
LONG = "dvar float x;\nminimize " + "(" * 3000 + "x" + ")" * 3000 + ";\n"

# (model, data, (file, line, col), words of the message, words of the hint); the column where
# nesting runs too deep depends on the stack the test runs on, so that one is not compared
CASES = [
    # misspelt keywords and names
    ("int n = 3;\ndvar float x;\nmaximise x;\n", None, ("m.mod", 3, 1), ["'maximise'"], ["did you mean 'maximize'"]),
    ("dvar float x;\nminimise x;\n", None, ("m.mod", 2, 1), ["'minimise'"], ["did you mean 'minimize'"]),
    (M + "subjectto {\n  x >= 1;\n}\n", None, ("m.mod", 3, 1), ["'subjectto'"], ["did you mean 'subject to'"]),
    ("int n = 3;\n" + M + "subject to {\n  foral(i in 1..n) x >= i;\n}\n", None, ("m.mod", 5, 3),
     ["Unsupported function 'foral'"], ["did you mean 'forall'"]),
    ("bolean flag = true;\n", None, ("m.mod", 1, 1), ["'bolean'"], ["did you mean 'boolean'"]),
    ("dvar bolean b;\n", None, ("m.mod", 1, 6), ["decision variable type 'bolean'"], ["did you mean 'boolean'"]),
    ("dvar flot x;\n", None, ("m.mod", 1, 6), ["decision variable type 'flot'"], ["did you mean 'float'"]),
    ("int capacity = 3;\n" + M + "subject to {\n  x <= capcity;\n}\n", None, ("m.mod", 5, 8),
     ["Undeclared symbol 'capcity'"], ["did you mean 'capacity'"]),
    ("float demand = 2;\n" + M + "subject to {\n  c1: x >= 1;\n  c2: x >= demnad;\n}\n", None, ("m.mod", 6, 12),
     ["Undeclared symbol 'demnad'"], ["did you mean 'demand'"]),
    (M + "subject to {\n  x >= abz(2);\n}\n", None, ("m.mod", 4, 8), ["Unsupported function 'abz'"],
     ["did you mean 'abs'"]),
    # missing semicolons and delimiters: reported where the statement ends
    ("int n = 3\nint m = 4;\n", None, ("m.mod", 1, 10), ["expected ';' after the declaration of 'n'", "line 1"],
     ["end the declaration of 'n' with ';'"]),
    (M + "subject to {\n  c1: x >= 1\n}\n", None, ("m.mod", 4, 13),
     ["token '}'", "expected ';' after the constraint 'c1' that starts at line 4"], ["with ';'"]),
    (M + "subject to {\n  c1: x >= 1\n  c2: x <= 5;\n}\n", None, ("m.mod", 4, 13),
     ["expected ';' after the constraint 'c1'"], ["with ';'"]),
    (M + "subject to {\n  x >=\n    1\n}\n", None, ("m.mod", 5, 6), ["expected ';' after the constraint that starts at line 4"],
     ["with ';'"]),
    ("dvar float x\nminimize x;\n", None, ("m.mod", 1, 13), ["expected ';' after the declaration of 'x'"], ["';'"]),
    ("{int} S = {1, 2}\n" + M, None, ("m.mod", 1, 17), ["expected ';' after the declaration of 'S'"], ["';'"]),
    ("dvar float x;\nminimize x\nsubject to {\n  x >= 1;\n}\n", None, ("m.mod", 2, 11),
     ["expected ';' after the objective that starts at line 2"], ["end the objective with ';'"]),
    ("range R = 1..3\ndvar float x[R];\n", None, ("m.mod", 1, 15), ["expected ';' after the declaration of 'R'"], ["';'"]),
    (M + "subject to {\n  x >= 1;\n", None, ("m.mod", 4, 10), ["Syntax error at end of file"], ["closing delimiter"]),
    ("int a[1..2] = [1, 2;\n", None, ("m.mod", 1, 20), ["token ';'"], ["unclosed '(' or '['"]),
    (M + "subject to {\n  forall(i in 1..3 x >= i;\n}\n", None, ("m.mod", 4, 20), ["token 'x'", "expected ')'"],
     ["insert ')'"]),
    # operators and characters the language does not have
    (M + "subject to {\n  x = 1;\n}\n", None, ("m.mod", 4, 5), ["token '='"], ["'=='"]),
    (M + "subject to {\n  x >= 1 @ 2;\n}\n", None, ("m.mod", 4, 10), ["token '@'"], ["not part of the model language"]),
    ("dvar float x;\n/* never closed\nminimize x;\n", None, ("m.mod", 2, 1), ["token '/*'"], ["close the comment"]),
    ('string s = "open;\n', None, ("m.mod", 1, 12), ["token '\"open;'"], ["close the string"]),
    (M + "subject to {\n  x in 0..3;\n}\n", None, ("m.mod", 4, 5), ["Unsupported membership test"], ["supported"]),
    ("range R = 1..3;\n" + M + "subject to {\n  forall(ordered i, j in R) x >= i - j;\n}\n", None, ("m.mod", 5, 10),
     ["Unsupported construct 'ordered'"], ["supported"]),
    ("pwlFunction f[1..2] = piecewise{1->2; 3};\n", None, ("m.mod", 1, 13), ["Unsupported array of piecewise-linear functions 'f'"], ["supported"]),
    # constructs the compiler does not support, named with their line
    ("using CP;\n" + M, None, ("m.mod", 1, 1), ["Unsupported construct 'using CP'"], ["supported Korvane subset"]),
    (M + "execute {\n  writeln(x);\n  switch (x) {}\n}\n", None, ("m.mod", 5, 3), ["'switch (x) {}' at line 5",
                                                                                 "not supported in script blocks"], []),
    ("dvar interval t;\n", None, ("m.mod", 1, 6), ["Unsupported decision variable type 'interval'"], ["supported"]),
    (M + "maximize x;\n", None, ("m.mod", 3, 1), ["Unsupported second objective 'maximize'"], ["supported"]),
    ("dvar float x;\nminimize floor(x);\n", None, ("m.mod", 2, 1), ["Unsupported function call 'floor'"],
     ["functions supported"]),
    ("dvar int x[1..3];\nminimize prod(i in 1..3) x[i];\n", None, ("m.mod", 2, 1), ["Unsupported", "'prod'"],
     ["supported Korvane subset"]),
    ("dvar float x;\ndvar float y;\nminimize x;\nsubject to {\n  c: x * y <= 1;\n}\n", None, ("m.mod", 5, 3),
     ["non-linear", "constraint 'c'", "'x' times 'y'"], ["supported"]),
    ("dvar float x[1..2];\ndvar float y;\nminimize x[1];\nsubject to {\n  forall(i in 1..2)\n    (x[i] + 1) * (2 * y) <= 1;\n}\n",
     None, ("m.mod", 6, 5), ["non-linear", "'x[...]' times 'y'"], ["supported"]),
    # undeclared and misused names
    (M + "subject to {\n  x + y >= 1;\n}\n", None, ("m.mod", 4, 7), ["Undeclared symbol 'y'"], ["declare the symbol"]),
    ("dvar float x[1..3];\nminimize x;\n", None, ("m.mod", 2, 10), ["'x' without subscripts"], ["supported"]),
    ("int n = 3;\n" + M + "subject to {\n  n[1] >= x;\n}\n", None, ("m.mod", 5, 3), ["subscript on 'n'"], ["supported"]),
    ("int n;\nfloat n;\n", None, ("m.mod", 2, 7), ["'n' is declared twice"], ["its own name"]),
    ("tuple T { int cost; string site; }\n{T} Ts = {<1, \"a\">};\n" + M + "subject to {\n  sum(t in Ts) t.cots * x <= 1;\n}\n",
     None, ("m.mod", 6, 18), ["Unknown symbol 'cots'", "tuple type 'T'"], ["did you mean 'cost'", "'cost', 'site'"]),
    ("tuple T { int a; }\n{T} Ts = ...;\ndvar int x;\nminimize sum(t in Ts) t.b * x;\n", None, ("m.mod", 4, 25),
     ["Unknown symbol 'b'"], ["The fields of 'T' are 'a'."]),
    # data files: the place in the .dat file
    (N, "n = 3\nm = 4;\n", ("m.dat", 1, 6), ["expected ';' after the assignment to 'n' that starts at line 1"],
     ["end the assignment with ';'"]),
    (N, "n = ;\n", ("m.dat", 1, 5), ["token ';'"], [".dat files must contain plain data"]),
    (N, "n = 'a';\n", ("m.dat", 1, 5), ["Illegal character"], ["plain Korvane .dat syntax"]),
    (N, "n = 3;\nx = [1, 2\n", ("m.dat", 2, 10), ["at end of file"], ["closing delimiter"]),
    (N, "n = 3;\ndvar float y;\n", ("m.dat", 2, 6), ["token 'float'"], ["no 'dvar'"]),
    # values of the wrong shape: the assignment in the .dat file, and the declaration
    ("{string} S = ...;\nfloat c[S] = ...;\n" + M, 'S = {"a", "b"};\n\n  c = [1, 2, 3];\n', ("m.dat", 3, 3),
     ["Parameter 'c' data length 3", "declared dimension 'S' of length 2", "(declared at m.mod:2)"], []),
    ("int n = ...;\nfloat d[1..n][1..2] = ...;\n" + M, "n = 2;\nd = [[1, 2],\n     [3]];\n", ("m.dat", 2, 1),
     ["Parameter 'd'", "(declared at m.mod:2)"], []),
    # values the declarations do not admit
    (N, "\nn = 2.5;\n", ("m.dat", 2, 1), ["'n' is declared int", "2.5"], ["whole numbers"]),
    ("{string} S = ...;\nfloat c[S] = ...;\n" + M, 'S = {"a", "b"};\nc = #["a": 1,\n     "z": 2]#;\n', ("m.dat", 3, 6),
     ["Key 'z' of 'c'", "index set 'S'"], []),
    # data the model needs but does not get
    ("int capacity = ...;\n" + M, "capacty = 4;\n", ("m.mod", 1, 1), ["'capacity'", "not found in .dat file"],
     ["gives 'capacty'", "did you mean 'capacity'"]),
    (N, "", ("m.mod", 1, 1), ["Parameter 'n'", "not found in .dat file"], ["'n = <value>;'"]),
    # files in the wrong order, bytes that are not UTF-8, nesting beyond the parser's depth
    ("n = 3;\n", N, ("m.mod", 1, 1), ["reads like a data file", "like a model"], ["swap the two file names"]),
    (b"dvar float x;\nminimize x; // caf\xe9\n", None, ("m.mod", 2, 19), ["Invalid UTF-8 at byte offset 32"], ["UTF-8"]),
    (N, b'n = 3;\ns = "caf\xe9";\n', ("m.dat", 2, 9), ["Invalid UTF-8 at byte offset 15"], ["UTF-8"]),
    (LONG, None, ("m.mod", 2, None), ["Nesting too deep at line 2"], []),
    (N, "n = 1;\nv = " + "[" * 3000 + "]" * 3000 + ";\n", ("m.dat", 2, None), ["Nesting too deep at line 2"], []),
]

LOCATED = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+):(?P<col>\d+): (?P<text>.*)$")


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)


@pytest.mark.parametrize("model, data, where, message_words, hint_words", CASES, ids=range(len(CASES)))
def test_mistakes_get_one_located_hinted_message(tmp_path, monkeypatch, capsys, model, data, where, message_words,
                                                 hint_words):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "m.mod", model)
    argv = ["check", "m.mod"]
    if data is not None:
        write(tmp_path / "m.dat", data)
        argv.append("m.dat")
    assert main(argv) == 1
    out, err = capsys.readouterr()
    lines = err.splitlines()
    assert out == "" and lines[-1] == "m.mod: 1 error" and len(lines) == 2, err
    found = LOCATED.match(lines[0])
    assert found, lines[0]
    assert (found["file"], int(found["line"])) == where[:2]
    assert where[2] is None or int(found["col"]) == where[2]
    message, _, hint = found["text"].partition(" Hint: ")
    assert all(word in message for word in message_words), message
    assert all(word in hint for word in hint_words), hint
    assert "Traceback" not in err and "Error:" not in message


PARSER_CASES = [case for case in CASES if not isinstance(case[0], bytes) and not isinstance(case[1], bytes)
                and not any(word.startswith(("Nesting too deep", "reads like a data file")) for word in case[3])]


@pytest.mark.parametrize("model, data, where, message_words, hint_words", PARSER_CASES, ids=range(len(PARSER_CASES)))
def test_semantic_errors_carry_file_line_and_column(tmp_path, model, data, where, message_words, hint_words):
    write(tmp_path / "m.mod", model)
    if data is not None:
        write(tmp_path / "m.dat", data)
    try:
        parse_files(tmp_path / "m.mod", tmp_path / "m.dat" if data is not None else None)
    except SemanticError as error:
        assert (error.filename, error.lineno, error.col) == (str(tmp_path / where[0]), where[1], where[2])
        assert all(word in error.message for word in message_words + hint_words)
        assert str(error).startswith(f"Semantic Error (Line {where[1]}): ")
    else:  # found by a generator after parsing; the command line adds the place in the files
        tree, data = parse_files(tmp_path / "m.mod", tmp_path / "m.dat" if data is not None else None)
        with pytest.raises(SemanticError) as info:
            for target in ("gurobi", "scipy"):
                compile_model(tree, data, target)
        assert isinstance(info.value.lineno, int) and all(word in info.value.message for word in message_words[:1])


def test_the_table_is_large_enough():
    assert len(CASES) >= 40


@pytest.mark.parametrize("model, data", [(LONG, None), (N, "n = 1;\nv = " + "[" * 3000 + "]" * 3000 + ";\n")])
def test_too_deep_nesting_is_a_recursion_error_with_its_place(tmp_path, model, data):
    write(tmp_path / "m.mod", model)
    if data is not None:
        write(tmp_path / "m.dat", data)
    with pytest.raises(RecursionError, match="^Nesting too deep at line 2: ") as info:
        parse_files(tmp_path / "m.mod", tmp_path / "m.dat" if data is not None else None)
    assert info.value.filename == str(tmp_path / ("m.dat" if data else "m.mod")) and info.value.lineno == 2
    assert info.value.col > 1


def test_generator_failures_name_the_innermost_statement():
    from korvane.diagnostics import from_generator_failure
    from korvane.oplparse import parse_model

    tree = parse_model("dvar float x[1..2];\nminimize x[1];\nsubject to {\n  c0: x[1] >= 0;\n  forall(i in 1..2)\n"
                       "    x[i] >= abs(i - 3);\n}")
    with pytest.raises(SemanticError) as info:
        compile_model(tree, {}, "gurobi")
    assert info.value.lineno == 6 and info.value.message.startswith("Unsupported function call 'abs'")
    error = from_generator_failure(KeyError("c0"), tree, "scipy")
    assert error.lineno == 4 and error.message.startswith("Unsupported use of 'c0' here: the scipy target")
    error = from_generator_failure(TypeError("unhashable type"), tree, "scipy")
    assert error.lineno is None and error.message.startswith("Unsupported by the scipy target: unhashable type")
    error = from_generator_failure(ValueError("Range bounds must be integer-valued for 'c0'"), tree, "gurobi")
    assert error.lineno == 4 and "Hint: use integer-valued literals" in error.message

"""Data that used to be silently merged, dropped or rounded: names given twice, repeated keys and
set elements, non-integers for int parameters, keys outside their index sets, numbers too large
to be finite, and decision expressions that expand exponentially. Each is a SemanticError at the
line (and in the file) where the fault stands."""
import pytest

import korvane.oplparse
from korvane.faultlore import SemanticError
from korvane.oplparse import parse_data, parse_files, parse_model


@pytest.mark.parametrize("text, message, line", [
    ("a = 1;\nb = 2;\na = 3;", "Data item 'a' is assigned twice (first at line 1)", 3),
    ('c = #["a": 1,\n "b": 2,\n "a": 3]#;', "Duplicate key 'a' in the keyed array of 'c'", 3),
    ('c = #[<"a", 1>: 1, <"a", 1>: 2]#;', "Duplicate key ('a', 1) in the keyed array of 'c'", 1),
    ('c = #["x": #[1: 2,\n 1: 3]#]#;', "Duplicate key 1 in the keyed array of 'c'", 2),
    ('S = {"a",\n "b", "a"};', "Duplicate element 'a' in the set of 'S'", 2),
    ('S = {1, 2.0, 2};', "Duplicate element 2 in the set of 'S'", 1),
    ('T = {<"a", 1>, <"b", 1>,\n<"a", 1>};', "Duplicate element ['a', 1] in the set of 'T'", 2),
    ("x = 1e999;", "Unsupported number 1e999: it is beyond the largest finite float", 1),
    ("x = [1,\n -1e400];", "Unsupported number -1e400", 2),
])
def test_data_file_faults(text, message, line):
    with pytest.raises(SemanticError) as info:
        parse_data(text, filename="bad.dat")
    assert info.value.message.startswith(message) and "Hint:" in info.value.message
    assert (info.value.lineno, info.value.filename) == (line, "bad.dat")


def test_repeats_allowed_where_they_mean_something():
    assert parse_data('L = [1, 1];\nS = {<"a", 1>, <"a", 2>};\nK = #["a": 1, "b": 1]#;') == {
        "L": [1, 1], "S": [["a", 1], ["a", 2]], "K": {"a": 1, "b": 1}}


def random_element(rng, depth=0):
    """An element as Python holds it (tuples for <...>) and as a .dat file writes it."""
    kind = rng.randrange(6 if depth < 2 else 4)
    if kind == 0:
        value = rng.choice([0, 1, 2, -1])
        return value, str(value)
    if kind == 1:
        value = rng.choice([0.0, 1.0, 2.0, 0.5, -1.0])
        return value, repr(value)
    if kind == 2:
        value = rng.choice([True, False])
        return value, str(value).lower()
    if kind == 3:
        value = rng.choice(["a", "b", "1", "A", "\u00e9", ""])
        return value, '"' + value + '"'
    items = [random_element(rng, depth + 1) for _ in range(rng.randrange(0, 3))]
    return tuple(v for v, _ in items), "<" + ", ".join(t for _, t in items) + ">"


def test_set_repeats_are_found_exactly_as_python_compares_the_elements():
    import random
    rng = random.Random(7)
    for _ in range(1500):
        elements = [random_element(rng) for _ in range(rng.randrange(1, 6))]
        seen, repeated_at = set(), None
        for position, (value, _) in enumerate(elements):
            if value in seen:
                repeated_at = position
                break
            seen.add(value)
        text = "S = {" + ",\n".join(t for _, t in elements) + "};"
        if repeated_at is None:
            assert len(parse_data(text)["S"]) == len(elements), text
        else:
            with pytest.raises(SemanticError, match="Duplicate element") as info:
                parse_data(text)
            assert info.value.lineno == repeated_at + 1, text


MODEL = """\
int n = ...;
range R = 1..n;
{string} S = ...;
{string} T = {"u", "v"};
tuple P { string a; int b; }
{P} Ps = ...;
int a = ...;
float c[S] = ...;
int d[R][S] = ...;
float e[Ps] = ...;
int+ g[R] = ...;
float h[T] = ...;
float k[S][T] = ...;
P arr[S] = ...;
int pr[S] = ...;
dvar float x;
minimize x;
subject to {}
"""

GOOD = """\
n = 2;
S = {"a", "b"};
Ps = {<"p", 1>, <"q", 2>};
a = 3;
c = #["a": 1.5, "b": 2]#;
d = #[<1, "a">: 1, <2, "b">: 2]#;
e = #[<"p", 1>: 1.5]#;
g = [1, 2.0];
h = #["u": 0.5]#;
k = #["a": #["u": 1]#]#;
arr = #["a": <"p", 3>]#;
pr = [a 1 b 2];
"""


@pytest.mark.parametrize("old, new, message, line", [
    ("a = 3;", "a = 3.5;", "Parameter 'a' is declared int but its data holds 3.5, which is not an integer", 4),
    ("a = 3;", 'a = "three";', "Parameter 'a' is declared int but its data holds 'three'", 4),
    ("g = [1, 2.0];", "g = [1,\n 2.5];", "Parameter 'g' is declared int but its data holds 2.5", 9),
    ('<2, "b">: 2]#', '<2, "b">:\n 2.25]#', "Parameter 'd' is declared int but its data holds 2.25", 6),
    ('"b": 2]#', '"b": 2,\n "z": 3]#', "Key 'z' of 'c' is not an element of its index set 'S'", 6),
    ('<2, "b">: 2', '<3, "b">: 2', "Key 3 of 'd' is not an element of its index set 'R'", 6),
    ('<2, "b">: 2', '<2, "zz">: 2', "Key 'zz' of 'd' is not an element of its index set 'S'", 6),
    ('#[<"p", 1>: 1.5]#', '#[<"p", 1>: 1.5,\n<"p", 2>: 1]#', "Key ('p', 2) of 'e' is not an element "
     "of its index set 'Ps'", 8),
    ('h = #["u": 0.5]#;', 'h = #["w": 0.5]#;', "Key 'w' of 'h' is not an element of its index set 'T'", 9),
    ('k = #["a": #["u": 1]#]#;', 'k = #["a": #["x": 1]#]#;', "Key 'x' of 'k' is not an element of its "
     "index set 'T'", 10),
    ('arr = #["a": <"p", 3>]#;', 'arr = #["a": <"p", 3>, "q": <"r", 1>]#;', "Key 'q' of 'arr' is not an element of "
     "its index set 'S'", 11),
    ("pr = [a 1 b 2];", "pr = [a 1 b 2.5];", "Parameter 'pr' is declared int but its data holds 2.5", 12),
])
def test_data_against_declarations(tmp_path, old, new, message, line):
    (tmp_path / "m.mod").write_text(MODEL)
    (tmp_path / "good.dat").write_text(GOOD)
    tree, data = parse_files(tmp_path / "m.mod", tmp_path / "good.dat")
    assert data["g"] == [1, 2.0] and data["e"] == {("p", 1): 1.5} and data["pr"] == ["a", 1, "b", 2]
    assert GOOD.count(old) == 1
    (tmp_path / "bad.dat").write_text(GOOD.replace(old, new))
    with pytest.raises(SemanticError) as info:
        parse_files(tmp_path / "m.mod", tmp_path / "bad.dat")
    assert info.value.message.startswith(message) and "Hint:" in info.value.message
    assert (info.value.lineno, info.value.filename) == (line, str(tmp_path / "bad.dat"))


@pytest.mark.parametrize("model, line", [
    ("dvar float x;\nminimize x;\nsubject to { x >= 1e999; }", 3),
    ("float big = 2e308;\ndvar float x;\nminimize x;\nsubject to {}", 1),
    ("dvar float x[1..3];\nminimize x[1];\nsubject to {\n forall(i in 1..1e999) x[1] >= 1;\n}", 4),
])
def test_numbers_too_large_to_be_finite_in_models(model, line):
    with pytest.raises(SemanticError, match=r"Unsupported number \de\d+: it is beyond the largest finite float") as info:
        parse_model(model)
    assert info.value.lineno == line


def nested_dexprs(depth):
    lines = ["dvar float x;", "dexpr float d0 = x + x;"]
    lines += [f"dexpr float d{i} = d{i - 1} + d{i - 1};" for i in range(1, depth)]
    return "\n".join(lines + [f"minimize d{depth - 1};", "subject to {}"])


def test_exponential_dexpr_expansion_stops_at_the_limit(monkeypatch):
    with pytest.raises(SemanticError, match=r"Decision expression 'd\d+' expands the model beyond 250000 nodes"):
        parse_model(nested_dexprs(60))
    assert korvane.oplparse.EXPANSION_LIMIT == 250000
    tree = parse_model(nested_dexprs(8))
    assert str(tree["objective"]).count("'x'") == 2 ** 8
    monkeypatch.setattr(korvane.oplparse, "EXPANSION_LIMIT", 100)
    with pytest.raises(SemanticError, match="beyond 100 nodes"):
        parse_model(nested_dexprs(8))

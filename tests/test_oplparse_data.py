"""korvane.oplparse.parse_data: the data dictionary of a .dat file."""
import json
import random

import pytest

from korvane.oplparse import parse_data


@pytest.mark.parametrize("text, expected", [
    ("n = 3;", 3),
    ("n = -3;", -3),
    ("n = - 3;", -3),
    ("n = 123456789012345678901234567890;", 123456789012345678901234567890),
    ("x = 2.5;", 2.5),
    ("x = 2.;", 2.0),
    ("x = 1e3;", 1000.0),
    ("x = -1.5E-2;", -0.015),
    ('s = "plain";', "plain"),
    ('s = "caf\u00e9 \\"q\\" \\\\ \\n\\t";', 'caf\u00e9 "q" \\ \n\t'),
    ("b = true;", True),
    ("b = false;", False),
    ("r = 1..10;", {"type": "range_data", "start": 1, "end": 10}),
    ("r = -2 .. 5;", {"type": "range_data", "start": -2, "end": 5}),
])
def test_scalars_and_ranges(text, expected):
    assert parse_data(text) == {text.split("=")[0].strip(): expected}


def test_number_types_are_kept():
    data = parse_data("i = 1; f = 1.0; b = true;")
    assert [type(v) for v in data.values()] == [int, float, bool]


@pytest.mark.parametrize("text, expected", [
    ("a = [1, 2, 3];", [1, 2, 3]),
    ("a = [1 2 3];", [1, 2, 3]),
    ("a = [];", []),
    ("a = [[1, 2], [3 4.5]];", [[1, 2], [3, 4.5]]),
    ('a = ["x" "y"];', ["x", "y"]),
    ('S = {"a", "b"};', ["a", "b"]),
    ("S = {};", []),
    ('T = {<1, "a">, <2, "b">};', [[1, "a"], [2, "b"]]),
    ("t = <1, <2, 3>>;", [1, [2, 3]]),
    ('k = #["a": 1, "b": 2]#;', {"a": 1, "b": 2}),
    ("k = #[1: [1, 2] 2: [3]]#;", {1: [1, 2], 2: [3]}),
    ('k = #[<1, "a">: 5, <2, <3, 4>>: 6]#;', {(1, "a"): 5, (2, (3, 4)): 6}),
    ("k = #[]#;", {}),
])
def test_containers(text, expected):
    assert parse_data(text) == {text.split("=")[0].strip(): expected}


def test_names_order_and_comments():
    text = "// header\nb = 1; /* block\ncomment */ a = [1, // inline\n 2];\nc = 3;\n"
    data = parse_data(text)
    assert data == {"b": 1, "a": [1, 2], "c": 3} and list(data) == ["b", "a", "c"]
    assert parse_data("") == {} and parse_data("  // nothing\n") == {}


def test_repeated_strings_are_equal_values():
    data = parse_data('T = [<"a", "b">, <"a", "b">];')
    assert data["T"] == [["a", "b"], ["a", "b"]]
    data["T"][0][0] += "x"
    assert data["T"][1][0] == "a"


def random_value(rng, depth=0):
    kind = rng.choice(["int", "float", "str", "bool", "list"] if depth < 3 else ["int", "float", "str"])
    if kind == "int":
        return rng.randint(-10**6, 10**6)
    if kind == "float":
        return rng.uniform(-1e6, 1e6) * 10 ** rng.randint(-20, 20)
    if kind == "str":
        return "".join(rng.choice("ab \u00e9\u4e2d\"\\") for _ in range(rng.randint(0, 6)))
    if kind == "bool":
        return rng.random() < 0.5
    return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]


def dat_literal(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return "[" + " , ".join(dat_literal(v) for v in value) + "]"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return repr(value)


@pytest.mark.parametrize("seed", range(5))
def test_agrees_with_json_on_random_data(seed):
    rng = random.Random(seed)
    data = {f"v{i}": random_value(rng) for i in range(40)}
    text = "".join(f"{k} = {dat_literal(v)};\n" for k, v in data.items())
    assert parse_data(text) == json.loads(json.dumps(data))

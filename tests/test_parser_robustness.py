"""Damaged input never crashes or hangs the parser: every mutation of the example files either
parses into a plain tree or raises a SemanticError, and absurdly deep nesting raises
RecursionError."""
import json
import pathlib
import random
import re

import pytest

from korvane.faultlore import SemanticError
from korvane.oplparse import parse_data, parse_model

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
FILES = sorted(EXAMPLES.glob("*.mod")) + sorted(EXAMPLES.glob("*.dat"))
TOKEN = re.compile(r'\s+|//[^\n]*|"[^"\n]*"|\w+|\.\.\.?|[=!<>]=|=>|&&|\|\||\S')
MUTANTS_PER_FILE = 120


def mutate_tokens(tokens, rng):
    tokens = list(tokens)
    words = [t for t in tokens if t.strip()]
    for _ in range(rng.randint(1, 4)):
        i, j = rng.randrange(len(tokens)), rng.randrange(len(tokens))
        action = rng.choice(["delete", "duplicate", "swap", "insert"])
        if action == "delete":
            del tokens[i]
        elif action == "duplicate":
            tokens.insert(i, tokens[i])
        elif action == "swap":
            tokens[i], tokens[j] = tokens[j], tokens[i]
        else:
            tokens.insert(i, rng.choice(words))
    return "".join(tokens)


def mutate_bytes(text, rng):
    raw = bytearray(text.encode())
    for _ in range(rng.randint(1, 5)):
        raw[rng.randrange(len(raw))] = rng.randrange(256)
    return raw.decode("latin-1")


def mutants(path):
    text = path.read_text()
    tokens = TOKEN.findall(text)
    rng = random.Random(path.name)
    for _ in range(MUTANTS_PER_FILE):
        yield mutate_tokens(tokens, rng)
        yield text[: rng.randrange(len(text))]
        yield mutate_bytes(text, rng)


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_mutants_end_in_a_tree_or_a_semantic_error(path):
    parse = parse_model if path.suffix == ".mod" else parse_data
    outcomes = {"parsed": 0, "rejected": 0}
    for text in mutants(path):
        try:
            result = parse(text)
        except SemanticError as err:
            assert isinstance(err.lineno, int) and 1 <= err.lineno <= text.count("\n") + 1
            assert "Hint:" in err.message
            outcomes["rejected"] += 1
            continue
        assert isinstance(result, dict)
        if parse is parse_model:
            assert json.loads(json.dumps(result)) == result
        outcomes["parsed"] += 1
    assert outcomes["rejected"] > 0


DEPTH = 100_000


@pytest.mark.parametrize("text", [
    "dvar int x; minimize " + "(" * DEPTH + "x" + ")" * DEPTH + ";",
    "dvar int x; minimize " + "-" * DEPTH + "x;",
    "dvar int x; minimize " + "!" * DEPTH + "x;",
    "dvar int x; minimize " + "x > 0 ? 1 : " * DEPTH + "0;",
    "dvar int x; minimize " + "sum(i in 1..2) " * DEPTH + "x;",
    "dvar int x[1..2]; minimize x[" + "<" * DEPTH + "1" + ">" * DEPTH + "];",
    "dvar int x[1..2]; minimize x[" + "+".join(["1"] * DEPTH) + "];",
    "dvar int x; subject to { " + "forall(i in 1..2) " * DEPTH + "x >= 1; }",
    "dvar boolean b; subject to { " + " && ".join(["b"] * DEPTH) + " => b; }",
    "dvar int x; dexpr int d = " + " + ".join(["x"] * DEPTH) + "; minimize d;",
    "range R = " + "+".join(["1"] * DEPTH) + "..2;",
    "int a[1..2] = " + "[" * DEPTH + "]" * DEPTH + ";",
], ids=["parentheses", "minus", "not", "conditional", "sum", "tuple", "index", "forall", "and", "dexpr", "bound", "literal"])
def test_deep_models_raise_recursion_error(text):
    with pytest.raises(RecursionError):
        parse_model(text)


@pytest.mark.parametrize("text", [
    "a = " + "[" * DEPTH + "]" * DEPTH + ";",
    "a = " + "<" * DEPTH + ">" * DEPTH + ";",
    "a = " + "#[1: " * DEPTH + "2" + "]#" * DEPTH + ";",
    "a = #[" + "<" * DEPTH + "1" + ">" * DEPTH + ": 1]#;",
], ids=["list", "tuple", "keyed", "key"])
def test_deep_data_raises_recursion_error(text):
    with pytest.raises(RecursionError):
        parse_data(text)

"""Damaged models never crash the generator: mutations of the example files that still parse, and
random mutations of their parsed trees and data, either compile to a script or end in a Python
exception."""
import copy
import pathlib
import random

import pytest

from korvane import oplparse
from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator
from test_parser_robustness import mutants

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
MODELS = sorted(EXAMPLES.glob("*.mod"))
TREE_MUTANTS = 400
ODD_VALUES = [None, 0, -1, 2.5, "", "x", [], {}, True, [None], {"type": None}, {"type": "name"}, ("t",)]


def generate(tree, data):
    """The script text, or the exception the generator raised; anything else escapes the test."""
    try:
        return GurobiCodeGenerator(tree, data).generate_code()
    except Exception as err:  # noqa: BLE001 - any Python exception is an acceptable outcome here
        return err


def nodes(value, path=()):
    """Every container inside a tree, with the path of keys that reaches it."""
    if isinstance(value, (dict, list)):
        yield path, value
        items = value.items() if isinstance(value, dict) else enumerate(value)
        for key, child in items:
            yield from nodes(child, path + (key,))


def mutate_tree(tree, rng):
    tree = copy.deepcopy(tree)
    places = list(nodes(tree))
    for _ in range(rng.randint(1, 3)):
        _, container = rng.choice(places)
        keys = list(container) if isinstance(container, dict) else list(range(len(container)))
        if not keys:
            continue
        key = rng.choice(keys)
        action = rng.choice(["delete", "odd", "graft"])
        if action == "delete":
            del container[key]
        elif action == "odd":
            container[key] = copy.deepcopy(rng.choice(ODD_VALUES))
        else:
            container[key] = copy.deepcopy(rng.choice(places)[1])
    return tree


@pytest.mark.parametrize("model_path", MODELS, ids=lambda p: p.stem)
def test_text_mutants_that_parse_compile_or_raise(model_path):
    data = oplparse.parse_data(model_path.with_suffix(".dat").read_text())
    for text in mutants(model_path):
        try:
            tree = oplparse.parse_model(text)
        except SemanticError:
            continue
        outcome = generate(tree, data)
        if isinstance(outcome, str):
            compile(outcome, model_path.name, "exec")


@pytest.mark.parametrize("model_path", MODELS, ids=lambda p: p.stem)
def test_tree_and_data_mutants_compile_or_raise(model_path):
    tree, data = oplparse.parse_files(str(model_path), str(model_path.with_suffix(".dat")))
    rng = random.Random(model_path.stem)
    raised = 0
    for _ in range(TREE_MUTANTS):
        outcome = generate(mutate_tree(tree, rng), mutate_tree(data, rng) if rng.random() < 0.3 else data)
        raised += isinstance(outcome, Exception)
    assert raised > 0

"""Every example model compiles to a gurobipy script that solves to the optimum written beside it."""
import pathlib
import re

import pytest

from korvane import oplparse
from korvane.mipwright import GurobiCodeGenerator
from script_runner import run_gurobi_script

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
MODELS = sorted(EXAMPLES.glob("*.mod"))


def stated_optimum(model_path):
    first = model_path.read_text().splitlines()[0]
    match = re.fullmatch(r"// optimum: (\S+)", first)
    assert match, f"{model_path.name} does not start with '// optimum: <value>'"
    return float(match.group(1))


def test_there_are_examples_of_every_kind():
    assert len(MODELS) >= 8


@pytest.mark.parametrize("model_path", MODELS, ids=lambda p: p.stem)
def test_example_solves_to_its_optimum(model_path):
    tree, data = oplparse.parse_files(str(model_path), str(model_path.with_suffix(".dat")))
    script = GurobiCodeGenerator(tree, data).generate_code()
    results = run_gurobi_script(script)
    assert results["status"] == "OPTIMAL"
    assert results["objective_value"] == pytest.approx(stated_optimum(model_path), abs=1e-6)

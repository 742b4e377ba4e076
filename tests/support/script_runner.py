"""Runs generated gurobipy scripts against the stand-in, the way korvane's executor runs them:
in a fresh namespace that binds `results_container`, reading the results under "gurobi_output"."""
import contextlib
import io
import os
from dataclasses import dataclass

import gurobipy

_STANDIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gurobipy")


@dataclass
class ScriptRun:
    results: dict
    namespace: dict
    stdout: str

    @property
    def model(self):
        """The model object the script built under the name `model`, for inspecting constraints."""
        model = self.namespace.get("model")
        if not isinstance(model, gurobipy.Model):
            raise LookupError("the script bound no gurobipy model to the name 'model'")
        return model


def _require_standin():
    """A real gurobipy earlier on sys.path would make the scripts run against it instead."""
    if os.path.dirname(os.path.abspath(gurobipy.__file__)) != _STANDIN_DIR:
        raise RuntimeError(f"'import gurobipy' resolves to {gurobipy.__file__}, not to the test stand-in")


def execute_gurobi_script(text, filename="<gurobi script>"):
    _require_standin()
    code = compile(text, filename, "exec")
    namespace = {"results_container": {}}
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        exec(code, namespace)
    container = namespace["results_container"]
    if "gurobi_output" not in container:
        raise LookupError("the script stored no results under 'gurobi_output'")
    return ScriptRun(container["gurobi_output"], namespace, captured.getvalue())


def run_gurobi_script(text):
    return execute_gurobi_script(text).results

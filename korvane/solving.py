"""Solving a model end to end: parse the .mod/.dat pair, compile it for a target, run the script.

The default target is SciPy (HiGHS through scipy.optimize), which needs nothing beyond NumPy and
SciPy; the Gurobi target needs the gurobipy package on the machine that runs the script.
"""
import functools
import importlib.util
import math
import numbers

from .diagnostics import from_generator_failure, is_generator_failure, with_declaration_line
from .faultlore import SemanticError
from .oplparse import parse_files, post_process

# solver name -> (target, key under which the script leaves its results)
_SOLVERS = {
    "scipy": ("scipy", "scipy_output"),
    "highs": ("scipy", "scipy_output"),
    "gurobi": ("gurobi", "gurobi_output"),
}


def compile_model(tree, data, solver="scipy", options=None):
    """The script text for a model tree and its data on the target of `solver`, with the solver
    settings the model makes (where the target has them) under the `options` given (as
    solver_options() makes them) and, in a gurobipy script, a comment for each part of the
    post-processing that korvane.solve runs instead of the script."""
    target, _ = _target(solver)
    script = _generated(tree, data, target)
    settings = {key: value for key, value in model_settings(tree).items() if key in _TARGET_SETTINGS[target]}
    settings.update(options or {})
    if target == "scipy":
        return _with_scipy_defaults(script, settings)
    return _with_post_processing_comments(_with_gurobi_parameters(script, settings), tree)


def _generated(tree, data, target):
    if target == "gurobi":
        from .mipwright import GurobiCodeGenerator as generator
    else:
        from .lpwright import SciPyCodeGenerator as generator
    try:
        return generator(tree, data).generate_code()
    except SemanticError as error:
        if error.lineno:
            raise
        raise with_declaration_line(error, tree) from None
    except Exception as error:
        # A construct a generator cannot translate is the model's to change: report it with its line.
        if is_generator_failure(error):
            raise from_generator_failure(error, tree, target) from None
        raise


def solve(model_file, data_file=None, solver="scipy", *, time_limit=None, mip_gap=None, output=None):
    """Parse, compile and solve a model; return its results as a JSON-serialisable dictionary
    with `status`, `log` (what the model's script blocks wrote, before and after the solve, and
    the solver settings of the model that were not applied) and, when a point is known,
    `solution` (variable name to value), `objective_value`, `stats` and, when the model has
    post-processing declarations, `post_values` (their values by name).

    `time_limit` (seconds) and `mip_gap` (relative) are passed to the solver, over the model's own
    settings; `output` is the text stream that receives the script's report and the log
    (standard output when None)."""
    _require_solver(solver)
    options = solver_options(time_limit, mip_gap)
    tree, data = parse_files(model_file, data_file)
    return solve_parsed(tree, data, solver, name=model_file, output=output, **options)


def solve_parsed(tree, data, solver="scipy", name="model", *, time_limit=None, mip_gap=None, output=None,
                 on_phase=None, solver_log=False):
    """solve() for a model tree and data dictionary already in hand. `on_phase`, when given, is
    called with "instantiating" and then "solving" as the work reaches each phase; with
    `solver_log`, HiGHS writes its log to the process's standard output (file descriptor 1)."""
    target, key = _require_solver(solver)
    options = solver_options(time_limit, mip_gap)
    if on_phase:
        on_phase("instantiating")
    script = compile_model(tree, data, target, options)
    log = tree.get("script_log") or ""
    log += "".join(line + "\n" for line in setting_notes(tree, target, options))
    container = {}
    namespace = {"__name__": "__korvane_script__", "results_container": container, "solver_options": options}
    if solver_log and target == "scipy":
        namespace["solver_options"] = {**options, "log": True}
    # The script's report goes where the caller says, never implicitly to a stdout that may be a
    # protocol channel; binding print in the script's globals reaches every print it makes.
    report = functools.partial(print, file=output) if output is not None else print
    namespace["print"] = report
    report(log, end="")
    code = compile(script, f"<korvane {target} script for {name}>", "exec")
    if on_phase:
        on_phase("solving")
    exec(code, namespace)
    results = _plain(container[key])
    after = _post_processing(tree, data, results, name)
    report(after, end="")
    results["log"] = log + after
    return results


def solver_options(time_limit=None, mip_gap=None):
    """The checked solver settings, as the keywords solve() takes; unset ones are left out."""
    options = {}
    if time_limit is not None:
        options["time_limit"] = _positive_number("time_limit", time_limit, allow_zero=False)
    if mip_gap is not None:
        options["mip_gap"] = _positive_number("mip_gap", mip_gap, allow_zero=True)
    return options


def _positive_number(name, value, allow_zero):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        raise ValueError(f"{name} must be a finite number {'>= 0' if allow_zero else '> 0'}, not {value!r}")
    return value


# What a model's settings are called in its script blocks, and the settings each target has.
_SETTING_NAMES = {"time_limit": "cplex.tilim", "mip_gap": "cplex.epgap", "mip_gap_abs": "cplex.epagap",
                  "threads": "cplex.threads"}
_TARGET_SETTINGS = {"scipy": ("time_limit", "mip_gap"), "gurobi": tuple(_SETTING_NAMES)}
_TARGET_NAMES = {"scipy": "HiGHS through SciPy", "gurobi": "gurobipy"}
_GUROBI_PARAMETERS = {"time_limit": "TimeLimit", "mip_gap": "MIPGap", "mip_gap_abs": "MIPGapAbs", "threads": "Threads"}


def model_settings(tree):
    """The solver settings a model's script blocks make (cplex.tilim and the like), by the names
    solve() uses; a value no solver takes is left out (setting_notes says so)."""
    return {key: value for key, value in (tree.get("settings") or {}).items() if _setting_problem(key, value) is None}


def setting_notes(tree, target, options):
    """One line for each setting of the model that this solve does not apply, saying why."""
    notes = [f"setting {_cplex_name(name)} ignored: no counterpart" for name in tree.get("ignored_settings") or ()]
    for key, value in (tree.get("settings") or {}).items():
        name = _SETTING_NAMES[key]
        problem = _setting_problem(key, value)
        if problem is not None:
            notes.append(f"setting {name} = {value!r} ignored: {problem}")
        elif key not in _TARGET_SETTINGS[target]:
            notes.append(f"setting {name} ignored: no counterpart in {_TARGET_NAMES[target]}")
        elif key in options:
            notes.append(f"setting {name} = {value!r} overridden by {key}={options[key]!r} of the caller")
    return notes


def _setting_problem(key, value):
    if key == "threads":
        return None if isinstance(value, int) and value >= 0 else "the number of threads is a whole number >= 0"
    try:
        _positive_number(key, value, allow_zero=key != "time_limit")
    except (TypeError, ValueError) as error:
        return str(error).replace(f"{key} must be", "it must be")
    return None


def _cplex_name(name):
    return name if name.startswith("cplex.") else "cplex." + name


def _post_processing(tree, data, results, name):
    """The log of what the model computes after its solve (nothing when it computes nothing);
    the values of its post-processing declarations go into results["post_values"]."""
    blocks = tree.get("post_blocks") or []
    if not tree.get("post_declarations") and not blocks:
        return ""
    solution = results.get("solution")
    log, values = post_process(tree, data, solution, results.get("objective_value"), filename=name)
    if solution is None:  # a main block ran; the rest needs a point
        if tree.get("post_declarations") or any(block["kind"] != "main" for block in blocks):
            log += f"post-processing skipped: the solve ended {results['status']} without a solution\n"
        return log
    results["post_values"] = _plain(values)
    return log


def _with_scipy_defaults(script, settings):
    """The SciPy script with the model's settings as defaults of the options its runner passes."""
    if not settings:
        return script
    anchor = "settings = dict(globals().get('solver_options') or {})\n"
    defaults = f"settings = {{**{settings!r}, **dict(globals().get('solver_options') or {{}})}}\n"
    return script.replace(anchor, defaults, 1)


def _with_post_processing_comments(script, tree):
    lines = [f"# post-processing declaration '{decl['name']}' (line {decl.get('lineno')}) is computed by "
             f"korvane.solve, not by this script" for decl in tree.get("post_declarations") or ()]
    lines += [f"# {_block_title(block)} (line {block.get('lineno')}) is run by korvane.solve, not by this script"
              for block in tree.get("post_blocks") or ()]
    return script + "".join("\n" + line for line in lines)


def _block_title(block):
    if block.get("kind") == "main":
        return "main block after its solve"
    return f"post-processing block '{block['name']}'" if block.get("name") else "post-processing block"


def _with_gurobi_parameters(script, options):
    """The gurobipy script with the settings applied right after the model is created."""
    if not options:
        return script
    anchor = "model = gp.Model('OPLModel')\n"
    settings = "".join(f"model.setParam('{_GUROBI_PARAMETERS[key]}', {value!r})\n" for key, value in options.items())
    return script.replace(anchor, anchor + settings, 1)


def _require_solver(solver):
    target, key = _target(solver)
    if target == "gurobi" and importlib.util.find_spec("gurobipy") is None:
        raise RuntimeError("the 'gurobi' solver needs the gurobipy package, which is not installed; "
                           "install gurobipy or use solver='scipy' (HiGHS, included with SciPy)")
    return target, key


def _target(solver):
    try:
        return _SOLVERS[solver]
    except (KeyError, TypeError):
        raise ValueError(f"Unknown solver: {solver!r} (use 'scipy', 'highs' or 'gurobi')") from None


def _plain(value):
    """Python numbers, strings, lists and dicts only: NumPy scalars become Python numbers and a
    number that is not finite becomes None, so json.dumps writes strict JSON."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, int):
        return int(value)
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    return number if math.isfinite(number) else None

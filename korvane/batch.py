"""Many scenarios of one model at once, on Dask's distributed scheduler.

The model is parsed once, here, and travels to the workers as one task of the graph; each
scenario (a data file, or a point of a sweep over scalar parameters) is one task that returns its
row. A local cluster of worker processes serves by default; a scheduler address reaches a real
cluster whose workers have korvane installed. Data files are read here and parsed on the workers,
so the workers need no access to this machine's files.
"""
import contextlib
import dataclasses
import io
import itertools
import logging
import math
import os
import time
import uuid

from .faultlore import SemanticError
from .oplparse import instantiate, parse_data, parse_model
from .solving import _target, solve_parsed, solver_options

# Declarations of scalar parameters whose value comes from the data, and so can be varied.
_VARIABLE_TYPES = {"parameter_external", "parameter_external_explicit"}


@dataclasses.dataclass(frozen=True)
class _Scenario:
    """One row of a batch: data text to parse on a worker, or overrides of the shared data, or
    the reason it cannot run at all."""

    name: str
    data_file: str | None
    data_text: str | None = None
    overrides: dict | None = None
    error: str | None = None


def solve_many(model_file, data_files, solver="scipy", scheduler=None, workers=None, time_limit=None, *,
               vary=None, progress=None):
    """Solve `model_file` once per data file, as one Dask task each, and return one results
    dictionary per scenario, in input order, with `scenario`, `data_file`, `status`,
    `objective_value`, `solution`, `seconds` (the worker's time for that scenario) and `error`.

    A scenario that fails (bad data, a solver error, a worker that keeps dying on it) gets status
    "ERROR" and the reason in `error`; the others go on. `scheduler=None` starts a local cluster
    of `workers` processes (default: the CPU count) on 127.0.0.1 and stops it afterwards;
    `scheduler="tcp://host:8786"` uses that cluster. `vary` maps names of scalar parameters
    declared with `= ...` to lists of values: the model is then solved over their cross product
    on top of the one data file given (or none). `progress`, when given, is called with each row
    as it completes."""
    _target(solver)
    options = solver_options(time_limit)
    if scheduler is not None and workers is not None:
        raise ValueError("workers= sizes the local cluster; it cannot be combined with scheduler=")
    if scheduler is not None:
        _check_address(scheduler)
    _check_workers(workers)
    tree = _model_syntax(model_file)
    if vary:
        base, scenarios = _vary_scenarios(tree, data_files, vary)
    else:
        base, scenarios = {}, _file_scenarios(data_files)
    with _client(scheduler, workers) as client:
        return _solve_all(client, (tree, base, os.fspath(model_file)), scenarios, solver, options, progress)


def _model_syntax(model_file):
    """The model's syntax tree, read once here; each scenario instantiates it with its own data,
    since computed declarations and script blocks depend on the data."""
    model_file = os.fspath(model_file)
    with open(model_file, "rb") as source:
        raw = source.read()
    # Bytes that are not UTF-8 are ignored inside comments; elsewhere the parser reports the
    # replacement character at its line.
    return parse_model(raw.decode("utf-8", "replace"), filename=model_file)


def _file_scenarios(data_files):
    """One scenario per data file; a file that cannot be read here is a scenario that reports
    why in its row."""
    if isinstance(data_files, (str, bytes, os.PathLike)):
        raise TypeError("data_files must be a list of paths, not a single path")
    scenarios = []
    for path in map(os.fspath, data_files):
        try:
            with open(path, encoding="utf-8") as source:
                scenarios.append(_Scenario(path, path, data_text=source.read()))
        except (OSError, UnicodeDecodeError) as error:
            scenarios.append(_Scenario(path, path, error=_error_text(error, path)))
    return scenarios


def _vary_scenarios(tree, data_files, vary):
    """(base data, scenarios) of the cross product of `vary` over the one data file given; each
    scenario is named by its values, as NAME=VALUE,NAME=VALUE."""
    data_files = [os.fspath(path) for path in data_files or []]
    if len(data_files) > 1:
        raise ValueError(f"varying parameters takes one data file at most, not {len(data_files)}")
    declared = {decl.get("name"): decl for decl in tree.get("declarations", [])}
    axes = [[(name, _parameter_value(declared, name, value)) for value in _values(name, values)]
            for name, values in vary.items()]
    data_file = data_files[0] if data_files else None
    base = {}
    if data_file is not None:
        with open(data_file, encoding="utf-8") as source:
            base = parse_data(source.read(), filename=data_file)
    scenarios = [_Scenario(",".join(f"{name}={_text(value)}" for name, value in point), data_file,
                          overrides=dict(point))
                 for point in itertools.product(*axes)]
    return base, scenarios


def _parameter_value(declared, name, value):
    """`value` (a Python value, or its text as a command line gives it) as a value of the scalar
    parameter `name`, whose declaration `declared` maps it to; ValueError when `name` cannot be
    varied or the value does not fit its type."""
    decl = declared.get(name)
    kind = decl.get("type", "") if isinstance(decl, dict) else ""
    if not kind.startswith("parameter_"):
        raise ValueError(f"cannot vary {name!r}: the model declares no parameter of that name")
    if kind == "parameter_inline":
        raise ValueError(f"cannot vary {name!r}: its value is written in the model; declare it with '= ...'")
    if kind not in _VARIABLE_TYPES:
        raise ValueError(f"cannot vary {name!r}: it is an indexed parameter; only scalar parameters can be varied")
    value_type = decl.get("value_type", "")
    converted = _CONVERTERS[value_type.rstrip("+")](value)
    if converted is None or (value_type.endswith("+") and converted < 0):
        raise ValueError(f"cannot vary {name!r}: {value!r} is not a value of type {value_type}")
    return converted


def _values(name, values):
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"the values of {name!r} must be a list")
    values = list(values)
    if not values:
        raise ValueError(f"cannot vary {name!r}: no values given")
    return values


def _to_int(value):
    if isinstance(value, str):
        with contextlib.suppress(ValueError):
            return int(value.strip())
        return None
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _to_float(value):
    if isinstance(value, str):
        with contextlib.suppress(ValueError):
            value = float(value.strip())
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value) if math.isfinite(value) else None


def _to_boolean(value):
    if isinstance(value, str):
        return {"true": True, "false": False}.get(value.strip())
    return value if isinstance(value, bool) else None


def _to_string(value):
    return value if isinstance(value, str) else None


_CONVERTERS = {"int": _to_int, "float": _to_float, "boolean": _to_boolean, "string": _to_string}


def _text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _check_workers(workers):
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive integer, not {workers!r}")


@contextlib.contextmanager
def _client(scheduler, workers):
    # Dask is imported on use: the rest of the package works without it.
    from distributed import Client

    with contextlib.ExitStack() as stack:
        if scheduler is None:
            scheduler = stack.enter_context(local_cluster(workers))
        yield stack.enter_context(Client(scheduler, set_as_default=False))


@contextlib.contextmanager
def local_cluster(workers=None):
    """A cluster on 127.0.0.1 as solve_many starts one, for several batches: `workers` processes
    (default: the CPU count) of one thread each. Yields the scheduler's address."""
    from distributed import LocalCluster

    # One thread per process: a solve holds the interpreter lock for most of its time. The
    # cluster's own logs stay quiet: on a busy machine its shutdown logs the workers it had to
    # kill, and whatever goes wrong with a scenario is reported in its row.
    _check_workers(workers)
    with _without_malloc_trimming():
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None, silence_logs=logging.CRITICAL)
    with cluster:
        yield cluster.scheduler_address


def _without_malloc_trimming():
    """Dask starts workers with a low MALLOC_TRIM_THRESHOLD_, which hands freed memory back to the
    system at once; solving allocates and frees arrays all the time and then takes about 30% more
    CPU. The workers of a batch live only as long as the batch: they keep the C library's default."""
    import dask

    environ = dask.config.get("distributed.nanny.pre-spawn-environ")
    kept = {name: value for name, value in environ.items() if name != "MALLOC_TRIM_THRESHOLD_"}
    return dask.config.set({"distributed.nanny.pre-spawn-environ": kept})


def _check_address(scheduler):
    # A Client given an address it cannot parse hangs for a minute while it is collected.
    from distributed.comm.addressing import get_address_host_port

    try:
        get_address_host_port(scheduler)
    except (ValueError, TypeError):
        raise ValueError(f"not a scheduler address: {scheduler!r} (write it as tcp://host:port)") from None


def _solve_all(client, shared, scenarios, solver, options, progress):
    from distributed import as_completed

    batch = uuid.uuid4().hex
    rows = [None] * len(scenarios)
    futures = {}
    # The model and the shared data are one task: each worker fetches them once, and a worker
    # that dies with the only copy has them recomputed rather than lost.
    shared = client.submit(_shared, *shared, key=f"korvane-model-{batch}")
    for index, scenario in enumerate(scenarios):
        if scenario.error is not None:
            rows[index] = _row(scenario, error=scenario.error)
            _report(progress, rows[index])
        else:
            future = client.submit(_solve_scenario, shared, scenario, solver, options,
                                   key=f"korvane-scenario-{index}-{batch}")
            futures[future] = index
    for future in as_completed(futures, loop=client.loop):
        index = futures[future]
        rows[index] = _collected(future, scenarios[index])
        future.release()
        _report(progress, rows[index])
    return rows


def _report(progress, row):
    if progress is not None:
        progress(row)


def _collected(future, scenario):
    try:
        return future.result()
    except Exception as error:  # noqa: BLE001 - a task that could not run (its worker kept dying) is a row
        return _row(scenario, error=_error_text(error, scenario.data_file))


def _shared(tree, base, model_file):
    return tree, base, model_file


def _solve_scenario(shared, scenario, solver, options):
    """The task: one scenario's row, with every failure caught into it."""
    tree, base, model_file = shared
    started = time.perf_counter()
    try:
        if scenario.data_text is not None:
            data = parse_data(scenario.data_text, filename=scenario.data_file)
        else:
            data = {**base, **scenario.overrides}
        model, data = instantiate(tree, data, filename=model_file)
        results = solve_parsed(model, data, solver, name=scenario.name, output=io.StringIO(), **options)
    except Exception as error:  # noqa: BLE001 - one scenario's failure never stops the others
        return _row(scenario, error=_error_text(error, scenario.data_file), seconds=time.perf_counter() - started)
    return _row(scenario, results, seconds=time.perf_counter() - started)


def _row(scenario, results=None, error=None, seconds=None):
    results = results or {"status": "ERROR"}
    return {"scenario": scenario.name, "data_file": scenario.data_file, "status": results["status"],
            "objective_value": results.get("objective_value"), "solution": results.get("solution"),
            "seconds": seconds, "error": error}


def _error_text(error, path):
    """One line; a parse error names its file and line, a model error its line."""
    if isinstance(error, SemanticError) and getattr(error, "filename", None):
        where = f"{error.filename}:{error.lineno}" if error.lineno else error.filename
        text = f"{where}: {error.message}"
    elif isinstance(error, SemanticError):
        text = str(error)
    elif isinstance(error, OSError):
        text = f"{error.filename or path}: {error.strerror or error}"
    else:
        text = f"{type(error).__name__}: {error}"
    return " ".join(text.split())

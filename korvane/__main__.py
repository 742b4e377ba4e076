"""The korvane command line: compile, check, parse and solve models.

    korvane compile MODEL.mod [DATA.dat] [--target gurobi|scipy] [-o OUT.py]    a solver script
    korvane check MODEL.mod [DATA.dat]                  parse and compile; report every error
    korvane parse MODEL.mod|DATA.dat                    the model tree or the data as JSON
    korvane solve MODEL.mod [DATA.dat] [--solver highs|scipy|gurobi] [--time-limit S] [--mip-gap G] [--json] [--quiet]
    korvane solve-many MODEL.mod DATA... [--vary NAME=V1,V2]... [--scheduler ADDR] [--workers N] [--out FILE]

Errors go to standard error as one line each, `file:line:col: message Hint: ...`, never as a
traceback. Exit status: 0 for success (an OPTIMAL solve), 1 after an error in the model, the
data or the files, 2 after a wrong command line, and for a solve that ends otherwise 3
INFEASIBLE, 4 UNBOUNDED, 5 INF_OR_UNBD, 6 TIME_LIMIT, 7 any other solver outcome. solve-many
exits 0 when every scenario ran, whatever its outcome, and 1 when one of them failed.
"""
import argparse
import contextlib
import csv
import io
import json
import math
import os
import sys
import time

from . import __version__
from .diagnostics import at_data_value, first_column, from_decode_error, swapped_files, with_data_suggestion
from .faultlore import SemanticError
from .oplparse import parse_data, parse_files, parse_model
from .progress import ProgressLine, wanted
from .recovery import all_errors
from .solving import compile_model, solve_parsed, solver_options

# Exit status of a solve by how it ended; any other outcome exits with OTHER_OUTCOME.
OUTCOME_STATUS = {"OPTIMAL": 0, "INFEASIBLE": 3, "UNBOUNDED": 4, "INF_OR_UNBD": 5, "TIME_LIMIT": 6}
OTHER_OUTCOME = 7
FILE_ERROR, USAGE_ERROR, INTERRUPTED, CLOSED_PIPE = 1, 2, 130, 141

# The gurobipy script names outcomes by Gurobi's status codes; these read as words.
_GUROBI_CODES = {"OPTIMIZATION_STATUS_3": "INFEASIBLE", "OPTIMIZATION_STATUS_4": "INF_OR_UNBD",
                 "OPTIMIZATION_STATUS_5": "UNBOUNDED", "OPTIMIZATION_STATUS_9": "TIME_LIMIT"}


class CommandError(Exception):
    """An error already worded for the user."""


def _one_line(text):
    return " ".join(str(text).split())


def _describe(error, default_file):
    """file:line:col: message, with the repair hint the message carries."""
    lineno = getattr(error, "lineno", None)
    if isinstance(error, (SemanticError, RecursionError)):
        where = getattr(error, "filename", None) or default_file
        if lineno:
            col = getattr(error, "col", None) or first_column(_text_of(where), lineno)
            where = f"{where}:{lineno}" + (f":{col}" if col else "")
        return f"{where}: {_one_line(getattr(error, 'message', error))}"
    if isinstance(error, OSError):
        return _one_line(f"{error.filename or default_file}: {error.strerror or error}")
    return f"{default_file}: {_one_line(error)}"


def _text_of(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as source:
            return source.read()
    except (OSError, TypeError):
        return ""


def _read(model, data):
    try:
        return parse_files(model, data)
    except UnicodeDecodeError as error:
        failed = data if data is not None and _decodes(model) else model
        raise CommandError(_describe(from_decode_error(error, failed), failed)) from None
    except (SemanticError, RecursionError, OSError) as error:
        error = swapped_files(model, data, _text_of(model), _text_of(data)) or error
        raise CommandError(_describe(error, data if _blames_data(error, data) else model)) from None


def _decodes(path):
    try:
        with open(path, "rb") as source:
            source.read().decode("utf-8")
        return True
    except (OSError, UnicodeDecodeError):
        return False


def _blames_data(error, data):
    return data is not None and getattr(error, "filename", None) == data


def _compile(model, data, solver):
    tree, values = _read(model, data)
    try:
        return compile_model(tree, values, solver)
    except (SemanticError, RuntimeError, ValueError) as error:
        raise CommandError(_describe(_in_the_files(error, values, model, data), model)) from None


def _in_the_files(error, values, model, data):
    """A generator's error with what the files add: a data name one letter off, the .dat line."""
    if not isinstance(error, SemanticError):
        return error
    error = with_data_suggestion(error, values, model)
    return at_data_value(error, data, _text_of(data) if data else "", model)


def cmd_compile(args):
    script = _compile(args.model, args.data, args.target)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as out:
                out.write(script + "\n")
        except OSError as error:
            raise CommandError(_describe(error, args.output)) from None
    else:
        sys.stdout.write(script + "\n")
    return 0


def cmd_check(args):
    try:
        errors = all_errors(args.model, args.data)
    except OSError as error:
        raise CommandError(_describe(error, args.model)) from None
    for error in errors:
        print(_describe(error, args.model), file=sys.stderr)
    if not errors:
        print(f"{args.model}: OK")
        return 0
    print(f"{args.model}: {len(errors)} error{'s' if len(errors) != 1 else ''}", file=sys.stderr)
    return FILE_ERROR


def _json_ready(value):
    """Data dictionaries key keyed arrays by tuples, which JSON objects cannot hold."""
    if isinstance(value, dict):
        return {k if isinstance(k, str) else json.dumps(_json_ready(k)): _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return value


def cmd_parse(args):
    try:
        with open(args.file, "rb") as source:
            text = source.read().decode("utf-8")
        parse = parse_data if args.file.endswith(".dat") else parse_model
        result = parse(text, filename=args.file)
    except UnicodeDecodeError as error:
        raise CommandError(_describe(from_decode_error(error, args.file), args.file)) from None
    except (SemanticError, RecursionError, OSError) as error:
        raise CommandError(_describe(error, args.file)) from None
    print(json.dumps(_json_ready(result), indent=2, ensure_ascii=False))
    return 0


def _number(value):
    return "" if value is None else f"{value:.10g}"


def cmd_solve(args):
    show_progress = wanted(sys.stderr, args.quiet)
    with ProgressLine(sys.stderr, show_progress) as progress:
        progress.phase("parsing")
        tree, values = _read(args.model, args.data)
        if tree.get("objective", {}).get("type") == "maximize":
            progress.maximizing()
        try:
            with progress.solver_log():
                results = solve_parsed(tree, values, solver=args.solver, name=args.model, output=io.StringIO(),
                                       time_limit=args.time_limit, mip_gap=args.mip_gap, on_phase=progress.phase,
                                       solver_log=show_progress)
        except (SemanticError, RuntimeError, ValueError) as error:
            raise CommandError(_describe(_in_the_files(error, values, args.model, args.data), args.model)) from None
    status = _GUROBI_CODES.get(results["status"], results["status"])
    if args.json:
        print(json.dumps({**results, "status": status}, indent=2))
    else:
        _print_results(status, results, table=not args.quiet)
        sys.stdout.write(results.get("log", ""))  # what the model's own scripts wrote, after the table
    if args.explain and status == "INFEASIBLE":
        _print_explanation(args)
    return OUTCOME_STATUS.get(status, OTHER_OUTCOME)


def _print_results(status, results, table):
    print(f"Status: {status}")
    if status != "OPTIMAL" and results.get("message"):
        print(f"Solver: {_one_line(results['message'])}")
    if "objective_value" in results:
        print(f"Objective: {_number(results['objective_value'])}")
    if not table or "solution" not in results:
        return
    rows = [(name, _number(value)) for name, value in results["solution"].items() if abs(value) > 1e-9]
    width = max([len("Variable")] + [len(name) for name, _ in rows])
    print(f"{'Variable':<{width}}  Value")
    for name, value in rows:
        print(f"{name:<{width}}  {value}")


def _setting(name):
    """An argument type that checks a solver setting as solve() does."""
    def convert(text):
        try:
            return solver_options(**{name: float(text)})[name]
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error).replace(name, "--" + name.replace("_", "-"))) from None

    return convert


def cmd_solve_many(args):
    vary = dict(args.vary or [])
    if len(vary) < len(args.vary or []):
        return _usage_error("each parameter can be given to --vary once")
    if not vary and not args.data:
        return _usage_error("give the data files to solve, or --vary")
    if args.workers is not None and args.scheduler is not None:
        return _usage_error("--workers sizes the local cluster; it cannot be combined with --scheduler")
    with _results_stream(args.out) as out:  # opened first: a path that cannot be written fails before the batch
        try:
            rows = _solve_rows(args, vary)
        except (ValueError, TypeError) as error:  # arguments that do not fit the model
            return _usage_error(error)
        _print_summary(rows)
        if out is not None:
            _write_rows(out, args.out, rows)
    failed = [row for row in rows if row["status"] == "ERROR"]
    for row in failed:
        print(_failure_line(row), file=sys.stderr)
    return FILE_ERROR if failed else 0


def _solve_rows(args, vary):
    from .batch import solve_many

    total = math.prod(len(values) for values in vary.values()) if vary else len(args.data)
    try:
        return solve_many(args.model, args.data, solver=args.solver, scheduler=args.scheduler, workers=args.workers,
                          time_limit=args.time_limit, vary=vary, progress=_progress_counter(total, sys.stderr))
    except OSError as error:
        if error.filename is None:  # not a file: the scheduler could not be reached
            raise CommandError(f"korvane solve-many: {_one_line(error)}") from None
        raise CommandError(_describe(error, args.model)) from None
    except SemanticError as error:
        raise CommandError(_describe(error, args.model)) from None


def _results_stream(path):
    if path is None:
        return contextlib.nullcontext()
    try:
        return open(path, "w", encoding="utf-8", newline="")
    except OSError as error:
        raise CommandError(_describe(error, path)) from None


def _usage_error(message):
    print(f"korvane solve-many: error: {_one_line(message)}", file=sys.stderr)
    return USAGE_ERROR


def _progress_counter(total, stream):
    """A callback for each finished scenario that keeps one status line up to date."""
    started = time.perf_counter()
    finished = {"solved": 0, "failed": 0}
    end = "\r" if stream.isatty() else "\n"

    def report(row):
        finished["failed" if row["status"] == "ERROR" else "solved"] += 1
        remaining = total - finished["solved"] - finished["failed"]
        print(f"solved {finished['solved']}, failed {finished['failed']}, remaining {remaining}, "
              f"{time.perf_counter() - started:.1f} s", end=end if remaining else "\n", file=stream, flush=True)

    return report


def _print_summary(rows):
    table = [(row["scenario"], row["status"], _number(row["objective_value"]),
              "" if row["seconds"] is None else f"{row['seconds']:.2f}") for row in rows]
    header = ("Scenario", "Status", "Objective", "Seconds")
    widths = [max(len(line[column]) for line in [header] + table) for column in range(len(header))]
    for line in [header] + table:
        print("  ".join(f"{cell:<{width}}" for cell, width in zip(line, widths)).rstrip())


def _failure_line(row):
    # Parse errors already start with their file's name.
    if row["data_file"] and row["error"].startswith(row["data_file"]):
        return row["error"]
    return f"{row['scenario']}: {row['error']}"


_ROW_FIELDS = ("scenario", "data_file", "status", "objective_value", "seconds", "error", "solution")


def _write_rows(out, path, rows):
    try:
        if path.endswith(".jsonl"):
            out.writelines(json.dumps(row, ensure_ascii=False) + "\n" for row in rows)
            return
        writer = csv.DictWriter(out, fieldnames=_ROW_FIELDS)
        writer.writeheader()
        for row in rows:  # one CSV cell cannot hold a dictionary: the solution goes as JSON text
            writer.writerow({**row, "solution": None if row["solution"] is None else json.dumps(row["solution"])})
    except OSError as error:
        raise CommandError(_describe(error, path)) from None


def _vary_option(text):
    """NAME=V1,V2,... as (NAME, [V1, V2, ...]); the values are checked against the model later."""
    name, equals, values = text.partition("=")
    if not equals or not name.strip() or not values.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE,VALUE,... but got {text!r}")
    return name.strip(), [value.strip() for value in values.split(",")]


def _results_file(path):
    if not path.endswith((".csv", ".jsonl")):
        raise argparse.ArgumentTypeError(f"the results file must end in .csv or .jsonl, not {path!r}")
    return path


def _positive_count(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of workers, not {text!r}")
    return int(text)


def _print_explanation(args):
    from .explain import explain_infeasible, format_explanation

    try:
        print(format_explanation(explain_infeasible(args.model, args.data, time_limit=args.time_limit)))
    except Exception as error:  # noqa: BLE001 - the status stands even when the explanation fails
        raise CommandError(f"korvane: the explanation failed: {_one_line(error)}") from None


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(USAGE_ERROR, f"{self.prog}: error: {_one_line(message)}\n")


def build_parser():
    parser = _Parser(prog="korvane", description="Compile, check and solve OPL-subset models.",
                     epilog="Exit status: 0 success (OPTIMAL), 1 error in the files, 2 wrong command line; a solve "
                            "that ends otherwise: 3 INFEASIBLE, 4 UNBOUNDED, 5 INF_OR_UNBD, 6 TIME_LIMIT, 7 other.")
    parser.add_argument("--version", action="version", version=f"korvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    p = commands.add_parser("compile", help="write the solver script of a model")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="?")
    p.add_argument("--target", choices=["gurobi", "scipy"], default="gurobi",
                   help="the gurobipy script (default) or the SciPy/HiGHS script")
    p.add_argument("-o", "--output", metavar="OUT.py", help="write the script here instead of to standard output")
    p.set_defaults(run=cmd_compile)
    p = commands.add_parser("check", help="parse and compile a model, reporting every error with its place")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="?")
    p.set_defaults(run=cmd_check)
    p = commands.add_parser("parse", help="print the model tree or the data of a file as JSON")
    p.add_argument("file", metavar="MODEL.mod|DATA.dat")
    p.set_defaults(run=cmd_parse)
    p = commands.add_parser("solve", help="solve a model and print its status, objective and non-zero variables")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="?", help="may be left out when the model needs no data")
    p.add_argument("--solver", choices=["highs", "scipy", "gurobi"], default="highs")
    p.add_argument("--time-limit", metavar="SECONDS", type=_setting("time_limit"),
                   help="stop the search after this many seconds")
    p.add_argument("--mip-gap", metavar="GAP", type=_setting("mip_gap"), help="stop at this relative optimality gap")
    p.add_argument("--json", action="store_true", help="print the results dictionary as JSON")
    p.add_argument("--quiet", action="store_true", help="no progress line and no table of variables")
    p.add_argument("--explain", action="store_true",
                   help="when the model is infeasible, print a small conflicting set of its constraints")
    p.set_defaults(run=cmd_solve)
    p = commands.add_parser("solve-many", help="solve one model over many data files or parameter values on Dask")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="*")
    p.add_argument("--vary", metavar="NAME=V1,V2,...", type=_vary_option, action="append",
                   help="solve for each value of the scalar parameter NAME (repeatable: the cross product)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler such as tcp://host:8786 "
                   "(default: a local cluster)")
    p.add_argument("--workers", metavar="N", type=_positive_count, help="worker processes of the local cluster "
                   "(default: the CPU count)")
    p.add_argument("--out", metavar="RESULTS.csv|RESULTS.jsonl", type=_results_file,
                   help="also write every row, with its solution, to this file")
    p.add_argument("--solver", choices=["highs", "scipy", "gurobi"], default="highs")
    p.add_argument("--time-limit", metavar="SECONDS", type=_setting("time_limit"),
                   help="stop each search after this many seconds")
    p.set_defaults(run=cmd_solve_many)
    return parser


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    if not argv:
        parser.print_help(sys.stderr)
        return USAGE_ERROR
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except CommandError as error:
        print(error, file=sys.stderr)
    except BrokenPipeError:
        _discard_stdout()
        return CLOSED_PIPE
    except KeyboardInterrupt:
        print("korvane: interrupted", file=sys.stderr)
        return INTERRUPTED
    except Exception as error:  # noqa: BLE001 - the command line never shows a traceback
        print(f"korvane: internal error: {_one_line(error) or 'no detail'} (please report it with the files)",
              file=sys.stderr)
    return FILE_ERROR


def _discard_stdout():
    """The reader went away (`korvane parse big.dat | head`): what is left unwritten is dropped,
    so the interpreter's final flush does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass


if __name__ == "__main__":
    sys.exit(main())

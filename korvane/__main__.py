"""The korvane command line: compile, check, parse and solve models.

    korvane compile MODEL.mod [DATA.dat] [-o OUT.py]    the gurobipy script
    korvane check MODEL.mod [DATA.dat]                  parse and compile; report errors
    korvane parse MODEL.mod|DATA.dat                    the model tree or the data as JSON
    korvane solve MODEL.mod DATA.dat [--solver highs|scipy|gurobi] [--time-limit S] [--mip-gap G]
    korvane solve-many MODEL.mod DATA... [--vary NAME=V1,V2]... [--scheduler ADDR] [--workers N] [--out FILE]

Errors go to standard error as one line each, never as a traceback; the exit status is 1 after
an error in the model, the data or the files, and 2 after a wrong command line.
"""
import argparse
import contextlib
import csv
import io
import json
import math
import sys
import time

from .faultlore import SemanticError
from .oplparse import parse_data, parse_files, parse_model
from .solving import compile_model, solve_parsed


class CommandError(Exception):
    """An error already worded for the user."""


def _one_line(text):
    return " ".join(str(text).split())


def _describe(error, default_file):
    """file:line: message, with the repair hint the message carries."""
    if isinstance(error, SemanticError):
        where = getattr(error, "filename", None) or default_file
        if error.lineno:
            where = f"{where}:{error.lineno}"
        return f"{where}: {_one_line(error.message)}"
    if isinstance(error, OSError):
        return _one_line(f"{error.filename or default_file}: {error.strerror or error}")
    return f"{default_file}: {type(error).__name__}: {_one_line(error)}"


def _read(model, data):
    try:
        return parse_files(model, data)
    except (SemanticError, OSError) as error:
        raise CommandError(_describe(error, data if _blames_data(error, data) else model)) from None


def _blames_data(error, data):
    return data is not None and getattr(error, "filename", None) == data


def _compile(model, data, solver):
    tree, values = _read(model, data)
    try:
        return compile_model(tree, values, solver)
    except Exception as error:  # noqa: BLE001 - every failure of the generator is reported as one line
        raise CommandError(_describe(error, model)) from None


def cmd_compile(args):
    script = _compile(args.model, args.data, "gurobi")
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
    tree, values = _read(args.model, args.data)
    errors = []
    for solver in ("gurobi", "scipy"):
        try:
            compile_model(tree, values, solver)
        except Exception as error:  # noqa: BLE001 - collected and reported below
            line = _describe(error, args.model)
            if line not in errors:
                errors.append(line)
    for line in errors:
        print(line, file=sys.stderr)
    if not errors:
        print(f"{args.model}: OK")
    return 1 if errors else 0


def _json_ready(value):
    """Data dictionaries key keyed arrays by tuples, which JSON objects cannot hold."""
    if isinstance(value, dict):
        return {k if isinstance(k, str) else json.dumps(_json_ready(k)): _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return value


def cmd_parse(args):
    try:
        with open(args.file, encoding="utf-8") as source:
            text = source.read()
        parse = parse_data if args.file.endswith(".dat") else parse_model
        result = parse(text, filename=args.file)
    except (SemanticError, OSError, UnicodeDecodeError) as error:
        raise CommandError(_describe(error, args.file)) from None
    print(json.dumps(_json_ready(result), indent=2, ensure_ascii=False))
    return 0


def _number(value):
    return "" if value is None else f"{value:.10g}"


def cmd_solve(args):
    tree, values = _read(args.model, args.data)
    try:
        results = solve_parsed(tree, values, solver=args.solver, name=args.model, output=io.StringIO(),
                               time_limit=args.time_limit, mip_gap=args.mip_gap)
    except Exception as error:  # noqa: BLE001 - every failure is reported as one line
        raise CommandError(_describe(error, args.model)) from None
    print(f"Status: {results['status']}")
    if "objective_value" in results:
        print(f"Objective: {_number(results['objective_value'])}")
    rows = [(name, _number(value)) for name, value in results.get("solution", {}).items() if abs(value) > 1e-9]
    if "solution" in results:
        width = max([len("Variable")] + [len(name) for name, _ in rows])
        print(f"{'Variable':<{width}}  Value")
        for name, value in rows:
            print(f"{name:<{width}}  {value}")
    return 0


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
    return 1 if failed else 0


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
    return 2


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


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {_one_line(message)}\n")


def build_parser():
    parser = _Parser(prog="korvane", description="Compile, check and solve OPL-subset models.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    p = commands.add_parser("compile", help="write the gurobipy script of a model")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="?")
    p.add_argument("-o", "--output", metavar="OUT.py", help="write the script here instead of to standard output")
    p.set_defaults(run=cmd_compile)
    p = commands.add_parser("check", help="parse and compile a model, reporting every error with its line")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat", nargs="?")
    p.set_defaults(run=cmd_check)
    p = commands.add_parser("parse", help="print the model tree or the data of a file as JSON")
    p.add_argument("file", metavar="MODEL.mod|DATA.dat")
    p.set_defaults(run=cmd_parse)
    p = commands.add_parser("solve", help="solve a model and print its status, objective and non-zero variables")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("--solver", choices=["highs", "scipy", "gurobi"], default="highs")
    p.add_argument("--time-limit", metavar="SECONDS", type=float, help="stop the search after this many seconds")
    p.add_argument("--mip-gap", metavar="GAP", type=float, help="stop at this relative optimality gap")
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
    p.add_argument("--time-limit", metavar="SECONDS", type=float, help="stop each search after this many seconds")
    p.set_defaults(run=cmd_solve_many)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CommandError as error:
        print(error, file=sys.stderr)
    except KeyboardInterrupt:
        print("korvane: interrupted", file=sys.stderr)
    except Exception as error:  # noqa: BLE001 - the command line never shows a traceback
        print(f"korvane: error: {type(error).__name__}: {_one_line(error)}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())

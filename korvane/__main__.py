"""The korvane command line: compile, check, parse and solve models.

    korvane compile MODEL.mod [DATA.dat] [-o OUT.py]    the gurobipy script
    korvane check MODEL.mod [DATA.dat]                  parse and compile; report errors
    korvane parse MODEL.mod|DATA.dat                    the model tree or the data as JSON
    korvane solve MODEL.mod DATA.dat [--solver highs|scipy|gurobi] [--time-limit S] [--mip-gap G]

Errors go to standard error as one line each, never as a traceback; the exit status is 1 after
an error in the model, the data or the files, and 2 after a wrong command line.
"""
import argparse
import io
import json
import sys

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
    if args.explain and results["status"] == "INFEASIBLE":
        _print_explanation(args)
    return 0


def _print_explanation(args):
    from .explain import explain_infeasible, format_explanation

    try:
        print(format_explanation(explain_infeasible(args.model, args.data, time_limit=args.time_limit)))
    except Exception as error:  # noqa: BLE001 - the status stands even when the explanation fails
        raise CommandError(f"korvane: the explanation failed: {_one_line(error)}") from None


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
    p.add_argument("--explain", action="store_true",
                   help="when the model is infeasible, print a small conflicting set of its constraints")
    p.set_defaults(run=cmd_solve)
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

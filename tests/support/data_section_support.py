"""Model builders and runners shared by the data-section tests."""
import logging

from trees import num

from korvane.mipwright import GurobiCodeGenerator

PREAMBLE_LINES = 11
HEADER = "# Data from .dat file"
LOGGER = "korvane.mipwright"


class DataOnly(GurobiCodeGenerator):
    """A generator whose sections after the data section write nothing."""

    def _generate_declarations(self, declarations):
        pass

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        return "0"

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        pass


def inline_range(name, start, end):
    return {"type": "range_declaration_inline", "name": name, "start": _node(start), "end": _node(end)}


def set_dim(name):
    return {"type": "named_set_dimension", "name": name}


def range_dim(name, start=None, end=None):
    dim = {"type": "named_range_dimension", "name": name}
    if start is not None:
        dim.update(start=_node(start), end=_node(end))
    return dim


def param(name, *dims, kind="parameter_external_indexed", **extra):
    decl = {"type": kind, "name": name, **extra}
    if dims:
        decl["dimensions"] = list(dims)
    return decl


def decl(kind, name, **extra):
    return {"type": kind, "name": name, **extra}


def model(*declarations):
    return {"declarations": list(declarations), "objective": {"type": "minimize", "expression": num(0)},
            "constraints": []}


def _node(bound):
    return num(bound) if isinstance(bound, int) else bound


def data_lines(script):
    """The lines of the data section: from the end of the preamble to the model object."""
    lines = script.split("\n")
    return lines[PREAMBLE_LINES:lines.index("model = gp.Model('OPLModel')")]


def generate(declarations, data):
    """Runs generate_code(); returns the generator and the data section lines."""
    gen = DataOnly(model(*declarations), data)
    script = gen.generate_code()
    compile(script, "generated", "exec")
    return gen, data_lines(script)


def after_header(lines):
    """The lines the parameter stages wrote."""
    return lines[lines.index(HEADER) + 1:]


def read_back(lines, **names):
    """Runs data section lines; names the section refers to but does not define come in `names`."""
    namespace = dict(names)
    exec(compile("\n".join(line for line in lines if line), "data", "exec"), namespace)
    return namespace


def log_records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def debug_logging(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)

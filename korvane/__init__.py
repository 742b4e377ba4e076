"""korvane: compiles optimisation models written in a subset of the OPL modelling language
into runnable solver scripts.

The package-level functions live in submodules and are imported on first use, so that importing
one part of the package (the parser, a generator) never pulls in the others.
"""
import importlib

__version__ = "0.1.0"

_EXPORTS = {
    "solve": "korvane.solving",
    "solve_many": "korvane.batch",
    "generative_solve": "korvane.genai",
    "generative_feedback": "korvane.genai",
    "explain_infeasible": "korvane.explain",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'korvane' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value

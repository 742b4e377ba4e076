"""korvane: compiles optimisation models written in a subset of the OPL modelling language
into runnable solver scripts."""

__version__ = "0.1.0"

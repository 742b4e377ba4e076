"""Constants, the error type and the attribute access shared by the stand-in's classes."""
import math
import numbers


class GurobiError(Exception):
    """The error type gurobipy raises for invalid models and calls."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class GRB:
    LOADED = 1
    OPTIMAL = 2
    INFEASIBLE = 3
    INF_OR_UNBD = 4
    UNBOUNDED = 5
    TIME_LIMIT = 9

    CONTINUOUS = "C"
    BINARY = "B"
    INTEGER = "I"
    SEMICONT = "S"
    SEMIINT = "N"

    MINIMIZE = 1
    MAXIMIZE = -1

    LESS_EQUAL = "<"
    GREATER_EQUAL = ">"
    EQUAL = "="

    INFINITY = 1e100

    class Param:
        DualReductions = "DualReductions"
        OutputFlag = "OutputFlag"
        TimeLimit = "TimeLimit"
        MIPGap = "MIPGap"
        MIPGapAbs = "MIPGapAbs"
        Threads = "Threads"


MAX_NAME_LENGTH = 255


class Attributes:
    """gurobipy reads attributes case-insensitively (model.status, model.Status); each class lists
    its attributes in `_attributes`, lower-case name to a function of the object."""

    __slots__ = ()
    _attributes = {}

    def __getattr__(self, name):
        getter = type(self)._attributes.get(name.lower())
        if getter is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        return getter(self)


def unavailable(attribute):
    return AttributeError(f"Unable to retrieve attribute '{attribute}'")


def is_number(value):
    return isinstance(value, numbers.Real)


def number(value, what):
    """A float from one scalar; per-key values and other gurobipy forms are not taken here."""
    if not is_number(value):
        raise TypeError(f"{what} must be a single number, not {type(value).__name__}")
    value = float(value)
    if math.isnan(value):
        raise GurobiError(f"{what} is NaN")
    return value


def checked_name(name):
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    if len(name) > MAX_NAME_LENGTH:
        raise GurobiError(f"Name too long (maximum name length is {MAX_NAME_LENGTH} characters)")
    return name

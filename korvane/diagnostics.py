"""Errors worded for the person (or language model) who must fix the files: every one a
SemanticError with a file, a line and a column, never an exception class name.

The parser locates its own errors; this module places the rest: failures of the code generators
(found again in the model tree by the name they mention), undecodable bytes, data names one
letter off the model's, and a model and a data file passed the wrong way round.
"""
import json
import re

from .faultlore import SemanticError

# Failures a generator raises for a construct it cannot translate rather than for a fault of its
# own; anything else is a bug and stays what it is.
_GENERATOR_FAILURES = (NotImplementedError, KeyError, TypeError, ValueError)

_MISSING_DATA = re.compile(r"^(?:Parameter|Set|Tuple array) '([^']+)' declared .*not found in \.dat file")


def is_generator_failure(error):
    return isinstance(error, _GENERATOR_FAILURES) and not isinstance(error, SemanticError)


def from_generator_failure(error, tree, target):
    """A SemanticError for what a generator raised, at the line of the innermost statement that
    mentions the name the failure quotes."""
    if isinstance(error, KeyError) and error.args:  # a lookup that failed names its key alone
        name = str(error.args[0])
        message = f"Unsupported use of '{name}' here: the {target} target cannot translate it"
    else:
        message, name = str(error), _quoted(str(error))
        if not message.startswith("Unsupported"):
            message = f"Unsupported by the {target} target: {message}"
    return SemanticError(message, _line_mentioning(tree, name))


def with_declaration_line(error, tree):
    """A SemanticError without a line, given the line of the declaration of the name it quotes."""
    name = _quoted(error.message)
    for declaration in tree.get("declarations", []) if isinstance(tree, dict) else []:
        if isinstance(declaration, dict) and declaration.get("name") == name and declaration.get("lineno"):
            return SemanticError(error.message, declaration["lineno"], filename=getattr(error, "filename", None),
                                 col=getattr(error, "col", None))
    return error


def _quoted(message):
    found = re.search(r"'([^']+)'", message)
    return found.group(1) if found else None


def _line_mentioning(node, name, line=None):
    """The line of the innermost node with a line number whose subtree mentions `name`."""
    if not name:
        return line
    if isinstance(node, dict):
        children = node.values()
        if "lineno" in node:
            if f'"{name}"' not in json.dumps(node, default=str):
                return None
            line = node["lineno"]
    elif isinstance(node, (list, tuple)):
        children = node
    else:
        return None
    for child in children:
        found = _line_mentioning(child, name, line)
        if found is not None:
            return found
    return line if isinstance(node, dict) and "lineno" in node else None


def from_decode_error(error, filename):
    """Undecodable bytes as a located error: the line, the column and the byte offset."""
    raw = error.object[:error.start]
    line = raw.count(b"\n") + 1
    col = len(raw[raw.rfind(b"\n") + 1:].decode("utf-8", "replace")) + 1
    return SemanticError(f"Invalid UTF-8 at byte offset {error.start}: the file must be UTF-8 text. Hint: save the "
                         "file as UTF-8 (or replace the character) and try again.",
                         line, filename=filename, col=col)


def with_data_suggestion(error, data, model_file):
    """A parameter the data lacks, with the data name one letter off it when there is one."""
    found = _MISSING_DATA.match(error.message)
    if not found:
        return error
    wanted = found.group(1)
    near = [name for name in data if _one_edit_apart(name, wanted)]
    hint = f"the .dat file gives '{near[0]}'; did you mean '{wanted}'?" if near else \
        f"add an assignment such as '{wanted} = <value>;' to the .dat file."
    message = error.message.split(" Hint:")[0]
    return SemanticError(f"{message} Hint: {hint}", error.lineno,
                         filename=getattr(error, "filename", None) or model_file, col=getattr(error, "col", None))


_DATA_VALUE = re.compile(r"^(?:Parameter|Set|Tuple array|Range) '([^']+)'")


def at_data_value(error, data_file, data_text, model_file):
    """A fault of a value the .dat file gives (its shape, its keys) placed at the assignment in the
    .dat file, with the model's declaration as the second place."""
    found = _DATA_VALUE.match(error.message)
    if data_file is None or not found or "not found in .dat file" in error.message:
        return error
    assignment = re.search(rf"^[ \t]*({re.escape(found.group(1))})\s*=", data_text, re.M)
    if assignment is None:
        return error
    before = data_text[:assignment.start(1)]
    message, _, hint = error.message.partition(" Hint:")
    declared = f" (declared at {getattr(error, 'filename', None) or model_file}:{error.lineno})" if error.lineno else ""
    return SemanticError(message.rstrip(".") + declared + "." + (" Hint:" + hint if hint else ""),
                         before.count("\n") + 1, filename=data_file, col=len(before) - before.rfind("\n"))


def _one_edit_apart(a, b):
    if a == b or abs(len(a) - len(b)) > 1:
        return False
    if len(a) == len(b):
        diffs = [i for i in range(len(a)) if a[i] != b[i]]
        return len(diffs) == 1 or (len(diffs) == 2 and diffs[1] == diffs[0] + 1 and a[diffs[0]] == b[diffs[1]]
                                   and a[diffs[1]] == b[diffs[0]])
    short, long_ = sorted((a, b), key=len)
    return any(long_[:i] + long_[i + 1:] == short for i in range(len(long_)))


_MODEL_WORDS = re.compile(r"^\s*(dvar|dexpr|minimize|maximize|subject\s+to|tuple|range|forall)\b", re.M)


def looks_like_model(text):
    return bool(_MODEL_WORDS.search(text))


def swapped_files(model_file, data_file, model_text, data_text):
    """A SemanticError when the data file is where the model should be and the other way round."""
    if data_file is None or looks_like_model(model_text) or not looks_like_model(data_text):
        return None
    return SemanticError(f"'{model_file}' reads like a data file and '{data_file}' like a model: the model file "
                         "comes first. Hint: swap the two file names.", 1, filename=model_file, col=1)


def first_column(text, lineno):
    """The column of the first character of a line that is not a blank: where a statement starts."""
    lines = text.splitlines()
    if not isinstance(lineno, int) or not 1 <= lineno <= len(lines):
        return None
    line = lines[lineno - 1]
    return len(line) - len(line.lstrip()) + 1

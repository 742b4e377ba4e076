"""Every error of a model and its data in one run, for `korvane check`.

The parser stops at its first error. To go on, the statement that holds the error is blanked
out (up to its ';', or up to the '}' that closes the block around it) and the text is parsed
again, until it parses or nothing is left to blank. Names that a blanked statement declared are
remembered, so that their later uses are not reported as undeclared as well. The generators run
only on files that parse as written, since a model with a statement missing says little.
"""
import re

from .diagnostics import at_data_value, from_decode_error, swapped_files, with_data_suggestion
from .faultlore import SemanticError
from .oplparse import instantiate, parse_data, parse_files, parse_model
from .solving import compile_model

_MOST_ERRORS = 50
_UNDECLARED = re.compile(r"^Undeclared symbol '([^']+)'")
_NAME = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")


def all_errors(model_file, data_file=None):
    """The errors of the files as SemanticErrors with their file set, de-duplicated and sorted by
    file, line and column; OSError when a file cannot be read."""
    texts = {}
    errors = []
    for path in (model_file, data_file):
        if path is None:
            continue
        with open(path, "rb") as source:
            raw = source.read()
        try:
            texts[path] = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            errors.append(from_decode_error(error, path))
    swapped = swapped_files(model_file, data_file, texts.get(model_file, ""), texts.get(data_file, ""))
    if swapped:
        return [swapped]
    tree = data = None
    if model_file in texts:
        tree = _parse_recovering(texts[model_file], model_file, parse_model, errors)
    if data_file in texts:
        data = _parse_recovering(texts[data_file], data_file, parse_data, errors)
    if not errors and data_file is not None:
        try:  # reading the pair checks the data against the model's declarations
            parse_files(model_file, data_file)
        except SemanticError as error:
            errors.append(error)
    if not errors:
        found = _generator_errors(tree, data if data_file else {}, model_file)
        errors.extend(at_data_value(error, data_file, texts.get(data_file, ""), model_file) for error in found)
    return _sorted_unique(errors)


def _parse_recovering(text, filename, parse, errors):
    """The parse of `text`, or None when it had errors, which are appended to `errors`."""
    blanked_names = set()
    clean = True
    for _ in range(_MOST_ERRORS):
        try:
            result = parse(text, filename=filename)
            return result if clean else None
        except (SemanticError, RecursionError) as error:
            clean = False
            undeclared = _UNDECLARED.match(getattr(error, "message", ""))
            if not (undeclared and undeclared.group(1) in blanked_names):
                errors.append(error)
            if isinstance(error, RecursionError):  # blanking part of a deep expression only adds noise
                return None
            # A statement left open ends where the error points; the next one is still whole.
            left_open = "expected ';' after" in getattr(error, "message", "")
            text, removed = _blank_statement(text, getattr(error, "lineno", None), getattr(error, "col", None),
                                             left_open)
            if not removed.strip():
                return None
            blanked_names.update(_NAME.findall(removed))
    return None


def _blank_statement(text, lineno, col, ends_here=False):
    """`text` with the statement around (lineno, col) replaced by blanks (line breaks kept, so
    later lines keep their numbers), and the text removed."""
    if not isinstance(lineno, int) or lineno < 1:
        return text, ""
    at = _offset(text, lineno, col or 1)
    start = _statement_start(text, at)
    end = at if ends_here else _statement_end(text, start)
    removed = text[start:end]
    return text[:start] + re.sub(r"[^\n]", " ", removed) + text[end:], removed


def _offset(text, lineno, col):
    lines = text.split("\n")
    if lineno > len(lines):
        return len(text)
    return sum(len(line) + 1 for line in lines[:lineno - 1]) + min(col - 1, len(lines[lineno - 1]))


def _statement_start(text, at):
    """Just after the ';' before the statement at `at`, or after the '{' of the block around it;
    braces closed before `at` (a set type such as {int}, a set literal) belong to the statement."""
    depth = 0
    for i in range(at - 1, -1, -1):
        c = text[i]
        if c == "}":
            depth += 1
        elif c == "{":
            if depth == 0:
                return i + 1
            depth -= 1
        elif c == ";" and depth == 0:
            return i + 1
    return 0


def _statement_end(text, start):
    """Just past the ';' that ends the statement from `start`, or at the '}' of the enclosing block.
    Only braces nest statements; a ';' inside parentheses ends a statement left open."""
    depth = 0
    for i in range(start, len(text)):
        c = text[i]
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth < 0:
                return i
        elif c == ";" and depth == 0:
            return i + 1
    return len(text)


def _generator_errors(tree, data, model_file):
    """The first error of each target (a generator stops at its first)."""
    found = []
    try:
        tree, data = instantiate(tree, data, filename=model_file)
    except SemanticError as error:
        return [with_data_suggestion(error, data, model_file)]
    for target in ("gurobi", "scipy"):
        try:
            compile_model(tree, data, target)
        except SemanticError as error:
            # Both targets stop at the first thing they cannot take: the same words, or the same
            # line, are one fault, told where it has a line.
            error = with_data_suggestion(error, data, model_file)
            same = [i for i, other in enumerate(found)
                    if other.message == error.message or (error.lineno and error.lineno == other.lineno)]
            if not same:
                found.append(error)
            elif error.lineno and not found[same[0]].lineno:
                found[same[0]] = error
    for error in found:
        if getattr(error, "filename", None) is None:
            error.filename = model_file
    return found


def _sorted_unique(errors):
    """One error per message: the targets word data errors alike, one of them sometimes without a
    line, so the located one is kept."""
    best = {}
    for error in errors:
        key = (getattr(error, "filename", None), getattr(error, "message", str(error)))
        kept = best.get(key)
        if kept is None or (not getattr(kept, "lineno", None) and getattr(error, "lineno", None)):
            best[key] = error
    return sorted(best.values(), key=lambda e: (str(getattr(e, "filename", "")), getattr(e, "lineno", None) or 0,
                                                getattr(e, "col", None) or 0))

"""Checking an LLM's answer the way korvane will use it: extract the .mod and .dat texts, parse
them, compile them with the Gurobi generator and make sure the model has a feasible point. A
failure is described for the LLM to repair: the error with its hint and line, and the text of that
line; for an infeasible model, a small set of its constraints that conflict."""
import re
from dataclasses import dataclass

from korvane.faultlore import SemanticError
from korvane.oplparse import instantiate, parse_data, parse_model
from korvane.solving import compile_model

# How far an answer got; a later stage is a better answer.
STAGES = ("format", "model", "data", "compile", "feasibility", "ok")
# How long the feasibility check and its explanation may take: an answer that cannot be decided
# in this time is accepted as it is.
FEASIBILITY_SECONDS = 30.0

MODEL_TAGS = {"mod", "opl", "model"}
DATA_TAGS = {"dat", "data"}
# Longer answers are refused before they are scanned: no model the checker can compile needs more.
MAX_ANSWER_CHARS = 2_000_000
FENCE = "```"
FENCE_TAG = re.compile(r"[ \t]*([\w.+-]*)")


class AnswerFormatError(ValueError):
    """The answer does not hold a model block and a data block."""


def fenced_blocks(answer):
    """The (tag, body) of each fenced block of `answer`, in order, in one pass over its lines.

    A block opens with a line that starts with ``` (the tag is the word after it) and closes with
    the next line that holds ``` and blanks only; a body keeps its final newline. An opening line
    without a closing line after it ends the scan, as no later line could close a block either."""
    blocks, lines = [], answer.split("\n")
    opening = None  # (tag, index of the body's first line) of the block being read
    for index, line in enumerate(lines):
        if opening is not None and line.startswith(FENCE) and not line[len(FENCE):].strip(" \t"):
            tag, first = opening
            blocks.append((tag, "".join(body + "\n" for body in lines[first:index])))
            opening = None
        elif opening is None and line.startswith(FENCE) and index + 1 < len(lines):
            opening = (FENCE_TAG.match(line, len(FENCE)).group(1), index + 1)
    return blocks


def extract_pair(answer):
    """The (.mod, .dat) texts of an answer: its last fenced block tagged mod (or opl, model) and
    its last tagged dat (or data); an answer with exactly two untagged blocks gives them in order."""
    if len(answer) > MAX_ANSWER_CHARS:
        raise AnswerFormatError(f"the answer holds {len(answer):,} characters; answers are limited to "
                                f"{MAX_ANSWER_CHARS:,}: give just the two code blocks")
    blocks = [(tag.lower(), body) for tag, body in fenced_blocks(answer)]
    model = [body for tag, body in blocks if tag in MODEL_TAGS]
    data = [body for tag, body in blocks if tag in DATA_TAGS]
    if model and data:
        return model[-1], data[-1]
    untagged = [body for tag, body in blocks if not tag]
    if not model and not data and len(untagged) == 2:
        return untagged[0], untagged[1]
    missing = " and ".join(kind for kind, found in (("```mod", model), ("```dat", data)) if not found)
    raise AnswerFormatError(f"the answer has no {missing} block")


@dataclass
class Attempt:
    """One candidate answer and how far it got."""

    round: int
    answer: str
    model_text: str | None = None
    data_text: str | None = None
    stage: str = "format"
    message: str | None = None
    lineno: int | None = None

    @property
    def ok(self):
        return self.stage == "ok"

    @property
    def rank(self):
        return STAGES.index(self.stage)

    def error_record(self):
        return {"iteration": self.round, "stage": self.stage, "message": self.message, "lineno": self.lineno}


def _describe(err, source):
    """The error as the user sees it (message, line, hint), plus the offending line of `source`."""
    text = str(err)
    lines = source.splitlines() if source is not None else []
    if isinstance(err.lineno, int) and 1 <= err.lineno <= len(lines):
        text += f"\nLine {err.lineno} reads: {lines[err.lineno - 1].strip()}"
    return text


def check_answer(round_number, answer):
    """Checks one answer and returns its Attempt."""
    attempt = Attempt(round_number, answer)
    try:
        attempt.model_text, attempt.data_text = extract_pair(answer)
    except AnswerFormatError as err:
        attempt.message = str(err)
        return attempt
    return check_pair(attempt)


def check_pair(attempt):
    """Parses and compiles the attempt's texts, recording the stage reached and the first error."""
    try:
        attempt.stage = "model"
        tree = parse_model(attempt.model_text, filename="model.mod")
        attempt.stage = "data"
        data = parse_data(attempt.data_text, filename="data.dat")
        attempt.stage = "compile"
        tree, data = instantiate(tree, data, filename="model.mod")
        # a construct it cannot translate is a SemanticError with its line
        compile_model(tree, data, "gurobi")
        attempt.stage = "feasibility"
        conflict = _conflict(tree, data, attempt)
    except SemanticError as err:
        source = {"model": attempt.model_text, "data": attempt.data_text, "compile": attempt.model_text}[attempt.stage]
        attempt.message, attempt.lineno = _describe(err, source), err.lineno
        return attempt
    except Exception as err:  # the generator's ValueError, NotImplementedError and the like
        attempt.message = f"{type(err).__name__}: {err}"
        return attempt
    if conflict is not None:
        attempt.message = conflict
        return attempt
    attempt.stage = "ok"
    return attempt


def _conflict(tree, data, attempt):
    """The explanation of an infeasible model, or None when it is feasible or cannot be decided
    (including models that the SciPy target cannot build: the Gurobi compile above stands)."""
    from korvane.explain import explain_parsed, format_explanation

    try:
        result = explain_parsed(tree, data, time_limit=FEASIBILITY_SECONDS, mod_lines=attempt.model_text.splitlines(),
                                dat_text=attempt.data_text)
    except Exception:  # noqa: BLE001 - the check is advisory beyond the compile
        return None
    return format_explanation(result) if result["infeasible"] else None

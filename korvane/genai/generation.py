"""Generating a .mod/.dat pair from a prompt, checked and repaired in rounds, and asking an LLM for
feedback on an existing pair."""
import re
import time
from pathlib import Path

from . import progress, strategies  # noqa: F401  (strategies registers the generation methods)
from ._strategy_base import LLMProvider, Strategy, make_client, provider_of
from .checking import Attempt, check_answer, check_pair
from .prompts import REVIEW_SYSTEM_PROMPT, review_request

DEFAULT_METHOD = "korvane_generative"
SUMMARY_LINE = re.compile(r"^\W*summary\W*:\s*(.+)$", re.IGNORECASE | re.MULTILINE)


def generative_solve(prompt, model_file, data_file, iterations=5, return_statistics=True, model_name=None,
                     llm_provider=LLMProvider.OPENAI, method=DEFAULT_METHOD):
    """Has an LLM write a model and data file for `prompt`, checks them with korvane's parser and
    generator, and feeds every error (with its hint and line) back for a repair, for at most
    `iterations` rounds. Writes the best pair found to `model_file` and `data_file` (nothing
    when no answer held a pair at all).

    Returns the statistics of the run when `return_statistics` is true, else None:
    success, iterations (rounds used), max_iterations, method, provider, model, model_file,
    data_file, written, errors (one record per rejected attempt: iteration, stage, message,
    lineno), llm_calls and timings (total_seconds, llm_seconds, check_seconds).
    """
    if not isinstance(iterations, int) or isinstance(iterations, bool) or iterations < 1:
        raise ValueError(f"iterations must be a positive integer, got {iterations!r}")
    started = time.perf_counter()
    provider = provider_of(llm_provider)
    client = make_client(provider, model_name)
    strategy = Strategy.for_method(method, client, prompt)
    best, kept, errors, check_seconds = None, None, [], 0.0
    for rounds in range(1, iterations + 1):
        progress.report(f"generating: round {rounds} of {iterations}"
                        + (f", after a {kept.stage} error" if kept is not None else ""))
        answers = strategy.propose(kept)  # kept: the last round's rejected attempt
        check_started = time.perf_counter()
        attempts = [check_answer(rounds, answer) for answer in answers]
        check_seconds += time.perf_counter() - check_started
        errors += [attempt.error_record() for attempt in attempts if not attempt.ok]
        kept = strategy.select(attempts)
        if best is None or kept.rank >= best.rank:
            best = kept
        if kept.ok:
            break
        if rounds < iterations:
            strategy.learn(kept)
    written = best.model_text is not None
    if written:
        Path(model_file).write_text(best.model_text, encoding="utf-8")
        Path(data_file).write_text(best.data_text, encoding="utf-8")
    if not return_statistics:
        return None
    return {
        "success": best.ok,
        "iterations": rounds,
        "max_iterations": iterations,
        "method": method,
        "provider": provider.value,
        "model": client.model,
        "model_file": str(model_file),
        "data_file": str(data_file),
        "written": written,
        "errors": errors,
        "llm_calls": client.calls,
        "timings": {
            "total_seconds": time.perf_counter() - started,
            "llm_seconds": client.seconds,
            "check_seconds": check_seconds,
        },
    }


def _summary(answer):
    found = SUMMARY_LINE.search(answer)
    if found:
        return found.group(1).strip()
    return next((line.strip() for line in answer.splitlines() if line.strip()), "")


def generative_feedback(prompt, model_file, data_file, model_name=None, llm_provider=LLMProvider.OPENAI):
    """Asks an LLM about an existing model and data file: `prompt` says what to check or explain.
    The request carries both files and the result of korvane's own check of them.

    Returns {"feedback": the answer, "summary": its one-line summary, "provider", "model",
    "check": {"stage", "message"}} where the check's stage is "ok" when the pair compiles and has a
    feasible point, and "feasibility" (with the explanation of the conflict) when it has none.
    """
    model_text = Path(model_file).read_text(encoding="utf-8")
    data_text = Path(data_file).read_text(encoding="utf-8")
    check = check_pair(Attempt(0, "", model_text, data_text))
    summary = "the model and data compile." if check.ok else f"rejected ({check.stage}): {check.message}"
    if check.stage == "feasibility":
        summary = f"the model and data compile, but the model is infeasible. {check.message}"
    client = make_client(llm_provider, model_name)
    answer = client.complete([{"role": "system", "content": REVIEW_SYSTEM_PROMPT},
                              {"role": "user", "content": review_request(prompt, model_text, data_text, summary)}])
    return {
        "feedback": answer.strip(),
        "summary": _summary(answer),
        "provider": client.provider,
        "model": client.model,
        "check": {"stage": check.stage, "message": check.message},
    }

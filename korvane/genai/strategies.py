"""The generation methods: each is a way of prompting for a .mod/.dat pair and of asking again
after the checker rejected one. They register themselves under their method identifiers."""
import re

from ._strategy_base import Strategy
from .prompts import (ANSWER_FORMAT, EXAMPLE_ANSWER, EXAMPLE_PROBLEM, GUIDE, SYSTEM_PROMPT, describe_failure,
                      problem_request, repair_request)


def system(text):
    return {"role": "system", "content": text}


def user(text):
    return {"role": "user", "content": text}


def assistant(text):
    return {"role": "assistant", "content": text}


class Standard(Strategy):
    """One request with the problem; after a failure, a fresh request that adds the failed pair and
    the checker's error."""

    method_id = "korvane_standard"

    def request(self, failed):
        text = problem_request(self.problem)
        return text if failed is None else text + "\n\n" + repair_request(failed)

    def propose(self, failed):
        return [self.client.complete([system(SYSTEM_PROMPT), user(self.request(failed))])]


class Dialogue(Strategy):
    """One conversation for the whole run: every rejected answer stays in it, followed by the
    checker's error, so the LLM repairs its own text."""

    repair_note = ""

    def __init__(self, client, problem):
        super().__init__(client, problem)
        self.dialogue = []

    def opening(self):
        return [system(SYSTEM_PROMPT), user(problem_request(self.problem))]

    def propose(self, failed):
        if failed is None:
            self.dialogue = self.opening()
        else:
            self.dialogue += [assistant(failed.answer), user(repair_request(failed, show_previous=False) + self.repair_note)]
        return [self.client.complete(self.dialogue)]


class Quenta(Dialogue):
    """korvane's own method: a worked example opens the conversation, then the problem; errors are
    repaired within the conversation."""

    method_id = "korvane_generative"

    def opening(self):
        return [system(SYSTEM_PROMPT), user(problem_request(EXAMPLE_PROBLEM)), assistant(EXAMPLE_ANSWER),
                user(problem_request(self.problem))]


STEP_BY_STEP = """\
Before writing any code, reason step by step under the heading 'Reasoning:':
1. the index sets and ranges;
2. the parameters and their values;
3. the decision variables, their domains and bounds;
4. the objective;
5. every constraint, in words and as a formula.
Then give the two code blocks."""


class ChainOfThought(Dialogue):
    """Reasoning first: sets, data, variables, objective and constraints in words, then the code."""

    method_id = "korvane_chain_of_thought"
    repair_note = "\n\nReason step by step about the cause of the error before the corrected code."

    def opening(self):
        return [system(SYSTEM_PROMPT), user(problem_request(self.problem) + "\n\n" + STEP_BY_STEP)]


BRANCHES = (
    "Prefer the most compact formulation: few index sets and aggregated constraints.",
    "Prefer an explicit formulation: a named set or set of tuples for each kind of object and one labelled "
    "constraint family for each rule of the problem.",
    "Mirror the problem statement: one constraint family per requirement, data exactly as stated.",
)

CHOICE = re.compile(r"\d+")


class TreeOfThoughts(Strategy):
    """Several formulations per round, each following its own line of thought. The checker ranks
    them; when more than one compiles, the LLM judges which models the problem best."""

    method_id = "korvane_tree_of_thoughts"

    def propose(self, failed):
        answers = []
        for approach in BRANCHES:
            text = problem_request(self.problem) + "\n\nApproach: " + approach
            if failed is not None:
                text += "\n\n" + repair_request(failed)
            answers.append(self.client.complete([system(SYSTEM_PROMPT), user(text)]))
        return answers

    def select(self, attempts):
        valid = [a for a in attempts if a.ok]
        if len(valid) < 2:
            return super().select(attempts)
        listing = "\n\n".join(f"Candidate {n}:\n{a.answer}" for n, a in enumerate(valid, 1))
        verdict = self.client.complete([
            system("You judge optimisation models. Answer with the number of the best candidate only."),
            user(problem_request(self.problem) + "\n\n" + listing + "\n\nWhich candidate models the problem most "
                 "faithfully and completely?")])
        found = CHOICE.search(verdict)
        choice = int(found.group()) if found else 1
        return valid[choice - 1] if 1 <= choice <= len(valid) else valid[0]


OBRA_ANALYSIS = """\
Analyse the problem before writing any code, under four headings:
Objective: what is optimised, and in which direction.
Bounds: the decision variables, their index sets, domains and bounds.
Relations: every constraint, in words and as a formula.
Assumptions: the data, given or invented, and whatever the problem leaves open.
Do not write code yet."""


class Obra(Strategy):
    """Objective, Bounds, Relations, Assumptions: a structured analysis first (once), then the code
    that implements it, repaired against the same analysis."""

    method_id = "korvane_obra"

    def __init__(self, client, problem):
        super().__init__(client, problem)
        self.analysis = None

    def propose(self, failed):
        if self.analysis is None:
            self.analysis = self.client.complete(
                [system(SYSTEM_PROMPT), user(problem_request(self.problem) + "\n\n" + OBRA_ANALYSIS)])
        text = (problem_request(self.problem) + "\n\nAnalysis:\n" + self.analysis.strip()
                + "\n\nWrite the model and data that implement this analysis.")
        if failed is not None:
            text += "\n\n" + repair_request(failed)
        return [self.client.complete([system(SYSTEM_PROMPT), user(text)])]


ANALYST = ("You are an operations research analyst. State the mathematical formulation of the problem: sets, "
           "parameters with their values, decision variables, objective and constraints. Do not write code.")
REVIEWER = ("You review models written in korvane's OPL subset. Check the draft below against the problem and "
            "against the subset; fix every error you find and return the complete final version, even when "
            "nothing needed fixing.\n\n" + GUIDE + "\n" + ANSWER_FORMAT)


class ChainOfExperts(Strategy):
    """Three experts in turn: an analyst formulates (once), a programmer writes the korvane code,
    a reviewer corrects it. Both the reviewed and the draft version are candidates."""

    method_id = "korvane_chain_of_experts"

    def __init__(self, client, problem):
        super().__init__(client, problem)
        self.formulation = None

    def propose(self, failed):
        problem = problem_request(self.problem)
        if self.formulation is None:
            self.formulation = self.client.complete([system(ANALYST), user(problem)])
        text = problem + "\n\nFormulation by the analyst:\n" + self.formulation.strip()
        if failed is not None:
            text += "\n\n" + repair_request(failed)
        draft = self.client.complete([system(SYSTEM_PROMPT), user(text)])
        reviewed = self.client.complete([system(REVIEWER), user(problem + "\n\nDraft:\n" + draft)])
        return [reviewed, draft]


REFLECT = ("Reflect on this failure. In at most three sentences, state its cause and a rule that avoids it in the "
           "next attempt. Do not write code.")


class Reflexion(Standard):
    """Standard requests plus a memory: after each failure the LLM states the lesson it draws, and
    every later request carries all lessons so far."""

    method_id = "korvane_reflexion"

    def __init__(self, client, problem):
        super().__init__(client, problem)
        self.lessons = []

    def request(self, failed):
        text = super().request(failed)
        if self.lessons:
            text += "\n\nLessons from earlier attempts:\n" + "\n".join("- " + lesson for lesson in self.lessons)
        return text

    def learn(self, failed):
        text = problem_request(self.problem) + "\n\n" + describe_failure(failed) + "\n\n" + REFLECT
        reflection = self.client.complete([system(SYSTEM_PROMPT), user(text)])
        self.lessons.append(" ".join(reflection.split()))


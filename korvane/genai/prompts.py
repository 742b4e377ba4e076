"""The texts korvane sends to an LLM: the OPL subset it compiles, the answer format, a worked
example, and the requests that ask for a repair or for feedback."""

GUIDE = """\
korvane compiles a subset of the OPL modelling language. Use only the constructs listed here.

MODEL FILE (.mod)
- Comments: // to the end of the line, or /* ... */.
- Parameters of type int, int+, float, float+, string or boolean:
    int n = ...;                      (value from the .dat file)
    float rate = 0.5;                 (inline value)
    float cost[Plants][Markets] = ...;  (arrays indexed by ranges, sets or sets of tuples)
    int m = max(i in Items) weight[i];          (computed from the data)
    float share[i in Items] = value[i] / sum(j in Items) value[j];
- Ranges: range Items = 1..n;
- Sets: {string} Plants = ...;  {int} Days = {1, 2, 3};
    {int} Even = {i | i in 1..n : i mod 2 == 0};  {string} Both = A union B;  (also inter, diff)
    {string} Neighbours[Cities] = ...;  (an array of sets; iterate as j in Neighbours[c],
    test with j in Neighbours[c]; also of tuples: {Arc} Out[n in Nodes] = {a | a in Arcs : a.src == n};)
- Tuples and sets of tuples:
    tuple Arc { string src; string dst; float cost; }
    {Arc} Arcs = ...;   or   {Arc} Arcs with src in Nodes, dst in Nodes = ...;
  Read fields with a dot (a.cost), or name them with a pattern: sum(<i, j, c> in Arcs) c * flow[<i, j, c>];
  a pattern with a name already bound selects a slice: sum(<k, j, c> in Arcs) flow[<k, j, c>].
  A field may hold a set of values: tuple Task { string name; {string} after; }, data <b, {a}>;
  iterate as p in t.after, test with p in t.after, count with card(t.after).
- Decision variables, domains boolean, int, int+, float, float+, optionally with bounds:
    dvar float+ ship[Plants][Markets];
    dvar int+ level[Sites] in 0..10;
    dvar float+ flow[a in Arcs] in 0..a.cap;
    dvar boolean open[Facilities];
- Decision expressions: dexpr float total = sum(p in Products) profit[p] * make[p];
  and indexed ones: dexpr float used[r in Resources] = sum(p in Products) usage[r][p] * make[p];
- Exactly one objective: minimize <expression>; or maximize <expression>;
- Constraints inside `subject to { ... }`:
    comparisons with ==, <=, >=, <, > and != (for example x[i] != x[j]); ranges lo <= e <= hi;
    labels: capacity: sum(i in Items) weight[i] * take[i] <= cap;
    forall(i in I, j in J : i < j) constraint;   or   forall(i in I) { c1; c2; }
    a label before a forall or a block names the constraints inside: demand: forall(c in C) ...;
    if (condition) { ... } else { ... }: on data (forall iterators too) it picks a branch; on
    decision variables it makes implications (condition => branch, !condition => else-branch);
    logical constraints: x <= 2 || y <= 1; !(a >= 1 && b); (c1 || c2) == (c3);
    piecewise-linear costs: piecewise{slope1 -> breakpoint1; slope2 -> breakpoint2; slope3}(x0, y0) x;
    implications: condition => constraint; the condition combines comparisons, boolean
    variables, true and false with &&, || and !, e.g. open[f] == 0 => serve[f][c] == 0;
    counting: sum(s in Sites) (level[s] >= target[s]) >= required;
- assert condition; and assert forall(i in I) condition; check the data.
- execute { } blocks in the script subset: var, for (var i in S), for (;;), while, if/else, arrays,
  assignments to data (w[i] = ...; S.add(e);), writeln, Math.* and Opl.* functions, settings such
  as cplex.tilim = 60; cplex.epgap = 0.01; a block after the constraints may print x[i].solutionValue.
  A main { } block may only generate, solve once, print and post-process.
- Expressions: + - * / and parentheses; sum(i in I : filter) expr; min(a, b) and max(a, b);
  over data only: max(i in I) expr, min(i in I) expr, prod(i in I) expr, mod (%), div, cond ? a : b,
  abs, floor, ceil, round, sqrt, pow, exp, log, card, ord, first, last, next, prev, item, maxint,
  and membership tests such as forall(i in I : i in Special); card, first, ... also take a set
  expression such as card({i | i in I : d[i] > 0}). A parameter set to infinity bounds nothing:
  float cap = infinity; x <= cap;
- Keep the model linear: never multiply two decision variables or divide by one, except a boolean
  variable times a bounded expression (b * x), which is linearised exactly.

NOT SUPPORTED (the compiler rejects them)
- using CP; include; script functions, sub-models and solving in loops.
- sorted, ordered, reversed, string functions.
- = in constraints (use ==).
- Indexing with an indexed expression such as x[y[i]]: precompute the lookup in the data.

DATA FILE (.dat)
- Plain assignments only, one per name declared with `= ...` in the model:
    n = 10;  capacity = 200.5;  label = "A";  flag = true;
- Arrays as lists in the order of their index sets; nested lists for several indices:
    value = [360, 83, 59];   cost = [[4, 7, 9], [5, 3, 8]];
- Sets and sets of tuples:  Plants = {"Seattle", "Denver"};  Arcs = {<"a", "b", 3>, <"b", "c", 5>};
- Ranges:  r = 1..4;
- Names of string elements may be written without quotes: Cities = {GARY CLEV PITT};
- No dvar, minimize, maximize or subject to in a .dat file. Array sizes must match their
  index sets exactly.
"""

ANSWER_FORMAT = """\
Answer with exactly one fenced code block tagged mod holding the complete model, followed by one
fenced code block tagged dat holding the complete data (it may be empty when all data is inline):

```mod
...
```

```dat
...
```"""

SYSTEM_PROMPT = (
    "You are an expert in mathematical optimisation who writes models in korvane's OPL subset. "
    "Given a problem in plain language, write a correct, linear or mixed-integer model and its data; "
    "invent realistic data when the problem does not give it.\n\n" + GUIDE + "\n" + ANSWER_FORMAT)

EXAMPLE_PROBLEM = ("A hiker can carry 15 kg. Items (value, weight in kg): tent (10, 5), stove (7, 3), "
                   "camera (8, 4), book (3, 2), food (9, 6). Which items should the hiker pack to carry "
                   "the greatest value?")

EXAMPLE_ANSWER = """\
```mod
{string} Items = ...;
float value[Items] = ...;
float weight[Items] = ...;
float capacity = ...;

dvar boolean pack[Items];

maximize sum(i in Items) value[i] * pack[i];

subject to {
  carry_limit: sum(i in Items) weight[i] * pack[i] <= capacity;
}
```

```dat
Items = {"tent", "stove", "camera", "book", "food"};
value = [10, 7, 8, 3, 9];
weight = [5, 3, 4, 2, 6];
capacity = 15;
```"""

REVIEW_SYSTEM_PROMPT = (
    "You are an expert in mathematical optimisation reviewing a model written in korvane's OPL subset "
    "and its data. Answer the user's request about them precisely and plainly. Begin your answer with "
    "one line of the form 'Summary: <one sentence>'.\n\n" + GUIDE)


def fence(tag, text):
    """`text` as a fenced code block tagged `tag`."""
    newline = "" if not text or text.endswith("\n") else "\n"
    return f"```{tag}\n{text}{newline}```"


def problem_request(problem):
    return "Problem:\n" + problem.strip()


def _pair_blocks(attempt):
    if attempt.model_text is None:
        return "Your previous answer:\n" + attempt.answer.strip()
    return (f"Your previous model:\n{fence('mod', attempt.model_text)}\n\n"
            f"Your previous data:\n{fence('dat', attempt.data_text)}")


def failure_report(attempt):
    """What went wrong with an attempt, in the words of the checker."""
    if attempt.stage == "format":
        return f"Your previous answer could not be used: {attempt.message}."
    if attempt.stage == "feasibility":
        return ("Your previous model compiles, but no solution satisfies all its constraints together.\n"
                f"{attempt.message}\nCorrect the constraints or the data of this conflict so that the model "
                "states the problem faithfully.")
    where = {"model": "the model file", "data": "the data file", "compile": "compiling the model with its data"}
    return f"The korvane compiler rejected {where[attempt.stage]}:\n{attempt.message}"


def describe_failure(attempt):
    """The checker's error and the failed answer's model and data."""
    return failure_report(attempt) + "\n\n" + _pair_blocks(attempt)


def repair_request(attempt, show_previous=True):
    """Asks for a corrected pair after a failed attempt; a conversation that already holds the
    failed answer needs only the error."""
    report = describe_failure(attempt) if show_previous else failure_report(attempt)
    return (report + "\n\nCorrect the error (and any similar ones) and answer again with the complete corrected "
            "model and data. " + ANSWER_FORMAT)


def review_request(request, model_text, data_text, check_summary):
    return (f"{request.strip()}\n\nModel (.mod):\n{fence('mod', model_text)}\n\nData (.dat):\n"
            f"{fence('dat', data_text)}\n\nkorvane compiler check: {check_summary}")

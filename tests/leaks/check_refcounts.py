"""Reference-count balance of every public call of the extension modules.

Run by `make refleak-test` under Debian's debug interpreter (python3.11-dbg), whose
sys.gettotalrefcount() counts every reference in the process. Each scenario runs a few times to
warm caches, then in rounds; a scenario whose reference or memory-block count grows in every
round leaks. Scenarios cover success and error paths alike.
"""
import gc
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.environ.get("KORVANE_STAGE") or ROOT)
if os.environ.get("KORVANE_PROBE_DIR"):
    sys.path.insert(0, os.environ["KORVANE_PROBE_DIR"])

from korvane import faultlore, mipwright, oplparse, setloom  # noqa: E402

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


# ---- korvane.faultlore ----

@scenario
def semantic_error():
    for err in (faultlore.SemanticError("Unknown name x", 3), faultlore.SemanticError(42), faultlore.SemanticError("m", lineno=0)):
        str(err), err.message, err.lineno
    expect(TypeError, faultlore.SemanticError)
    expect(TypeError, faultlore.SemanticError, "a", 1, 2)


@scenario
def repair_hints():
    faultlore._with_repair_hint("Division by zero")
    faultlore._with_repair_hint("no hint here")
    faultlore._with_repair_hint("x Hint: given")
    expect(TypeError, faultlore._with_repair_hint, 5)


# ---- korvane.setloom and the generator's copy ----

TUPLE_AST = {"declarations": [{"type": "set_of_tuples", "name": "A", "value": [["x", [1, 2]]], "elements": [[3]]}]}


@scenario
def tuple_sets():
    for helper in (setloom.TupleSetHelper, mipwright.TupleSetHelper):
        helper.get_tuple_set("A", TUPLE_AST, {"A": [["x", 1], {"elements": [2, [3]]}]})
        helper.get_tuple_set("A", TUPLE_AST, {})
        helper.get_tuple_set("B", TUPLE_AST, {"B": {"value": [[1]]}})
        expect(TypeError, helper.get_tuple_set, "A", TUPLE_AST, None)
        expect(TypeError, helper.get_tuple_set, "A")
    setloom.TupleSetHelper._to_tuple_recursive(["a", ["b", {"elements": [1]}]])


@scenario
def deep_input_raises_recursion_error():
    element = 1
    for _ in range(5000):
        element = [element]
    expect(RecursionError, mipwright.TupleSetHelper.get_tuple_set, "A", {}, {"A": [element]})


# ---- korvane.mipwright frame ----

class StubSections(mipwright.GurobiCodeGenerator):
    def _generate_data_declarations(self, data_dict):
        self._add_code_line("d = " + repr({"s": "it is true", "t": True}))

    def _generate_declarations(self, declarations):
        pass

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        return node["value"]

    def _collect_variable_bounds(self, constraints):
        pass

    def _generate_constraints(self, constraints):
        self._add_code_line("flag = true")


FRAME_AST = {"declarations": [{"type": "parameter_inline", "name": "n", "value": 3}],
             "objective": {"type": "maximize", "expression": {"value": 2.5}}, "constraints": []}


@scenario
def generator_frame():
    gen = StubSections(FRAME_AST, {"m": 1})
    gen.generate_code()
    gen._find_declaration_by_name("n")
    gen._find_declaration_by_name("n", types=["dvar"])
    expect(KeyError, StubSections({"objective": {}}).generate_code)
    expect(TypeError, mipwright.GurobiCodeGenerator)
    expect(AttributeError, mipwright.GurobiCodeGenerator(FRAME_AST).generate_code)


# ---- korvane.oplparse ----

EXAMPLES = os.path.join(ROOT, "examples")
PARSER_MODEL = """
tuple Arc { string a; string b; int cost; }
{Arc} Arcs = ...;
{string} S = {"p", "q"};
int n = 3;
range R = 1..n;
float w[R][S] = ...;
dvar float+ x[Arcs] in 0..5;
dvar boolean b[R];
dexpr float load[i in R] = sum(s in S) w[i][s] * b[i];
maximize sum(a in Arcs : a.a != "p") a.cost * x[a] + load[2];
subject to {
  forall(i in R, j in 1..n : i < j) {
    pair: b[i] + b[j] <= 1;
    b[i] => load[j] >= 1 && !b[j];
  }
  sum(i in R) (load[i] >= 2) >= min(1, n);
}
"""
PARSER_DATA = 'n = 3; w = [[1, 2.5] [3 4]]; Arcs = {<"p", "q", 1>}; k = #[<1, "a">: 2]#; r = 1..4; s = "caf\u00e9 \\n";'


@scenario
def parse_model_and_data():
    oplparse.parse_model(PARSER_MODEL, "m.mod")
    oplparse.parse_data(PARSER_DATA, filename="d.dat")


@scenario
def parse_files():
    knapsack = os.path.join(EXAMPLES, "knapsack")
    oplparse.parse_files(knapsack + ".mod", knapsack + ".dat")
    oplparse.parse_files(knapsack + ".mod")
    expect(FileNotFoundError, oplparse.parse_files, os.path.join(EXAMPLES, "missing.mod"))


@scenario
def parse_errors():
    for text in ("int n = 3\nint m;", "dvar int x; minimize y;", "using CP;", "dvar int x; subject to {",
                 "int n; int n;", "dvar int x[1..2]; minimize x[x[1]];", "dvar int x; minimize foo(x);"):
        expect(faultlore.SemanticError, oplparse.parse_model, text, filename="m.mod")
    for text in ("a = [1, 2,];", "a = [1", "a = 'x';", "a = yes;"):
        expect(faultlore.SemanticError, oplparse.parse_data, text)
    expect(TypeError, oplparse.parse_model, b"")
    expect(TypeError, oplparse.parse_data)
    expect(RecursionError, oplparse.parse_model, "dvar int x; minimize " + "(" * 5000 + "x" + ")" * 5000 + ";")
    expect(RecursionError, oplparse.parse_data, "a = " + "[" * 5000 + "]" * 5000 + ";")


# ---- the glue, through its test probe ----

@scenario
def glue_probe():
    try:
        import _glueprobe as probe
    except ImportError:
        return
    probe.bind(1, b=2)
    expect(TypeError, probe.bind, 1, 2, 3, 4)
    expect(TypeError, probe.bind, 1, 2, d=1)
    for kind, exc in (("bad_alloc", MemoryError), ("runtime_error", SystemError), ("python", ValueError)):
        expect(exc, probe.throw_cpp, kind)
    expect(KeyError, probe.item_of, {}, (1, 2))
    probe.get_of({"a": 1}, "a")
    probe.getattr_of(1, "missing", None)
    probe.Probe().describe()


def measure(fn, rounds=6, calls=15):
    for _ in range(3):
        fn()
    samples = []
    for _ in range(rounds):
        for _ in range(calls):
            fn()
        gc.collect()
        samples.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
    ref_deltas = [b[0] - a[0] for a, b in zip(samples, samples[1:])]
    block_deltas = [b[1] - a[1] for a, b in zip(samples, samples[1:])]
    return ref_deltas, block_deltas


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("check_refcounts.py needs a debug build of the interpreter (python3.11-dbg)")
    # What the measurement itself costs per round, so that only the scenario's growth counts.
    base_refs, base_blocks = measure(lambda: None)
    failures = 0
    for name, fn in SCENARIOS.items():
        refs, blocks = measure(fn)
        refs = [d - b for d, b in zip(refs, base_refs)]
        blocks = [d - b for d, b in zip(blocks, base_blocks)]
        leaked = all(d > 0 for d in refs) or all(d > 0 for d in blocks)
        failures += leaked
        print(f"{'LEAK' if leaked else 'ok  '} {name}: refs {refs} blocks {blocks}")
    if failures:
        sys.exit(f"{failures} scenario(s) leak references or memory")


if __name__ == "__main__":
    main()

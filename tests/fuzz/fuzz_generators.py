"""Mutation fuzzer of the whole compile path: mutated .mod/.dat texts and mutated, hostile trees
and data go through the parser and both generators, and every gurobipy script that comes out must
compile. Any Python exception is an acceptable answer to bad input; a crash (under the sanitizer
build, any memory or undefined-behaviour fault aborts the process), a SystemError (a C++ failure
that reached the interpreter) or a script that does not compile is a finding.

    FUZZ_SECONDS=60 FUZZ_SEED=1 FUZZ_TARGETS=gurobi,scipy python3 tests/fuzz/fuzz_generators.py

Each input runs in a forked child, so a crash is caught with its input in hand; findings are
written to FUZZ_DIR (build/fuzz by default) as finding-N.json. An input that runs longer than
FUZZ_INPUT_SECONDS (10 s) is stopped and kept as slow-N.json without counting as a finding.
"""
import copy
import json
import os
import pathlib
import random
import re
import signal
import sys
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, os.environ.get("KORVANE_STAGE") or str(ROOT))

from korvane import oplparse  # noqa: E402
from korvane.lpwright import SciPyCodeGenerator  # noqa: E402
from korvane.mipwright import GurobiCodeGenerator  # noqa: E402

TOKEN = re.compile(r"\s+|[A-Za-z_][A-Za-z0-9_]*|\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\"(?:[^\"\\]|\\.)*\"|\.\.|[<>=!]=|=>|.",
                   re.S)
ODD_TOKENS = ["lambda", "model", "GRB", "true", "None", "1e999", "-1e999", "nan", "inf", "9" * 30, "0.0", "-0",
              "\"\U0001F600\"", "\"a\\x00b\"", "\"\x00\"", "!", "?", ":", "..", "forall", "sum", "(", ")", "[", "]",
              "{", "}", "<", ">", "<=", "!=", "==", "=>", "||", "&&", "maxl", "minl", "sqrt", "abs", "x", "i", "n",
              " + x[1]" * 150, "__import__", "'", "\\", "\n", "int", "float+", "boolean", "dvar", "range", "1..2",
              "2^63", "4294967296"]
ODD_VALUES = [None, 0, -1, 2.5, float("inf"), float("nan"), 10 ** 40, "", "x", "lambda", "model", "a\x00b", "\ud800",
              "\U0001F600", [], {}, True, [None], {"type": None}, {"type": "name"}, ("t",), {"elements": [1]},
              {"type": "number", "value": "1)"}, {"type": "binop", "op": "%", "left": 1, "right": 2}]


class Repr:
    def __repr__(self):
        return "__import__('os')"

    __str__ = __repr__


class Shifty(str):
    """A string whose comparisons and hashes change the structure that holds it."""

    victims = []

    def __eq__(self, other):
        for victim in Shifty.victims:
            if isinstance(victim, list):
                victim.clear()
            elif isinstance(victim, dict):
                victim.pop(next(iter(victim), None), None)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def containers(value, out):
    if isinstance(value, (dict, list)):
        out.append(value)
        for child in (value.values() if isinstance(value, dict) else value):
            containers(child, out)
    return out


def mutate_text(text, corpus, rng):
    tokens = TOKEN.findall(text)
    for _ in range(rng.randint(1, 4)):
        if not tokens:
            break
        i = rng.randrange(len(tokens))
        action = rng.random()
        if action < 0.3:
            tokens[i] = rng.choice(ODD_TOKENS)
        elif action < 0.5:
            del tokens[i]
        elif action < 0.7:
            other = TOKEN.findall(rng.choice(corpus))
            j = rng.randrange(len(other))
            tokens[i:i] = other[j:j + rng.randint(1, 12)]
        elif action < 0.85:
            tokens.insert(i, rng.choice(tokens))
        else:
            tokens[i] = chr(rng.choice([0, 0x7F, 0xE9, 0x2028, 0xFFFF, 0x1F600, rng.randrange(32, 127)]))
    return "".join(tokens)


def mutate_tree(tree, rng):
    tree = copy.deepcopy(tree)
    places = containers(tree, [])
    for _ in range(rng.randint(1, 3)):
        container = rng.choice(places)
        keys = list(container) if isinstance(container, dict) else list(range(len(container)))
        if not keys:
            continue
        key = rng.choice(keys)
        action = rng.random()
        if action < 0.25:
            del container[key]
        elif action < 0.55:
            container[key] = copy.deepcopy(rng.choice(ODD_VALUES))
        elif action < 0.75:
            container[key] = copy.deepcopy(rng.choice(places))
        elif action < 0.85 and isinstance(container[key], str):
            container[key] = Shifty(container[key])
            Shifty.victims = [rng.choice(places)]
        elif action < 0.9:
            container[key] = Repr()
        else:
            chain = {"type": "number", "value": 1}
            for _ in range(rng.choice([10, 150, 3000])):
                term = {"type": "number", "value": rng.randint(0, 3)}
                chain = {"type": "binop", "op": rng.choice("+-"), "left": chain, "right": term}
            container[key] = chain
            break  # a deep chain is the last change: copying it again would take deep recursion
    return tree


def shown(value):
    try:
        return repr(value)[:100_000]
    except RecursionError:
        return "<too deep to show>"


TARGETS = {"gurobi": GurobiCodeGenerator, "scipy": SciPyCodeGenerator}


def run(tree, data):
    """A finding as text, or None."""
    for name in os.environ.get("FUZZ_TARGETS", "gurobi,scipy").split(","):
        make = TARGETS[name]
        try:
            # Both generators leave the caller's tree and data as they were.
            script = make(tree, data).generate_code()
        except SystemError as err:
            return f"{name}: SystemError {err}"
        except Exception:  # noqa: BLE001 - every Python exception is an acceptable answer to bad input
            continue
        if name == "gurobi":
            try:
                compile(script, "<gurobi script>", "exec")
            except (SyntaxError, ValueError, RecursionError, MemoryError) as err:
                return f"gurobi script does not compile: {err!r}"
    return None


def attempt(mod, dat, tree, data):
    """The finding of one input, or None: texts are parsed first, trees go straight in."""
    if tree is None:
        try:
            tree, data = oplparse.parse_model(mod), oplparse.parse_data(dat)
        except SystemError as err:
            return f"parser: SystemError {err}"
        except Exception:  # noqa: BLE001 - a refused text is a good answer
            return None
    return run(tree, data)


def isolated(mod, dat, tree, data, seconds):
    """attempt() in a forked child, so that a crash or a runaway input is observed, not suffered:
    (finding or None, whether the input ran out of time)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        finding = attempt(mod, dat, tree, data)
        os.write(write, (finding or "").encode("utf-8", "backslashreplace"))
        os._exit(0)
    os.close(write)
    deadline = time.monotonic() + seconds
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read)
            return None, True
        time.sleep(0.002)
    message = os.read(read, 1 << 16).decode("utf-8")
    os.close(read)
    if os.WIFSIGNALED(status):
        return f"crash: signal {os.WTERMSIG(status)}", False
    if os.WEXITSTATUS(status) != 0:
        return f"crash: exit status {os.WEXITSTATUS(status)}", False
    return message or None, False


def main():
    seconds = float(os.environ.get("FUZZ_SECONDS", "60"))
    per_input = float(os.environ.get("FUZZ_INPUT_SECONDS", "10"))
    seed = int(os.environ.get("FUZZ_SEED", str(int(time.time()))))
    out = pathlib.Path(os.environ.get("FUZZ_DIR", ROOT / "build" / "fuzz"))
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(seed)
    warnings.simplefilter("ignore", SyntaxWarning)  # compile() remarks on odd but valid scripts
    pairs = [(p.read_text(), p.with_suffix(".dat").read_text()) for p in sorted((ROOT / "examples").glob("*.mod"))]
    corpus = [text for pair in pairs for text in pair]
    parsed = [oplparse.parse_model(mod) for mod, _ in pairs]
    datas = [oplparse.parse_data(dat) for _, dat in pairs]
    print(f"fuzzing for {seconds:g} s with FUZZ_SEED={seed}", flush=True)
    deadline = time.monotonic() + seconds
    runs = findings = slow = 0
    while time.monotonic() < deadline:
        k = rng.randrange(len(pairs))
        mod, dat = pairs[k]
        record = {"seed": seed, "run": runs}
        if rng.random() < 0.5:
            mod = mutate_text(mod, corpus, rng) if rng.random() < 0.8 else mod
            dat = mutate_text(dat, corpus, rng) if rng.random() < 0.4 else dat
            tree = data = None
            record.update(mod=mod, dat=dat)
        else:
            tree = mutate_tree(parsed[k], rng)
            data = mutate_tree(datas[k], rng) if rng.random() < 0.3 else datas[k]
            record.update(tree=shown(tree), data=shown(data))
        finding, too_slow = isolated(mod, dat, tree, data, per_input)
        Shifty.victims = []
        runs += 1
        if too_slow:
            slow += 1
            (out / f"slow-{slow}.json").write_text(json.dumps(record))
        if finding:
            findings += 1
            record["finding"] = finding
            (out / f"finding-{findings}.json").write_text(json.dumps(record))
            print(f"finding {findings}: {finding}", flush=True)
    print(f"{runs} inputs, {findings} findings, {slow} over {per_input:g} s (in {out})", flush=True)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())

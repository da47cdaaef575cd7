"""Free-threading stress: eight Python threads calling at once for a bounded
time, with the GIL off and on, some on inputs of their own and some on a list
and a dict that other threads keep changing.

- a thread on its own inputs must get exactly the reference model's pairs;
- a thread on the shared inputs may see any state the others left them in,
  so each pair it gets must be one of names that were in the list at some
  time, and must match under the union of every table the dict ever held
  (more tradeouts never undo a match); besides pairs it may get only the
  errors documented for concurrent change;
- nothing may crash or hang (the child has a time limit).
"""
import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from support.interpreter import needs_free_threading
from support.paths import child_env

SECONDS = float(os.environ.get("TALVIK_STRESS_SECONDS", "10"))

STRESS = """
import json, random, sys, threading, time
import reference
import Talvik

find = Talvik.parallel_find_matches
FIRST = ["Robert", "Bob", "Rob", "J", "John", "Jon", "Ann", "Anna", "A", "Li", "Zoë", "Zoe"]
LAST = ["Smith", "Smyth", "Lee", "Ng", "Müller"]
# Every word a key may be given, and so the union of every table the shared
# dict can hold.
UNIVERSE = {"Robert": ["Bob", "Rob"], "Bob": ["Robert", "Rob"], "Rob": ["Robert", "Bob"],
            "J": ["John", "Jon"], "John": ["J", "Jon"], "Jon": ["John", "J"],
            "Ann": ["Anna", "A"], "Anna": ["Ann", "A"], "A": ["Ann", "Anna"],
            "Zoë": ["Zoe"], "Zoe": ["Zoë"], "Smith": ["Smyth"], "Smyth": ["Smith"], "Li": ["Lee"]}
UNION = reference.tradeouts(UNIVERSE)
ALLOWED = {(RuntimeError, "dictionary changed size during iteration"),
           (RuntimeError, "dictionary keys changed during iteration")}


def make_name(rng):
    words = [rng.choice(FIRST) for _ in range(rng.choice([1, 1, 2, 3]))] + [rng.choice(LAST)]
    return " ".join(words)


def subset_table(rng):
    return {k: rng.sample(v, rng.randint(0, len(v))) for k, v in UNIVERSE.items() if rng.random() < 0.7}


POOL = [make_name(random.Random(i)) for i in range(200)]
shared_names = POOL[:120]
shared_table = subset_table(random.Random(1))
deadline = time.monotonic() + SECONDS
failures, counts, lock = [], {}, threading.Lock()


def note(key, failure=None):
    with lock:
        counts[key] = counts.get(key, 0) + 1
        if failure is not None and len(failures) < 20:
            failures.append(failure)


def threads_arg(rng):
    return rng.choice([1, 2, 3, 0, -1])


def private_caller(seed):
    rng = random.Random(seed)
    names = [make_name(rng) for _ in range(150)]
    table = subset_table(rng)
    expected = reference.find_matches(names, table)
    while time.monotonic() < deadline:
        got = find(names, table, None, threads_arg(rng))
        note("private ok" if got == expected else "private wrong",
             None if got == expected else f"private {seed}: {len(got)} pairs, expected {len(expected)}")


def shared_caller(seed):
    rng = random.Random(seed)
    pool = set(POOL)
    while time.monotonic() < deadline:
        try:
            got = find(shared_names, shared_table, None, threads_arg(rng))
        except IndexError:
            note("shared IndexError")  # the list shrank between its length and a fetch
            continue
        except Exception as e:
            if (type(e), str(e)) in ALLOWED:
                note("shared " + str(e))
            else:
                note("shared unexpected", f"{type(e).__name__}: {e}")
            continue
        bad = [p for p in got if not (p[0] in pool and p[1] in pool and reference.matches(p[0], p[1], UNION))]
        note("shared ok" if not bad else "shared bad pair", None if not bad else f"not a match: {bad[:3]}")


def mutate_names(seed):
    rng = random.Random(seed)
    while time.monotonic() < deadline:
        op = rng.random()
        if op < 0.4 or len(shared_names) < 20:
            shared_names.append(rng.choice(POOL))
        elif op < 0.7:
            try:
                del shared_names[rng.randrange(len(shared_names))]
            except IndexError:
                pass  # another mutator took it first
        elif op < 0.9:
            try:
                shared_names[rng.randrange(len(shared_names))] = rng.choice(POOL)
            except IndexError:
                pass
        else:
            shared_names.pop()
        time.sleep(0)


def mutate_table(seed):
    rng = random.Random(seed)
    keys = list(UNIVERSE)
    while time.monotonic() < deadline:
        key = rng.choice(keys)
        op = rng.random()
        if op < 0.35:
            shared_table[key] = rng.sample(UNIVERSE[key], rng.randint(0, len(UNIVERSE[key])))
        elif op < 0.6:
            shared_table.pop(key, None)
        elif op < 0.8:
            value = shared_table.get(key)
            if isinstance(value, list):
                if value and rng.random() < 0.5:
                    try:
                        value.pop()
                    except IndexError:
                        pass
                else:
                    value.append(rng.choice(UNIVERSE[key]))
        else:
            shared_table[key] = tuple(rng.sample(UNIVERSE[key], rng.randint(1, len(UNIVERSE[key]))))
        time.sleep(0)


workers = [threading.Thread(target=private_caller, args=(s,)) for s in range(4)]
workers += [threading.Thread(target=shared_caller, args=(s,)) for s in range(4, 8)]
workers += [threading.Thread(target=mutate_names, args=(8,)), threading.Thread(target=mutate_table, args=(9,))]
for w in workers:
    w.start()
for w in workers:
    w.join()
print(json.dumps({"gil": sys._is_gil_enabled(), "counts": counts, "failures": failures}))
"""


@pytest.mark.parametrize("gil", [pytest.param("0", marks=needs_free_threading), "1"])
def test_callers_and_mutators_at_once(gil):
    code = f"SECONDS = {SECONDS}\n" + textwrap.dedent(STRESS)
    env = child_env(PYTHON_GIL=gil)
    try:
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                             timeout=SECONDS * 6 + 60)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"no answer after {e.timeout:.0f} s: a call or a join hangs")
    assert out.returncode == 0, out.stderr[-4000:]
    report = json.loads(out.stdout.splitlines()[-1])
    assert report["gil"] == (gil == "1")
    assert report["failures"] == []
    counts = report["counts"]
    assert set(counts) <= {"private ok", "shared ok", "shared IndexError", "shared dictionary changed size during "
                           "iteration", "shared dictionary keys changed during iteration"}, counts
    # Every caller got through calls, and the shared ones some whole answers.
    assert counts.get("private ok", 0) >= 4 and counts.get("shared ok", 0) >= 4, counts

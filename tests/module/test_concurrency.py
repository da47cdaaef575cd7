"""Several Python threads at once, with and without the GIL, and inputs
changed by another thread while a call reads them."""
import os
import subprocess
import sys
import textwrap

import pytest

from support.interpreter import needs_free_threading

THREADED_CALLS = """
    import random, sys, threading
    import Talvik

    first = ["Bob", "Robert", "J", "John", "Ann", "Anna", "Li"]
    table = {"Bob": ["Robert"], "Robert": ["Bob"], "J": ["John"], "John": ["J"], "Ann": "A"}
    inputs = []
    for seed in range(8):
        rng = random.Random(seed)
        names = [" ".join(rng.choice(first) for _ in range(rng.randint(1, 4))) for _ in range(300)]
        inputs.append((names, sorted(Talvik.parallel_find_matches(names, table, None, 1))))
    errors = []

    def work(k):
        names, expected = inputs[k]
        for threads in (1, 2, 3, 0, -1):
            if sorted(Talvik.parallel_find_matches(names, table, None, threads)) != expected:
                errors.append(k)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for w in workers: w.start()
    for w in workers: w.join()
    print("gil" if sys._is_gil_enabled() else "nogil", "errors", errors)
"""

MUTATED_INPUTS = """
    import threading
    import Talvik

    table = {f"k{i}": ["x"] for i in range(50)}
    names = [f"A{i} B" for i in range(200)]
    stop = False

    def mutate():
        i = 0
        while not stop:
            table[f"n{i}"] = ["y"]
            table.pop(f"n{i}", None)
            table.pop(f"k{i % 50}", None)
            table[f"k{i % 50}"] = ["x"]
            names.append("C D")
            del names[-1]
            i += 1

    t = threading.Thread(target=mutate)
    t.start()
    outcomes = set()
    try:
        for _ in range(300):
            try:
                Talvik.parallel_find_matches(names, table, None, 2)
                outcomes.add("ok")
            except RuntimeError as e:
                assert str(e) in ("dictionary changed size during iteration",
                                  "dictionary keys changed during iteration"), e
                outcomes.add("changed")
            except IndexError:
                outcomes.add("index")
    finally:
        stop = True
        t.join()
    print("done", sorted(outcomes))
"""


def run_python(code, gil, timeout=300):
    env = {**os.environ, "PYTHON_GIL": gil}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=timeout)


@pytest.mark.parametrize("gil, state", [("1", "gil"), pytest.param("0", "nogil", marks=needs_free_threading)])
def test_threads_calling_at_once(gil, state):
    out = run_python(THREADED_CALLS, gil)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [state, "errors", "[]"]


@pytest.mark.parametrize("gil", ["1", pytest.param("0", marks=needs_free_threading)])
def test_inputs_changed_by_another_thread(gil):
    out = run_python(MUTATED_INPUTS, gil)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("done ["), out.stdout


def test_forked_child_after_a_team_has_run():
    # The child of a process that ran a team of workers must not hang.
    out = run_python("""
        import os
        import Talvik
        names = ["A B", "B A", "C D"] * 40
        expected = sorted(Talvik.parallel_find_matches(names, {}, None, 2))
        pid = os.fork()
        if pid == 0:
            ok = sorted(Talvik.parallel_find_matches(names, {}, None, 2)) == expected
            os._exit(0 if ok else 3)
        print("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), len(expected))
    """, "1", timeout=60)
    assert out.stdout.split() == ["child", "0", "3940"], out.stderr

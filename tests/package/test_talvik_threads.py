"""talvik without the GIL: threads at once, Ctrl-C, progress. Each run that
needs the GIL off is a fresh interpreter, since this one imported Talvik."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import talvik
from support.interpreter import FREE_THREADED, needs_free_threading
from support.interrupts import interrupt


def python(code, *args, timeout=300):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          env=env, timeout=timeout)


@needs_free_threading
def test_the_gil_stays_off():
    out = python("""
        import sys
        import talvik
        assert not sys._is_gil_enabled()
        m = talvik.Matcher(["A B", "B A"], {"A": ["B"]})
        print(m.pairs().tolist(), m.count(), len(list(m.iter_pairs())), m.match(["A B"]).tolist(),
              sys._is_gil_enabled())
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["[[0,", "1]]", "1", "1", "[[0,", "0],", "[0,", "1]]", "False"]
    assert "GIL" not in out.stderr


def test_talvik_module_needs_no_numpy():
    out = python("""
        import sys
        sys.modules["numpy"] = None  # import numpy now fails
        import Talvik
        print(Talvik.parallel_find_matches(["A B", "B A"], {}, None))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[('A B', 'B A')]"


CONCURRENT = """
    import random, sys, threading
    import talvik

    first = ["Bob", "Robert", "J", "John", "Ann", "Anna", "Li"]
    table = {"Bob": ["Robert"], "Robert": ["Bob"], "J": ["John"], "John": ["J"], "Ann": ["A"]}

    def names(seed, n=1500):
        rng = random.Random(seed)
        return [" ".join(rng.choice(first) for _ in range(rng.randint(1, 4))) for _ in range(n)]

    inputs = [names(seed) for seed in range(8)]
    expected = [talvik.find_pairs(ns, table, threads=1).tolist() for ns in inputs]
    shared = talvik.Matcher(inputs[0], table, threads=2)
    errors, outcomes, stop = [], set(), threading.Event()

    def work(k):
        for threads in (1, 2, 3):
            if talvik.find_pairs(inputs[k], table, threads=threads).tolist() != expected[k]:
                errors.append(("find_pairs", k, threads))
        halves = [shared.pairs(range(0, 700)), shared.pairs(range(700, 1500))]
        if [p for h in halves for p in h.tolist()] != expected[0] or shared.count() != len(expected[0]):
            errors.append(("shared", k))

    def mutate(k):
        own = names(100 + k, 300)
        while not stop.is_set():
            own.append("Bob Li")
            try:
                talvik.Matcher(own, table).count()
                outcomes.add("ok")
            except RuntimeError as e:  # the list changed size while it was read
                outcomes.add(str(e))
            own[0], own[-1] = own[-1], own[0]
            del own[-1]

    mutators = [threading.Thread(target=mutate, args=(k,)) for k in range(4)]
    workers = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in mutators + workers: t.start()
    for t in workers: t.join()
    stop.set()
    for t in mutators: t.join()
    print(sys._is_gil_enabled(), errors, sorted(outcomes))
"""


def test_threads_at_once_while_others_mutate_their_lists():
    out = python(CONCURRENT)
    assert out.returncode == 0, out.stderr
    # A regular build keeps its GIL; a free-threaded one must not turn it on.
    assert out.stdout.split() == [str(not FREE_THREADED), "[]", "['ok']"], out.stdout


def test_a_list_changed_while_it_is_read():
    out = python("""
        import threading
        import talvik
        names = [f"A{i} B" for i in range(20000)]
        stop, outcomes = threading.Event(), set()

        def mutate():
            while not stop.is_set():
                names.append("C D")
                del names[-1]

        t = threading.Thread(target=mutate)
        t.start()
        for _ in range(200):
            try:
                n = len(talvik.Matcher(names))
                outcomes.add("ok" if n in (20000, 20001) else n)
            except RuntimeError as e:
                outcomes.add(str(e))
        stop.set()
        t.join()
        print(sorted(outcomes))
    """)
    assert out.returncode == 0, out.stderr
    assert set(eval(out.stdout)) <= {"ok", "names changed size while it was being read"}


def test_searches_from_two_threads_run_at_the_same_time():
    # Each search's progress callback waits for the other's: were searches
    # run one at a time, the first would wait in vain.
    out = python("""
        import threading
        import talvik
        m = talvik.Matcher(["Ann Lee"] * 20000, threads=1)
        barrier, met = threading.Barrier(2, timeout=20), []

        def search():
            def progress(rows):
                if not met:
                    barrier.wait()
                    met.append(rows)
            m._index.count(0, len(m), progress, False, None, None)

        threads = [threading.Thread(target=search) for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(met) >= 1, barrier.broken)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "False"]


def test_ctrl_c_stops_a_count():
    line, latency, (_, left), after = interrupt("count")
    assert line == "interrupted"
    assert latency < 0.5, f"took {latency:.2f} s"
    assert left < 16, f"{left} MiB left over"
    assert after == "[[0, 0], [0, 1]]"  # the matcher still works


def test_ctrl_c_stops_pairs_and_frees_them():
    line, latency, (peak, left), after = interrupt("pairs")
    assert line == "interrupted"
    assert latency < 0.5, f"took {latency:.2f} s"
    assert peak > 100, f"only {peak} MiB were in use: the call had not got going"
    assert left < 16, f"{left} MiB left over of a peak of {peak} MiB"
    assert after == "[[0, 0], [0, 1]]"


def test_progress_bar_on_stderr(capsys):
    m = talvik.Matcher([f"A{i % 50} B{i % 7}" for i in range(3000)], threads=2)
    whole = m.pairs(progress=True)
    _, err = capsys.readouterr()
    assert "talvik pairs" in err and "100%" in err and "3.00k/3.00k" in err
    assert m.count(range(0, 1000), progress=True) == m.count(range(0, 1000))
    _, err = capsys.readouterr()
    assert "talvik count" in err and "1.00k/1.00k" in err
    assert sum(map(len, m.iter_pairs(5000, progress=True))) == len(whole)
    _, err = capsys.readouterr()
    assert "talvik pairs" in err and "3.00k/3.00k" in err
    assert m.match(["A1 B1"], progress=True).shape[0] > 0
    assert "talvik match" in capsys.readouterr().err
    m.pairs()
    assert capsys.readouterr().err == ""

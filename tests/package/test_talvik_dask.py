"""talvik.dask on a real two-process LocalCluster, against the single-machine
Matcher; and the client-side merge of the groups against a plain union-find."""
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402

import talvik  # noqa: E402
import talvik.dask  # noqa: E402
from support.names import TABLE, components, random_names  # noqa: E402
from support.names import census_like  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Not the default client, so that client=None can be tested both ways.
    # The workers' profiler reads other threads' frames, which a free-threaded
    # CPython 3.14 may free meanwhile (a worker then dies in PyFrame_GetCode).
    with dask.config.set({"distributed.worker.profile.enabled": False}), \
            distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=2, dashboard_address=None,
                                     worker_dashboard_address=None) as cluster:
        with distributed.Client(cluster, set_as_default=False) as c:
            yield c


def test_workers_run_this_talvik_without_the_profiler(client):
    files = client.run(lambda: __import__("talvik").__file__)
    assert len(files) == 2
    assert set(files.values()) == {talvik.__file__}
    profiling = client.run(lambda: __import__("dask").config.get("distributed.worker.profile.enabled"))
    assert set(profiling.values()) == {False}


CASES = [
    # (names, tradeouts), partitions
    *[(census_like(600, seed), parts) for seed, parts in [(1, 1), (2, 3), (3, None), (4, 64)]],
    *[((random_names(seed, 300), TABLE), parts) for seed, parts in [(5, 2), (6, 17), (7, None)]],
    ((random_names(8, 30), TABLE), 200),   # more partitions than names
    ((["Bob Smith"], TABLE), 5),
    (([], TABLE), None),
    ((["A B", None, "B A", "A  B", "C"], None), 4),
]


@pytest.mark.parametrize("inputs, partitions", CASES)
def test_results_equal_the_single_machine_ones(client, inputs, partitions):
    names, table = inputs
    m = talvik.Matcher(names, table, threads=2)
    pairs = talvik.dask.find_pairs(names, table, client=client, partitions=partitions)
    assert pairs.dtype == np.int32 and pairs.shape[1:] == (2,)
    np.testing.assert_array_equal(pairs, m.pairs())
    assert talvik.dask.count(names, table, client=client, partitions=partitions) == m.count()
    labels = talvik.dask.groups(names, table, client=client, partitions=partitions)
    assert labels.dtype == np.int32
    np.testing.assert_array_equal(labels, m.groups())


def test_groups_of_row_ranges_join_into_the_groups():
    names, table = census_like(400, 9)
    m = talvik.Matcher(names, table)
    cuts = [0, 1, 50, 51, 300, 400]
    edges = [talvik.dask._label_edges(m.groups(rows=range(a, b))) for a, b in zip(cuts, cuts[1:])]
    np.testing.assert_array_equal(talvik.dask.merge_labels(len(names), edges), m.groups())
    # Each piece alone is the components of its own pairs only.
    np.testing.assert_array_equal(m.groups(rows=slice(50, 300)), components(len(names), m.pairs(slice(50, 300))))


@pytest.mark.parametrize("seed", range(6))
def test_merge_labels_is_a_union_find(seed):
    rng = random.Random(seed)
    n = rng.choice([1, 10, 500, 3000])
    if seed % 2:  # long chains in shuffled order: the most rounds of hooking
        order = list(range(n))
        rng.shuffle(order)
        edges = [(order[k], order[k + 1]) for k in range(n - 1) if rng.random() < 0.95]
    else:
        edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(rng.randrange(2 * n))]
    pieces = [np.array(edges[k::3], dtype=np.int32).reshape(-1, 2) for k in range(3)]
    labels = talvik.dask.merge_labels(n, pieces)
    assert labels.dtype == np.int32
    assert labels.tolist() == components(n, edges)


def test_a_worker_builds_one_matcher_for_all_its_threads():
    job = talvik.dask._Job(census_like(3000, 10)[0], None)
    barrier, got = threading.Barrier(8), []

    def task():
        barrier.wait()
        got.append(talvik.dask._matcher(job))

    threads = [threading.Thread(target=task) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    talvik.dask._forget(job.key)
    assert len(got) == 8 and all(m is got[0] for m in got)
    assert job.key not in talvik.dask._matchers


def test_a_worker_with_another_talvik_refuses_the_job():
    job = talvik.dask._Job(["A B", "B A"], None, version="0.0.1")
    with pytest.raises(RuntimeError, match=f"this worker has talvik {talvik.__version__}, the client 0.0.1"):
        talvik.dask._search(job, 0, 2, "pairs")
    talvik.dask._forget(job.key)


def test_the_default_client_is_used_or_its_absence_said(client):
    with pytest.raises(RuntimeError, match="found no Dask client"):
        talvik.dask.count(["A B", "B A"])
    with client.as_current():
        assert talvik.dask.count(["A B", "B A"]) == 1
    # Nothing of a job stays on the workers once it returned.
    assert client.run(lambda: len(__import__("talvik.dask").dask._matchers)) == dict.fromkeys(
        client.scheduler_info()["workers"], 0)


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda c: talvik.dask.find_pairs(["A B"], client=c, partitions=0), ValueError, "partitions must be at least 1"),
    (lambda c: talvik.dask.count(["A B"], client=c, partitions="2"), TypeError, "partitions must be an int or None"),
    (lambda c: talvik.dask.groups(["A B"], client=c, partitions=True), TypeError, "not bool"),
    (lambda c: talvik.dask.find_pairs(["A B", 3], client=c), TypeError, "names"),
    (lambda c: talvik.dask.find_pairs("A B", client=c), TypeError, "names must be a sequence of str"),
    (lambda c: talvik.dask.find_pairs(["A B"], {"A": 1}, client=c), TypeError,
     r"tradeouts\[.A.\] must be an iterable"),
])
def test_bad_input_is_refused_on_the_client(client, call, exc_type, message):
    with pytest.raises(exc_type, match=message):
        call(client)


SAVED = [(census_like(500, 12), None), ((random_names(13, 300), TABLE), 7), ((["A B", None, "B A", "C"], None), 9)]


@pytest.mark.parametrize("inputs, partitions", SAVED)
def test_a_saved_index_gives_what_it_gives_opened_here(client, tmp_path, monkeypatch, inputs, partitions):
    names, table = inputs
    talvik.Matcher(names, table).save(tmp_path / "idx.tvx")
    m = talvik.Matcher.open(tmp_path / "idx.tvx")
    monkeypatch.chdir(tmp_path)  # a relative path is the client's, made absolute for the workers
    for path in ("idx.tvx", tmp_path / "idx.tvx"):
        np.testing.assert_array_equal(talvik.dask.find_pairs(index=path, client=client, partitions=partitions),
                                      m.pairs())
    assert talvik.dask.count(index="idx.tvx", client=client, partitions=partitions) == m.count()
    np.testing.assert_array_equal(talvik.dask.groups(index="idx.tvx", client=client, partitions=partitions),
                                  m.groups())


def test_a_worker_opens_the_saved_index_once_for_all_its_threads(tmp_path):
    talvik.Matcher(*census_like(300, 14)).save(tmp_path / "idx.tvx")
    job = talvik.dask._Job(None, None, str(tmp_path / "idx.tvx"))
    got = [talvik.dask._search(job, 0, 300, "count") for _ in range(3)]
    matcher = talvik.dask._matchers[job.key].matcher
    talvik.dask._forget(job.key)
    assert got == [talvik.Matcher(*census_like(300, 14)).count()] * 3 and len(matcher) == 300


def damaged_copy(tmp_path):
    talvik.Matcher(*census_like(300, 15)).save(tmp_path / "good.tvx")
    data = bytearray((tmp_path / "good.tvx").read_bytes())
    data[len(data) // 2] ^= 0x20  # a large section: found by the worker's first search
    (tmp_path / "bad.tvx").write_bytes(bytes(data))
    return tmp_path / "bad.tvx"


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda c, d: talvik.dask.find_pairs(client=c), TypeError, "give the names, or index="),
    (lambda c, d: talvik.dask.count(["A B"], index=d / "good.tvx", client=c), ValueError, "give index= alone"),
    (lambda c, d: talvik.dask.count(index=d / "good.tvx", tradeouts={}, client=c), ValueError, "alone"),
    (lambda c, d: talvik.dask.groups(index=3, client=c), TypeError, "index must be a path"),
    (lambda c, d: talvik.dask.count(index=d / "none.tvx", client=c), FileNotFoundError, "none.tvx"),
    (lambda c, d: talvik.dask.count(index=d / "names.txt", client=c), ValueError, "not a saved talvik index"),
    (lambda c, d: talvik.dask.find_pairs(index=damaged_copy(d), client=c), ValueError, "damaged"),
])
def test_a_bad_saved_index_is_refused(client, tmp_path, call, exc_type, message):
    talvik.Matcher(["A B"]).save(tmp_path / "good.tvx")
    (tmp_path / "names.txt").write_text("Ann Lee\n" * 50)
    with pytest.raises(exc_type, match=message):
        call(client, tmp_path)


def python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_dask_is_imported_only_when_asked_for():
    out = python("import sys, talvik; print('dask' in sys.modules, 'distributed' in sys.modules)")
    assert out.returncode == 0 and out.stdout.split() == ["False", "False"], out.stderr
    out = python("import sys; sys.modules['distributed'] = None; import talvik.dask")
    assert out.returncode != 0
    assert "ImportError: talvik.dask needs Dask's distributed scheduler: pip install 'talvik[dask]'" in out.stderr


def test_quick_run_of_the_dask_bench(tmp_path):
    bench = Path(__file__).resolve().parents[2] / "bench" / "bench_dask.py"
    out = subprocess.run([sys.executable, bench, "--quick", "--out", tmp_path], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr  # it fails when a result differs from Matcher.pairs
    r = json.loads((tmp_path / "dask.json").read_text())
    assert r["pairs"] > 0 and all(len(t) == 2 for t in r["times_s"].values())
    assert "| talvik.dask.find_pairs, pyarrow array |" in (tmp_path / "dask.md").read_text()


def test_a_killed_worker_changes_nothing(client):
    # Last in the file: the cluster then runs on with a restarted worker.
    names, table = census_like(5000, 11)
    want = talvik.Matcher(names, table).pairs()
    before = client.run(os.getpid)
    result, failed = [], []

    def job():
        try:
            result.append(talvik.dask.find_pairs(names, table, client=client, partitions=500))
        except BaseException as e:
            failed.append(e)

    runner = threading.Thread(target=job)
    runner.start()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and sum(map(len, client.has_what().values())) < 40:
        time.sleep(0.01)  # until both workers hold the job and some results
    done_at_kill = sum(map(len, client.has_what().values()))
    victim = max(before)
    os.kill(before[victim], signal.SIGKILL)
    runner.join(timeout=60)
    assert not runner.is_alive() and not failed, failed
    assert 40 <= done_at_kill < 500, "the worker was not killed during the run"
    np.testing.assert_array_equal(result[0], want)
    assert before[victim] not in client.run(os.getpid).values()  # the nanny starts a new one

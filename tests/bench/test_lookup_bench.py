"""The lookup benchmark: a smoke run whose lookups must agree with match(),
its peers where build/peers-venv exists, and the goal verdicts."""
import json
import subprocess
import sys

import pytest

import lookup_bench
from support.paths import BENCH


def run(tmp_path, *extra):
    subprocess.run([sys.executable, BENCH / "lookup_bench.py", "--quick", "--sizes", "2000", "--source", "sample",
                    "--singles", "40", "--batch", "300", "--add", "50", "--repeat", "1", "--threads", "2",
                    "--out", tmp_path, *extra], check=True, capture_output=True, text=True)
    return json.loads((tmp_path / "lookup.json").read_text()), (tmp_path / "lookup.md").read_text()


def test_quick_run_without_peers(tmp_path):
    results, report = run(tmp_path, "--peers", "")
    [entry] = results["sizes"]
    t = entry["talvik"]
    assert entry["n"] == t["n"] == 2000 and entry["peers"] == {}
    # The worker exits non-zero when lookup() and match() differ, or when the
    # added names are not found as a Matcher of them alone finds them.
    assert t["status"] == "ok" and t["batch_pairs"] > 0 and t["batch"] == 300 and t["added"] == 50
    assert t["single"]["count"] == 40 and 0 < t["single"]["p50_ms"] <= t["single"]["p99_ms"] <= t["single"]["max_ms"]
    assert 0 < t["open_s"] and 0 < t["build_s"] and 0 < t["add_s"] and t["file_bytes"] > 0 and t["index_bytes"] > 0
    assert set(t["goals"]) == set(lookup_bench.TARGETS)
    assert "| talvik | 2,000 |" in report and "Goals at 2,000 indexed names" in report


@pytest.mark.skipif(lookup_bench.peer_missing() is not None, reason="no build/peers-venv")
def test_quick_run_with_the_join_and_splink(tmp_path):
    results, report = run(tmp_path, "--peers", "duckdb,splink")
    peers = results["sizes"][0]["peers"]
    assert {p: r["status"] for p, r in peers.items()} == {"duckdb": "ok", "splink": "ok"}
    # The join's candidates hold every pair the rule accepts: words found
    # through tradeouts either way, two positions or more.
    assert peers["duckdb"]["talvik_pairs_in_candidates"] == 1.0
    assert peers["duckdb"]["pairs"] >= results["sizes"][0]["talvik"]["batch_pairs"]
    assert peers["splink"]["pairs"] > 0 and peers["splink"]["single"]["count"] > 0
    assert "| DuckDB join (candidates) | 2,000 |" in report and "| Splink predict_between | 2,000 |" in report


@pytest.mark.parametrize("measured, met", [
    # (open_s, p50 ms, p99 ms, batch_lookup_s, build_s, file_bytes, index_bytes, add_s)
    ((0.049, 1.0, 10.0, 0.10, 10.0, 130, 100, 0.010), {k: True for k in lookup_bench.TARGETS}),
    ((0.051, 1.1, 10.5, 0.11, 10.0, 131, 100, 0.011), {k: False for k in lookup_bench.TARGETS}),
    ((0.001, 0.1, 20.0, 0.01, 10.0, 50, 100, 0.5),
     {"open_ms": True, "single_p50_ms": True, "single_p99_ms": False, "batch_over_build": True,
      "file_over_memory": True, "add_ms": False}),
])
def test_goal_verdicts_at_and_past_each_bound(measured, met):
    open_s, p50, p99, batch, build, file_bytes, index_bytes, add = measured
    t = {"open_s": open_s, "single": {"p50_ms": p50, "p99_ms": p99}, "batch_lookup_s": batch, "build_s": build,
         "file_bytes": file_bytes, "index_bytes": index_bytes, "add_s": add}
    assert {k: v["met"] for k, v in lookup_bench.verdicts(t).items()} == met


@pytest.mark.parametrize("pairs, candidates, share", [
    ([], [], 1.0),
    ([(0, 1), (2, 3)], [[0, 1], [2, 3], [4, 5]], 1.0),
    ([(0, 1), (2, 3)], [[0, 1], [3, 2]], 0.5),      # (query, row): order matters
    ([(0, 1)], [], 0.0),
])
def test_share_of_pairs_within_candidates(pairs, candidates, share):
    assert lookup_bench.share_within(pairs, candidates) == share

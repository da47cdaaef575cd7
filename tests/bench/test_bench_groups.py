"""The benchmark's talvik contenders: a smoke run whose pairs must agree."""
import json
import subprocess
import sys

from support.paths import BENCH


def test_quick_run_of_the_package_contenders(tmp_path):
    subprocess.run([sys.executable, BENCH / "bench.py", "--quick", "--sizes", "200", "--source", "sample",
                    "--contenders", "talvik-all,python,pkg-pairs,pkg-count,pkg-iter", "--no-engine",
                    "--out", tmp_path], check=True, capture_output=True, text=True)
    [entry] = json.loads((tmp_path / "results.json").read_text())["sizes"]
    r = entry["results"]
    assert r["talvik-all"]["matches"] > 0
    assert r["pkg-pairs"]["digest"] == r["python"]["digest"] == r["talvik-all"]["digest"]
    assert r["pkg-count"]["matches"] == r["pkg-iter"]["matches"] == r["talvik-all"]["matches"]
    report = (tmp_path / "results.md").read_text()
    assert "The talvik package" in report and "| 200 |" in report
    assert "talvik count()" not in report.split("The talvik package")[0]  # kept out of the main tables


import bench_groups


def test_group_census_of_a_hand_made_grouping():
    # Groups {0, 1, 2, 5}, {3}, {4, 6}; without initials {0, 1}, {2, 5} and {4}, {6} fall apart.
    full = [0, 0, 0, 3, 4, 0, 4]
    reduced = [0, 0, 2, 3, 4, 2, 6]
    h = bench_groups.size_histogram(full)
    assert h["groups"] == 3 and h["largest"] == 4
    assert h["buckets"] == {"1": 1, "2": 1, "3-5": 1, "6-10": 0, "11-100": 0, ">100": 0}
    assert bench_groups.bridged_groups(full, reduced) == 2
    assert bench_groups.bridged_groups(full, full) == 0
    assert bench_groups.without_initials({"J": ["John"], "John": ["J", "Jack"], "A": []}) == {"John": ["Jack"]}


def test_quick_run_of_the_groups_bench(tmp_path):
    subprocess.run([sys.executable, BENCH / "bench_groups.py", "--quick", "--sizes", "3000", "--source", "sample",
                    "--threads", "2", "--out", tmp_path], check=True, capture_output=True, text=True)
    [entry] = json.loads((tmp_path / "groups.json").read_text())["sizes"]
    h = entry["histogram"]
    assert sum(h["buckets"].values()) == h["groups"] < 3000
    # The sample's table lists initials both ways, so some groups hang on them.
    assert 0 < entry["bridged_by_initials"] < h["groups"]
    assert entry["histogram_without_initials"]["groups"] > h["groups"]
    assert entry["memory_groups"][0]["maxrss_kib"] > 0 and entry["median_s"]["groups"] > 0
    assert "| 3,000 |" in (tmp_path / "groups.md").read_text()

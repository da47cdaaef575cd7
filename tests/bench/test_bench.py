"""The benchmark's name generator and a smoke run of its harness.

Offline: the census archives are used when already cached, the bundled
sample otherwise. RapidFuzz parts run only where it is installed
(`make bench` installs it, `make test` does not).
"""
import importlib.util
import json
import os
import statistics
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import Talvik
import reference

import bench
import generate
from support.paths import BENCH

SOURCE = "census" if generate.have_archives() else "sample"
HAVE_RAPIDFUZZ = importlib.util.find_spec("rapidfuzz") is not None


@pytest.fixture(scope="module")
def sources():
    return generate.load_sources(SOURCE, fetch=False)


@pytest.fixture(scope="module")
def table(sources):
    return generate.make_tradeouts(sources)


def run_script(*args, env=None):
    return subprocess.run([sys.executable, *map(str, args)], check=True, capture_output=True,
                          text=True, env=env)


def kind(a, b, table):
    """How two matched names differ, as the generator's variants do."""
    wa, wb = a.split(" "), b.split(" ")
    if a == b:
        return "repeat"
    if sorted(wa) == sorted(wb):
        return "swapped"
    if len(wa) == len(wb) and wa[1:] == wb[1:]:
        if min(len(wa[0]), len(wb[0])) == 1:
            return "initial"
        return "nickname" if wb[0] in table.get(wa[0], ()) else None
    short, long_ = sorted((wa, wb), key=len)
    if len(long_) == len(short) + 1 and long_[:1] + long_[2:] == short:
        return "middle initial" if len(long_[1]) == 1 else "middle name"
    return None


class TestGenerator:
    def test_same_seed_same_bytes_in_any_process(self, tmp_path, sources, table):
        # Set order must not leak into the draws: vary the hash seed.
        outs = []
        for hash_seed in ("1", "2"):
            env = dict(os.environ, PYTHONHASHSEED=hash_seed)
            names, tab = tmp_path / f"names{hash_seed}", tmp_path / f"table{hash_seed}"
            run_script(BENCH / "generate.py", 3000, "--source", SOURCE, "--names", names,
                       "--table", tab, env=env)
            outs.append((names.read_bytes(), tab.read_bytes()))
        assert outs[0] == outs[1]
        assert outs[0][0].decode().splitlines() == generate.generate_names(3000, sources)
        assert json.loads(outs[0][1]) == table
        assert generate.generate_names(3000, sources, seed=7) != generate.generate_names(3000, sources)

    def test_shape(self, sources):
        names = generate.generate_names(20_000, sources)
        assert len(names) == 20_000
        counts = Counter(len(n.split(" ")) for n in names)
        assert set(counts) == {2, 3, 4}
        assert 0.70 < counts[2] / len(names) < 0.85
        assert 0.12 < counts[3] / len(names) < 0.25
        assert 0.01 < counts[4] / len(names) < 0.05
        words = [w for n in names for w in n.split(" ")]
        assert all(w.isascii() and w.isalpha() and w.istitle() for w in words)
        initials = sum(len(w) == 1 for w in words)
        assert 0.02 < initials / len(names) < 0.15
        assert len(set(names)) > 0.85 * len(names)

    def test_rare_surnames_share_what_rounding_hides(self):
        text = ("SMITH          1.006  1.006      1\n"
                "JONES          0.621  1.627      2\n"
                "ZUPAN          0.000  1.628      3\n"
                "O'NEIL         0.000  1.629      4\n"
                "AALDERINK      0.000  1.630      5\n")
        names, weights = generate.last_names(text)
        assert names == ["Smith", "Jones", "Zupan", "Aalderink"]
        assert weights[2] == weights[3] == pytest.approx((1.630 - 1.627) / 2)
        assert sum(weights) == pytest.approx(1.630)

    def test_table_is_two_way_and_closed(self, sources, table):
        given = set(sources.firsts)
        assert {f[0] for f in given} <= set(table)
        for key, words in table.items():
            assert words == sorted(set(words)) and key not in words
            for w in words:
                assert len(w) > 1   # nothing stands for an initial
                if len(key) == 1:
                    assert w[0] == key and w in given | set(sources.related)
                else:   # nicknames go both ways and stay among the generator's words
                    assert key in table[w]

    def test_variants_are_found(self, sources, table):
        names = generate.generate_names(3000, sources)
        pairs = Talvik.parallel_find_matches(names, table, None)
        kinds = Counter(kind(a, b, table) for a, b in pairs)
        for k in ("repeat", "swapped", "nickname", "middle name", "middle initial"):
            assert kinds[k] > 0, k

    def test_talvik_agrees_with_reference_on_generated_names(self, sources, table):
        names = generate.generate_names(500, sources, seed=3)
        got = Talvik.parallel_find_matches(names, table, None, 0)
        assert sorted(got) == sorted(reference.find_matches(names, table)) != []


@pytest.fixture(scope="module")
def quick(tmp_path_factory):
    out = tmp_path_factory.mktemp("quick")
    contenders = "talvik-1,talvik-all,python" + (",rapidfuzz" if HAVE_RAPIDFUZZ else "")
    run_script(BENCH / "bench.py", "--quick", "--sizes", "150,300", "--source", SOURCE,
               "--contenders", contenders, "--out", out)
    return json.loads((out / "results.json").read_text()), out


class TestHarness:
    def test_quick_run(self, quick):
        results, out = quick
        assert [e["n"] for e in results["sizes"]] == [150, 300]
        for e in results["sizes"]:
            r = e["results"]
            for key in ("talvik-1", "talvik-all", "python"):
                assert r[key]["status"] == "ok"
                assert r[key]["median_s"] == statistics.median(r[key]["times_s"])
                assert len(r[key]["times_s"]) == r[key]["runs"]
                assert r[key]["rss_peak_kb"] >= r[key]["rss_baseline_kb"] > 0
            assert r["python"]["digest"] == r["talvik-all"]["digest"] == r["talvik-1"]["digest"]
            assert r["talvik-all"]["matches"] > 0
            assert e["ratios"]["python"] == r["python"]["median_s"] / r["talvik-all"]["median_s"]
        table = (out / "results.md").read_text()
        assert "| 150 |" in table and "| 300 |" in table
        assert (out / "scaling.png").exists() == (importlib.util.find_spec("matplotlib") is not None)

    def test_report_is_remade_from_json_alone(self, quick, tmp_path):
        results, out = quick
        (tmp_path / "results.json").write_text(json.dumps(results))
        readme = tmp_path / "README.md"
        readme.write_text(f"intro\n{bench.README_MARKERS[0]}\nold figures\n{bench.README_MARKERS[1]}\nrest\n")
        run_script(BENCH / "bench.py", "--report", tmp_path / "results.json", "--readme", readme)
        assert (tmp_path / "results.md").read_text() == (out / "results.md").read_text()
        doc = readme.read_text()
        assert doc.startswith("intro\n") and doc.endswith(f"{bench.README_MARKERS[1]}\nrest\n")
        assert "old figures" not in doc and (out / "results.md").read_text() in doc
        assert "](scaling.png)" in doc

    def test_rapidfuzz_counts_flagged_pairs(self, quick):
        pytest.importorskip("rapidfuzz")
        for e in quick[0]["sizes"]:
            r = e["results"]["rapidfuzz"]
            assert r["status"] == "ok" and 0 < r["matches"] < e["pairs_covered"]
        run = bench.rapidfuzz_setup(["Ann Lee", "Lee Ann", "Bob Stone", "Ann Lee"], {})
        assert bench.count_flagged(run()) == 3   # the diagonal and each pair's mirror left out

    def test_budget_and_memory_cap_skip(self, tmp_path):
        run_script(BENCH / "bench.py", "--quick", "--sizes", "100,200", "--source", SOURCE,
                   "--contenders", "talvik-all,python,rapidfuzz", "--budget", "0",
                   "--mem-cap", "1e-9", "--out", tmp_path)
        sizes = json.loads((tmp_path / "results.json").read_text())["sizes"]
        python = [e["results"]["python"] for e in sizes]
        assert python[0]["status"] == "ok"    # nothing to predict from yet
        assert python[1]["status"] == "skipped" and "budget" in python[1]["reason"]
        why = "cap" if HAVE_RAPIDFUZZ else "not installed"
        assert all(e["results"]["rapidfuzz"]["status"] == "skipped"
                   and why in e["results"]["rapidfuzz"]["reason"] for e in sizes)
        assert "Not run:" in (tmp_path / "results.md").read_text()

    def test_different_pairs_fail_the_run(self):
        def entry(python_digest, rapidfuzz_matches=5):
            ok = {"status": "ok", "matches": 3}
            return {"n": 10, "results": {
                "talvik-all": dict(ok, digest="a"), "talvik-1": dict(ok, digest="a"),
                "python": dict(ok, digest=python_digest),
                "rapidfuzz": {"status": "ok", "matches": rapidfuzz_matches}}}
        bench.check_agreement(entry("a"))     # RapidFuzz's other count is no fault
        with pytest.raises(SystemExit, match="differ"):
            bench.check_agreement(entry("b"))

    def test_growth_exponent(self):
        results = {"contenders": {"python": {}}, "sizes": [
            {"n": n, "results": {"python": {"status": "ok", "median_s": 3e-8 * n ** 2}}}
            for n in (1_000, 10_000, 20_000, 50_000)]}
        fit = bench.scaling(results)["python"]
        assert (fit["from"], fit["to"]) == (10_000, 50_000)
        assert fit["exponent"] == pytest.approx(2.0)

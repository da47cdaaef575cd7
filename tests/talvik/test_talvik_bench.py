"""The benchmark's talvik contenders: a smoke run whose pairs must agree."""
import json
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[2] / "bench"


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

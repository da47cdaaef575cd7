#!/usr/bin/env python3
"""The talvik command end to end against the package call it is built on.

For each size, names and the tradeout table from generate.py are written to
a temporary folder, then each command runs as a subprocess, the commands
taking turns in every round so that a noisy machine weighs on all alike. The
baseline is the least any command must do: start Python, read the file,
``talvik.Matcher(names, table).pairs()``, and write nothing. Medians of
--repeat rounds, in seconds, and each as a multiple of the baseline.

Usage: cli_bench.py [--sizes 100000,1000000] [--repeat 3] [--source sample|census]
"""
import argparse
import json
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import generate

HERE = Path(__file__).resolve().parent

BASELINE = """
import sys, json, talvik
names = open(sys.argv[1], encoding="utf-8").read().split("\\n")[:-1]
table = json.load(open(sys.argv[2]))
print(len(talvik.Matcher(names, table).pairs()))
"""


def commands(script, names, table, out):
    t = ["--tradeouts", table, "--no-progress"]
    return {
        "package: Matcher.pairs(), no output": [sys.executable, "-c", BASELINE, names, table],
        "talvik pairs -o pairs.csv": [script, "pairs", names, *t, "-o", out / "pairs.csv"],
        "talvik pairs -o pairs.parquet": [script, "pairs", names, *t, "-o", out / "pairs.parquet"],
        "talvik pairs --names -o pairs.csv": [script, "pairs", names, *t, "--names", "-o", out / "names.csv"],
        "talvik pairs --names -o pairs.parquet": [script, "pairs", names, *t, "--names", "-o", out / "names.parquet"],
        "talvik groups -o groups.csv": [script, "groups", names, *t, "-o", out / "groups.csv"],
    }


def time_once(argv):
    start = time.perf_counter()
    subprocess.run([str(a) for a in argv], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def output_of(argv):
    if "-o" in argv:
        path = Path(argv[argv.index("-o") + 1])
        return f"{path.stat().st_size / 1e6:,.0f} MB"
    return "-"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="100000,1000000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--source", choices=("census", "sample"), default="sample")
    args = ap.parse_args()
    script = Path(sysconfig.get_path("scripts")) / "talvik"
    if not script.exists():
        script = Path(shutil.which("talvik") or "talvik")
    sources = generate.load_sources(args.source)
    table = generate.make_tradeouts(sources)
    print(f"| names | pairs | command | median s | × baseline | output |\n|---:|---:|---|---:|---:|---|")
    for n in map(int, args.sizes.split(",")):
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            generate.write_names(tmp / "names.txt", generate.generate_names(n, sources))
            (tmp / "table.json").write_text(json.dumps(table))
            runs = commands(script, tmp / "names.txt", tmp / "table.json", tmp)
            times = {label: [] for label in runs}
            for _ in range(args.repeat):
                for label, argv in runs.items():
                    times[label].append(time_once(argv))
            pairs = subprocess.run([str(a) for a in runs["package: Matcher.pairs(), no output"]], check=True,
                                   capture_output=True, text=True).stdout.strip()
            base = statistics.median(times["package: Matcher.pairs(), no output"])
            for label, argv in runs.items():
                t = statistics.median(times[label])
                print(f"| {n:,} | {int(pairs):,} | {label} | {t:.2f} | {t / base:.2f} | {output_of(argv)} |")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""What the Matcher's steps cost: a plain ``Matcher(names).count()`` against
the whole pipeline, ``Matcher(names, tradeouts=talvik.nicknames(),
normalize=True, typos=1, initials=True).count()``, side by side on the same
generated names (generate.py), alternating, each timed from the list of str
to the count. The full pipeline is also timed step by step (normalisation,
the table of initials and variants, the index, the count), so that a ratio
far from 1 says where it goes. Prints the medians and the ratio; with
``--json`` also writes them. Not part of `make test`.

With ``--dump DIR`` it only writes the full pipeline's names and extended
table (DIR/names-N.txt, DIR/table-N.json) for the engine alone:
``build/engine/bench/engine_bench DIR/names-N.txt DIR/table-N.json 1 --indexed-only``.

Usage: steps_bench.py [--sizes 1000000,10000000] [--repeat R] [--source census|sample] [--dump DIR]
"""
import argparse
import gc
import json
import statistics
import sys
import time
import warnings
from pathlib import Path

import generate
import talvik
from talvik._matcher import _Steps, _read_names, _thread_count

HERE = Path(__file__).resolve().parent
CACHE = HERE.parent / "build" / "steps-names"


def names_of(n, source):
    """n generated names, written once to build/steps-names and read back after."""
    path = CACHE / f"{source}-{n}.txt"
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        names = generate.generate_names(n, generate.load_sources(source))
        tmp = path.with_suffix(".tmp")
        tmp.write_text("\n".join(names) + "\n", encoding="utf-8")
        tmp.replace(path)
        return names
    return path.read_text(encoding="utf-8").splitlines()


def plain(names):
    return talvik.Matcher(names).count()


def full(names):
    return talvik.Matcher(names, talvik.nicknames(), normalize=True, typos=1, initials=True).count()


def full_in_steps(names):
    """The full pipeline as the Matcher runs it, each step timed apart."""
    threads = _thread_count(None)
    seconds = {}
    t = time.perf_counter()
    steps = _Steps(True, 1, True)
    base = steps.tradeouts(talvik.nicknames())
    indexed = steps.names(names)
    seconds["normalize"] = time.perf_counter() - t
    t = time.perf_counter()
    table = steps.table(base, [indexed], threads)
    seconds["initials + variants"] = time.perf_counter() - t
    t = time.perf_counter()
    index = talvik._native.build_index(_read_names(indexed, "names"), table, threads)
    seconds["index"] = time.perf_counter() - t
    t = time.perf_counter()
    count = index.count(0, len(index), None, False, None, None)
    seconds["count"] = time.perf_counter() - t
    seconds["table words"] = sum(map(len, table.values()))
    return count, seconds


def dump(names, n, folder):
    """The names and the table the full pipeline hands the engine, as engine_bench reads them."""
    steps = _Steps(True, 1, True)
    indexed = steps.names(names)
    table = steps.table(steps.tradeouts(talvik.nicknames()), [indexed], _thread_count(None))
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"names-{n}.txt").write_text("\n".join(indexed), encoding="utf-8")
    entries = {key: list(words) for key, words in table.items()}
    (folder / f"table-{n}.json").write_text(json.dumps(entries, ensure_ascii=False), encoding="utf-8")


def timed(fn, names):
    gc.collect()
    start = time.perf_counter()
    result = fn(names)
    return time.perf_counter() - start, result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1000000,10000000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--source", choices=("census", "sample"), default="census")
    ap.add_argument("--no-phases", action="store_true", help="skip the step-by-step timing")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    ap.add_argument("--dump", type=Path, help="only write the full pipeline's names and table here")
    args = ap.parse_args()
    warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
    report = []
    for n in (int(s) for s in args.sizes.split(",")):
        names = names_of(n, args.source)
        if args.dump:
            dump(names, n, args.dump)
            continue
        times = {"plain": [], "full": []}
        counts = {}
        for r in range(args.repeat):
            # Alternate which goes first, so that neither always meets a warm cache.
            order = ("plain", "full") if r % 2 == 0 else ("full", "plain")
            for key in order:
                s, counts[key] = timed(plain if key == "plain" else full, names)
                times[key].append(s)
                print(f"{n:>11,} {key:5} run {r + 1}: {s:8.2f} s, {counts[key]:,} pairs", file=sys.stderr,
                      flush=True)
        row = {"n": n, "plain_s": times["plain"], "full_s": times["full"], "pairs": counts,
               "ratio": statistics.median(times["full"]) / statistics.median(times["plain"])}
        if not args.no_phases:
            _, phases = full_in_steps(names)
            row["phases_s"] = phases
            print(f"{n:>11,} full, step by step: " + ", ".join(
                f"{k} {v:.2f} s" if isinstance(v, float) else f"{k} {v:,}" for k, v in phases.items()),
                file=sys.stderr, flush=True)
        report.append(row)
        del names
    if args.dump:
        return
    print("| names | plain count | full pipeline | full / plain | pairs plain | pairs full |")
    print("|---:|---:|---:|---:|---:|---:|")
    for row in report:
        print(f"| {row['n']:,} | {statistics.median(row['plain_s']):.2f} s | "
              f"{statistics.median(row['full_s']):.2f} s | {row['ratio']:.2f} | "
              f"{row['pairs']['plain']:,} | {row['pairs']['full']:,} |")
    if args.json:
        args.json.write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()

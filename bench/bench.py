#!/usr/bin/env python3
"""End-to-end timings of parallel_find_matches on census-like names.

1. Against a plain-Python implementation of the same rule (tests/reference.py),
   the kind of loop a user would otherwise write, on the same names.
2. Scaling with the number of names and of worker threads.

Every figure is the median of several runs made side by side in this process.
Usage: bench.py [--quick]
"""
import json
import random
import statistics
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
import Talvik  # noqa: E402
import reference  # noqa: E402

NAMES = (HERE / "data" / "names.txt").read_text(encoding="ascii").splitlines()
TABLE = json.loads((HERE / "data" / "nicknames.json").read_text(encoding="ascii"))


def synthesize(n, seed=1):
    """n names drawn from the sample's words, a fifth of them a variant of another."""
    rng = random.Random(seed)
    firsts = [name.split()[0] for name in NAMES]
    lasts = [name.split()[-1] for name in NAMES]
    out = []
    for _ in range(n):
        if out and rng.random() < 0.2:
            words = rng.choice(out).split()
            alternatives = TABLE.get(words[0])
            if alternatives and rng.random() < 0.6:
                words[0] = rng.choice(alternatives)
            else:
                words.reverse()
            out.append(" ".join(words))
        else:
            out.append(f"{rng.choice(firsts)} {rng.choice(lasts)}")
    return out


def median_time(call, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    quick = "--quick" in sys.argv
    runs = 3 if quick else 5

    subset = NAMES[:1500]
    t_py, expected = median_time(lambda: reference.find_matches(subset, TABLE), 1 if quick else 3)
    t_nat, got = median_time(lambda: Talvik.parallel_find_matches(subset, TABLE, None), runs)
    assert got == expected or sorted(got) == sorted(expected)
    print(f"{len(subset):,} names, {len(expected):,} pairs: plain Python {t_py * 1e3:,.0f} ms, "
          f"Talvik {t_nat * 1e3:,.2f} ms, {t_py / t_nat:,.0f}x faster")

    print(f"\n{'names':>10} {'pairs':>10} {'1 thread':>10} {'2 threads':>10} {'default':>10}")
    for n in (10_100, 100_000) if quick else (10_100, 100_000, 300_000):
        names = NAMES if n == len(NAMES) else synthesize(n)
        row = []
        for threads in (1, 2, 0):
            t, pairs = median_time(lambda: Talvik.parallel_find_matches(names, TABLE, None, threads), runs)
            row.append(t)
        print(f"{n:>10,} {len(pairs):>10,} " + " ".join(f"{t:>9.3f}s" for t in row))


if __name__ == "__main__":
    main()

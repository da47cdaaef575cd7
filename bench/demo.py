#!/usr/bin/env python3
"""Find the matching pairs in the bundled sample and show a few of them.

The sample is made by make_sample.py: census names with nickname, initial,
middle-name, swapped-order and repeated records of the same people mixed in.
"""
import json
import multiprocessing
import random
import time
import warnings
from pathlib import Path

# The module asks for the GIL; the interpreter's notice about that is noise here.
warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
import Talvik  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"


def kind(a, b):
    """Why two matched names look alike, or None for a coincidental match."""
    wa, wb = a.split(" "), b.split(" ")
    if a == b:
        return "repeat"
    if sorted(wa) == sorted(wb):
        return "swapped order"
    if len(wa) < len(wb):
        wa, wb = wb, wa
    if len(wa) == 3 and len(wb) == 2 and [wa[0], wa[2]] == wb:
        return "middle initial" if len(wa[1]) == 1 else "middle name"
    if len(wa) == len(wb) == 2 and wa[1] == wb[1] and wa[0] != wb[0]:
        return "initial" if min(len(wa[0]), len(wb[0])) == 1 else "nickname"
    return None


def examples(pairs):
    """A varied handful, drawn the same way on every run."""
    by_kind = {}
    for pair in sorted(pairs):
        by_kind.setdefault(kind(*pair), []).append(pair)
    rng = random.Random(1)
    wanted = [("nickname", 3), ("initial", 1), ("middle name", 1),
              ("middle initial", 1), ("swapped order", 1), ("repeat", 1)]
    picked = []
    for k, n in wanted:
        found = by_kind.get(k, [])
        picked += [(k, p) for p in rng.sample(found, min(n, len(found)))]
    return picked


def main():
    names = (DATA / "names.txt").read_text(encoding="ascii").splitlines()
    table = json.loads((DATA / "nicknames.json").read_text(encoding="ascii"))

    start = time.perf_counter()
    pairs = Talvik.parallel_find_matches(names, table, None)
    elapsed = time.perf_counter() - start

    print(f"names:          {len(names):,}")
    print(f"tradeout keys:  {len(table):,}")
    print(f"matching pairs: {len(pairs):,}")
    for k, (a, b) in examples(pairs):
        print(f"  {k:<15} {a}  <->  {b}")
    print(f"threads:        {multiprocessing.cpu_count()}")
    print(f"time:           {elapsed * 1e3:.1f} ms")


if __name__ == "__main__":
    main()

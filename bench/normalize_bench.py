#!/usr/bin/env python3
"""talvik.normalize against the same steps in plain Python (unicodedata), side
by side on the same realistic names: the bundled sample's names dressed as
records arrive (case, accents, titles, suffixes, apostrophes, hyphens, commas,
stray spaces). Prints the medians and the ratio. Not part of `make test`.

Usage: normalize_bench.py [N] [--repeat R] [--python-repeat R]
"""
import argparse
import random
import statistics
import time
from pathlib import Path

import normalize_reference as ref
import talvik

SAMPLE = Path(__file__).resolve().parent / "data" / "names.txt"
ACCENTS = str.maketrans({"e": "é", "a": "á", "o": "ö", "n": "ñ", "u": "ü", "c": "ç", "i": "í"})


def dressed(n, seed=7):
    """n names from the sample, each dressed up the way real records are."""
    base = [line for line in SAMPLE.read_text().splitlines() if line.strip()]
    rng = random.Random(seed)
    out = []
    for k in range(n):
        words = base[k % len(base)].split()
        if rng.random() < 0.25:
            words = [w.translate(ACCENTS) if rng.random() < 0.5 else w for w in words]
        if rng.random() < 0.10:
            words[-1] = rng.choice(["O'", "D’", "Mc", "Fitz-"]) + words[-1]
        if rng.random() < 0.08 and len(words) > 1:
            words[-1] = words[-1] + "-" + base[rng.randrange(len(base))].split()[-1]
        if rng.random() < 0.05:
            words = [words[-1] + ","] + words[:-1]
        if rng.random() < 0.12:
            words.insert(0, rng.choice(["Mr.", "Mrs", "Dr.", "Ms.", "Prof."]))
        if rng.random() < 0.07:
            words.append(rng.choice(["Jr.", "Sr", "III", "PhD"]))
        name = (" " if rng.random() < 0.97 else "  ").join(words)
        if rng.random() < 0.15:
            name = name.upper()
        out.append(name)
    return out


def timed(f, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", type=int, nargs="?", default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--python-repeat", type=int, default=1)
    args = parser.parse_args()

    names = dressed(args.n)
    drop = ref.drop_list(talvik.TITLES + talvik.SUFFIXES)
    native_s, native = timed(lambda: talvik.normalize(names), args.repeat)
    one_s, _ = timed(lambda: talvik.normalize(names, threads=1), args.repeat)
    python_s, python = timed(lambda: [ref.normalize(n, drop) for n in names], args.python_repeat)
    assert native == python, "talvik.normalize and the Python steps disagree"
    print(f"{args.n:,} names, e.g. {names[3]!r} -> {native[3]!r}")
    print(f"  plain Python (unicodedata)  {python_s:8.3f} s")
    print(f"  talvik.normalize, 1 thread  {one_s:8.3f} s   {python_s / one_s:6.1f}x")
    print(f"  talvik.normalize, default   {native_s:8.3f} s   {python_s / native_s:6.1f}x")

    try:
        import pyarrow as pa
    except ImportError:
        return
    column = pa.array(names)
    arrow_s, arrow = timed(lambda: talvik.normalize(column), args.repeat)
    via_list_s, via_list = timed(lambda: pa.array(talvik.normalize(column.to_pylist())), args.repeat)
    assert arrow.equals(via_list)
    print(f"  pyarrow in, pyarrow out     {arrow_s:8.3f} s   (through a list of str: {via_list_s:.3f} s)")


if __name__ == "__main__":
    main()

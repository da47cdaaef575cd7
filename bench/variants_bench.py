#!/usr/bin/env python3
"""talvik.variants on name-like vocabularies of 100k and 1M distinct words.

The words come from a character model of the words of bench/data/names.txt
(each next letter drawn by how often it follows the three before it), so they
look like surnames and given names and crowd together the way real ones do.
The same seed and size give the same words, and a smaller size gives the
first words of a larger one; generating is slow (minutes for 1M), so the
words are kept in ${XDG_CACHE_HOME:-~/.cache}/talvik/. For each size and max_edits:
the median seconds of --runs calls (default min_length unless --min-length),
and the variant pairs found. Not part of `make test`.

Usage: variants_bench.py [--sizes N,N] [--edits 1,2] [--runs R] [--threads T] [--min-length L] [--seed S]
"""
import argparse
import os
import random
import statistics
import time
from collections import Counter, defaultdict
from pathlib import Path

import talvik

HERE = Path(__file__).resolve().parent
ORDER = 3


def source_words() -> list[str]:
    words = set()
    with open(HERE / "data" / "names.txt", encoding="utf-8") as f:
        for line in f:
            words.update(w for w in line.split(" ") if w.strip())
    return sorted(w.strip() for w in words)


def name_like_words(n: int, seed: int = 20261210) -> list[str]:
    """n distinct words from an order-3 character model of real names."""
    follow: dict[str, Counter] = defaultdict(Counter)
    for word in source_words():
        padded = "^" * ORDER + word + "$"
        for i in range(ORDER, len(padded)):
            follow[padded[i - ORDER:i]][padded[i]] += 1
    table = {ctx: (list(c), list(c.values())) for ctx, c in follow.items()}
    rng = random.Random(seed)
    seen: dict[str, None] = {}
    while len(seen) < n:
        ctx, word = "^" * ORDER, []
        while True:
            letters, weights = table[ctx]
            c = rng.choices(letters, weights)[0]
            if c == "$" or len(word) > 20:
                break
            word.append(c)
            ctx = ctx[1:] + c
        if len(word) >= 2:
            seen["".join(word)] = None
    return list(seen)


def cached_words(n: int, seed: int) -> list[str]:
    """name_like_words(n, seed), kept on disk by seed: the largest size made so far."""
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "talvik"
    path = cache / f"variants-words-{seed}.txt"
    if path.exists():
        words = path.read_text(encoding="utf-8").split("\n")
        if len(words) >= n:
            return words[:n]
    words = name_like_words(n, seed)
    cache.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(words), encoding="utf-8")
    return words


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--edits", default="1,2")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--min-length", type=int, default=None)
    parser.add_argument("--seed", type=int, default=20261210)
    args = parser.parse_args()
    print(f"{'words':>9} {'edits':>5} {'min_len':>7} {'median s':>9} {'runs':>22} {'pairs':>10} {'with variants':>13}")
    for size in (int(s) for s in args.sizes.split(",")):
        words = cached_words(size, args.seed)
        lengths = Counter(len(w) for w in words)
        print(f"# {size:,} words, mean length {sum(k * v for k, v in lengths.items()) / size:.2f}, e.g. {words[:6]}")
        for edits in (int(e) for e in args.edits.split(",")):
            times = []
            for _ in range(args.runs):
                start = time.perf_counter()
                table = talvik.variants(words, max_edits=edits, min_length=args.min_length, threads=args.threads)
                times.append(time.perf_counter() - start)
            pairs = sum(len(v) for v in table.values()) // 2
            if args.min_length is None:  # by default each edit count has its own shortest words
                shown = "/".join(str(talvik._variants.DEFAULT_MIN_LENGTH[e]) for e in range(1, edits + 1))
            else:
                shown = str(args.min_length)
            runs = " ".join(f"{t:.2f}" for t in times)
            print(f"{size:>9,} {edits:>5} {shown:>7} {statistics.median(times):>9.2f} {runs:>22} {pairs:>10,} {len(table):>13,}")


if __name__ == "__main__":
    main()

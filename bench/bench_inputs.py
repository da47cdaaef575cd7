#!/usr/bin/env python3
"""How long reading a column of names takes, by the type it comes in: each
form of the same names read side by side, rounds interleaved, medians.

    python bench/bench_inputs.py [--size 1000000] [--rounds 7]

Reading is what a Matcher does before it indexes; a list of str is the
baseline every other form is quoted against.
"""
import argparse
import statistics
import time

import numpy as np
import pandas as pd
import pyarrow as pa

from generate import generate_names, load_sources
from talvik._matcher import _read_names


def forms(names):
    arrow = pa.array(names)
    dictionary = arrow.dictionary_encode()
    return {
        "list of str": names,
        "numpy object": np.array(names, dtype=object),
        "pandas object": pd.Series(names, dtype=object),
        "pandas str (pyarrow)": pd.Series(names),
        "pandas string[python]": pd.Series(names, dtype="string[python]"),
        "pandas category": pd.Series(names, dtype="category"),
        "Arrow string": arrow,
        "Arrow string_view": arrow.cast(pa.string_view()),
        "Arrow dictionary": dictionary,
        "Arrow dictionary, 100 slices": pa.chunked_array(
            [dictionary.slice(k, len(names) // 100) for k in range(0, len(names), len(names) // 100)]),
    }


def repeated_forms(names):
    """The same number of names drawn from 1,000 distinct ones: where a
    category or dictionary value read once pays off."""
    distinct = list(dict.fromkeys(names))[:1000]
    few = [distinct[i % len(distinct)] for i in range(len(names))]
    return {
        "list of str, 1,000 distinct": few,
        "pandas category, 1,000 distinct": pd.Series(few, dtype="category"),
        "pandas category of objects, 1,000 distinct": pd.Series(
            pd.Categorical(few, categories=pd.Index(distinct, dtype=object))),
        "Arrow dictionary, 1,000 distinct": pa.array(few).dictionary_encode(),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    names = generate_names(args.size, load_sources("sample"))
    given = forms(names) | repeated_forms(names)
    times = {what: [] for what in given}
    for _ in range(args.rounds):
        for what, column in given.items():
            start = time.perf_counter()
            read = _read_names(column, "names")
            times[what].append(time.perf_counter() - start)
            assert len(read) == len(names)
    base = statistics.median(times["list of str"])
    print(f"{args.size:,} names ({len(set(names)):,} distinct), median of {args.rounds}\n")
    print("| names as | read (ms) | vs list |\n|---|---:|---:|")
    for what, ts in times.items():
        median = statistics.median(ts)
        print(f"| {what} | {median * 1e3:.1f} | {median / base:.2f} |")


if __name__ == "__main__":
    main()

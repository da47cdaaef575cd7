#!/usr/bin/env python3
"""talvik.dedupe on a table of people against the searches it rests on, side
by side on the same records (bench/quality/people.py: census names with
nicknames, initials, typos, case and punctuation noise, about 1.9 records a
person): a plain Matcher's count() with no steps, the same count() with the
recall steps dedupe turns on, the scored search dedupe runs, and dedupe
itself, from a pandas DataFrame.
Prints the medians, the ratios to the plain count, and how well the
clusters find the people (pair precision and recall of "same cluster"
against "same person"). Not part of `make test`.

Usage: dedupe_bench.py [N] [--repeat R] [--source census|sample]
"""
import argparse

import numpy as np
import pandas as pd

import talvik
from normalize_bench import timed
from quality import people


def same_pairs(*keys):
    """How many pairs of rows agree on every key."""
    joint = np.unique(np.stack(keys, axis=1), axis=0, return_counts=True)[1].astype(np.int64)
    return int((joint * (joint - 1) // 2).sum())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", type=int, nargs="?", default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--source", choices=("census", "sample"), default="census")
    args = parser.parse_args()

    records = people.load(args.n, source=args.source)
    df = pd.DataFrame({"given": records.given, "surname": records.surname})
    names = [people.full_name(g, s) or None for g, s in zip(records.given, records.surname)]
    nick = talvik.nicknames()

    plain_s, plain = timed(lambda: talvik.Matcher(names).count(), args.repeat)
    steps_s, steps = timed(lambda: talvik.Matcher(names, nick, normalize=True, typos=1, initials=True).count(),
                           args.repeat)
    scored_s, (pairs, _) = timed(lambda: talvik.Matcher(names, nick, normalize=True, typos=1, initials=True).pairs(
        scores=True, min_score=talvik.DEFAULT_MIN_SCORE), args.repeat)
    dedupe_s, result = timed(lambda: talvik.dedupe(df, ["given", "surname"]), args.repeat)

    entity = np.asarray(records.entity, dtype=np.int64)
    cluster = result["cluster"].to_numpy()
    found, right, true = same_pairs(cluster), same_pairs(cluster, entity), same_pairs(entity)
    print(f"{args.n:,} records of {len(set(records.entity)):,} people ({args.source}), medians of {args.repeat}")
    print(f"  Matcher(names).count(), no steps         {plain_s:8.2f} s   1.00x   {plain:,} pairs")
    print(f"  count() with normalize, typos, initials  {steps_s:8.2f} s   {steps_s / plain_s:.2f}x   {steps:,} pairs")
    print(f"  the same, pairs(scores=True, min_score)  {scored_s:8.2f} s   {scored_s / plain_s:.2f}x   {len(pairs):,} pairs")
    print(f"  dedupe(df, [given, surname])             {dedupe_s:8.2f} s   {dedupe_s / plain_s:.2f}x   "
          f"{result['cluster'].nunique():,} clusters, largest {result['cluster_size'].max()}")
    print(f"  clusters as pairs: precision {right / max(found, 1):.3f}, recall {right / max(true, 1):.3f} "
          f"({found:,} pairs in clusters, {true:,} true)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The true pairs of the generated people that a Matcher misses, by what
kept them apart: each missed pair is explained (Matcher.explain) and its
words not found are put in one category, the first that fits, by what the
other name holds instead. Prints a table of counts and a few examples of
each. Not part of `make test`.

Usage: missed.py [N] [--seed S] [--source census|sample] [--steps plain|full] [--examples K]
"""
import argparse
import random
import sys
from collections import Counter, defaultdict

import numpy as np

import talvik
from talvik._explain import edits
from talvik._variants import DEFAULT_MIN_LENGTH

from quality import people

FULL = {"normalize": True, "typos": 1, "initials": True}


def true_pair_set(entity):
    by = defaultdict(list)
    for i, e in enumerate(entity):
        by[e].append(i)
    return {(a, b) for rows in by.values() for k, a in enumerate(rows) for b in rows[k + 1:]}


def category(e, nicknames):
    """What kept the pair of one Explanation apart."""
    w1 = [w.word for w in e.words1]
    w2 = [w.word for w in e.words2]
    if len(w1) < 2 or len(w2) < 2:
        return "a name of one word (a field missing)"
    missing = [(w, w2) for w in e.words1 if not w.found] + [(w, w1) for w in e.words2 if not w.found]
    if not missing:
        return "all words found (no category)"
    reasons = []
    for w, other in missing:
        reasons.append(word_reason(w.word, other, nicknames))
    # The first reason in this order that some missing word has.
    for kind in ORDER:
        if kind in reasons:
            if kind == "other" and len(w1) >= 3 and len(w2) >= 3:
                return "three words each, one differs (a middle name or initial)"
            return kind
    return reasons[0]


SHORTEST = DEFAULT_MIN_LENGTH[1]
SHORT = f"one edit, a word under {SHORTEST} characters"
ORDER = ["a hyphenated or split surname joined", SHORT, "two or more edits", "a nickname not in the table",
         "an initial of a word with a typo", "a word with a typo against an initial",
         "one edit, both words long enough (a step not taken?)", "other"]


def word_reason(word, other, nicknames):
    for k in range(len(other) - 1):
        if other[k] + other[k + 1] == word:
            return "a hyphenated or split surname joined"
    best = min((edits(word, o, 3) for o in other), default=9)
    near = [o for o in other if edits(word, o, 3) == best]
    if len(word) == 1:
        if any(edits(word, o[:1], 1) == 1 and len(o) > 1 for o in other):
            return "an initial of a word with a typo"
        return "other"
    if any(len(o) == 1 and o != word[0] for o in other) and best > 1:
        return "a word with a typo against an initial"
    if best == 1:
        if min(len(word), *(len(o) for o in near)) < SHORTEST:
            return SHORT
        return "one edit, both words long enough (a step not taken?)"
    if best == 2 or best == 3:
        title = {o.title() for o in other}
        if any(n.lower() in other for n in nicknames.get(word.title(), ())) or title & set(nicknames.get(word.title(), ())):
            return "a nickname not in the table"
        return "two or more edits"
    if any(n.lower() in other for n in nicknames.get(word.title(), ())):
        return "a nickname not in the table"
    return "other"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("n", type=int, nargs="?", default=people.QUICK_SIZE)
    ap.add_argument("--seed", type=int, default=people.SEED)
    ap.add_argument("--source", choices=("census", "sample"), default="census")
    ap.add_argument("--steps", choices=("plain", "full"), default="full")
    ap.add_argument("--examples", type=int, default=4)
    args = ap.parse_args()
    rec = people.load(args.n, args.seed, args.source)
    names = rec.names()
    steps = FULL if args.steps == "full" else {}
    m = talvik.Matcher(names, talvik.nicknames(), **steps)
    found = {tuple(p) for p in m.pairs().tolist()}
    truth = true_pair_set(rec.entity)
    missed = sorted(truth - found)
    print(f"{len(truth):,} true pairs, {len(truth & found):,} found (recall {len(truth & found) / len(truth):.3f}), "
          f"{len(found):,} pairs found (precision {len(truth & found) / max(1, len(found)):.3f}), "
          f"{len(missed):,} missed", file=sys.stderr)
    nick = talvik.nicknames()
    kinds = Counter()
    examples = defaultdict(list)
    for i, j in missed:
        kind = category(m.explain(i, j), nick)
        kinds[kind] += 1
        examples[kind].append((names[i], names[j]))
    rng = random.Random(1)
    print("| what kept the pair apart | missed pairs | share of true pairs |")
    print("|---|---:|---:|")
    for kind, count in kinds.most_common():
        print(f"| {kind} | {count:,} | {count / len(truth):.3f} |")
    for kind, _ in kinds.most_common():
        print(f"\n{kind}:")
        for a, b in rng.sample(examples[kind], min(args.examples, len(examples[kind]))):
            print(f"    {a!r} ~ {b!r}")


if __name__ == "__main__":
    main()

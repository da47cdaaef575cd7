#!/usr/bin/env python3
"""Looking names up in a saved index, against re-indexing them with match().

For N generated names (census frequencies when the archives are cached, the
bundled sample otherwise): the build, the save and the file's size; open();
the first lookup, which checks the file; single-name lookups (p50, p99 of
--singles queries); a batch of --batch names by lookup() and by match(),
which re-indexes everything. Medians of --repeat runs where repeated.

The lookups are timed after the names and the built Matcher are dropped and
the remaining objects frozen out of the garbage collector's way: a lookup
service holds the mapped file, not ten million Python strings, whose
collection would otherwise show in every percentile past the 98th.

    python bench/lookup_bench.py --names 1000000
"""
import argparse
import gc
import os
import statistics
import tempfile
import time

import numpy as np

import generate
import talvik


def timed(f):
    start = time.perf_counter()
    result = f()
    return time.perf_counter() - start, result


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--names", type=int, default=1_000_000)
    ap.add_argument("--singles", type=int, default=2000)
    ap.add_argument("--batch", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=None)
    args = ap.parse_args()

    kind = "census" if generate.have_archives() else "sample"
    sources = generate.load_sources(kind, fetch=False)
    names = generate.generate_names(args.names, sources)
    queries = generate.generate_names(args.singles + args.batch, sources, seed=generate.SEED + 1)
    singles, batch = queries[: args.singles], queries[args.singles :]
    table = generate.make_tradeouts(sources)
    print(f"{args.names:,} indexed names ({kind} sources), {len(table):,} tradeout keys")

    before = resident_bytes()
    build, matcher = timed(lambda: talvik.Matcher(names, table, threads=args.threads))
    index_bytes = resident_bytes() - before
    batch_match = statistics.median(timed(lambda: matcher.match(batch))[0] for _ in range(args.repeat))
    expected = matcher.match(batch).tolist()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.tvx")
        save, _ = timed(lambda: matcher.save(path))
        size = os.path.getsize(path)
        del matcher, names
        gc.collect()
        gc.freeze()
        opens = [timed(lambda: talvik.Matcher.open(path, threads=args.threads))[0] for _ in range(args.repeat)]
        opened = talvik.Matcher.open(path, threads=args.threads)
        first, _ = timed(lambda: opened.lookup(singles[:1]))
        latencies = []
        for q in singles:
            t, _ = timed(lambda: opened.lookup([q]))
            latencies.append(t)
        batch_lookup = statistics.median(timed(lambda: opened.lookup(batch))[0] for _ in range(args.repeat))
        assert opened.lookup(batch).tolist() == expected
    lat = np.array(latencies) * 1e3
    print(f"build {build:.2f} s (index and names' copy: {index_bytes / 2**20:,.0f} MiB resident), save {save:.2f} s, "
          f"file {size / 2**20:,.0f} MiB ({size / index_bytes:.2f}x)")
    print(f"open (median of {args.repeat}) {statistics.median(opens) * 1e3:.2f} ms; "
          f"first lookup, which checks the file, {first * 1e3:.0f} ms")
    print(f"single lookup over {len(singles):,} names: p50 {np.percentile(lat, 50):.3f} ms, "
          f"p99 {np.percentile(lat, 99):.3f} ms, max {lat.max():.2f} ms")
    print(f"batch of {len(batch):,}: lookup {batch_lookup * 1e3:.0f} ms, match (re-indexes) {batch_match * 1e3:.0f} ms, "
          f"lookup / build {batch_lookup / build:.2%}")


if __name__ == "__main__":
    main()

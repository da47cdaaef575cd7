#!/usr/bin/env python3
"""The lookup benchmark's peers: the same job -- index names once, then ask
which indexed names each new name matches -- through dedupe's Gazetteer,
Splink's linking of new records and a DuckDB join. Run by the interpreter
of build/peers-venv (requirements-peers.txt), one peer a process, by
lookup_bench.py; prints one JSON line of seconds and counts.

Every peer reads the same files lookup_bench.py wrote: the indexed names,
the queries (--singles single names first, then the batch) and, for the
DuckDB join, the tradeout table.

  dedupe     Gazetteer on two String fields, given_name (every word but the
             last) and surname (the last word), lower-cased without
             punctuation, as dedupe's gazetteer example cleans them. Trained
             from labelled pairs of generated people (bench/quality/people.py,
             --training: a CSV of entity, given_name, surname): every pair of
             records of one person, up to 250, as "match", as many pairs of
             different people as "distinct", given as a training file to
             prepare_training (dedupe's way to bring existing labels; no
             active learning), then train(recall=0.9). Timed apart:
             training, index(indexed names), search() of the batch and of
             one name at a time, threshold 0.5, every match above it
             (n_matches=None).
  splink     The quality benchmark's Splink model (quality/splink_runner.py:
             NameComparison on both fields with term frequencies, trained
             without labels) on the indexed names; the term-frequency tables
             computed once ("index"); then
             linker.inference.predict_between(indexed, queries), Splink 5's
             linking of new records to existing ones without linking the
             existing among themselves (5.0.0 has no
             find_matches_to_new_records), at match probability 0.01 as in
             the quality benchmark.
  duckdb     The candidates the rule starts from, not its answer: (query,
             indexed name) where at least two word positions of the query
             each find a word of the name, the same word or one of its
             tradeouts either way. Tables: the indexed names' distinct words,
             the tradeouts as (word, alternative) both ways, the queries'
             words by position; a join and a GROUP BY ... HAVING. "index" is
             loading the tables, "add" inserting the new names' words.

Usage: lookup_peers.py PEER --names F --queries F --singles K --table F
       [--training F] [--single-limit M] [--threads T]
"""
import argparse
import csv
import io
import json
import random
import re
import sys
import time

SINGLE_LIMIT = {"dedupe": 100, "splink": 50, "duckdb": 200}   # singles timed per peer: each costs a pass
DEDUPE_LABELS = 250
DEDUPE_THRESHOLD = 0.5
DEDUPE_RECALL = 0.9
DEDUPE_MEMORY = 8 << 30     # address space dedupe may take
SPLINK_FLOOR = 0.01
_PUNCT = re.compile(r"[^\w\s]|_")


def clean(text):
    return " ".join(_PUNCT.sub(" ", text.lower()).split())


def fields(name):
    """(given_name, surname) of a full name: every word but the last, and the last."""
    words = clean(name).split()
    return (" ".join(words[:-1]) or None, words[-1] if words else None)


def percentiles(seconds):
    s = sorted(seconds)
    pick = lambda p: s[min(len(s) - 1, round(p / 100 * (len(s) - 1)))]  # noqa: E731
    return {"p50_ms": pick(50) * 1e3, "p99_ms": pick(99) * 1e3, "count": len(s)}


def timed(f):
    start = time.perf_counter()
    out = f()
    return time.perf_counter() - start, out


def stage(what):
    """Progress on stderr: the slow peers take minutes per stage."""
    print(f"[{time.strftime('%H:%M:%S')}] {what}", file=sys.stderr, flush=True)


# --- dedupe ------------------------------------------------------------------

def training_pairs(path, labels, seed=1):
    """Labelled pairs from generated people: (match, distinct, records)."""
    with open(path, encoding="utf-8", newline="") as f:
        rows = [(int(r["entity"]), {"given_name": clean(r["given_name"]) or None,
                                    "surname": clean(r["surname"]) or None}) for r in csv.DictReader(f)]
    by_entity = {}
    for e, rec in rows:
        by_entity.setdefault(e, []).append(rec)
    match = [(a, b) for recs in by_entity.values() for k, a in enumerate(recs) for b in recs[k + 1:]]
    rng = random.Random(seed)
    rng.shuffle(match)
    match = match[:labels]
    distinct = []
    while len(distinct) < len(match):
        (e1, a), (e2, b) = rng.sample(rows, 2)
        if e1 != e2:
            distinct.append((a, b))
    return match, distinct, [rec for _, rec in rows]


def run_dedupe(indexed, singles, batch, added, args):
    import dedupe
    match, distinct, records = training_pairs(args.training, DEDUPE_LABELS)
    start = time.perf_counter()
    variables = [dedupe.variables.String("given_name", has_missing=True),
                 dedupe.variables.String("surname", has_missing=True)]
    # One process: dedupe's pool (num_cores >= 2) reads every block of
    # candidate pairs ahead of the scorers, and 10,000 queries against 20,000
    # names then held over 20 GB.
    gazetteer = dedupe.Gazetteer(variables, num_cores=1)
    half = len(records) // 2
    labels = io.StringIO()
    json.dump({"match": match, "distinct": distinct}, labels, cls=dedupe.serializer.TupleEncoder)
    labels.seek(0)
    gazetteer.prepare_training(dict(enumerate(records[:half])), dict(enumerate(records[half:])),
                               training_file=labels)
    stage("dedupe: training")
    # recall 0.9, not train()'s 1.0: covering every labelled match (swapped
    # and missing fields among them) makes dedupe block on "has a surname",
    # every query against every name, and 1,000 queries against 20,000 names
    # were not done in 19 minutes.
    gazetteer.train(recall=DEDUPE_RECALL)
    train_s = time.perf_counter() - start
    as_records = lambda names, base: {base + k: dict(zip(("given_name", "surname"), fields(n)))  # noqa: E731
                                      for k, n in enumerate(names)}
    stage("dedupe: index")
    index_s, _ = timed(lambda: gazetteer.index(as_records(indexed, 0)))
    stage("dedupe: search")
    base = len(indexed)
    search = lambda names: gazetteer.search(as_records(names, base), threshold=DEDUPE_THRESHOLD,  # noqa: E731
                                            n_matches=None)
    batch_s, found = timed(lambda: search(batch))
    singles_s = [timed(lambda: search([q]))[0] for q in singles]
    add_s = None
    if added:
        add_s, _ = timed(lambda: (gazetteer.index(as_records(added, base + len(batch) + 1)), search(singles[:1])))
    return {"train_s": train_s, "index_s": index_s, "add_s": add_s, "batch_s": batch_s, "single": percentiles(singles_s),
            "pairs": sum(len(hits) for _, hits in found), "labels": {"match": len(match), "distinct": len(distinct)},
            "version": dedupe_version()}


def dedupe_version():
    from importlib.metadata import version
    return version("dedupe")


# --- Splink ------------------------------------------------------------------

def run_splink(indexed, singles, batch, added, args):
    import duckdb
    import pyarrow as pa
    import splink
    from splink import DuckDBAPI, Linker

    from quality import splink_runner

    def table(names, base):
        given, surname = zip(*map(fields, names)) if names else ((), ())
        return pa.table({"unique_id": pa.array(range(base, base + len(names)), pa.int64()),
                         "given_name": pa.array(given, pa.string()), "surname": pa.array(surname, pa.string())})

    con = duckdb.connect()
    if args.threads:
        con.execute(f"SET threads = {int(args.threads)}")
    db = DuckDBAPI(con)
    def load():
        frame = db.register(table(indexed, 0), dataset_display_name="indexed")
        linker = Linker(frame, splink_runner.settings(False), log_level="WARNING")
        for column in ("given_name", "surname"):
            linker.table_management.compute_tf_table(column)
        return frame, linker
    index_s, (frame, linker) = timed(load)
    stage("splink: training")
    train_s, _ = timed(lambda: splink_runner.train(linker))
    stage("splink: search")
    base = len(indexed)

    def find(names, key):
        queries = db.register(table(names, base), dataset_display_name=f"queries_{key}")
        predictions = linker.inference.predict_between(frame, queries, threshold_match_probability=SPLINK_FLOOR,
                                                       warning_mode="never")
        [(n,)] = con.sql(f"SELECT count(*) FROM {predictions.physical_name}").fetchall()
        predictions.drop_table_from_database_and_remove_from_cache()
        return n
    batch_s, pairs = timed(lambda: find(batch, "batch"))
    singles_s = [timed(lambda: find([q], k))[0] for k, q in enumerate(singles)]
    return {"train_s": train_s, "index_s": index_s, "batch_s": batch_s, "single": percentiles(singles_s),
            "pairs": pairs, "version": splink.__version__, "duckdb": duckdb.__version__}


# --- DuckDB ------------------------------------------------------------------

CANDIDATES = """
WITH found AS (
    SELECT q, pos, word AS alt FROM {queries}
    UNION
    SELECT q.q, q.pos, t.alt FROM {queries} q JOIN alternatives t ON t.word = q.word
)
SELECT f.q, i.row
FROM found f
JOIN indexed i ON i.word = f.alt
GROUP BY f.q, i.row
HAVING count(DISTINCT f.pos) >= 2
"""


def words(name):
    return [w for w in name.split(" ") if w]


def run_duckdb(indexed, singles, batch, added, args):
    import duckdb
    import pyarrow as pa
    with open(args.table, encoding="utf-8") as f:
        tradeouts = json.load(f)
    con = duckdb.connect()
    if args.threads:
        con.execute(f"SET threads = {int(args.threads)}")

    def load():
        rows, ws = [], []
        for r, name in enumerate(indexed):
            for w in dict.fromkeys(words(name)):
                rows.append(r)
                ws.append(w)
        con.register("indexed_in", pa.table({"row": pa.array(rows, pa.int32()), "word": pa.array(ws, pa.string())}))
        con.execute("CREATE TABLE indexed AS SELECT * FROM indexed_in")
        pairs = {(k, v) for k, vs in tradeouts.items() for v in vs}
        pairs |= {(v, k) for k, v in pairs}
        a, b = zip(*pairs) if pairs else ((), ())
        con.register("alternatives_in", pa.table({"word": pa.array(a, pa.string()), "alt": pa.array(b, pa.string())}))
        con.execute("CREATE TABLE alternatives AS SELECT * FROM alternatives_in")
        con.unregister("indexed_in")
        con.unregister("alternatives_in")
    index_s, _ = timed(load)

    def query_table(names):
        qs, pos, ws = [], [], []
        for q, name in enumerate(names):
            for p, w in enumerate(words(name)):
                qs.append(q)
                pos.append(p)
                ws.append(w)
        return pa.table({"q": pa.array(qs, pa.int32()), "pos": pa.array(pos, pa.int32()),
                         "word": pa.array(ws, pa.string())})

    def find(names):
        con.register("queries", query_table(names))
        out = con.execute(CANDIDATES.format(queries="queries")).fetchall()
        con.unregister("queries")
        return out
    batch_s, found = timed(lambda: find(batch))
    singles_s = [timed(lambda: find([q]))[0] for q in singles]

    def add():
        base = len(indexed)
        rows = [(base + r, w) for r, name in enumerate(added) for w in dict.fromkeys(words(name))]
        con.register("added_in", pa.table({"row": pa.array([r for r, _ in rows], pa.int32()),
                                            "word": pa.array([w for _, w in rows], pa.string())}))
        con.execute("INSERT INTO indexed SELECT * FROM added_in")
        con.unregister("added_in")
        return find(singles[:1])
    add_s, _ = timed(add)
    return {"index_s": index_s, "add_s": add_s, "batch_s": batch_s, "single": percentiles(singles_s), "pairs": len(found),
            "version": duckdb.__version__, "candidates": sorted(found) if args.pairs_out else None}


PEERS = {"dedupe": run_dedupe, "splink": run_splink, "duckdb": run_duckdb}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("peer", choices=sorted(PEERS))
    ap.add_argument("--names", required=True)
    ap.add_argument("--queries", required=True)
    ap.add_argument("--singles", type=int, required=True, help="the first K queries are the single names")
    ap.add_argument("--table", help="the tradeout table (JSON), for duckdb")
    ap.add_argument("--training", help="labelled people (CSV of entity, given_name, surname), for dedupe")
    ap.add_argument("--added", help="names to add after the searches: add, then one single search")
    ap.add_argument("--single-limit", type=int, help="time at most this many of the singles")
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--pairs-out", help="duckdb: write the candidate pairs here as JSON")
    args = ap.parse_args(argv)
    if args.peer == "dedupe" and not args.training:
        sys.exit("dedupe needs --training")
    if args.peer == "duckdb" and not args.table:
        sys.exit("duckdb needs --table")
    read = lambda p: open(p, encoding="utf-8").read().splitlines()  # noqa: E731
    indexed, queries = read(args.names), read(args.queries)
    limit = min(args.single_limit or SINGLE_LIMIT[args.peer], args.singles)
    singles, batch = queries[:limit], queries[args.singles:]
    added = read(args.added) if args.added else []
    if args.peer == "dedupe":     # a clean MemoryError rather than the machine's OOM killer
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (DEDUPE_MEMORY, DEDUPE_MEMORY))
    out = PEERS[args.peer](indexed, singles, batch, added, args)
    candidates = out.pop("candidates", None)
    if args.pairs_out:
        with open(args.pairs_out, "w") as f:
            json.dump(candidates, f)
    out.update(peer=args.peer, n=len(indexed), batch=len(batch), python=sys.version.split()[0])
    print(json.dumps(out))


if __name__ == "__main__":
    main()

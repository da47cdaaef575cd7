#!/usr/bin/env python3
"""Looking names up in a saved index, against re-indexing them with match(),
and the same job through the peers that offer it.

At each size N, on generated names (census frequencies when the archives are
cached, the bundled sample otherwise) and generate.py's tradeout table:
  talvik: the build (the rebuild a lookup saves), its resident memory, the
    save and the file's size; open() (median of --repeat); the first lookup,
    which checks the file; single-name lookups (p50, p99 of --singles
    queries); a batch of --batch names by lookup() and by match(), which
    re-indexes everything (medians of --repeat), their pairs compared; and
    add() of --add new names followed by one single lookup (median of
    --repeat, each on a freshly opened, already checked index), whose pairs
    with the added names are checked against a Matcher of those alone.
  peers (lookup_peers.py, on build/peers-venv's Python), each at its own
    size (PEER_SIZES, or --peer-size for all), where talvik runs too: dedupe's Gazetteer, Splink's linking of new
    records, and a DuckDB join giving the rule's candidates (checked to hold
    every pair talvik finds).
Each measurement runs in a fresh process, one at a time.

The lookups are timed after the names and the built Matcher are dropped and
the remaining objects frozen out of the garbage collector's way: a lookup
service holds the mapped file, not ten million Python strings, whose
collection would otherwise show in every percentile past the 98th.

Writes lookup.json (every raw figure) and lookup.md to --out (default
bench/results). Arguments it does not know (bench.py's, through `make bench
BENCH_ARGS=...`) are ignored.
Usage: lookup_bench.py [--quick] [--sizes N,N] [--peer-size N] [--peers p,p] [--out DIR]
"""
import argparse
import datetime
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PEERS_PYTHON = ROOT / "build" / "peers-venv" / "bin" / "python"
PEERS = ("dedupe", "splink", "duckdb")

SIZES = (1_000_000, 10_000_000)
# The size each peer runs at (talvik runs there too): what each manages on
# two shared cores in minutes, not hours.
PEER_SIZES = {"dedupe": 20_000, "splink": 100_000, "duckdb": 100_000}
QUICK_SIZES = (3_000,)
PEER_MINUTES = 20            # a peer still running then is stopped and reported so
TRAINING_PEOPLE = 2_000     # labelled records of bench/quality/people.py for dedupe's training
# The goals for a saved index of 10 million names, checked at the largest size.
TARGETS = {"open_ms": 50, "single_p50_ms": 1, "single_p99_ms": 10, "batch_over_build": 0.01,
           "file_over_memory": 1.3, "add_ms": 10}


def timed(f):
    start = time.perf_counter()
    result = f()
    return time.perf_counter() - start, result


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def read_lines(path):
    return Path(path).read_text(encoding="utf-8").splitlines()


# --- the talvik worker: one size, in a fresh process ----------------------------

def worker_talvik(args):
    import talvik
    names, queries, added = read_lines(args.names), read_lines(args.queries), read_lines(args.added)
    table = json.loads(Path(args.table).read_text(encoding="utf-8"))
    singles, batch = queries[:args.singles], queries[args.singles:]
    n, repeat, threads = len(names), args.repeat, args.threads

    before = resident_bytes()
    build, matcher = timed(lambda: talvik.Matcher(names, table, threads=threads))
    index_bytes = resident_bytes() - before
    # The rebuild a lookup saves is a median too, as the batch it is set
    # against: one build alone moved the ratio by a sixth from run to run.
    builds = [build] + [timed(lambda: talvik.Matcher(names, table, threads=threads))[0] for _ in range(repeat - 1)]
    build = statistics.median(builds)
    match_s = [timed(lambda: matcher.match(batch))[0] for _ in range(repeat)]
    expected = matcher.match(batch)
    # What the added names alone match, as rows after the indexed ones.
    added_pairs = talvik.Matcher(added, table, threads=threads).match(batch)
    added_pairs[:, 1] += n
    out = {"n": n, "build_s": build, "builds_s": builds, "index_bytes": index_bytes,
           "batch_match_s": statistics.median(match_s)}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.tvx")
        out["save_s"], _ = timed(lambda: matcher.save(path))
        out["file_bytes"] = os.path.getsize(path)
        del matcher, names
        gc.collect()
        gc.freeze()
        out["open_s"] = statistics.median(timed(lambda: talvik.Matcher.open(path, threads=threads))[0]
                                          for _ in range(repeat))
        opened = talvik.Matcher.open(path, threads=threads)
        out["first_lookup_s"], _ = timed(lambda: opened.lookup(singles[:1]))
        latencies = [timed(lambda: opened.lookup([q]))[0] for q in singles]
        out["batches_s"] = [timed(lambda: opened.lookup(batch))[0] for _ in range(repeat)]
        out["batch_lookup_s"] = statistics.median(out["batches_s"])
        got = opened.lookup(batch)
        if not np.array_equal(got, expected):
            raise SystemExit(f"lookup() gave {len(got):,} pairs where match() gave {len(expected):,}")
        out["batch_pairs"] = len(got)
        if args.pairs_out:
            np.save(args.pairs_out, got)
        adds = []
        for _ in range(repeat):
            fresh = talvik.Matcher.open(path, threads=threads)
            fresh.lookup(singles[:1])       # the file's check: paid by open's first lookup, not by add
            t, _ = timed(lambda: (fresh.add(added), fresh.lookup(singles[:1])))
            adds.append(t)
        got = fresh.lookup(batch)
        if not np.array_equal(got[got[:, 1] >= n], added_pairs):
            raise SystemExit("lookup() after add() does not find the added names as a Matcher of them does")
        if not np.array_equal(got[got[:, 1] < n], expected):
            raise SystemExit("lookup() after add() lost or changed pairs with the indexed names")
        out["add_s"] = statistics.median(adds)
    lat = np.array(latencies) * 1e3
    out["single"] = {"p50_ms": float(np.percentile(lat, 50)), "p99_ms": float(np.percentile(lat, 99)),
                     "max_ms": float(lat.max()), "count": len(lat)}
    out["added"], out["batch"] = len(added), len(batch)
    return out


# --- the run ------------------------------------------------------------------

def generate(n, seed, path, args, table=None):
    cmd = [sys.executable, str(HERE / "generate.py"), str(n), "--seed", str(seed), "--source", args.source,
           "--names", str(path)]
    if table:
        cmd += ["--table", str(table)]
    subprocess.run(cmd, check=True)


def run_json(cmd, what, timeout=None):
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        stages = (e.stderr or b"").decode(errors="replace").strip().splitlines()[-1:]
        return {"status": "stopped", "reason": f"{what}: not done in {timeout / 60:.0f} minutes "
                f"({'; last stage ' + stages[0] if stages else 'no stage reported'})"}
    if proc.returncode != 0:
        err = proc.stderr.strip()
        if "Traceback" in err:      # the error, not the warnings printed after it
            err = err[err.rindex("Traceback"):]
            err = "\n".join(line for line in err.splitlines() if not line.startswith(" "))
        return {"status": "failed", "reason": f"{what}: {err[-1500:]}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["status"] = "ok"
    return out


def peer_missing():
    if not PEERS_PYTHON.exists():
        return f"no {PEERS_PYTHON.relative_to(ROOT)} (made by `make peers-deps`)"
    return None


def run_peer(peer, files, args, tmp):
    why = peer_missing()
    if why:
        return {"status": "skipped", "reason": why}
    cmd = [str(PEERS_PYTHON), str(HERE / "lookup_peers.py"), peer, "--names", str(files["names"]),
           "--queries", str(files["queries"]), "--singles", str(args.singles), "--table", str(files["table"]),
           "--training", str(files["training"]), "--added", str(files["added"]), "--threads", str(args.threads)]
    if peer == "duckdb":
        cmd += ["--pairs-out", str(tmp / "candidates.json")]
    out = run_json(cmd, peer, timeout=PEER_MINUTES * 60)
    if peer == "duckdb" and out["status"] == "ok":
        out["talvik_pairs_in_candidates"] = share_within(np.load(files["pairs"]),
                                                         json.loads((tmp / "candidates.json").read_text()))
    return out


def share_within(pairs, candidates):
    """The share of (query, row) pairs that are among the candidates."""
    if len(pairs) == 0:
        return 1.0
    cand = {(int(q), int(r)) for q, r in candidates}
    return sum((int(q), int(r)) in cand for q, r in pairs) / len(pairs)


def measure(n, tmp, args):
    files = {"names": tmp / f"names-{n}.txt", "queries": tmp / "queries.txt", "added": tmp / "added.txt",
             "table": tmp / "table.json", "training": tmp / "training.csv", "pairs": tmp / f"pairs-{n}.npy"}
    generate(n, args.seed, files["names"], args, table=files["table"])
    entry = {"n": n, "load_start": os.getloadavg()[0]}
    cmd = [sys.executable, __file__, "--worker", "talvik", "--names", str(files["names"]),
           "--queries", str(files["queries"]), "--added", str(files["added"]), "--table", str(files["table"]),
           "--singles", str(args.singles), "--repeat", str(args.repeat), "--threads", str(args.threads),
           "--pairs-out", str(files["pairs"])]
    entry["talvik"] = run_json(cmd, "talvik")
    print(f"{n:,} names: talvik {entry['talvik']['status']}", file=sys.stderr)
    entry["peers"] = {}
    for peer in args.peers:
        if args.peer_sizes[peer] == n:
            entry["peers"][peer] = run_peer(peer, files, args, tmp)
            r = entry["peers"][peer]
            print(f"{n:,} names: {peer} {r['status']} {r.get('reason', '')[-300:]}", file=sys.stderr)
    entry["load_end"] = os.getloadavg()[0]
    files["names"].unlink()
    return entry


def verdicts(t):
    """Each goal: (measured, goal, met)."""
    figures = {"open_ms": t["open_s"] * 1e3, "single_p50_ms": t["single"]["p50_ms"],
               "single_p99_ms": t["single"]["p99_ms"], "batch_over_build": t["batch_lookup_s"] / t["build_s"],
               "file_over_memory": t["file_bytes"] / t["index_bytes"], "add_ms": t["add_s"] * 1e3}
    return {k: {"measured": v, "goal": TARGETS[k], "met": v <= TARGETS[k]} for k, v in figures.items()}


# --- the report ---------------------------------------------------------------

def fmt_s(s):
    if s is None:
        return "—"
    return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def fmt_ms(ms):
    return f"{ms:.3g} ms" if ms < 1000 else f"{ms / 1e3:.3g} s"


def mib(b):
    return f"{b / 2**20:,.0f} MiB"


def report(results):
    m = results["machine"]
    lines = [f"Measured {results['date']} on {m['cpu']} ({m['cores']} cores), {results['threads']} threads, "
             f"load average {m['load_start']:.1f} at the start and {m['load_end']:.1f} at the end; "
             f"{results['source']} names from `bench/generate.py` (seed {results['seed']}), "
             f"{results['singles']:,} single lookups, a batch of {results['batch']:,} names, "
             f"{results['added']:,} names added.", "",
             "| system | indexed names | open | single p50 | single p99 | batch | rebuild (index) | batch / rebuild "
             "| file / index memory | add + one lookup | pairs in batch |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for e in results["sizes"]:
        t = e["talvik"]
        if t["status"] != "ok":
            lines.append(f"| talvik | {e['n']:,} | {t['status']}: {t['reason'][-200:]} |" + " |" * 9)
            continue
        lines.append(f"| talvik | {e['n']:,} | {fmt_s(t['open_s'])} | {fmt_ms(t['single']['p50_ms'])} | "
                     f"{fmt_ms(t['single']['p99_ms'])} | {fmt_s(t['batch_lookup_s'])} | {fmt_s(t['build_s'])} | "
                     f"{t['batch_lookup_s'] / t['build_s']:.2%} | {mib(t['file_bytes'])} / {mib(t['index_bytes'])} "
                     f"= {t['file_bytes'] / t['index_bytes']:.2f}x | {fmt_s(t['add_s'])} | {t['batch_pairs']:,} |")
        for peer, r in e["peers"].items():
            if r["status"] != "ok":
                lines.append(f"| {peer} | {e['n']:,} | {r['status']}: {r['reason'][-300:]} |" + " |" * 9)
                continue
            lines.append(f"| {PEER_LABELS[peer]} | {e['n']:,} | — | {fmt_ms(r['single']['p50_ms'])} | "
                         f"{fmt_ms(r['single']['p99_ms'])} | {fmt_s(r['batch_s'])}{batch_of(r, results)} | {fmt_s(r['index_s'])} | "
                         f"{r['batch_s'] / r['index_s']:.0%} | — | {fmt_s(r.get('add_s'))} | {r['pairs']:,} |")
    lines += ["", "Peers keep no file to open; their \"rebuild\" is their index step (dedupe's index(), "
              "Splink's registration and term-frequency tables, DuckDB's tables), training apart; their add is "
              "dedupe's index() of the new names and DuckDB's insert of their words, each then one single "
              "search (Splink has no incremental index):", ""]
    for e in results["sizes"]:
        for peer, r in e["peers"].items():
            if r["status"] == "ok":
                lines.append(f"- {PEER_LABELS[peer]} at {e['n']:,}: " + peer_note(peer, r))
    largest = results["sizes"][-1] if results["sizes"] else None
    if largest and largest["talvik"]["status"] == "ok":
        lines += ["", f"Goals at {largest['n']:,} indexed names:", "", "| goal | measured | met |", "|---|---:|---|"]
        for k, v in verdicts(largest["talvik"]).items():
            shown = f"{v['measured']:.2%}" if k == "batch_over_build" else f"{v['measured']:.3g}"
            lines.append(f"| {GOAL_LABELS[k]} | {shown} | {'yes' if v['met'] else 'no'} |")
    lines += ["", "Talvik's times are medians of " f"{results['repeat']} runs (rebuild, open, batch, add) and percentiles of "
              "every single lookup; a peer's are one run, its singles percentiles over the "
              "single names it timed. Index memory is the resident growth while the Matcher is built "
              "(with the names' copy it keeps); every measurement is a fresh process."]
    return "\n".join(lines) + "\n"


PEER_LABELS = {"dedupe": "dedupe Gazetteer", "splink": "Splink predict_between", "duckdb": "DuckDB join (candidates)"}
GOAL_LABELS = {"open_ms": "open < 50 ms", "single_p50_ms": "single lookup p50 <= 1 ms",
               "single_p99_ms": "single lookup p99 <= 10 ms", "batch_over_build": "batch of 10,000 <= 1% of a rebuild",
               "file_over_memory": "file <= 1.3x index memory", "add_ms": "add 1,000 names + a lookup <= 10 ms"}


def batch_of(r, results):
    return "" if r["batch"] == results["batch"] else f" ({r['batch']:,} names)"


def peer_note(peer, r):
    singles = f"{r['single']['count']} single names timed"
    if peer == "dedupe":
        return (f"dedupe {r['version']}, trained in {fmt_s(r['train_s'])} on {r['labels']['match']:,} match and "
                f"{r['labels']['distinct']:,} distinct labelled pairs (recall 0.9); {singles}; pairs above 0.5.")
    if peer == "splink":
        return (f"Splink {r['version']} on DuckDB {r['duckdb']}, trained (no labels) in {fmt_s(r['train_s'])}; "
                f"{singles}; pairs at match probability 0.01 or more.")
    return (f"DuckDB {r['version']}; {singles}; candidates (two word positions found, tradeouts either way), "
            f"not the rule's answer: {r['talvik_pairs_in_candidates']:.2%} of talvik's pairs are among them.")


def machine_info():
    from bench_groups import platform_cpu
    return {"cpu": platform_cpu(), "cores": os.cpu_count(), "load_start": os.getloadavg()[0]}


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"a smoke run at {QUICK_SIZES} names, peers at that size, "
                    "results to build/bench-quick unless --out")
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], help=f"default {SIZES}")
    ap.add_argument("--peer-size", type=int, help="the size every peer runs at, talvik too (default "
                    + ", ".join(f"{p} {n:,}" for p, n in PEER_SIZES.items()) + ")")
    ap.add_argument("--peers", type=lambda s: [p for p in s.split(",") if p], default=list(PEERS),
                    help="comma-separated, of " + ",".join(PEERS) + "; empty for none")
    ap.add_argument("--singles", type=int, default=2000)
    ap.add_argument("--batch", type=int, default=10_000)
    ap.add_argument("--add", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=os.process_cpu_count() or 1)
    ap.add_argument("--seed", type=int, help="names seed (default generate.SEED)")
    ap.add_argument("--source", choices=("census", "sample"), help="default census when its archives are cached")
    ap.add_argument("--out", type=Path)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    for hidden in ("--names", "--queries", "--added", "--table", "--pairs-out"):
        ap.add_argument(hidden, help=argparse.SUPPRESS)
    args, unknown = ap.parse_known_args(argv)
    if unknown and not args.worker:
        print(f"lookup_bench.py: ignoring {' '.join(unknown)}", file=sys.stderr)
    if bad := set(args.peers) - set(PEERS):
        ap.error(f"unknown peers: {', '.join(sorted(bad))}")
    args.sizes = args.sizes or list(QUICK_SIZES if args.quick else SIZES)
    if args.peer_size is None and args.quick:
        args.peer_size = args.sizes[0]
    args.peer_sizes = {p: args.peer_size or PEER_SIZES[p] for p in args.peers}
    import generate as gen
    if args.seed is None:
        args.seed = gen.SEED
    if args.source is None:
        args.source = "census" if gen.have_archives() else "sample"
    if args.out is None:
        args.out = ROOT / ("build/bench-quick" if args.quick else "bench/results")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        print(json.dumps(worker_talvik(args)))
        return
    sizes = sorted(set(args.sizes) | set(args.peer_sizes.values()))
    results = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
               "machine": machine_info(), "threads": args.threads, "seed": args.seed, "source": args.source,
               "singles": args.singles, "batch": args.batch, "added": args.add, "repeat": args.repeat,
               "peer_sizes": args.peer_sizes, "sizes": []}
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        generate(args.singles + args.batch, args.seed + 1, tmp / "queries.txt", args)
        generate(args.add, args.seed + 2, tmp / "added.txt", args)
        if "dedupe" in args.peers:
            from quality import people
            people.write_csv(tmp / "training.csv", people.load(TRAINING_PEOPLE, source=args.source))
        for n in sizes:
            results["sizes"].append(measure(n, tmp, args))
    results["machine"]["load_end"] = os.getloadavg()[0]
    for e in results["sizes"]:
        if e["talvik"]["status"] == "ok":
            e["talvik"]["goals"] = verdicts(e["talvik"])
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "lookup.json").write_text(json.dumps(results, indent=1) + "\n")
    (args.out / "lookup.md").write_text(report(results))
    print(f"\n{report(results)}\nwritten to {args.out}")
    if any(e["talvik"]["status"] != "ok" for e in results["sizes"]):
        sys.exit(1)


if __name__ == "__main__":
    main()

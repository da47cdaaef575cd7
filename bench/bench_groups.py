#!/usr/bin/env python3
"""Matcher.groups() against Matcher.count() on census names, and what the
groups of those names look like.

At each size, on the names and table of generate.py:
  time: groups() and count() on one Matcher, alternating (which goes first
    swaps every run), medians of several runs, and their ratio;
  memory: peak resident memory (ru_maxrss) of a fresh process that builds
    the Matcher, against one that builds it and runs groups(): the extra
    bytes per name; and, within the second, the peak of groups() itself over
    the resident memory before it (the peak is reset first);
  groups: how many hold 1, 2, 3-5, 6-10, 11-100 and more names, the largest,
    and how many are bridged only through an initial: groups of the full
    table that fall apart into two or more once every one-letter word is
    taken out of the table (one-letter keys, and one-letter words in the
    lists).

Writes groups.json (every raw figure) and groups.md to --out (default
bench/results). Arguments it does not know (bench.py's, through `make bench
BENCH_ARGS=...`) are ignored.
Usage: bench_groups.py [--quick | --large | --sizes N,N,...] [--threads T] [--out DIR]
"""
import argparse
import datetime
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SIZES = (100_000, 1_000_000)
LARGE_SIZES = (10_000_000,)
QUICK_SIZES = (2_000,)
# (smallest, largest or None, label) of each bucket of group sizes.
BUCKETS = ((1, 1, "1"), (2, 2, "2"), (3, 5, "3-5"), (6, 10, "6-10"), (11, 100, "11-100"), (101, None, ">100"))


# --- what the groups look like ---------------------------------------------

def without_initials(table):
    """The table with every one-letter word taken out: keys and list words."""
    return {k: [w for w in v if len(w) != 1] for k, v in table.items() if len(k) != 1}


def size_histogram(labels):
    """Groups per bucket of size, the largest group, and the group count."""
    sizes = np.bincount(labels, minlength=len(labels))
    sizes = sizes[sizes > 0]
    buckets = {label: int(np.count_nonzero((sizes >= lo) & (sizes <= (hi or sizes.max(initial=0)))))
               for lo, hi, label in BUCKETS}
    return {"buckets": buckets, "largest": int(sizes.max(initial=0)), "groups": int(len(sizes))}


def bridged_groups(full, reduced):
    """How many groups of `full` split into two or more groups of `reduced`
    (a finer grouping of the same names: fewer tradeouts, fewer matches)."""
    full, reduced = np.asarray(full, dtype=np.int64), np.asarray(reduced, dtype=np.int64)
    pieces = np.unique(full * len(full) + reduced)  # each (full group, reduced group) once
    per_group = np.bincount(pieces // max(len(full), 1), minlength=len(full))
    return int(np.count_nonzero(per_group > 1))


# --- workers: each in a fresh process ---------------------------------------

def load(names_path, table_path):
    names = Path(names_path).read_text(encoding="ascii").splitlines()
    table = json.loads(Path(table_path).read_text(encoding="ascii"))
    return names, table


def status_kib(field):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+)", f.read(), re.M).group(1))


def worker_time(names, table, threads, runs):
    import talvik
    talvik.Matcher(names[:50], table, threads=threads).groups()  # imports, first calls: not timed
    m = talvik.Matcher(names, table, threads=threads)
    times = {"count": [], "groups": []}
    labels = pairs = None
    for r in range(runs):
        order = ("count", "groups") if r % 2 == 0 else ("groups", "count")
        for what in order:
            start = time.perf_counter()
            result = m.count() if what == "count" else m.groups()
            times[what].append(time.perf_counter() - start)
            if what == "count":
                pairs = result
            else:
                labels = result
    reduced = talvik.Matcher(names, without_initials(table), threads=threads).groups()
    return {"times_s": times, "pairs": pairs, "histogram": size_histogram(labels),
            "histogram_without_initials": size_histogram(reduced),
            "bridged_by_initials": bridged_groups(labels, reduced),
            "one_letter_list_words": sum(len(w) == 1 for v in table.values() for w in v),
            "one_letter_keys": sum(len(k) == 1 for k in table)}


def worker_memory(names, table, threads, with_groups):
    import talvik
    before = status_kib("VmRSS")
    m = talvik.Matcher(names, table, threads=threads)
    out = {"rss_before_kib": before, "rss_index_kib": status_kib("VmRSS")}
    if with_groups:
        try:  # the peak from here on only: what groups() itself adds
            Path("/proc/self/clear_refs").write_text("5")
            out["groups_peak_kib"] = None
        except OSError:
            pass
        m.groups()
        if "groups_peak_kib" in out:
            out["groups_peak_kib"] = status_kib("VmHWM")
    out["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return out


def run_worker(mode, names_path, table_path, threads, runs=1):
    cmd = [sys.executable, __file__, "--worker", mode, "--names", str(names_path), "--table", str(table_path),
           "--threads", str(threads), "--runs", str(runs)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"{mode} worker failed: {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- the run ----------------------------------------------------------------

def runs_for(n, quick):
    return 2 if quick else 15 if n <= 100_000 else 7 if n <= 1_000_000 else 1


def memory_runs_for(n, quick):
    # Two fresh processes' peaks differ by a few MiB of chance: small sizes
    # take the median of several.
    return 1 if quick or n > 1_000_000 else 3


def measure(n, tmp, args):
    names_path, table_path = tmp / f"names-{n}.txt", tmp / "table.json"
    subprocess.run([sys.executable, str(HERE / "generate.py"), str(n), "--seed", str(args.seed), "--source",
                    args.source, "--names", str(names_path), "--table", str(table_path)], check=True)
    runs = runs_for(n, args.quick)
    entry = {"n": n, "runs": runs, "load_start": os.getloadavg()[0]}
    entry.update(run_worker("time", names_path, table_path, args.threads, runs))
    entry["median_s"] = {k: statistics.median(v) for k, v in entry["times_s"].items()}
    entry["ratio"] = entry["median_s"]["groups"] / entry["median_s"]["count"]
    entry["memory_build"], entry["memory_groups"] = [], []
    for _ in range(memory_runs_for(n, args.quick)):
        entry["memory_build"].append(run_worker("memory-build", names_path, table_path, args.threads))
        entry["memory_groups"].append(run_worker("memory-groups", names_path, table_path, args.threads))
    entry["load_end"] = os.getloadavg()[0]
    names_path.unlink()
    return entry


def per_name(entry):
    """Bytes per name, medians over the fresh processes: what groups() adds
    over a build alone's peak, and over the resident memory of the built
    Matcher (from its own reset peak); and the Matcher itself."""
    b, g, n = entry["memory_build"], entry["memory_groups"], entry["n"]
    med = statistics.median
    out = {"over_build_peak": (med(r["maxrss_kib"] for r in g) - med(r["maxrss_kib"] for r in b)) * 1024 / n,
           "index_bytes_per_name": med(r["rss_index_kib"] - r["rss_before_kib"] for r in b) * 1024 / n}
    if all(r.get("groups_peak_kib") is not None for r in g):
        out["over_index"] = med(r["groups_peak_kib"] - r["rss_index_kib"] for r in g) * 1024 / n
    return out


# --- the report ---------------------------------------------------------------

def fmt_time(s):
    return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def report(results):
    lines = [f"Measured {results['date']} on {results['cpu']} ({results['cores']} cores), "
             f"{results['threads']} threads, census names from `bench/generate.py` "
             f"(seed {results['seed']}, source {results['source']}).", "",
             "| names | pairs | count() | groups() | groups / count | peak memory over a build alone "
             "| groups() peak over the built Matcher | the Matcher itself | load at start, end |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for e in results["sizes"]:
        p = per_name(e)
        over_index = f"{p['over_index']:.1f} B/name" if "over_index" in p else "—"
        lines.append(f"| {e['n']:,} | {e['pairs']:,} | {fmt_time(e['median_s']['count'])} | "
                     f"{fmt_time(e['median_s']['groups'])} | {e['ratio']:.2f} | {p['over_build_peak']:.1f} B/name | "
                     f"{over_index} | {p['index_bytes_per_name']:.0f} B/name | "
                     f"{e['load_start']:.1f}, {e['load_end']:.1f} |")
    lines += ["", "Group sizes (groups of each size; the largest; groups bridged only through an initial, that "
              "is split into 2+ groups once one-letter words leave the table):", "",
              "| names | groups | " + " | ".join(b[2] for b in BUCKETS) + " | largest | bridged by an initial |",
              "|---:|---:|" + "---:|" * len(BUCKETS) + "---:|---:|"]
    for e in results["sizes"]:
        h = e["histogram"]
        lines.append(f"| {e['n']:,} | {h['groups']:,} | " + " | ".join(f"{h['buckets'][b[2]]:,}" for b in BUCKETS)
                     + f" | {h['largest']:,} | {e['bridged_by_initials']:,} |")
    lines += ["", f"Times: medians of {', '.join(str(e['runs']) for e in results['sizes'])} alternating runs. "
              "Memory: medians of "
              f"{', '.join(str(len(e['memory_groups'])) for e in results['sizes'])} pairs of fresh processes; "
              "the peak of groups() over the built Matcher is read in one process, its peak reset just before "
              "the call."]
    return "\n".join(lines) + "\n"


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"a smoke run at {QUICK_SIZES} names unless --sizes, "
                    "results to build/bench-quick unless --out")
    size = ap.add_mutually_exclusive_group()
    size.add_argument("--large", action="store_true", help=f"add {LARGE_SIZES} to the default sizes")
    size.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], help="explicit sizes, N,N,...")
    ap.add_argument("--threads", type=int, default=os.process_cpu_count() or 1)
    ap.add_argument("--seed", type=int, help="names seed (default generate.SEED)")
    ap.add_argument("--source", choices=("census", "sample"), default="census")
    ap.add_argument("--out", type=Path)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--names", help=argparse.SUPPRESS)
    ap.add_argument("--table", help=argparse.SUPPRESS)
    ap.add_argument("--runs", type=int, default=1, help=argparse.SUPPRESS)
    args, unknown = ap.parse_known_args(argv)
    if unknown and not args.worker:
        print(f"bench_groups.py: ignoring {' '.join(unknown)}", file=sys.stderr)
    args.sizes = sorted(set(args.sizes or (SIZES + LARGE_SIZES if args.large else
                                           QUICK_SIZES if args.quick else SIZES)))
    if args.seed is None:
        from generate import SEED
        args.seed = SEED
    if args.out is None:
        args.out = ROOT / ("build/bench-quick" if args.quick else "bench/results")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        names, table = load(args.names, args.table)
        if args.worker == "time":
            out = worker_time(names, table, args.threads, args.runs)
        else:
            out = worker_memory(names, table, args.threads, args.worker == "memory-groups")
        print(json.dumps(out))
        return
    results = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
               "cpu": platform_cpu(), "cores": os.cpu_count(), "threads": args.threads, "seed": args.seed,
               "source": args.source, "sizes": []}
    with tempfile.TemporaryDirectory() as tmp:
        for n in args.sizes:
            entry = measure(n, Path(tmp), args)
            results["sizes"].append(entry)
            print(f"{n:,} names: groups/count {entry['ratio']:.2f}, "
                  f"{per_name(entry)['over_build_peak']:.1f} B/name over a build", file=sys.stderr)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "groups.json").write_text(json.dumps(results, indent=1) + "\n")
    (args.out / "groups.md").write_text(report(results))
    print(f"\n{report(results)}\nwritten to {args.out}")


def platform_cpu():
    try:
        with open("/proc/cpuinfo") as f:
            return re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M).group(1).strip()
    except (OSError, AttributeError):
        import platform
        return platform.processor() or "unknown CPU"


if __name__ == "__main__":
    main()

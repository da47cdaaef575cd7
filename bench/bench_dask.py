#!/usr/bin/env python3
"""talvik.dask.find_pairs on a local two-worker cluster against one process.

On one machine the cluster has no more cores than the process, so this
measures what the distribution costs, not what it gains: sending the names
to every worker, each worker building its own index, the tasks, and the
pairs coming back. Side by side, alternating, on the same census names
(generate.py) and tradeout table:
  one process: talvik.find_pairs (index and search, all cores), and
    Matcher.pairs on an index built before (the search alone);
  the cluster: talvik.dask.find_pairs with the names as a list of str, and
    as a pyarrow array (read in place, and far cheaper to send);
    LocalCluster(n_workers=W, threads_per_worker=1, processes=True).
Every result is checked equal to the single process's. Then each form of the
names runs once more on a fresh cluster, whose workers' peak resident memory
(VmHWM) is read before and after.

Writes dask.json (every raw figure) and dask.md to --out.
Usage: bench_dask.py [--n N] [--runs R] [--workers W] [--quick] [--out DIR]
"""
import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SEED = 20240601


def peak_rss_kb():
    """The peak resident size of this process's own image (VmHWM), in KiB:
    unlike ru_maxrss it does not carry over what a forked parent had."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def generate(n, tmp, source):
    names_path, table_path = tmp / "names.txt", tmp / "table.json"
    subprocess.run([sys.executable, str(HERE / "generate.py"), str(n), "--seed", str(SEED), "--source", source,
                    "--names", str(names_path), "--table", str(table_path)], check=True)
    names = names_path.read_text(encoding="ascii").splitlines()
    return names, json.loads(table_path.read_text(encoding="ascii"))


def warm_up(client, names, arrow, table):
    """Imports (pyarrow too) and connections, on every worker: not timed."""
    import talvik.dask

    for small in (names[:50], arrow[:50]):
        talvik.dask.find_pairs(small, table, client=client)


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def run(args):
    import numpy as np
    import pyarrow as pa
    import dask
    from distributed import Client, LocalCluster

    import talvik
    import talvik.dask

    with tempfile.TemporaryDirectory() as tmp:
        names, table = generate(args.n, Path(tmp), args.source)
    arrow = pa.array(names, type=pa.string())
    str_bytes = sum(map(sys.getsizeof, names)) + sys.getsizeof(names)
    threads = len(os.sched_getaffinity(0))
    matcher = talvik.Matcher(names, table, threads=threads)
    want = matcher.pairs()
    contenders = {
        "local": ("talvik.find_pairs, one process", lambda c: talvik.find_pairs(names, table, threads=threads)),
        "local-search": ("Matcher.pairs, index built before", lambda c: matcher.pairs()),
        "dask": ("talvik.dask.find_pairs, list of str", lambda c: talvik.dask.find_pairs(names, table, client=c)),
        "dask-arrow": ("talvik.dask.find_pairs, pyarrow array",
                       lambda c: talvik.dask.find_pairs(arrow, table, client=c)),
    }
    times = {key: [] for key in contenders}

    def cluster():
        # Without the workers' profiler: see docs/dask.md.
        with dask.config.set({"distributed.worker.profile.enabled": False}):
            return LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None,
                                worker_dashboard_address=None)

    with cluster() as local, Client(local) as client:
        warm_up(client, names, arrow, table)
        for _ in range(args.runs):
            for key, (_, call) in contenders.items():
                seconds, got = timed(lambda: call(client))
                if not np.array_equal(got, want):
                    raise SystemExit(f"{key}: {len(got):,} pairs, not the {len(want):,} of Matcher.pairs")
                times[key].append(seconds)
                del got
        partitions = talvik.dask.partitions_for(client, len(names))
    # Each form of the names once more on a fresh cluster, for its peak memory alone.
    memory = {}
    for key in ("dask", "dask-arrow"):
        with cluster() as local, Client(local) as client:
            warm_up(client, names, arrow, table)
            start = client.run(peak_rss_kb)
            contenders[key][1](client)
            peak = client.run(peak_rss_kb)
        memory[key] = {"start_kb": sorted(start.values()), "peak_kb": sorted(peak.values())}
    medians = {key: statistics.median(t) for key, t in times.items()}
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": {"cores": os.cpu_count(), "usable_cores": threads, "python": sys.version.split()[0],
                    "load_end": os.getloadavg()[0]},
        "versions": {p: _version(p) for p in ("talvik", "dask", "distributed", "numpy", "pyarrow")},
        "n": len(names), "source": args.source, "pairs": len(want), "runs": args.runs, "workers": args.workers,
        "threads_per_worker": 1, "partitions": partitions, "local_threads": threads,
        "names_as_str_bytes": str_bytes, "names_as_arrow_bytes": arrow.nbytes,
        "contenders": {key: label for key, (label, _) in contenders.items()},
        "times_s": times, "median_s": medians,
        "overhead_vs_local": {k: medians[k] / medians["local"] for k in ("dask", "dask-arrow")},
        "worker_memory": memory,
    }


def _version(package):
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(package)
    except PackageNotFoundError:
        return None


def fmt_time(s):
    return f"{s * 1000:.0f} ms" if s < 1 else f"{s:.2f} s"


def report(r):
    mib = 1024
    per_million = 1_000_000 / r["n"]
    lines = [
        f"Measured {r['date']} on {r['machine']['usable_cores']} cores, Python {r['machine']['python']}, "
        f"talvik {r['versions']['talvik']}, dask {r['versions']['dask']}; {r['n']:,} {r['source']} names "
        f"(bench/generate.py, seed {SEED}), {r['pairs']:,} pairs; medians of {r['runs']} runs, alternating.",
        "",
        f"The cluster: LocalCluster, {r['workers']} worker processes of 1 thread each, {r['partitions']} "
        f"row ranges (the default); one process: {r['local_threads']} threads. One machine, so this is the "
        "overhead of distributing, not a speed-up.",
        "",
        "| call | median | runs | × one process |",
        "|---|---:|---|---:|",
    ]
    for key, label in r["contenders"].items():
        runs = ", ".join(fmt_time(t) for t in r["times_s"][key])
        ratio = r["median_s"][key] / r["median_s"]["local"]
        lines.append(f"| {label} | {fmt_time(r['median_s'][key])} | {runs} | {ratio:.2f} |")
    lines += [
        "",
        "Peak resident memory (VmHWM) of each worker in one run on a fresh cluster, and its growth over the "
        "worker before the run, also per million names:",
        "",
        "| names sent as | peak, each worker | growth | growth per million names |",
        "|---|---:|---:|---:|",
    ]
    for key, m in r["worker_memory"].items():
        grown = max(p - s for p, s in zip(m["peak_kb"], m["start_kb"]))
        peaks = ", ".join(f"{p / mib:,.0f} MiB" for p in m["peak_kb"])
        lines.append(f"| {r['contenders'][key].split(', ')[-1]} | {peaks} | {grown / mib:,.0f} MiB | "
                     f"{grown / mib * per_million:,.0f} MiB |")
    lines += [
        "",
        f"The names as Python str take {r['names_as_str_bytes'] / 2**20:,.0f} MiB, as an Arrow array "
        f"{r['names_as_arrow_bytes'] / 2**20:,.0f} MiB. Every worker holds all the names and the whole index.",
    ]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000, help="names (default 1,000,000)")
    ap.add_argument("--runs", type=int, default=3, help="runs of each call (default 3)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    ap.add_argument("--source", choices=("census", "sample"), default="census")
    ap.add_argument("--quick", action="store_true", help="a smoke run: 2,000 names from the bundled sample, "
                    "2 runs, results to build/bench-quick unless --out")
    ap.add_argument("--out", type=Path, help="results folder (default bench/results)")
    args = ap.parse_args()
    if args.quick:
        args.n, args.runs, args.source = 2_000, 2, "sample"
    out = args.out or (ROOT / "build" / "bench-quick" if args.quick else HERE / "results")
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise SystemExit("bench_dask.py needs dask's distributed: pip install -r requirements-test.txt") from None
    results = run(args)
    out.mkdir(parents=True, exist_ok=True)
    (out / "dask.json").write_text(json.dumps(results, indent=1) + "\n")
    text = report(results)
    (out / "dask.md").write_text(text)
    print(text, end="")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""parallel_find_matches against what users would pick instead, side by side.

Contenders, each timed on the same generated census names (generate.py) and
tradeout table:
  Talvik with one worker thread and with all of them;
  the same rule in plain Python (bench/reference.py), the loop a user would
    otherwise write: its pairs must equal Talvik's, or the run fails;
  RapidFuzz's process.cdist with a token scorer over every name against every
    name, the usual fuzzy alternative: a different rule, so the pairs it
    flags are counted, not compared;
  the talvik package: Matcher(...).pairs() (int32 indices), .count() and
    iter_pairs(), each including the index build, against the engine alone.

Every contender and size runs in a fresh subprocess, so its peak memory
(ru_maxrss) is its own; the figure is the median of several runs, fewer for
big sizes. Quadratic contenders are skipped where their time, predicted from
the previous size, passes a budget, and RapidFuzz where its n x n matrix
would pass a memory cap.

Writes results.json (every raw figure), results.md and scaling.png to --out.
Usage: bench.py [--quick | --large | --sizes N,N,...] [--out DIR] [see --help]
"""
import argparse
import datetime
import hashlib
import importlib.metadata
import importlib.util
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SIZES = (1_000, 2_000, 5_000, 10_000, 20_000, 50_000, 100_000, 300_000, 1_000_000)
LARGE_SIZES = (3_000_000, 10_000_000)
QUICK_SIZES = (200, 400)
PROBE_SIZE = 1_000          # calibrates a budgeted contender before a bigger first size
SCALING_RANGE = (10_000, 50_000)
QUADRATIC_SIZE = 30_000     # where the indexed engine meets the every-pair one
ENGINE_BENCH = ROOT / "build" / "engine" / "bench" / "engine_bench"
# Resident bytes of one pair in the returned list: the tuple, its list slot,
# and a share of the decoded names (measured on census names, rounded up).
RESULT_BYTES_PER_PAIR = 120
RAPIDFUZZ_SCORER = "token_sort_ratio"
RAPIDFUZZ_CUTOFF = 90


# --- contenders: each is set up and run inside its worker process ----------

def talvik_setup(threads):
    def setup(names, table):
        warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
        import Talvik
        return lambda: Talvik.parallel_find_matches(names, table, None, threads)
    return setup


def python_setup(names, table):
    import reference
    return lambda: reference.find_matches(names, table)


def rapidfuzz_setup(names, table):
    import numpy
    from rapidfuzz import fuzz, process
    scorer = getattr(fuzz, RAPIDFUZZ_SCORER)
    return lambda: process.cdist(names, names, scorer=scorer, score_cutoff=RAPIDFUZZ_CUTOFF,
                                 dtype=numpy.uint8, workers=-1)


def talvik_package_setup(method):
    def setup(names, table):
        import talvik

        def call():
            matcher = talvik.Matcher(names, table, threads=THREADS)
            if method == "iter_pairs":  # what streaming to disk holds: one chunk at a time
                return sum(len(chunk) for chunk in matcher.iter_pairs())
            return getattr(matcher, method)()
        return call
    return setup


def count_pairs(result):
    return len(result)


def index_pairs_as_names(result, names):
    return [(names[i], names[j]) for i, j in result.tolist()]


def count_flagged(matrix):
    """Pairs i < j scored at or above the cutoff (cdist zeroes the rest);
    row by row, since a triangle mask would double the memory."""
    import numpy
    return sum(int(numpy.count_nonzero(matrix[i, i + 1:])) for i in range(matrix.shape[0]))


def pair_digest(pairs):
    return hashlib.sha256("\n".join(f"{a}\t{b}" for a, b in sorted(pairs)).encode()).hexdigest()


@dataclass
class Contender:
    key: str
    label: str
    short: str                  # for column headers
    setup: object               # (names, table) -> a call that does the work once
    count: object               # result -> matches found
    requires: tuple = ()        # modules it imports
    same_rule: bool = True      # its pairs must equal Talvik's
    budget: bool = False        # quadratic: skipped past the time budget
    matrix: bool = False        # needs n*n bytes: skipped past the memory cap
    # (result, names) -> its pairs as names, for the digest; None: no pairs to compare
    pairs_of: object = lambda result, names: result
    bytes_per_pair: int = 0     # of its result, for the result-size cap (set below)
    package: bool = False       # the talvik package: reported in a table of its own


THREADS = os.cpu_count() or 1
CONTENDERS = [
    Contender("talvik-1", "Talvik, 1 thread", "1 thread", talvik_setup(1), count_pairs, ("Talvik",)),
    Contender("talvik-all", f"Talvik, {THREADS} threads", "Talvik", talvik_setup(0),
              count_pairs, ("Talvik",)),
    Contender("python", "plain Python", "plain Python", python_setup, count_pairs, budget=True),
    Contender("rapidfuzz", "RapidFuzz cdist", "RapidFuzz",
              rapidfuzz_setup, count_flagged, ("rapidfuzz", "numpy"),
              same_rule=False, budget=True, matrix=True),
    Contender("pkg-pairs", f"talvik pairs(), {THREADS} threads", "talvik pairs()",
              talvik_package_setup("pairs"), count_pairs, ("talvik",), pairs_of=index_pairs_as_names,
              bytes_per_pair=8, package=True),
    Contender("pkg-count", f"talvik count(), {THREADS} threads", "talvik count()",
              talvik_package_setup("count"), int, ("talvik",), pairs_of=None, package=True),
    Contender("pkg-iter", f"talvik iter_pairs(), {THREADS} threads", "talvik iter_pairs()",
              talvik_package_setup("iter_pairs"), int, ("talvik",), pairs_of=None, package=True),
]
for _c in CONTENDERS[:3]:
    _c.bytes_per_pair = RESULT_BYTES_PER_PAIR   # a list of tuples of str
BY_KEY = {c.key: c for c in CONTENDERS}
FAST, REF = "talvik-all", "talvik-1"    # ratios are against FAST


# --- the worker: one contender, one size, in its own process ---------------

def peak_rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def worker(key, names_path, table_path, runs, digest):
    contender = BY_KEY[key]
    names = Path(names_path).read_text(encoding="ascii").splitlines()
    table = json.loads(Path(table_path).read_text(encoding="ascii"))
    contender.setup(names[:50], table)()   # imports, thread pools: not timed
    call = contender.setup(names, table)
    baseline = peak_rss_kb()
    times, result = [], None
    for _ in range(runs):
        result = None                      # never hold two results at once
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    peak = peak_rss_kb()
    out = {"times_s": times, "matches": contender.count(result),
           "rss_baseline_kb": baseline, "rss_peak_kb": peak}
    if digest and contender.pairs_of is not None:
        out["digest"] = pair_digest(contender.pairs_of(result, names))
    print(json.dumps(out))


def run_worker(contender, names_path, table_path, runs, digest, timeout):
    cmd = [sys.executable, __file__, "--worker", contender.key, "--names", str(names_path),
           "--table", str(table_path), "--runs", str(runs)] + (["--digest"] if digest else [])
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "reason": f"killed after {timeout:.0f} s"}
    if proc.returncode != 0:
        return {"status": "failed", "reason": f"exit {proc.returncode}: {proc.stderr.strip()[-2000:]}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out.update(status="ok", runs=runs, median_s=statistics.median(out["times_s"]))
    return out


def run_engine(names_path, table_path, runs, every_pair=False):
    """The C++ engine alone on the same files: build the indexes, search,
    nothing else (no Python objects in or out)."""
    if not ENGINE_BENCH.exists():
        return {"status": "skipped", "reason": f"{ENGINE_BENCH.relative_to(ROOT)} not built (make engine)"}
    cmd = [str(ENGINE_BENCH), str(names_path), str(table_path), str(runs), "--threads", str(THREADS),
           "--json"] + ([] if every_pair else ["--indexed-only"])
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0 or proc.stderr.strip():
        return {"status": "failed", "reason": f"exit {proc.returncode}: {proc.stderr.strip()[-2000:]}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out.update(status="ok", runs=runs, median_s=out.pop("indexed_s"))
    out["candidates_per_pair"] = out["candidates"] / out["pairs"] if out["pairs"] else None
    return out


# --- planning: what to run at a size, and how many times -------------------

def runs_for(predicted, quick, n=0):
    if quick:
        return 2
    if n > 1_000_000:
        return 1
    if predicted is None or predicted < 1:
        return 5
    return 3 if predicted < 10 else 1


def predict(history, n):
    """A run's time at n from the largest size measured so far, as if quadratic."""
    if not history:
        return None
    n0, t0 = max(history)
    return t0 * (n / n0) ** 2


def plan(contender, n, history, args, pairs=None):
    """(runs, None) to run it, or (None, its entry as skipped). `pairs`: the
    matches at this size, when the engine has counted them."""
    def skip(rule, reason, **extra):
        return None, dict(status="skipped", rule=rule, reason=reason, **extra)
    missing = [m for m in contender.requires if importlib.util.find_spec(m) is None]
    if missing:
        return skip("missing", f"{', '.join(missing)} not installed")
    result_bytes = (pairs or 0) * contender.bytes_per_pair
    if contender.same_rule and result_bytes > args.result_cap:
        return skip("result size", f"its {pairs:,} pairs need about {fmt_bytes(result_bytes)}, "
                    f"over the cap of {fmt_bytes(args.result_cap)}", result_bytes=result_bytes)
    if contender.matrix and n * n > args.mem_cap:
        return skip("memory cap", f"its n x n matrix needs {fmt_bytes(n * n)}, over the cap of "
                    f"{fmt_bytes(args.mem_cap)}", matrix_bytes=n * n)
    predicted = predict(history, n)
    if contender.budget and predicted is not None and predicted > args.budget:
        return skip("time budget", f"a call predicted to take {fmt_time(predicted)}, over the "
                    f"budget of {args.budget:g} s", predicted_s=predicted)
    return runs_for(predicted, args.quick, n), None


def worker_timeout(contender, runs, args):
    # A budgeted contender may overrun its prediction, not by hours.
    return 3 * args.budget * runs + 120 if contender.budget else None


# --- the run ----------------------------------------------------------------

def generate(n, tmp, args, table=False):
    path = tmp / f"names-{n}.txt"
    cmd = [sys.executable, str(HERE / "generate.py"), str(n), "--seed", str(args.seed),
           "--source", args.source, "--names", str(path)]
    if table:
        cmd += ["--table", str(tmp / "table.json")]
    start = time.perf_counter()
    subprocess.run(cmd, check=True)
    return path, time.perf_counter() - start


def check_agreement(entry):
    """Every same-rule contender that ran, and the engine alone, must have
    found Talvik's pairs."""
    ran = {k: r for k, r in entry["results"].items() if r["status"] == "ok" and BY_KEY[k].same_rule}
    anchor = next((k for k in (FAST, REF) if k in ran), None)
    if anchor is None:
        return
    want = ran[anchor]
    engine = entry.get("engine", {})
    if engine.get("status") == "ok" and engine["pairs"] != want["matches"]:
        raise SystemExit(f"{entry['n']:,} names: the engine alone found {engine['pairs']:,} pairs, "
                         f"{BY_KEY[anchor].label} {want['matches']:,}")
    for key, r in ran.items():
        if r["matches"] != want["matches"] or r.get("digest", want.get("digest")) != want.get("digest"):
            raise SystemExit(f"{entry['n']:,} names: {BY_KEY[key].label} found {r['matches']:,} pairs, "
                             f"{BY_KEY[anchor].label} {want['matches']:,}: the pair sets differ")


def run_bench(args):
    started = time.perf_counter()
    contenders = [BY_KEY[k] for k in args.contenders]
    results = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
               "machine": machine_info(), "build": build_info(), "config": config_info(args),
               "contenders": {c.key: {"label": c.label, "short": c.short, "same_rule": c.same_rule,
                                      "package": c.package} for c in contenders},
               "sizes": []}
    history = {c.key: [] for c in contenders}
    with tempfile.TemporaryDirectory(prefix="talvik-bench-") as tmp:
        tmp = Path(tmp)
        table_path = tmp / "table.json"
        for n in args.sizes:
            names_path, gen_s = generate(n, tmp, args, table=not table_path.exists())
            entry = {"n": n, "pairs_covered": n * (n - 1) // 2, "generate_s": gen_s, "results": {}}
            if args.engine:
                entry["engine"] = run_engine(names_path, table_path, runs_for(None, args.quick, n))
                print(f"{n:>10,}  {'engine alone, ' + str(THREADS) + ' threads':<42} "
                      f"{describe_engine(entry['engine'])}", flush=True)
            pairs = entry.get("engine", {}).get("pairs")
            plans = {c.key: plan(c, n, history[c.key], args, pairs) for c in contenders}
            needs_probe = [c for c in contenders if c.budget and not history[c.key]
                           and plans[c.key][0] and n > PROBE_SIZE]
            for c in needs_probe:   # calibrate before a first size that may be far past the budget
                probe_path = tmp / f"names-{PROBE_SIZE}.txt"
                if not probe_path.exists():
                    generate(PROBE_SIZE, tmp, args)
                r = run_worker(c, probe_path, table_path, 1, False, worker_timeout(c, 1, args))
                entry.setdefault("probes", {})[c.key] = dict(r, n=PROBE_SIZE)
                if r["status"] == "ok":
                    history[c.key].append((PROBE_SIZE, r["median_s"]))
                plans[c.key] = plan(c, n, history[c.key], args, pairs)
            # Pairs are compared by digest where plain Python ran; elsewhere by count.
            digest = any(c.same_rule and c.key != FAST and not c.package and plans[c.key][0]
                         for c in contenders)
            for c in contenders:
                runs, r = plans[c.key]
                if runs is not None:
                    r = run_worker(c, names_path, table_path, runs, digest and c.same_rule,
                                   worker_timeout(c, runs, args))
                    if r["status"] == "ok":
                        history[c.key].append((n, r["median_s"]))
                        r["pairs_covered_per_s"] = entry["pairs_covered"] / r["median_s"]
                entry["results"][c.key] = r
                print(f"{n:>10,}  {c.label:<42} {describe(r)}", flush=True)
            names_path.unlink()
            check_agreement(entry)
            entry["ratios"] = ratios(entry)
            results["sizes"].append(entry)
        if args.quadratic:
            results["quadratic"] = run_quadratic(args.quadratic, tmp, table_path, args)
    results["scaling"] = scaling(results)
    results["elapsed_s"] = time.perf_counter() - started
    results["machine"]["load_end"] = load()
    return results


def run_quadratic(n, tmp, table_path, args):
    """The indexed engine against the every-pair one it replaced (the same
    binary: the every-pair search stays as the tests' oracle), one run each."""
    names_path, _ = generate(n, tmp, args)
    r = run_engine(names_path, table_path, 1, every_pair=True)
    names_path.unlink()
    if r["status"] == "ok":
        r.update(n=n, ratio=r["every_pair_s"] / r["median_s"])
        print(f"{n:>10,}  every pair {fmt_time(r['every_pair_s'])}, indexed {fmt_time(r['median_s'])}: "
              f"{fmt_ratio(r['ratio'])}x", flush=True)
    return r


def describe_engine(r):
    if r["status"] != "ok":
        return f"{r['status']}: {r['reason']}"
    return (f"{fmt_time(r['median_s']):>9}  ({r['runs']} run{'s' if r['runs'] > 1 else ''})  "
            f"{r['pairs']:,} pairs  peak {fmt_mem(r['rss_peak_kb'])}")


def describe(r):
    if r["status"] != "ok":
        return f"{r['status']}: {r['reason'].splitlines()[-1] if r['reason'] else ''}"
    runs = f"{r['runs']} run{'s' if r['runs'] > 1 else ''}"
    return f"{fmt_time(r['median_s']):>9}  ({runs})  {r['matches']:,} pairs  peak {fmt_mem(r['rss_peak_kb'])}"


def ratios(entry):
    res = entry["results"]
    fast = res.get(FAST, {})
    if fast.get("status") != "ok":
        return {}
    return {key: r["median_s"] / fast["median_s"] for key, r in res.items()
            if key != FAST and r.get("status") == "ok"}


def slope(points):
    """Least-squares slope of log(time) on log(n)."""
    xs = [math.log(n) for n, _ in points]
    ys = [math.log(t) for _, t in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def scaling(results):
    """Each contender's growth exponent over SCALING_RANGE (all its sizes if
    fewer than two fall in it)."""
    out = {}
    for key in results["contenders"]:
        points = [(e["n"], e["results"][key]["median_s"]) for e in results["sizes"]
                  if e["results"].get(key, {}).get("status") == "ok"]
        inside = [p for p in points if SCALING_RANGE[0] <= p[0] <= SCALING_RANGE[1]]
        points = inside if len(inside) >= 2 else points
        if len(points) >= 2:
            out[key] = {"from": points[0][0], "to": points[-1][0], "exponent": slope(points)}
    return out


# --- what the run was made on -----------------------------------------------

def machine_info():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        ram = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        ram = None
    return {"cpu": cpu, "cores": os.cpu_count(), "usable_cores": len(os.sched_getaffinity(0)),
            "load_start": load(), "ram_bytes": ram, "os": platform.platform(),
            "python": sys.version.split()[0],
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}


def load():
    """1-minute load average: other work on the machine skews the figures."""
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


MODULE_SOURCES = ("engine", "module", "CMakeLists.txt", "pyproject.toml")


def build_info():
    def version(pkg):
        try:
            return importlib.metadata.version(pkg)
        except importlib.metadata.PackageNotFoundError:
            return None

    def git(*cmd):
        try:
            return subprocess.run(["git", *cmd], cwd=ROOT, capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return None

    spec = importlib.util.find_spec("Talvik")
    module = Path(spec.origin) if spec and spec.origin else None
    return {"packages": {p: version(p) for p in ("talvik", "rapidfuzz", "numpy", "matplotlib")},
            "talvik_module_sha256": hashlib.sha256(module.read_bytes()).hexdigest() if module else None,
            "git_commit": git("rev-parse", "HEAD"),
            # whether the module's sources differed from that commit
            "git_dirty": bool(git("status", "--porcelain", "--", *MODULE_SOURCES))}


def config_info(args):
    return {"sizes": args.sizes, "seed": args.seed, "source": args.source, "quick": args.quick,
            "budget_s": args.budget, "mem_cap_bytes": args.mem_cap, "threads": THREADS,
            "result_cap_bytes": args.result_cap, "engine": args.engine, "quadratic_n": args.quadratic,
            "rapidfuzz": {"scorer": RAPIDFUZZ_SCORER, "score_cutoff": RAPIDFUZZ_CUTOFF,
                          "dtype": "uint8", "workers": -1}}


# --- the report --------------------------------------------------------------

def fmt_time(s):
    if s < 1e-3:
        return f"{s * 1e6:.0f} µs"
    if s < 1:
        return f"{s * 1e3:.3g} ms"
    return f"{s:.3g} s" if s < 100 else f"{s:,.0f} s"


def fmt_mem(kb):
    return f"{kb / 1024:,.1f} MiB" if kb < 100 * 1024 else f"{kb / 1024:,.0f} MiB"


def fmt_bytes(b):
    return f"{b / 2**30:,.1f} GiB" if b >= 2**30 else f"{b / 2**20:,.1f} MiB"


def fmt_ratio(x):
    return f"{x:.2g}" if x < 10 else f"{x:,.0f}"


def fmt_load(x):
    return "?" if x is None else f"{x:.1f}"


def fmt_rate(x):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return f"{x / scale:.3g} {unit}"
    return f"{x:.3g}"


def cell(entry, key, show):
    r = entry["results"].get(key)
    if r is None:
        return ""
    return show(r) if r["status"] == "ok" else "—"


def general(results):
    """The contenders of the main tables: all but the talvik package's."""
    return {k: c for k, c in results["contenders"].items() if not c.get("package")}


def times_table(results):
    keys = list(general(results))
    cols = [("names", lambda e: f"{e['n']:,}")]
    for key in keys:
        cols.append((results["contenders"][key]["label"],
                     lambda e, key=key: cell(e, key, lambda r: fmt_time(r["median_s"]))))
    if FAST in keys:
        cols.append((f"pairs covered / s ({results['contenders'][FAST]['label']})",
                     lambda e: cell(e, FAST, lambda r: fmt_rate(r["pairs_covered_per_s"]))))
        for key in keys:
            if key != FAST:
                cols.append((f"× vs {results['contenders'][key]['short']}",
                             lambda e, key=key: fmt_ratio(e["ratios"][key]) if key in e["ratios"] else "—"))
    return markdown(cols, results["sizes"])


def matches_table(results):
    cols = [("names", lambda e: f"{e['n']:,}")]
    for key, c in general(results).items():
        if key == REF and FAST in results["contenders"]:
            continue     # the same pairs as FAST, checked
        what = "matches" if c["same_rule"] else "pairs flagged"
        cols.append((f"{what}, {c['short']}",
                     lambda e, key=key: cell(e, key, lambda r: f"{r['matches']:,}")))
    for key, c in general(results).items():
        cols.append((f"peak memory, {c['label']}", lambda e, key=key: cell(e, key, memory)))
    return markdown(cols, results["sizes"])


def scale_table(results):
    def eng(show):
        return lambda e: show(e["engine"]) if e.get("engine", {}).get("status") == "ok" else "—"
    cols = [("names", lambda e: f"{e['n']:,}"),
            ("whole call", lambda e: cell(e, FAST, lambda r: fmt_time(r["median_s"]))),
            ("engine", eng(lambda r: fmt_time(r["median_s"]))),
            ("index build", eng(lambda r: fmt_time(r["index_s"]))),
            ("checked per match", eng(lambda r: f"{r['candidates_per_pair']:.2f}"
                                      if r["candidates_per_pair"] is not None else "—")),
            ("matches", eng(lambda r: f"{r['pairs']:,}")),
            ("peak memory, whole call", lambda e: cell(e, FAST, lambda r: fmt_mem(r["rss_peak_kb"]))),
            ("peak memory, engine", eng(lambda r: fmt_mem(r["rss_peak_kb"])))]
    return markdown(cols, [e for e in results["sizes"] if e["n"] >= 10_000] or results["sizes"])


def package_table(results):
    """The talvik package against the engine alone: times, their ratio, peak
    memory, and the peak's increase per pair returned."""
    def engine_ok(e):
        return e.get("engine", {}).get("status") == "ok"

    def vs_engine(key):
        return lambda e: cell(e, key, lambda r: f"{r['median_s'] / e['engine']['median_s']:.2f}"
                              if engine_ok(e) else "—")

    def per_pair(r):
        return f"{(r['rss_peak_kb'] - r['rss_baseline_kb']) * 1024 / r['matches']:.1f}" if r["matches"] else "—"

    def eng(show):
        return lambda e: show(e["engine"]) if engine_ok(e) else "—"

    cols = [("names", lambda e: f"{e['n']:,}"),
            ("pairs", eng(lambda r: f"{r['pairs']:,}")),
            ("engine alone", eng(lambda r: fmt_time(r["median_s"])))]
    for key in ("pkg-pairs", "pkg-count", "pkg-iter"):
        short = BY_KEY[key].short
        cols += [(short, lambda e, key=key: cell(e, key, lambda r: fmt_time(r["median_s"]))),
                 (f"{short} ÷ engine", vs_engine(key))]
    cols += [("peak, engine", eng(lambda r: fmt_mem(r["rss_peak_kb"]))),
             ("peak, pairs()", lambda e: cell(e, "pkg-pairs", lambda r: fmt_mem(r["rss_peak_kb"]))),
             ("peak, iter_pairs()", lambda e: cell(e, "pkg-iter", lambda r: fmt_mem(r["rss_peak_kb"]))),
             ("bytes per pair, pairs()", lambda e: cell(e, "pkg-pairs", per_pair))]
    return markdown(cols, results["sizes"])


def memory(r):
    return f"{fmt_mem(r['rss_peak_kb'])} (+{fmt_mem(r['rss_peak_kb'] - r['rss_baseline_kb'])})"


def markdown(cols, rows):
    lines = ["| " + " | ".join(h for h, _ in cols) + " |",
             "|" + "|".join("---:" for _ in cols) + "|"]
    lines += ["| " + " | ".join(f(e) for _, f in cols) + " |" for e in rows]
    return "\n".join(lines)


def skipped_notes(results):
    groups = {}
    for e in results["sizes"]:
        for key, r in e["results"].items():
            if r["status"] != "ok":
                groups.setdefault((key, r["status"], r.get("rule", r["reason"])), []).append((e["n"], r))
    lines = []
    for (key, status, rule), hits in groups.items():
        sizes = ", ".join(f"{n:,}" for n, _ in hits)
        if rule == "time budget":
            why = (f"a call predicted to take {', '.join(fmt_time(r['predicted_s']) for _, r in hits)}, "
                   f"over the budget of {results['config']['budget_s']:g} s")
        elif rule == "result size":
            why = (f"its list of pairs would need {', '.join(fmt_bytes(r['result_bytes']) for _, r in hits)}, "
                   f"over the cap of {fmt_bytes(results['config']['result_cap_bytes'])}")
        elif rule == "memory cap":
            why = (f"its n x n matrix would need {', '.join(fmt_bytes(r['matrix_bytes']) for _, r in hits)}, "
                   f"over the cap of {fmt_bytes(results['config']['mem_cap_bytes'])}")
        else:
            why = "; ".join(dict.fromkeys(r["reason"].splitlines()[-1] for _, r in hits if r["reason"]))
        lines.append(f"- {results['contenders'][key]['label']}: {status} at {sizes} names: {why}")
    return lines


def report(results):
    m, cfg = results["machine"], results["config"]
    ram = f", {m['ram_bytes'] / 2**30:.0f} GiB RAM" if m["ram_bytes"] else ""
    build = results["build"]
    lines = [
        f"Measured {results['date']} on {m['cpu']} ({m['cores']} cores{ram}), Python {m['python']}"
        f"{' free-threaded' if m['free_threaded'] else ''}, Talvik {build['packages']['talvik']}"
        f" at {(build['git_commit'] or '?')[:10]}{' (modified)' if build['git_dirty'] else ''}.",
        f"Census names from `bench/generate.py` (seed {cfg['seed']}, source {cfg['source']}); medians of up "
        "to 5 runs, each contender and size in a fresh process; 1-minute load average "
        f"{fmt_load(m.get('load_start'))} at the start, {fmt_load(m.get('load_end'))} at the end.", "",
        "Median time of one call, and how many times faster Talvik with all threads is:", "",
        times_table(results), "",
        "Pairs found, and peak resident memory of the process (in brackets, the increase over the "
        "process once the names were loaded):", "",
        matches_table(results), ""]
    if "rapidfuzz" in results["contenders"]:
        lines += [f"RapidFuzz scores every pair with `fuzz.{cfg['rapidfuzz']['scorer']}` into a dense "
                  f"uint8 matrix (`score_cutoff={cfg['rapidfuzz']['score_cutoff']}`, `workers=-1`), "
                  "the quicker of its order-blind scorers (`token_set_ratio` took three times as long); it "
                  "follows no tradeout table, so the pairs it flags are not Talvik's matches and are "
                  "counted only. Plain Python's pairs are checked equal to Talvik's at every size where "
                  "both ran.", ""]
    if any(e.get("engine", {}).get("status") == "ok" for e in results["sizes"]):
        lines += [f"Where the time goes with {cfg['threads']} threads: the whole call against the C++ engine "
                  "alone (`engine_bench`: the same names and table, no Python objects in or out), the part "
                  "of it spent building the word and pair indexes, and how many candidates the engine "
                  "checked per match it found:", "", scale_table(results), ""]
    if any(c.get("package") for c in results["contenders"].values()):
        lines += ["The talvik package (`Matcher(names, tradeouts).pairs()`, `.count()`, and `.iter_pairs()` "
                  "summed chunk by chunk, each timed from the names to the result, index build included) "
                  "against the engine alone; its peak memory, and that peak's increase over the loaded "
                  "names per pair returned (the int32 pairs themselves take 8 bytes):", "",
                  package_table(results), ""]
    q = results.get("quadratic")
    if q and q.get("status") == "ok":
        lines += [f"At {q['n']:,} names the engine's every-pair search (the quadratic engine the index "
                  f"replaced, kept as the tests' oracle) took {fmt_time(q['every_pair_s'])} and the indexed "
                  f"search {fmt_time(q['median_s'])}, {fmt_ratio(q['ratio'])} times less, for the same "
                  f"{q['pairs']:,} pairs ({cfg['threads']} threads, one run each).", ""]
    for key, s in results["scaling"].items():
        lines.append(f"- {results['contenders'][key]['label']}: time grows as n^{s['exponent']:.2f} "
                     f"from {s['from']:,} to {s['to']:,} names (least-squares slope on log-log axes).")
    notes = skipped_notes(results)
    if notes:
        lines += ["", "Not run:"] + notes
    lines += ["", f"Whole run: {results['elapsed_s']:,.0f} s."]
    return "\n".join(lines) + "\n"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    for key, c in results["contenders"].items():
        ok = [e for e in results["sizes"] if e["results"].get(key, {}).get("status") == "ok"]
        pts = [(e["n"], e["results"][key]["median_s"]) for e in ok]
        runs = [e["results"][key]["times_s"] for e in ok]
        if pts:
            ns, ts = zip(*pts)
            spread = [(t - min(r), max(r) - t) for t, r in zip(ts, runs)]
            ax.errorbar(ns, ts, yerr=list(zip(*spread)), marker="o", capsize=3, label=c["label"])
    eng = [(e["n"], e["engine"]["median_s"]) for e in results["sizes"]
           if e.get("engine", {}).get("status") == "ok"]
    if eng:
        ns, ts = zip(*eng)
        ax.plot(ns, ts, linestyle="--", marker=".", color="grey",
                label=f"engine alone, {results['config']['threads']} threads")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("names")
    ax.set_ylabel("median time of one call (s), bars: fastest to slowest run")
    m = results["machine"]
    ax.set_title(f"Every matching pair among n names\n{m['cpu']}, {m['cores']} cores", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


README_MARKERS = ("<!-- bench results: written by `make bench` -->", "<!-- end of bench results -->")


def write_outputs(results, out, readme=None):
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    (out / "results.md").write_text(report(results))
    if importlib.util.find_spec("matplotlib"):
        plot(results, out / "scaling.png")
    else:
        print("matplotlib not installed: no plot", file=sys.stderr)
    if readme:
        update_readme(readme, report(results), out / "scaling.png")


def update_readme(path, text, png):
    """Puts the report and plot between the markers, so README never shows
    figures other than the committed results'."""
    doc = path.read_text()
    start, end = (doc.find(m) for m in README_MARKERS)
    if start < 0 or end < start:
        sys.exit(f"{path}: no bench results markers")
    start += len(README_MARKERS[0])
    image = Path(os.path.relpath(png, path.parent)).as_posix()
    block = f"\n{text}\n![Time of one call against the number of names, log-log]({image})\n"
    path.write_text(doc[:start] + block + doc[end:])


# --- command line ------------------------------------------------------------

def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"a smoke run: 2 runs, {QUICK_SIZES} "
                    "names unless --sizes, results to build/bench-quick unless --out")
    size = ap.add_mutually_exclusive_group()
    size.add_argument("--large", action="store_true", help=f"add {LARGE_SIZES} to the default sizes")
    size.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                      help="explicit sizes, N,N,...")
    ap.add_argument("--contenders", type=lambda s: s.split(","), default=[c.key for c in CONTENDERS],
                    help=f"a subset of {','.join(BY_KEY)}")
    ap.add_argument("--budget", type=float, help="skip a quadratic contender where a run is "
                    "predicted to take longer than this (s; default 60, --quick 5)")
    ap.add_argument("--mem-cap", type=float, help="skip RapidFuzz where its n x n matrix needs more "
                    "than this many GiB (default a quarter of RAM)")
    ap.add_argument("--result-cap", type=float, default=8.0, help="skip a Talvik call where its "
                    "list of pairs (counted by the engine) would need more than this many GiB "
                    "(default 8)")
    ap.add_argument("--no-engine", dest="engine", action="store_false",
                    help="do not time the C++ engine alone")
    ap.add_argument("--quadratic", type=int, help="names for the indexed against every-pair "
                    f"engine run (default {QUADRATIC_SIZE:,}; 0: none; --quick: none)")
    ap.add_argument("--seed", type=int, help="names seed (default generate.SEED)")
    ap.add_argument("--source", choices=("census", "sample"), default="census",
                    help="sample: draw names from the bundled sample (no download)")
    ap.add_argument("--out", type=Path, help="results folder (default bench/results; "
                    "build/bench-quick with --quick)")
    ap.add_argument("--readme", type=Path, help="also copy the report between the bench-results "
                    "markers of this file")
    ap.add_argument("--report", type=Path, metavar="JSON", help="only remake results.md and "
                    "scaling.png from this results.json")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--names", help=argparse.SUPPRESS)
    ap.add_argument("--table", help=argparse.SUPPRESS)
    ap.add_argument("--runs", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--digest", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        return args
    unknown = set(args.contenders) - set(BY_KEY)
    if unknown:
        ap.error(f"unknown contenders: {', '.join(sorted(unknown))}")
    args.sizes = sorted(set(args.sizes or (SIZES + LARGE_SIZES if args.large else
                                           QUICK_SIZES if args.quick else SIZES)))
    if args.budget is None:
        args.budget = 5.0 if args.quick else 60.0
    ram = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    args.mem_cap = args.mem_cap * 2**30 if args.mem_cap is not None else ram / 4
    args.result_cap *= 2**30
    if args.quadratic is None:
        args.quadratic = 0 if args.quick else QUADRATIC_SIZE
    if args.seed is None:
        from generate import SEED
        args.seed = SEED
    if args.out is None:
        args.out = ROOT / ("build/bench-quick" if args.quick else "bench/results")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        return worker(args.worker, args.names, args.table, args.runs, args.digest)
    if args.report:
        results = json.loads(args.report.read_text())
        return write_outputs(results, args.report.parent, args.readme)
    # Children inherit this process's peak in ru_maxrss across exec, so the
    # names are made and matched in subprocesses and this one stays small.
    results = run_bench(args)
    write_outputs(results, args.out, None if args.quick else args.readme)
    print(f"\n{report(results)}\nwritten to {args.out}")
    failed = [(e["n"], k) for e in results["sizes"] for k, r in e["results"].items()
              if r["status"] in ("failed", "timeout")]
    if failed:
        sys.exit(f"failed or timed out: {failed}")


if __name__ == "__main__":
    main()

"""Allocation-failure sweep: for n = 1, 2, ... make the n-th allocation of one
representative parallel_find_matches call fail, and check that the call
raises MemoryError or returns the right pairs, that the next call without a
failure is right again, and that nothing is left behind: reference counts of
the inputs, GC objects, Python blocks, malloc'd bytes, RSS and threads.

    python tests/support/inject/sweep.py [--step K] [--threads T] [--sticky] [--json FILE]

The parent builds the shim (failalloc.c) and counts the call's allocations,
then runs children with the shim preloaded, each taking n's until done or
dead; a child that dies or stops answering is recorded as a fault at the n
it was on (with a native backtrace), and the next child goes on after it.
Exit status 1 when any fault or growth was found.
"""
import argparse
import json
import os
import queue
import shutil
import subprocess
import sys
import sysconfig
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_SOURCE = os.path.join(HERE, "failalloc.c")


def build_shim(out_dir):
    """Compiles the shim into out_dir (when its source is newer); its path."""
    os.makedirs(out_dir, exist_ok=True)
    lib = os.path.join(out_dir, "libfailalloc.so")
    if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(SHIM_SOURCE):
        cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
        tmp = lib + f".{os.getpid()}.tmp"
        subprocess.run([cc, "-O1", "-g", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror", "-o", tmp,
                        SHIM_SOURCE, "-ldl"], check=True)
        os.replace(tmp, lib)
    return lib


# ---------------------------------------------------------------------------
# Parent


class Child:
    """A child process running the sweep over some n's, read line by line."""

    def __init__(self, cmd, env):
        self.proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.stderr = []
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=lambda: self.stderr.extend(self.proc.stderr), daemon=True).start()

    def _read_stdout(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def next_line(self, timeout):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return "timeout"


def child_env(shim, site=None, hashseed="0"):
    env = dict(os.environ)
    # The plain-Python rule, and a build to test ahead of the installed one.
    bench = os.path.join(HERE, "..", "..", "..", "bench")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (site, bench, env.get("PYTHONPATH")) if p)
    env["LD_PRELOAD"] = shim
    env["PYTHONHASHSEED"] = hashseed
    env.pop("PYTHONMALLOC", None)
    return env


def native_backtrace(cmd, env, pid=None):
    """A backtrace of every thread: of the live `pid`, or of `cmd` rerun under gdb."""
    gdb = shutil.which("gdb")
    if gdb is None:
        return None
    base = [gdb, "-q", "-nx", "-batch", "-ex", "set print thread-events off"]
    if pid is not None:
        run = base + ["-p", str(pid), "-ex", "thread apply all bt 40"]
        gdb_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    else:
        # A signal stops it; so do the two ways glibc ends a process without one.
        run = base + ["-ex", f"set environment LD_PRELOAD={env['LD_PRELOAD']}", "-ex", "set startup-with-shell off",
                      "-ex", "set breakpoint pending on", "-ex", "break abort", "-ex", "break _dl_fatal_printf",
                      "-ex", "run", "-ex", "thread apply all bt 40", "--args", *cmd]
        gdb_env = {k: v for k, v in env.items() if k != "LD_PRELOAD"}
    try:
        out = subprocess.run(run, env=gdb_env, capture_output=True, text=True, timeout=300).stdout
    except subprocess.TimeoutExpired:
        return None
    keep = [line for line in out.splitlines() if line.startswith(("#", "Thread", "Program", "Fatal"))]
    return "\n".join(keep) or None


def run_children(args, shim, ns):
    """Runs the n's in children; the per-n records, the faults and each child's stats."""
    records, faults, stats = [], [], []
    env = child_env(shim, args.site)
    rest = list(ns)
    while rest:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--ns", ",".join(map(str, rest))]
        cmd += child_flags(args)
        child, current = Child(cmd, env), None
        while True:
            line = child.next_line(args.hang_seconds)
            if line == "timeout":
                trace = native_backtrace(cmd, env, pid=child.proc.pid) if wants_backtrace(args, faults) else None
                child.proc.kill()
                faults.append({"n": current, "kind": "hang", "backtrace": trace})
                break
            if line is None:
                break
            kind, _, payload = line.strip().partition(" ")
            if kind == "begin":
                current = int(payload)
            elif kind == "done":
                records.append(json.loads(payload))
                current = None
            elif kind == "stats":
                stats.append(json.loads(payload))
        code = child.proc.wait()
        if code != 0 and current is not None and not any(f["n"] == current for f in faults):
            single = cmd[:cmd.index("--ns") + 1] + [str(current)] + child_flags(args)
            faults.append({"n": current, "kind": f"exit status {code}", "stderr": "".join(child.stderr)[-4000:],
                           "backtrace": native_backtrace(single, env) if wants_backtrace(args, faults) else None})
        elif code != 0 and current is None:
            faults.append({"n": None, "kind": f"child exit status {code}", "stderr": "".join(child.stderr)[-4000:]})
            break
        done = {r["n"] for r in records} | {f["n"] for f in faults}
        rest = [n for n in rest if n not in done]
    return records, faults, stats


def wants_backtrace(args, faults):
    """gdb for the first few faults only: a fault on one path recurs at many n."""
    return args.backtrace and len(faults) < args.max_backtraces


def child_flags(args):
    flags = ["--threads", str(args.threads)]
    if args.sticky:
        flags.append("--sticky")
    if args.where:
        flags.append("--where")
    return flags


def count_allocations(args, shim):
    """The allocations of one undisturbed call (the most of three)."""
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--count"] + child_flags(args)
    out = subprocess.run(cmd, env=child_env(shim, args.site), capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        sys.exit(f"counting run failed ({out.returncode}):\n{out.stderr}")
    return int(out.stdout.split()[-1])


def judge(records, faults, stats):
    """Adds to `faults` every wrong answer and every sign of growth."""
    for r in records:
        if r["outcome"] not in ("ok", "memory") or not r["after_ok"]:
            faults.append({"n": r["n"], "kind": r["outcome"], "after_ok": r["after_ok"], "detail": r.get("detail")})
    for s in stats:
        for problem in s["problems"]:
            faults.append({"n": None, "kind": "growth", "detail": problem, "span": s["span"]})


def symbolize(records, stats):
    """Names each record's failure site from its module offsets (needs symbols)."""
    module = next((s["module"] for s in stats), None)
    offsets = sorted({o for r in records for o in r.get("offsets", ())})
    if not module or not offsets or shutil.which("addr2line") is None:
        return
    out = subprocess.run(["addr2line", "-f", "-C", "-i", "-p", "-e", module, *map(hex, offsets)],
                         capture_output=True, text=True).stdout
    chains = []
    for line in out.splitlines():  # one line per address, then one per frame it was inlined into
        if not line.startswith(" (inlined by)"):
            chains.append([])
        name = line.removeprefix(" (inlined by) ").split(" at ")[0].replace("(anonymous namespace)::", "")
        chains[-1].append(name.split("(")[0])
    names = dict(zip(offsets, chains))
    for r in records:
        if "offsets" in r:
            r["site"] = site_of([f for o in r.pop("offsets") for f in names.get(o, ())])


def site_of(chain):
    """The step of the call (the function `run` called) and the innermost of ours."""
    ours = [f for f in chain if f.startswith("talvik::")]
    if not ours:
        return "outside the module's code"
    step = ours[-1]
    for i, f in enumerate(ours):
        if f.endswith("::run") or f.endswith("::find_matches"):
            step = ours[i - 1] if i > 0 else f
            break
    return f"{step.split('::')[-1]}: {ours[0]}"


def summarize(args, total, records, faults, elapsed):
    outcomes = {}
    for r in records:
        key = r["outcome"] + ("" if r["injected"] else " (no failure injected)")
        outcomes[key] = outcomes.get(key, 0) + 1
    print(f"allocations in one call: {total}; swept n = 1..{args.stop} step {args.step}, "
          f"{len(records)} runs, threads={args.threads}{', sticky' if args.sticky else ''}, {elapsed:.1f} s")
    for key, count in sorted(outcomes.items()):
        print(f"  {key}: {count}")
    sites = {}
    for r in records:
        if "site" in r:
            sites[r["site"]] = sites.get(r["site"], 0) + 1
    if sites:
        print("  failures injected under:")
        for site, count in sorted(sites.items(), key=lambda kv: -kv[1]):
            print(f"    {count:5d}  {site}")
    for f in faults:
        print("FAULT:", json.dumps({k: v for k, v in f.items() if k not in ("backtrace", "stderr")}))
        for key in ("stderr", "backtrace"):
            if f.get(key):
                print(f"  {key}:\n" + "\n".join("    " + line for line in f[key].splitlines()))


def parent(args):
    shim = build_shim(args.build_dir)
    total = count_allocations(args, shim)
    args.stop = args.stop or int(total * 1.1) + 20  # a few more, in case another run allocates more
    ns = list(range(args.start, args.stop + 1, args.step))
    started = time.monotonic()
    records, faults, stats = run_children(args, shim, ns)
    judge(records, faults, stats)
    symbolize(records, stats)
    summarize(args, total, records, faults, time.monotonic() - started)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"total": total, "records": records, "faults": faults, "stats": stats}, f)
    return 1 if faults else 0


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--step", type=int, default=1, help="sweep every step-th n (default 1: every n)")
    p.add_argument("--start", type=int, default=1)
    p.add_argument("--stop", type=int, default=0, help="last n (default: a tenth past the call's count)")
    p.add_argument("--threads", type=int, default=2, help="num_threads of the call")
    p.add_argument("--sticky", action="store_true", help="fail every allocation from the n-th on")
    p.add_argument("--site", help="a directory to import Talvik from, ahead of the installed one")
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "..", "..", "build", "inject"))
    p.add_argument("--hang-seconds", type=float, default=60)
    p.add_argument("--json", help="write every record and fault here")
    p.add_argument("--no-backtrace", dest="backtrace", action="store_false",
                   help="do not rerun a crash under gdb for its backtrace")
    p.add_argument("--max-backtraces", type=int, default=3, help="backtraces for this many faults at most")
    p.add_argument("--where", action="store_true", help="name the native function of each injected failure")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--count", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--ns", help=argparse.SUPPRESS)
    return p.parse_args(argv)


if __name__ == "__main__":
    arguments = parse_args(sys.argv[1:])
    if arguments.child:
        import sweep_child
        sys.exit(sweep_child.main(arguments))
    sys.exit(parent(arguments))

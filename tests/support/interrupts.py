"""Ctrl-C sent to a child that runs a long call of the package."""
import os
import signal
import subprocess
import sys
import textwrap
import time

INTERRUPTED = """
    import gc, resource, signal, sys, time
    import talvik

    # Ctrl-C raises KeyboardInterrupt here even when the test runs with SIGINT
    # ignored (a background job), which this child would inherit.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()

    m = talvik.Matcher(["Ann Lee"] * 50_000, threads=2)  # 1.25 billion pairs
    gc.collect()
    before = rss()
    # A guard, should Ctrl-C not stop it: MemoryError long before the machine fills.
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (vm + 6 * 2**30, resource.RLIM_INFINITY))
    call = getattr(m, sys.argv[1])
    print("ready", flush=True)
    try:
        call()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    gc.collect()
    print((peak - before) // 2**20, (rss() - before) // 2**20, m.match(["Lee Ann"])[:2].tolist())
"""


def send_ctrl_c(script, *args):
    """Runs `script` in a child, sends SIGINT 1 s after it prints "ready";
    (the next line it prints, the seconds until then, the rest of its output)."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *args], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             env={k: v for k, v in os.environ.items() if k != "PYTHON_GIL"})
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline()
        latency = time.monotonic() - sent
        rest = child.stdout.read()
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()
    return line, latency, rest


def interrupt(method):
    line, latency, output = send_ctrl_c(INTERRUPTED, method)
    rest = output.split()
    return line.strip(), latency, [int(rest[0]), int(rest[1])], " ".join(rest[2:])


# A command with SIGINT, SIGTERM and SIGHUP at their defaults, as the terminal
# or `kill` sends them, also where the tests run with them ignored (a
# background job, nohup), which a child would inherit.
INTERRUPTIBLE = ("import os, signal, sys\n"
                 "for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP): signal.signal(s, signal.SIG_DFL)\n"
                 "os.execv(sys.argv[1], sys.argv[1:])")


def start_interruptible(command, **popen):
    """The command (script first) run so, its stdout and stderr piped."""
    return subprocess.Popen([sys.executable, "-c", INTERRUPTIBLE, *map(str, command)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **popen)


def signal_once_made(p, folder, pattern, sig, settle):
    """Sends `sig` to `p` once a file matching `pattern` is in `folder` (a
    temporary output: the work is under way), `settle` seconds later."""
    deadline = time.monotonic() + 60
    while not list(folder.glob(pattern)) and p.poll() is None and time.monotonic() < deadline:
        time.sleep(0.002)
    assert p.poll() is None, "finished before it could be stopped"
    time.sleep(settle)
    p.send_signal(sig)

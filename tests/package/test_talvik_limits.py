"""Memory limits: every call under an address-space limit ends with its
result or MemoryError, never with a signal or an exit of its own; a stream of
pairs holds about a chunk or two, however dense the rows."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from support.paths import child_env, talvik_script

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="AddressSanitizer reserves terabytes of address space for its shadow")

PRELUDE = """
    import resource, sys
    import numpy as np
    import Talvik, talvik
    from support.names import census_like

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    def peak_bytes():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
"""

# Each child runs one way of calling at every margin in turn: the limit is
# raised again after each, and each outcome printed as it comes, so that a
# death names the margin it came at.
SWEEP = PRELUDE + """
    method, threads = sys.argv[1], int(sys.argv[2])
    names, table = census_like(8_000, 3)  # 1.3M pairs: their list crosses the margins
    m = talvik.Matcher(names, table, threads=threads)
    calls = {
        "Matcher": lambda: talvik.Matcher(names, table, threads=threads),
        "pairs": lambda: m.pairs(),
        "match": lambda: m.match(names[:2000]),
        "groups": lambda: m.groups(),
        "iter_pairs": lambda: sum(len(c) for c in m.iter_pairs(chunk_size=100_000)),
        "Talvik": lambda: Talvik.parallel_find_matches(names, table, None, threads),
    }
    call = calls[method]
    for margin in range(0, 257, 16):
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (margin << 20), resource.RLIM_INFINITY))
        try:
            call()
            outcome = "result"
        except MemoryError:
            outcome = "MemoryError"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(margin, outcome, flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2, 8])
@pytest.mark.parametrize("method", ["Matcher", "pairs", "match", "groups", "iter_pairs", "Talvik"])
def test_every_call_under_a_memory_limit_ends_in_a_result_or_memory_error(method, threads):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(SWEEP), method, str(threads)], capture_output=True,
                         text=True, timeout=600, env=child_env(PYTHONWARNINGS="ignore"))
    lines = out.stdout.split("\n")[:-1]
    assert out.returncode == 0, f"died after {lines[-1:] or 'no margin'} with {out.returncode}: {out.stderr[-2000:]}"
    assert [int(line.split()[0]) for line in lines] == list(range(0, 257, 16))
    assert {line.split()[1] for line in lines} <= {"result", "MemoryError"}


DENSE = PRELUDE + """
    m = talvik.Matcher(["Ann Lee"] * 200_000, threads=2)  # 2e10 pairs
    before = peak_bytes()
    chunks = m.iter_pairs(chunk_size=1_000_000)
    sizes = [len(next(chunks)) for _ in range(8)]
    print(0 < min(sizes) and max(sizes) <= 1_000_000 and sum(sizes) > 4_000_000, (peak_bytes() - before) >> 20)
"""


def test_a_stream_of_dense_rows_holds_about_two_chunks():
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(DENSE)], capture_output=True, text=True,
                         timeout=600, env=child_env(PYTHONWARNINGS="ignore"))
    assert out.returncode == 0, out.stderr[-2000:]
    full, grown_mib = out.stdout.split()
    assert full == "True"
    # A chunk is 8 MB of pairs; the engine's sets and the block hold two or
    # three at most, whatever the rows.
    assert int(grown_mib) < 48, f"the stream grew the peak by {grown_mib} MiB"


def test_the_command_streams_dense_rows_in_bounded_memory(tmp_path):
    names = tmp_path / "names.txt"
    names.write_text("Ann Lee\n" * 200_000)
    child = subprocess.Popen([talvik_script(), "pairs", str(names)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=child_env(PYTHONWARNINGS="ignore"))
    try:
        for _ in range(3_000_000):  # three chunks of the command's stream
            assert child.stdout.readline()
        with open(f"/proc/{child.pid}/status") as f:
            peak_kib = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    finally:
        child.kill()
        child.wait()
    assert peak_kib < 400 * 1024, f"the command peaked at {peak_kib >> 10} MiB"


# Lets every worker thread allocate once, then refuses it all memory: a
# worker's first allocation is its claim on the C++ runtime's thread-local
# exception state, so a bad_alloc thrown later must find that state there and
# not end the process asking the dynamic loader for it.
STARVING_MALLOC = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static atomic_long spared;  /* the thread that armed it; 0 when disarmed */
static __thread long granted __attribute__((tls_model("initial-exec")));

void starve_workers(long on) { atomic_store(&spared, on ? (long)syscall(SYS_gettid) : 0); }

static int refuse(void) {
    long tid = atomic_load(&spared);
    if (tid == 0 || tid == (long)syscall(SYS_gettid) || granted++ < 1) return 0;
    errno = ENOMEM;
    return 1;
}
void *malloc(size_t n) { return refuse() ? NULL : __libc_malloc(n); }
void *calloc(size_t a, size_t b) { return refuse() ? NULL : __libc_calloc(a, b); }
void *realloc(void *p, size_t n) { return refuse() ? NULL : __libc_realloc(p, n); }
"""

STARVED = """
    import ctypes, sys
    import Talvik, talvik
    names = ["Ann Lee", "Ann B Lee", "Bo Lee", "Ann Bo Lee"] * 3000
    m = talvik.Matcher(names, threads=8)
    calls = {
        "Matcher": lambda: talvik.Matcher(names, threads=8),
        "pairs": lambda: m.pairs(),
        "groups": lambda: m.groups(),
        "match": lambda: m.match(names[:500]),
        "Talvik": lambda: Talvik.parallel_find_matches(names, {}, None, 8),
    }
    starve = ctypes.CDLL(None).starve_workers
    starve(1)
    try:
        calls[sys.argv[1]]()
        outcome = "result"
    except MemoryError:
        outcome = "MemoryError"
    finally:
        starve(0)
    print(outcome)
"""


@pytest.fixture(scope="module")
def starving_malloc(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None or sys.platform != "linux":
        pytest.skip("needs a C compiler and glibc to build the starving allocator")
    folder = tmp_path_factory.mktemp("starving")
    (folder / "starving.c").write_text(STARVING_MALLOC)
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(folder / "starving.so"), str(folder / "starving.c")],
                   check=True)
    return folder / "starving.so"


@pytest.mark.parametrize("method", ["Matcher", "pairs", "groups", "match", "Talvik"])
def test_workers_out_of_memory_after_starting_raise_memory_error(starving_malloc, method):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(STARVED), method], capture_output=True, text=True,
                         timeout=600, env=child_env(PYTHONWARNINGS="ignore", LD_PRELOAD=str(starving_malloc)))
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["MemoryError"]

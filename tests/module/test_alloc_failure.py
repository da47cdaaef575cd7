"""Allocation failure: every allocation along one call, failed in turn, ends
in MemoryError or the right pairs, and leaves nothing behind.

The sweep itself lives in tests/support/inject (the LD_PRELOAD shim and its driver);
here it runs bounded, every 7th allocation, and `make inject-full` runs every
one. The first tests check that the shim fails what it is asked to, so that a
clean sweep means something."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SWEEP = os.path.join(HERE, "..", "support", "inject", "sweep.py")

from support.inject import sweep  # noqa: E402

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the shim and AddressSanitizer would both stand in for malloc")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    return sweep.build_shim(str(tmp_path_factory.mktemp("inject")))


def run_with_shim(shim, code, hook):
    env = {**os.environ, "LD_PRELOAD": shim}
    prelude = textwrap.dedent("""
        import ctypes, os
        shim = ctypes.CDLL(os.environ.pop("LD_PRELOAD"))
        shim.failalloc_arm.argtypes = [ctypes.c_long, ctypes.c_int]
        shim.failalloc_disarm.restype = ctypes.c_long
        shim.failalloc_injected.restype = ctypes.c_long
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
    """)
    if hook:  # count (and fail) the interpreter's own allocations too
        prelude += "assert shim.failalloc_hook_python() == 0\n"
    out = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


SHIM_CASES = [
    # (what, whether the interpreter's allocations count, code printing the
    # observed outcome, expected words)
    ("the first malloc of a window fails", False, """
        shim.failalloc_arm(1, 0); p = libc.malloc(64); q = libc.malloc(64); shim.failalloc_disarm()
        print(p is None, q is not None, shim.failalloc_injected()); libc.free(q)
    """, ["True", "True", "1"]),
    ("the third malloc of a window fails, not the others", False, """
        shim.failalloc_arm(3, 0); ps = [libc.malloc(16), libc.malloc(16), libc.malloc(16), libc.malloc(16),
                                        libc.malloc(16)]; shim.failalloc_disarm()
        print(*[p is None for p in ps]); [libc.free(p) for p in ps if p]
    """, ["False", "False", "True", "False", "False"]),
    ("sticky: every malloc from the n-th on fails", False, """
        shim.failalloc_arm(2, 1); ps = [libc.malloc(16), libc.malloc(16), libc.malloc(16), libc.malloc(16)]
        shim.failalloc_disarm()
        print(*[p is None for p in ps]); [libc.free(p) for p in ps if p]
    """, ["False", "True", "True", "True"]),
    ("a Python object allocation fails as MemoryError", True, """
        shim.failalloc_arm(1, 0)
        try:
            b = bytearray(100000); r = "allocated"
        except MemoryError:
            r = "MemoryError"
        shim.failalloc_disarm(); print(r)
    """, ["MemoryError"]),
    ("nothing fails once the window is closed", True, """
        shim.failalloc_arm(10**9, 1); shim.failalloc_disarm()
        p = libc.malloc(64); print(p is not None); libc.free(p)
    """, ["True"]),
    ("a window of n = 0 counts the call's allocations and fails none", True, """
        import Talvik
        names = ["Ann Lee"] * 60
        shim.failalloc_arm(0, 0); r = Talvik.parallel_find_matches(names, {"Ann": ["A"]}, None, 2)
        print(shim.failalloc_disarm() > len(r) > 1000, shim.failalloc_injected())
    """, ["True", "0"]),
]


@pytest.mark.parametrize("what, hook, code, expected", SHIM_CASES, ids=[c[0] for c in SHIM_CASES])
def test_shim(shim, what, hook, code, expected):
    assert run_with_shim(shim, code, hook) == expected


def run_sweep(tmp_path, *flags):
    report = tmp_path / "sweep.json"
    out = subprocess.run([sys.executable, SWEEP, "--build-dir", str(tmp_path), "--json", str(report),
                          "--no-backtrace", *flags], capture_output=True, text=True, timeout=900)
    return out, json.loads(report.read_text()) if report.exists() else None


@pytest.mark.parametrize("threads", [1, 2])
def test_every_seventh_allocation(tmp_path, threads):
    out, report = run_sweep(tmp_path, "--step", "7", "--threads", str(threads))
    assert out.returncode == 0, out.stdout + out.stderr
    assert report["faults"] == []
    outcomes = [r["outcome"] for r in report["records"] if r["injected"]]
    # Most failures must surface; a sweep where none did would prove nothing.
    assert outcomes.count("memory") > 0.8 * len(outcomes) > 200
    assert set(outcomes) <= {"memory", "ok"}
    assert all(r["after_ok"] for r in report["records"])


@pytest.mark.parametrize("threads", [1, 2])
def test_lasting_allocation_failure(tmp_path, threads):
    # Every allocation from the n-th on fails, as when memory is truly gone:
    # each call must still end in MemoryError, and the next one work. (The
    # shim spares the dynamic loader, which ends any process whose thread
    # cannot get its thread-local block.)
    out, report = run_sweep(tmp_path, "--step", "41", "--threads", str(threads), "--sticky")
    assert out.returncode == 0 and report["faults"] == [], out.stdout[-3000:]
    outcomes = [r["outcome"] for r in report["records"] if r["injected"]]
    assert set(outcomes) <= {"memory", "ok"} and outcomes.count("memory") > 0.9 * len(outcomes) > 50
    assert all(r["after_ok"] for r in report["records"])

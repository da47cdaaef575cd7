"""The child side of sweep.py: runs with libfailalloc.so preloaded, one
injected failure per n, and reports one JSON line per run and the growth
seen over all of them."""
import array
import ctypes
import faulthandler
import gc
import json
import os
import sys

# Started by sweep.py with bench/ (the plain-Python rule) on PYTHONPATH.
import reference
import scenario

MEMORY = object()
PAGE = os.sysconf("SC_PAGE_SIZE")
WHERE_DEPTH = 24

# What may be left after a sweep once a first pass has filled the caches (the
# interpreter's free lists and type caches): a few blocks and bytes, where one
# lost table is kilobytes and one lost result list thousands of blocks.
MAX_MALLOC_GROWTH = 16 * 1024
MAX_BLOCK_GROWTH = 200
MAX_RSS_GROWTH = 8 * 2**20


# Interpreter functions that crash when their own allocation fails, so none of
# theirs is failed: PyList_New(n > 0) of the free-threaded 3.14 build frees a
# fresh list whose item pointer and size were never set when its item array
# cannot be had (a segfault in list_dealloc).
EXEMPT = ["PyList_New"]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def load_shim():
    shim = ctypes.CDLL(os.environ.pop("LD_PRELOAD"))  # not for the processes this one starts
    shim.failalloc_arm.argtypes = [ctypes.c_long, ctypes.c_int]
    shim.failalloc_arm.restype = None
    shim.failalloc_disarm.restype = ctypes.c_long
    shim.failalloc_injected.restype = ctypes.c_long
    shim.failalloc_where.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]
    shim.failalloc_where.restype = ctypes.c_int
    if shim.failalloc_hook_python() != 0:
        sys.exit("cannot wrap the interpreter's allocators")
    shim.failalloc_exempt.argtypes = [ctypes.c_char_p]
    for name in EXEMPT:
        if shim.failalloc_exempt(name.encode()) != 0:
            sys.exit(f"cannot find {name}")
    shim.failalloc_crash_handler()
    return shim


def malloc_in_use(libc=ctypes.CDLL(None)):
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def tracked_objects(names, table):
    """The inputs and everything they hold: their counts must come back."""
    objects = [names, table, *names]
    for key, value in table.items():
        objects += [key, value, *value]
    return objects


def snapshot(objects, first):
    """The counts, and the reference counts and the ids of every GC object in
    arrays, where a set would be thousands of int blocks of its own.

    The first snapshot takes its counts after making its arrays and the
    second before, so that both count the first one's arrays: on a regular
    build they live in malloc'd memory (over 100 KB), on a free-threaded one
    in mimalloc's."""
    for _ in range(3):
        gc.collect()

    def arrays():
        return {"refcounts": array.array("q", [sys.getrefcount(o) for o in objects]),
                "gc_ids": array.array("Q", sorted(id(o) for o in gc.get_objects()))}

    held = arrays() if first else {}
    counts = {"blocks": sys.getallocatedblocks(), "malloc": malloc_in_use(), "rss": rss(),
              "threads": len(os.listdir("/proc/self/task"))}
    counts.update(held or arrays())
    return counts


def growth(before, after, objects):
    """What grew between two snapshots, in words; empty when nothing did."""
    everything = gc.get_objects()
    old = set(before["gc_ids"])
    old.update(id(x) for x in (before, after, everything, old, *before.values(), *after.values()))
    new = [type(o).__name__ for o in everything if id(o) not in old]
    del everything, old
    problems = []
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before["refcounts"], after["refcounts"]) if a != b]
    if changed:
        problems.append(f"reference counts changed (object, before, after): {changed[:5]}")
    if new:
        problems.append(f"{len(new)} new GC objects: {sorted(set(new))[:10]}")
    limits = {"blocks": MAX_BLOCK_GROWTH, "malloc": MAX_MALLOC_GROWTH, "rss": MAX_RSS_GROWTH, "threads": 0}
    for key, limit in limits.items():
        if after[key] - before[key] > limit:
            problems.append(f"{key} grew from {before[key]} to {after[key]}")
    return problems


class Sites:
    """Names the place of an injected failure by the frames inside the module."""

    def __init__(self, module_file):
        self.path = os.path.realpath(module_file)
        self.ranges = []
        with open("/proc/self/maps") as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 6 and fields[5] == self.path:
                    start, end = (int(x, 16) for x in fields[0].split("-"))
                    self.ranges.append((start, end))
        self.base = min(start for start, _ in self.ranges)

    def offsets(self, shim):
        frames = (ctypes.c_void_p * WHERE_DEPTH)()
        depth = shim.failalloc_where(frames, WHERE_DEPTH)
        # A return address points past its call: one byte back is inside it.
        return [f - 1 - self.base for f in frames[:depth]
                if f and any(start <= f < end for start, end in self.ranges)]


def one_run(shim, find, args_, expected, n, sticky):
    shim.failalloc_arm(n, sticky)
    try:
        got = find(*args_)
    except MemoryError:
        got = MEMORY
    except BaseException as e:  # noqa: BLE001 - any other outcome is the finding
        got = e
    finally:
        counted = shim.failalloc_disarm()
    record = {"n": n, "counted": counted, "injected": shim.failalloc_injected()}
    if got is MEMORY:
        record["outcome"] = "memory"
    elif isinstance(got, BaseException):
        record["outcome"] = "raised " + type(got).__name__
        record["detail"] = str(got)[:200]
    elif got == expected:
        record["outcome"] = "ok"
    else:
        record["outcome"] = "wrong"
        record["detail"] = f"{len(got)} pairs, expected {len(expected)}"
    del got
    record["after_ok"] = find(*args_) == expected
    return record


def main(args):
    shim = load_shim()
    faulthandler.enable()
    import Talvik
    find = Talvik.parallel_find_matches
    names, table = scenario.inputs()
    call = (names, table, None, args.threads)
    expected = find(*call)
    if expected != reference.find_matches(names, table):
        sys.exit("the undisturbed call disagrees with the reference")
    if args.count:
        counts = []
        for _ in range(3):
            shim.failalloc_arm(0, 0)
            find(*call)
            counts.append(shim.failalloc_disarm())
        print(max(counts))
        return 0
    return sweep(args, shim, find, call, expected, names, table, Talvik.__file__)


def sweep(args, shim, find, call, expected, names, table, module_file):
    ns = [int(n) for n in args.ns.split(",")]
    sites = Sites(module_file) if args.where else None
    # A first, sparser pass fills the caches; only what grows after it counts.
    # It fails one allocation at a time, so that this thread's first C++
    # exception, which sets up the runtime's thread-local data, finds memory.
    for n in ns[::max(1, len(ns) // 60)]:
        one_run(shim, find, call, expected, n, False)
    malloc_in_use()
    objects = tracked_objects(names, table)
    before = snapshot(objects, first=True)
    for i, n in enumerate(ns):
        if i % 10 == 0:
            gc.collect()  # else the count of blocks also holds freed ones not yet reclaimed
        print("begin", n, flush=True)
        record = one_run(shim, find, call, expected, n, args.sticky)
        if sites is not None and record["injected"]:
            record["offsets"] = sites.offsets(shim)
        print("done", json.dumps(record), flush=True)
    del record
    after = snapshot(objects, first=False)
    problems = growth(before, after, objects)
    summary = {k: after[k] - before[k] for k in ("blocks", "malloc", "rss", "threads")}
    print("stats", json.dumps({"span": [ns[0], ns[-1]], "growth": summary, "problems": problems,
                               "module": os.path.realpath(module_file)}), flush=True)
    return 0

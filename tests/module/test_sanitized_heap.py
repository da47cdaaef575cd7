"""Under AddressSanitizer (`make sanitize`): thousands of calls, successful
and failing, leave the heap in use where it was.

The runtime's own mappings grow with every thread it sees, so RSS says
little there; the bytes it reports as allocated and not freed say exactly
what the native code kept. Skipped without the runtime."""
import ctypes
import gc
import sys

import pytest

import test_leaks

try:
    _allocated = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    _allocated.restype = ctypes.c_size_t
except AttributeError:
    _allocated = None

pytestmark = pytest.mark.skipif(_allocated is None, reason="needs the AddressSanitizer runtime (make sanitize)")


def heap_in_use():
    gc.collect()
    return _allocated()


@pytest.mark.parametrize("call", range(len(test_leaks.CALLS)))
def test_heap_stays_flat(call):
    f = test_leaks.CALLS[call]

    def run():
        try:
            f()
        except (ValueError, TypeError):
            pass

    for _ in range(50):
        run()
    before, blocks = heap_in_use(), sys.getallocatedblocks()
    for _ in range(1000):
        run()
    grown = heap_in_use() - before
    # One table, name array or set of pairs lost per call would be 100 kB and
    # more after a thousand calls; what may move is a cache of the interpreter.
    assert grown < 64 * 1024, f"heap in use grew by {grown} bytes"
    assert sys.getallocatedblocks() - blocks < 500

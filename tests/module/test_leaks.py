"""Thousands of calls, successful and failing, leave memory flat."""
import gc
import os
import sys

import pytest

import Talvik

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


NAMES = [f"First{i % 40} Last{i % 13}" for i in range(300)]
TABLE = {f"First{i}": [f"First{(i + 1) % 40}", "x" * 200] for i in range(40)}


class Fails(str):
    def encode(self, *args):
        raise ValueError("no")


CALLS = [
    lambda: Talvik.parallel_find_matches(NAMES, TABLE, None, 2),
    lambda: Talvik.parallel_find_matches(NAMES, {**TABLE, Fails("k"): []}, None),     # table build fails
    lambda: Talvik.parallel_find_matches(NAMES + [Fails("A B")], TABLE, None, 1),    # encoding fails
    lambda: Talvik.parallel_find_matches(NAMES, TABLE, None, -5),                    # thread count refused
    lambda: Talvik.parallel_find_matches(NAMES, TABLE),                              # binding fails
]


def cycle():
    for call in CALLS:
        try:
            call()
        except (ValueError, TypeError):
            pass


def test_memory_stays_flat():
    for _ in range(200):
        cycle()
    gc.collect()
    before = rss()
    for _ in range(2000):
        cycle()
    gc.collect()
    grown = rss() - before
    # A table or a name array lost per call would be tens of megabytes here.
    assert grown < 8 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB"


def test_references_are_returned():
    name, key, value = NAMES[0], "First1", TABLE["First1"]
    counts = [sys.getrefcount(o) for o in (name, key, value, NAMES, TABLE)]
    for _ in range(100):
        cycle()
    assert [sys.getrefcount(o) for o in (name, key, value, NAMES, TABLE)] == counts

"""Bad input fails at once with a clear exception; failures leave nothing behind."""
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pyarrow as pa
import pytest

import talvik

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Words(str):
    """A str subclass: read as the str it is, whatever its methods say."""

    def split(self, *args):
        return []


M = talvik.Matcher(["A B", "B A"])

BAD_CALLS = [
    (lambda: talvik.Matcher(["A B", 5, "C D"]), TypeError, "names[1] must be str or None, not int"),
    (lambda: talvik.Matcher(["A B", b"C D"]), TypeError, "names[1] must be str or None, not bytes"),
    (lambda: talvik.Matcher(np.array([1.5, 2.0])), TypeError, "names[0] must be str or None, not float"),
    (lambda: talvik.Matcher("Ann Lee"), TypeError, "names must be a sequence of str, not str"),
    (lambda: talvik.Matcher({"Ann Lee"}), TypeError, "names must be a sequence of str, not set"),
    (lambda: talvik.Matcher(5), TypeError, "names must be a sequence of str, not int"),
    (lambda: talvik.Matcher(np.array([["A B"]])), ValueError, "names must be one-dimensional, not of shape (1, 1)"),
    (lambda: talvik.Matcher(["A B"], threads=0), ValueError, "threads must be at least 1, got 0"),
    (lambda: talvik.Matcher(["A B"], threads=-2), ValueError, "threads must be at least 1, got -2"),
    (lambda: talvik.Matcher(["A B"], threads=True), TypeError, "threads must be an int or None, not bool"),
    (lambda: talvik.Matcher(["A B"], threads=2.0), TypeError, "threads must be an int or None, not float"),
    (lambda: talvik.Matcher(["A B"], [("A", ["B"])]), TypeError,
     "tradeouts must be a mapping from a word to words, not list"),
    (lambda: talvik.Matcher(["A B"], {"Bob": "Robert"}), TypeError,
     "tradeouts['Bob'] must be an iterable of words, not str (write ['Robert'])"),
    (lambda: talvik.Matcher(["A B"], {"Bob": 5}), TypeError, "tradeouts['Bob'] must be an iterable of words, not int"),
    (lambda: talvik.Matcher(["A B"], {"Bob": ["Rob", 5]}), TypeError, "tradeouts['Bob'] holds a int; words must be str"),
    (lambda: talvik.Matcher(["A B"], {5: ["x"]}), TypeError, "tradeouts keys must be str, not int"),
    (lambda: talvik.Matcher(pa.array([1, 2])), TypeError,
     "names: Arrow format 'l' is not a string type; expected string ('u') or large_string ('U')"),
    (lambda: talvik.Matcher(pa.array([1, 2]).dictionary_encode()), TypeError,
     "names: Arrow dictionary values of format 'l' are not a string type; "
     "expected string ('u'), large_string ('U') or string_view ('vu')"),
    (lambda: talvik.Matcher(pa.table({"name": ["A B"]})), TypeError,
     "names: Arrow format '+s' is a struct (a table or record batch: pass one of its columns); "
     "expected string ('u') or large_string ('U')"),
    (lambda: M.match([None, 7]), TypeError, "other_names[1] must be str or None, not int"),
    (lambda: M.pairs(range(0, 3, 2)), ValueError, "rows must have step 1, not 2"),
    (lambda: M.pairs(slice(None, None, -1)), ValueError, "rows must have step 1, not -1"),
    (lambda: M.pairs(range(0, 3)), ValueError, "rows range(0, 3) are out of range for 2 names"),
    (lambda: M.count(range(-1, 1)), ValueError, "rows range(-1, 1) are out of range for 2 names"),
    (lambda: M.pairs([0, 1]), TypeError, "rows must be a range, a slice or None, not list"),
    (lambda: M.pairs(progress="yes"), TypeError, "progress must be a bool, not str"),
    (lambda: M.iter_pairs(0), ValueError, "chunk_size must be at least 1, got 0"),
    (lambda: M.iter_pairs(progress=1), TypeError, "progress must be a bool, not int"),
]


@pytest.mark.parametrize("call, exc_type, message", BAD_CALLS, ids=[m for _, _, m in BAD_CALLS])
def test_bad_input_is_refused_clearly(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("names, exc_type, note", [
    (["A B", "A \ud800"], UnicodeEncodeError, "while reading names[1]"),
    (pa.array([b"A B", b"C \xff D", b"E"], type=pa.binary()).cast(pa.string(), safe=False),
     UnicodeDecodeError, "while reading names[1]"),
    (pa.chunked_array([["x y"], pa.array([b"", b"\xe0\x80 a"]).cast(pa.string(), safe=False)]),
     UnicodeDecodeError, "while reading names[2]"),
])
def test_bad_text_names_its_item(names, exc_type, note):
    with pytest.raises(exc_type) as info:
        talvik.Matcher(names)
    assert info.value.__notes__ == [note]


def test_the_index_of_a_str_subclass_is_its_text():
    assert talvik.find_pairs([Words("A B"), Words("B A")]).tolist() == [[0, 1]]


CALLS = [
    lambda: talvik.Matcher([f"F{i % 40} L{i % 13}" for i in range(300)], {"F1": ["F2"]}).pairs(),
    lambda: M.match(pa.array(["A B", None, "B A"])),
    lambda: list(M.iter_pairs(1)),
    lambda: talvik.Matcher(["A B", 5]),
    lambda: talvik.Matcher(["A B"], {"F": ["G", 5]}),
    lambda: talvik.Matcher(pa.array([1])),
    lambda: talvik.Matcher(pa.array([b"\xff"]).cast(pa.string(), safe=False)),
    lambda: M.match(["A B", "C \ud800"]),
]


def test_memory_and_references_stay_flat():
    names = ["A B", "B A"] * 50
    table = {"A": ["B"]}

    def cycle():
        for call in CALLS:
            try:
                call()
            except (TypeError, ValueError):
                pass

    for _ in range(50):
        cycle()
    gc.collect()
    before, refs = rss(), [sys.getrefcount(o) for o in (names, table, names[0], table["A"])]
    for _ in range(500):
        cycle()
        talvik.find_pairs(names, table)
    gc.collect()
    grown = rss() - before
    assert grown < 8 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB"
    assert [sys.getrefcount(o) for o in (names, table, names[0], table["A"])] == refs


def test_running_out_of_memory_raises_memory_error():
    # Under an address-space limit the search's sets cannot grow: MemoryError,
    # and the process goes on.
    code = """
        import resource, sys
        import talvik
        m = talvik.Matcher(["Ann Lee"] * 30_000, threads=2)
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + 600 * 2**20, resource.RLIM_INFINITY))
        try:
            m.pairs()  # 450 million pairs, 3.4 GiB
            print("no error")
        except MemoryError as e:
            print("MemoryError", "memory available" in str(e))
        print(len(talvik.find_pairs(["A B", "B A"])))
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "True", "1"]

"""talvik's pairs against the Talvik module and the plain-Python rule, and
every way of asking for them against the whole result."""
import random
from types import MappingProxyType

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import Talvik
import reference
from support.strategies import name_lists
import talvik
from support.names import census_like

VOCAB = ["Ann", "Anna", "Bob", "Robert", "J", "John", "é", "Ünal", "李", "a\tb", "x\x00y",
         "w" * 1100, "w" * 1100 + "v", "Smith", "\x00"]
SEPARATORS = [" ", " ", "  ", "\t", "\u3000"]

names_st = name_lists(VOCAB, SEPARATORS)
table_st = st.dictionaries(st.sampled_from(VOCAB + ["a", "b", "A", ""]),
                           st.lists(st.sampled_from(VOCAB + [""]), max_size=4), max_size=8)


def as_names(names, pairs):
    return [(names[i], names[j]) for i, j in pairs.tolist()]


@settings(max_examples=300, deadline=None, derandomize=True)
@given(names=names_st, table=table_st, threads=st.sampled_from([1, 2, 3]))
def test_agrees_with_the_module(names, table, threads):
    pairs = talvik.Matcher(names, table, threads=threads).pairs()
    assert pairs.dtype == np.int32 and pairs.shape == (len(pairs), 2)
    assert as_names(names, pairs) == Talvik.parallel_find_matches(names, table, None, 1)
    assert all(i < j for i, j in pairs.tolist())


@pytest.mark.parametrize("names, expected", [
    ([], []),
    (["A B"], []),
    (["A", " ", "", "A", None], []),
    (["A\tB", "A\tB"], []),                   # two words to str.split(), one to the rule
    (["A B", "A B", "B A"], [(0, 1), (0, 2), (1, 2)]),
    (["A", "A B", None, "Z", "B A"], [(1, 4)]),   # indices into the names as given
    (["a\x00b c", "c a\x00b"], [(0, 1)]),
    (["\x00 c", "c \x00", "\x00c"], [(0, 1)]),
    (["A B C", "A C", "C A D E", "D E"], [(0, 1), (1, 2), (2, 3)]),
])
def test_selection_and_indices(names, expected):
    assert talvik.find_pairs(names).tolist() == [list(p) for p in expected]


@pytest.mark.parametrize("seed", [1, 2])
def test_larger_inputs_agree_with_the_module(seed):
    names, table = census_like(3000, seed)
    pairs = talvik.find_pairs(names, table, threads=2)
    assert len(pairs) > 20_000  # past the engine's first pieces and sets
    assert as_names(names, pairs) == Talvik.parallel_find_matches(names, table, None, 2)


def partitions(n, rng):
    cuts = sorted(rng.sample(range(n + 1), 6))
    bounds = [0, *cuts, n]
    return [range(a, b) for a, b in zip(bounds, bounds[1:])]


def test_every_way_gives_the_whole_result():
    names, table = census_like(2500, 7)
    names[5] = None
    matcher = talvik.Matcher(names, table, threads=2)
    whole = matcher.pairs()
    n = len(names)
    rng = random.Random(3)
    arrow = pa.array(names)
    ways = {
        "partition of ranges": lambda: np.concatenate([matcher.pairs(r) for r in partitions(n, rng)]),
        "partition of slices": lambda: np.concatenate(
            [matcher.pairs(slice(r.start, r.stop)) for r in partitions(n, rng)]),
        "negative slice": lambda: np.concatenate([matcher.pairs(slice(None, -100)),
                                                  matcher.pairs(slice(-100, None))]),
        "iter_pairs, chunk 1": lambda: np.concatenate(list(matcher.iter_pairs(1))),
        "iter_pairs, chunk 777": lambda: np.concatenate(list(matcher.iter_pairs(777))),
        "iter_pairs, default": lambda: np.concatenate(list(matcher.iter_pairs())),
        "iter_pairs of partitions": lambda: np.concatenate(
            [c for r in partitions(n, rng) for c in matcher.iter_pairs(500, rows=r)]),
        "one thread": lambda: talvik.find_pairs(names, table, threads=1),
        "tuple": lambda: talvik.find_pairs(tuple(names), table),
        "generator": lambda: talvik.find_pairs((x for x in names), table),
        "NumPy object array": lambda: talvik.find_pairs(np.array(names, dtype=object), table),
        "Arrow string": lambda: talvik.find_pairs(arrow, table),
        "Arrow large_string": lambda: talvik.find_pairs(arrow.cast(pa.large_string()), table),
        "Arrow chunked": lambda: talvik.find_pairs(
            pa.chunked_array([arrow[:1000], arrow[1000:1001], arrow[1001:1001], arrow[1001:]]), table),
        "Arrow slices": lambda: talvik.find_pairs(
            pa.chunked_array([arrow.slice(0, 700), arrow.slice(700)]), table),
        "Arrow array only": lambda: talvik.find_pairs(ArrayOnly(arrow), table),
        "a mapping proxy": lambda: talvik.find_pairs(names, MappingProxyType(table)),
    }
    for what, way in ways.items():
        got = way()
        assert got.dtype == np.int32 and got.tolist() == whole.tolist(), what
    assert matcher.count() == len(whole)
    for r in partitions(n, rng):
        assert matcher.count(r) == len(matcher.pairs(r))
    chunks = list(matcher.iter_pairs(777))
    assert max(map(len, chunks)) <= 777 and len(chunks) >= len(whole) // 777


def test_numpy_str_array_and_empty_ranges():
    names = np.array(["Ann Lee", "Lee Ann", "Bob", "Ann  Lee"])
    matcher = talvik.Matcher(names)
    assert matcher.pairs().tolist() == [[0, 1], [0, 3], [1, 3]]
    for rows in [range(0), range(3, 3), range(2, 1), slice(3, 1), slice(9, None)]:
        got = matcher.pairs(rows)
        assert got.shape == (0, 2) and matcher.count(rows) == 0 and list(matcher.iter_pairs(rows=rows)) == []


class ArrayOnly:
    """Offers only __arrow_c_array__, as some producers do."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


def test_arrow_nulls_and_utf8():
    names = ["Ann Lee", None, "Lee Ann", "李 王", "王 李", "é\u2003x", "x é", "Ünal  Li", None, "Li Ünal"]
    arrow = pa.array(names)
    assert talvik.find_pairs(names).tolist() == [[0, 2], [3, 4], [7, 9]]
    for table in [None, {"é\u2003x": ["x"]}, {"Ann": ["李"], "李": ["Ann"]}]:
        assert talvik.find_pairs(arrow, table).tolist() == talvik.find_pairs(names, table).tolist()


def brute_force_link(other, names, table):
    t = reference.tradeouts(table)
    ok = [n is not None and len(n.split()) > 1 for n in names]
    return [[i, j] for i, a in enumerate(other) if a is not None and len(a.split()) > 1
            for j, b in enumerate(names) if ok[j] and reference.matches(a, b, t)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_match_against_the_cross_product(seed):
    names, table = census_like(400, seed)
    other, _ = census_like(300, seed + 10)
    other[3] = None
    matcher = talvik.Matcher(names, table, threads=2)
    got = matcher.match(other)
    expected = brute_force_link(other, names, table)
    assert len(expected) > 1000
    assert got.dtype == np.int32 and got.tolist() == expected
    assert matcher.match(pa.array(other)).tolist() == expected
    assert matcher.match([]).shape == (0, 2)
    assert talvik.Matcher([], table).match(other).shape == (0, 2)


def test_pairs_are_a_writable_int32_array():
    pairs = talvik.find_pairs(["A B", "B A", "A B"])
    assert pairs.flags.writeable and pairs.flags.c_contiguous and pairs.dtype == np.int32
    pairs[0, 0] = 9
    assert pairs.tolist() == [[9, 1], [0, 2], [1, 2]]
    assert memoryview(pairs.base).shape == (3, 2) and memoryview(pairs.base).format == "i"

"""Matcher.tradeout_usage against a tally made pair by pair in plain Python."""
import random
import sys
from collections import Counter
from itertools import combinations

import pytest

import reference
import talvik
from support.interrupts import interrupt

# One-character keys (each its own tradeout), a two-byte one that is not,
# keys listed both ways and one way, a key among its own words, a key whose
# words no name holds, and single letters in other keys' lists.
TABLE = {
    "Bob": ["Robert", "Rob"],
    "Robert": ["Bob"],
    "Rob": ["Robert", "Bob"],
    "J": ["John", "Jack", "J"],
    "John": ["J", "Jack"],
    "Jack": ["John"],
    "é": ["e", "Émile"],
    "e": ["é"],
    "Ann": ["Anna", "A"],
    "A": ["Ann"],
    "Li": ["Lee"],
    "Nobody": ["Zed"],
    "Smith": [],
}
WORDS = ["Bob", "Robert", "Rob", "J", "John", "Jack", "é", "e", "Émile", "Ann", "Anna", "A", "Li", "Lee",
         "Smith", "Jones"]


def random_names(seed, n):
    rng = random.Random(seed)
    pool = WORDS[: rng.randint(6, len(WORDS))]
    names = []
    for _ in range(n):
        count = rng.choice([1, 2, 2, 2, 3, 3, 4, 5]) if rng.random() > 0.02 else rng.randint(17, 40)
        names.append(" ".join(rng.choice(pool) for _ in range(count)))
    names += [None, "", "Bob\tSmith"]
    rng.shuffle(names)
    return names


def brute_force_usage(names, table):
    """(pairs, needed) per key, from explain() for the uses and the plain
    rule run again without the key for the needs."""
    full = reference.tradeouts(table)
    pairs, needed = Counter(), Counter()
    matched = 0
    for a, b in combinations(names, 2):
        if a is None or b is None or len(a.split()) < 2 or len(b.split()) < 2:
            continue
        if not reference.matches(a, b, full):
            continue
        matched += 1
        e = talvik.explain(a, b, table)
        assert e.match
        used = {w.word for w in e.words1 + e.words2 if w.how == "tradeout"}
        for key in used:
            pairs[key] += 1
            without = reference.tradeouts({k: v for k, v in table.items() if k != key})
            needed[key] += not reference.matches(a, b, without)
    return {k: (pairs[k], needed[k]) for k in pairs}, matched


def without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError


@pytest.mark.parametrize("threads", [1, 2, 7])
@pytest.mark.parametrize("seed, n", [(0, 40), (1, 150), (2, 300)])
def test_usage_is_the_pair_by_pair_tally(seed, n, threads, monkeypatch):
    without_pandas(monkeypatch)
    names = random_names(seed, n)
    expected, matched = brute_force_usage(names, TABLE)
    m = talvik.Matcher(names, TABLE, threads=threads)
    assert m.count() == matched
    usage = m.tradeout_usage()
    assert usage == expected
    assert list(usage) == sorted(expected, key=lambda k: (-expected[k][0], k))
    assert all(0 <= need <= used for used, need in usage.values())


CASES = [
    # (names, tradeouts, expected): the edge cases of what counts as a use.
    (["J Smith", "John Smith"], {"J": ["John"]}, {}),  # John cannot find J back
    (["J Smith", "John Smith"], {"J": ["John"], "John": ["J"]}, {"J": (1, 1), "John": (1, 1)}),
    # The same word first: J is in both names, so nothing is used.
    (["J Smith", "J J Smith"], {"J": ["John"]}, {}),
    # Two positions through one key count once; both needed.
    (["John Smith", "J J Smith"], {"J": ["John"], "John": ["J"]}, {"J": (1, 1), "John": (1, 1)}),
    # A four-word name needs two words found, so the tradeout is not needed.
    (["Bob Lee Smith Jones", "Robert Smith Jones Lee"], {"Bob": ["Robert"]}, {"Bob": (1, 0)}),
    # A key listed among its own words, and a one-character key against itself.
    (["Ann Lee", "Anna Lee", "A Lee"], {"Ann": ["Ann", "Anna"], "Anna": ["Ann"], "A": ["A"]},
     {"Ann": (1, 1), "Anna": (1, 1)}),
    (["Bob Smith", "Robert Smith"], None, {}),
    (["Bob Smith", "Robert Smith", "Smith Robert"], {"Robert": ["Bob"], "Bob": ["Robert"]},
     {"Bob": (2, 2), "Robert": (2, 2)}),
]


@pytest.mark.parametrize("names, tradeouts, expected", CASES)
def test_what_counts_as_a_use(names, tradeouts, expected, monkeypatch):
    without_pandas(monkeypatch)
    assert talvik.Matcher(names, tradeouts, threads=2).tradeout_usage() == expected


def test_a_dataframe_when_pandas_imports():
    pd = pytest.importorskip("pandas")
    names = random_names(3, 200)
    expected, _ = brute_force_usage(names, TABLE)
    frame = talvik.Matcher(names, TABLE, threads=2).tradeout_usage()
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == ["key", "pairs", "needed"]
    assert str(frame["pairs"].dtype) == str(frame["needed"].dtype) == "int64"
    order = sorted(expected, key=lambda k: (-expected[k][0], k))
    assert frame["key"].tolist() == order
    assert list(zip(frame["pairs"], frame["needed"])) == [expected[k] for k in order]
    empty = talvik.Matcher(["A B"]).tradeout_usage()
    assert list(empty.columns) == ["key", "pairs", "needed"] and len(empty) == 0


def test_progress_bar(capsys, monkeypatch):
    without_pandas(monkeypatch)
    m = talvik.Matcher([f"Bob{i % 40} Smith" for i in range(3000)] + ["Bob Smith", "Robert Smith"],
                       {"Bob": ["Robert"], "Robert": ["Bob"]}, threads=2)
    assert m.tradeout_usage(progress=True) == {"Bob": (1, 1), "Robert": (1, 1)}
    err = capsys.readouterr().err
    assert "talvik tradeout usage" in err and "3.00k/3.00k" in err
    with pytest.raises(TypeError, match="progress must be a bool, not int"):
        m.tradeout_usage(progress=1)


def test_ctrl_c_stops_the_tally():
    line, latency, (_, left), after = interrupt("tradeout_usage")
    assert line == "interrupted"
    assert latency < 0.5, f"took {latency:.2f} s"
    assert left < 16, f"{left} MiB left over"
    assert after == "[[0, 0], [0, 1]]"


@pytest.mark.parametrize("threads", [1, 2])
def test_the_pieces_of_a_long_list_add_up(threads, monkeypatch):
    # More rows than one piece, more pairs than one worker's chunk.
    without_pandas(monkeypatch)
    names = [f"{first} Smith{k} Lee" for k in range(12_000) for first in ("Bob", "Robert")]
    names += ["Rob Smith0 Lee", "J Smith5"]
    table = {"Bob": ["Robert", "Rob"], "Robert": ["Bob"]}
    m = talvik.Matcher(names, table, threads=threads)
    # Rob Smith0 Lee is found by Bob (whose list holds Rob) but cannot find it back.
    assert m.count() == 12_000
    assert m.tradeout_usage() == {"Bob": (12_000, 12_000), "Robert": (12_000, 12_000)}

"""talvik.variants against a plain-Python brute force, its merge with a
table, its inputs and errors, and Ctrl-C."""
import random
import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import talvik
from support.interrupts import send_ctrl_c


def osa(a: str, b: str, swaps: bool) -> int:
    d = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        d[i][0] = i
    for j in range(len(b) + 1):
        d[0][j] = j
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if swaps and i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def brute_force(items, max_edits, min_length, swaps):
    vocabulary = list(dict.fromkeys(w for item in items if item is not None for w in item.split(" ") if w))
    table = {}
    for w in vocabulary:
        near = [v for v in vocabulary if v != w and len(v) >= min_length and len(w) >= min_length
                and osa(w, v, swaps) <= max_edits]
        if near:
            table[w] = near
    return table


def random_items(alphabet, count, longest, seed):
    rng = random.Random(seed)
    words = []
    for _ in range(count):
        if words and rng.random() < 0.6:
            w = list(rng.choice(words))
            for _ in range(rng.randint(1, 3)):
                at = rng.randrange(len(w) + 1)
                op = rng.randrange(4)
                if op == 0:
                    w.insert(at, rng.choice(alphabet))
                elif op == 1 and at < len(w):
                    del w[at]
                elif op == 2 and at < len(w):
                    w[at] = rng.choice(alphabet)
                elif at + 1 < len(w):
                    w[at], w[at + 1] = w[at + 1], w[at]
            w = "".join(w)
        else:
            w = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, longest)))
        words.append(w)
    # Some items are names of two or three words, some missing.
    items = []
    while words:
        k = rng.choice([1, 1, 2, 3])
        items.append(" ".join(words[:k]))
        words = words[k:]
        if rng.random() < 0.05:
            items.append(None)
    return items


@pytest.mark.parametrize(
    "alphabet, count, longest, max_edits, min_length, swaps",
    [
        ("ab", 80, 6, 1, 0, True),
        ("ab", 80, 7, 2, 1, True),
        ("ab", 80, 7, 2, 1, False),
        ("ehnost", 200, 9, 1, 3, True),
        ("ehnost", 200, 9, 2, 5, True),
        ("ehnost", 200, 9, 2, 2, False),
        ("eéèaäß€😀", 150, 7, 2, 1, True),   # multibyte: lengths and edits in code points
        ("eéèaä", 150, 7, 1, 4, False),
        ("ab", 40, 40, 2, 30, True),           # words too long for the deletion keys
    ],
)
def test_same_as_brute_force(alphabet, count, longest, max_edits, min_length, swaps):
    for seed in range(4):
        items = random_items(alphabet, count, longest, seed)
        got = talvik.variants(items, max_edits=max_edits, min_length=min_length, transpositions=swaps, threads=2)
        assert got == brute_force(items, max_edits, min_length, swaps), seed


@settings(max_examples=60, deadline=None)
@given(st.lists(st.text(alphabet="abc é", max_size=8) | st.none(), max_size=25), st.sampled_from([1, 2]),
       st.integers(0, 4), st.booleans())
def test_same_as_brute_force_on_any_items(items, max_edits, min_length, swaps):
    got = talvik.variants(items, max_edits=max_edits, min_length=min_length, transpositions=swaps)
    assert got == brute_force(items, max_edits, min_length, swaps)


@pytest.mark.parametrize(
    "items, kwargs, expected",
    [
        (["Jo", "Jon"], {}, {}),                                      # Jo is shorter than the default 3
        (["Jon", "John"], {}, {"Jon": ["John"], "John": ["Jon"]}),
        (["Jon", "John"], {"min_length": 4}, {}),
        (["Jhon", "John"], {}, {"Jhon": ["John"], "John": ["Jhon"]}),
        (["Jhon", "John"], {"transpositions": False}, {}),
        (["Jhon", "John"], {"transpositions": False, "max_edits": 2, "min_length": 4},
         {"Jhon": ["John"], "John": ["Jhon"]}),
        (["Smith", "Smyth"], {}, {"Smith": ["Smyth"], "Smyth": ["Smith"]}),
        (["Smith", "Smithson"], {"max_edits": 2}, {}),                # Smith is shorter than the default 7
        # By default, two edits keep the one-edit variants of shorter words,
        # and list each word's one-edit variants first.
        (["Lind", "Linda", "Maryanne", "Mariane", "Marianne"], {"max_edits": 2},
         {"Lind": ["Linda"], "Linda": ["Lind"], "Maryanne": ["Marianne", "Mariane"],
          "Mariane": ["Marianne", "Maryanne"], "Marianne": ["Maryanne", "Mariane"]}),
        (["Lind", "Linda", "Maryanne", "Mariane", "Marianne"], {"max_edits": 2, "min_length": 5},
         {"Maryanne": ["Mariane", "Marianne"], "Mariane": ["Maryanne", "Marianne"],
          "Marianne": ["Maryanne", "Mariane"]}),
        (["José", "Jose"], {}, {"José": ["Jose"], "Jose": ["José"]}),  # é is one character
        (["Ann\tLee", "Ann\tLea"], {}, {"Ann\tLee": ["Ann\tLea"], "Ann\tLea": ["Ann\tLee"]}),  # ASCII spaces only
        (["  Hanna   Hannah ", "Hannah"], {"min_length": 1}, {"Hanna": ["Hannah"], "Hannah": ["Hanna"]}),
        ((w for w in ["Smith", None, "Smyth"]), {}, {"Smith": ["Smyth"], "Smyth": ["Smith"]}),
        (np.array(["Smith Lee", "Smyth Lee"]), {}, {"Smith": ["Smyth"], "Smyth": ["Smith"]}),
        (np.array(["Smith", None, "Smyth"], dtype=object), {}, {"Smith": ["Smyth"], "Smyth": ["Smith"]}),
        (("Marta", "Martha", "Marte"), {}, {"Marta": ["Martha", "Marte"], "Martha": ["Marta"], "Marte": ["Marta"]}),
    ],
)
def test_cases(items, kwargs, expected):
    assert talvik.variants(items, **kwargs) == expected


def test_merge_with_a_table():
    given = {"Smith": ["Smithe", "Smyth", "Smith"], "Jon": ["John"]}
    frozen = {k: list(v) for k, v in given.items()}
    got = talvik.variants(["Smith Smyth", "Smiht Smithe"], types.MappingProxyType(given))
    assert given == frozen  # not changed in place
    # Existing words first, as they were; new ones in order of appearance,
    # never repeated, never the word itself.
    assert got["Smith"] == ["Smithe", "Smyth", "Smith", "Smiht"]
    assert got["Jon"] == ["John"]
    assert got["Smyth"] == ["Smith"]
    assert got["Smiht"] == ["Smith"]
    assert got["Smithe"] == ["Smith"]
    assert got["Smith"] is not given["Smith"]
    assert talvik.find_pairs(["Anne Smiht", "Anne Smyth"], got).tolist() == []  # Smiht and Smyth are two edits
    assert talvik.find_pairs(["Anne Smiht", "Anne Smith"], got).tolist() == [[0, 1]]


def test_same_result_with_any_threads():
    rng = random.Random(5)
    items = random_items("aeinrst", 20000, 10, 3) + ["".join(rng.choice("aeinrst") for _ in range(35))] * 2
    one = talvik.variants(items, max_edits=2, min_length=3, threads=1)
    two = talvik.variants(items, max_edits=2, min_length=3, threads=2)
    assert one == two
    assert list(one) == list(two)
    assert sum(map(len, one.values())) > 10000


@pytest.mark.parametrize(
    "items, kwargs, error, message",
    [
        (["a", None, 3], {}, TypeError, r"items\[2\] must be str or None, not int"),
        ("John", {}, TypeError, "must be an iterable of str, not str"),
        ({"John": 1}, {}, TypeError, "not dict"),
        (7, {}, TypeError, "not int"),
        (np.array([["a"]]), {}, ValueError, "one-dimensional"),
        (["a"], {"max_edits": 0}, ValueError, "max_edits must be 1 or 2, not 0"),
        (["a"], {"max_edits": 3}, ValueError, "max_edits must be 1 or 2, not 3"),
        (["a"], {"max_edits": 1.0}, TypeError, "max_edits must be an int"),
        (["a"], {"max_edits": True}, TypeError, "not bool"),
        (["a"], {"min_length": -1}, ValueError, "min_length must be at least 0"),
        (["a"], {"min_length": "3"}, TypeError, "min_length must be an int"),
        (["a"], {"transpositions": 1}, TypeError, "transpositions must be a bool"),
        (["a"], {"split_words": "yes"}, TypeError, "split_words must be a bool"),
        (["a"], {"threads": 0}, ValueError, "threads must be at least 1"),
        (["a"], {"tradeouts": {"a": "b"}}, TypeError, "must be an iterable of words"),
        (["a"], {"tradeouts": [("a", ["b"])]}, TypeError, "tradeouts must be a mapping"),
        (["ok", "bad \ud800"], {}, UnicodeEncodeError, "surrogate"),
    ],
)
def test_bad_arguments(items, kwargs, error, message):
    with pytest.raises(error, match=message):
        talvik.variants(items, **kwargs)


def test_a_bad_string_is_named():
    with pytest.raises(UnicodeEncodeError) as caught:
        talvik.variants(["ok", "bad \ud800"])
    assert "items[1]" in " ".join(getattr(caught.value, "__notes__", []))


INTERRUPTED = """
    import itertools, resource, time
    import talvik

    words = ["".join(p) for p in itertools.product("abcd", repeat=9)]  # 262,144 words, 46M pairs
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (vm + 6 * 2**30, resource.RLIM_INFINITY))
    print("ready", flush=True)
    try:
        talvik.variants(words, max_edits=2, min_length=1, threads=2)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(talvik.variants(["Smith", "Smyth"]))
"""


def test_ctrl_c_stops_a_large_call():
    line, latency, rest = send_ctrl_c(INTERRUPTED)
    assert line == "interrupted\n"
    assert latency < 5
    assert rest == "{'Smith': ['Smyth'], 'Smyth': ['Smith']}\n"

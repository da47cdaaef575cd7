"""Exact str names are read in place, other names through their methods; the
results are the same either way, and in the same order for any team size."""
import random

import pytest

import reference

# Every code point str.split() cuts on, a few it does not, and non-ASCII text.
SPLITTERS = [chr(c) for c in range(0x3001) if chr(c).isspace()]
OTHERS = ["\u200b", "\ufeff", "\x00", "é", "李", "\U0001f600"]


class Plain(str):
    """A str subclass that overrides nothing: names go through split and encode."""


def random_names(rng, n):
    words = ["Ann", "Bob", "Robert", "J", "John", "Smith", "Lee", "é", "李"]
    names = []
    for _ in range(n):
        parts = [rng.choice(OTHERS) if rng.random() < 0.1 else rng.choice(words) for _ in range(rng.randint(1, 4))]
        seps = [rng.choice(SPLITTERS) if rng.random() < 0.2 else rng.choice([" ", "  "]) for _ in parts]
        names.append(rng.choice(["", " ", "\u3000"]) + "".join(p + s for p, s in zip(parts, seps)).rstrip(" "))
    return names


@pytest.mark.parametrize("seed", range(4))
def test_exact_str_and_subclass_agree(find, seed):
    rng = random.Random(seed)
    names = random_names(rng, 600)
    table = {"Bob": ["Robert"], "Robert": ["Bob"], "J": ["John"], "John": ["J"], "é": ["李"]}
    expected = reference.find_matches(names, table)
    assert len(expected) > 200
    assert find(names, table, None, 1) == expected
    through_methods = find([Plain(n) for n in names], table, None, 1)
    assert through_methods == expected
    assert all(type(a) is str and type(b) is str for a, b in through_methods[:50])


def test_team_size_does_not_change_the_order(find):
    rng = random.Random(9)
    first = ["Bob", "Robert", "Rob", "J", "John", "Ann"]
    last = ["Smith", "Lee", "Brown", "Li", "Ng"]
    names = [" ".join(rng.choice(first + last) for _ in range(rng.randint(2, 4))) for _ in range(3000)]
    table = {"Bob": ["Robert", "Rob"], "Robert": ["Bob"], "J": ["John"], "John": ["J"]}
    one = find(names, table, None, 1)
    assert len(one) > 50_000
    for threads in (2, 3, 7, 0):
        assert find(names, table, None, threads) == one

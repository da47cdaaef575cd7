"""Matcher.groups and group_sizes against components built from the pairs."""
import random
import warnings

import numpy as np
import pytest

import talvik
from support.names import LONERS, TABLE, components, random_names

CASES = [(seed, n) for seed, n in [(0, 0), (1, 1), (2, 30), (3, 200), (4, 700)]]


@pytest.mark.parametrize("threads", [1, 2, 7])
@pytest.mark.parametrize("seed, n", CASES)
def test_groups_are_the_components_of_the_pairs(seed, n, threads):
    names = random_names(seed, n)
    m = talvik.Matcher(names, TABLE, threads=threads)
    labels = m.groups()
    assert labels.dtype == np.int32 and labels.shape == (len(names),)
    assert labels.tolist() == components(len(names), m.pairs().tolist())


def test_names_that_cannot_match_are_their_own_group():
    names = random_names(5, 300)
    labels = talvik.Matcher(names, TABLE, threads=2).groups()
    loners = [i for i, name in enumerate(names) if name in LONERS]
    assert len(loners) == len(LONERS)
    for i in loners:
        assert labels[i] == i and np.count_nonzero(labels == i) == 1


def test_one_chain_is_one_group():
    # Each name matches only its neighbours, so the group needs every link.
    names = [f"W{k} W{k + 1}" for k in range(50)]
    table = {f"W{k}": [f"W{k + 2}"] for k in range(52)} | {f"W{k + 2}": [f"W{k}"] for k in range(50)}
    m = talvik.Matcher(names[::-1], table, threads=2)
    assert len(m.pairs()) > 0
    labels = m.groups()
    assert labels.tolist() == components(len(names), m.pairs().tolist())


@pytest.mark.parametrize("seed", [6, 7])
def test_group_sizes_count_each_names_group(seed):
    names = random_names(seed, 250)
    m = talvik.Matcher(names, TABLE, threads=2)
    labels = m.groups()
    expected = [labels.tolist().count(label) for label in labels.tolist()]
    assert m.group_sizes().tolist() == expected
    assert m.group_sizes(labels).tolist() == expected
    assert m.group_sizes(list(labels)).tolist() == expected


def test_each_call_gives_its_own_writable_labels():
    m = talvik.Matcher(["A B", "B A", "C D"], threads=1)
    first = m.groups()
    first[:] = -1
    assert m.groups().tolist() == [0, 0, 2]


def large_groups(labels, max_size):
    sizes = np.bincount(labels)
    return {int(k): int(sizes[k]) for k in np.flatnonzero(sizes > max_size)}


@pytest.mark.parametrize("max_size", [1, 2, 4, 10_000])
def test_max_size_warns_of_each_large_group_and_cuts_nothing(max_size):
    names = random_names(8, 120)
    m = talvik.Matcher(names, TABLE, threads=2)
    plain = m.groups()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        labels = m.groups(max_size=max_size)
    assert labels.tolist() == plain.tolist()
    reported = [w.message for w in caught if issubclass(w.category, talvik.LargeGroupWarning)]
    expected = large_groups(plain, max_size)
    assert len(reported) == min(len(expected), 10)
    assert sum(w.more for w in reported) == len(expected) - len(reported)
    assert {w.label: w.size for w in reported}.items() <= expected.items()
    # The ones reported are the largest.
    if reported:
        assert min(w.size for w in reported) >= max(
            (s for k, s in expected.items() if k not in {w.label for w in reported}), default=0)
    for w in reported:
        assert f"group {w.label} holds {w.size:,} names" in str(w)


def test_the_warning_points_at_the_caller():
    with pytest.warns(talvik.LargeGroupWarning, match="group 0 holds 2 names") as caught:
        talvik.Matcher(["A B", "B A"]).groups(max_size=1)
    assert caught[0].filename == __file__


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda m: m.groups(max_size=0), ValueError, "max_size must be at least 1, got 0"),
    (lambda m: m.groups(max_size=True), TypeError, "max_size must be an int or None, not bool"),
    (lambda m: m.groups(max_size="3"), TypeError, "max_size must be an int or None, not str"),
    (lambda m: m.groups(progress=1), TypeError, "progress must be a bool, not int"),
    (lambda m: m.group_sizes([0, 0]), ValueError, None),
    (lambda m: m.group_sizes([-1, 1, 2]), ValueError, None),
    (lambda m: m.group_sizes([0, 0, 1]), ValueError, None),  # 1 labels a name but is not its own label
    (lambda m: m.group_sizes([1, 1, 2]), ValueError, None),  # a label above its own index
    (lambda m: m.group_sizes([0.0, 0.0, 2.0]), ValueError, None),
])
def test_bad_arguments_are_refused(call, exc_type, message):
    m = talvik.Matcher(["A B", "B A", "C D"])
    with pytest.raises(exc_type) as info:
        call(m)
    if message is not None:
        assert str(info.value) == message


def test_progress_gives_the_same_groups(capsys):
    names = random_names(9, 200)
    m = talvik.Matcher(names, TABLE, threads=2)
    assert m.groups(progress=True).tolist() == m.groups().tolist()
    assert "talvik groups" in capsys.readouterr().err

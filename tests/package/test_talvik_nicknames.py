"""The bundled nickname table and the initials helper, against the data they
come from and against the Matcher's rule."""
import json
from importlib import resources
from pathlib import Path

import pytest

import talvik

SAMPLE_TABLE = Path(__file__).resolve().parents[2] / "bench" / "data" / "nicknames.json"


def test_both_directions_and_known_entries():
    table = talvik.nicknames()
    assert len(table) == 2160
    assert table["Bob"] == ["Bert", "Bobby", "Rob", "Robert"]
    assert {"Bob", "Rob", "Robby", "Bobby"} <= set(table["Robert"])
    assert {"Elizabeth", "Lisa", "Lizzie"} == set(table["Liz"])
    for word, links in table.items():
        assert links == sorted(set(links)), word
        assert word not in links, word
        for other in links:
            assert word in table[other], (word, other)
    # Cleaned as the benchmark's sample: letters only, Title Case.
    assert all(w.isascii() and w.isalpha() and w == w.title() for w in table)
    assert "K.C." not in table and "Kc" not in table


def test_every_link_of_the_benchmark_sample_is_in_it():
    sample = json.loads(SAMPLE_TABLE.read_text())
    table = talvik.nicknames()
    missing = [(k, w) for k, words in sample.items() for w in words
               if len(k) > 1 and len(w) > 1 and w not in table.get(k, ())]
    assert missing == []


def test_each_call_is_a_fresh_table():
    first = talvik.nicknames()
    first["Bob"].append("Zed")
    first["New"] = ["Old"]
    del first["Robert"]
    again = talvik.nicknames()
    assert "Zed" not in again["Bob"] and "New" not in again and "Robert" in again


def test_data_and_licence_are_installed():
    data = resources.files("talvik").joinpath("data")
    assert "Apache License" in data.joinpath("LICENSE-nicknames.txt").read_text()
    assert "nicknames" in data.joinpath("README.md").read_text()
    one_way = json.loads(data.joinpath("nicknames.json").read_text())
    assert "Bob" in one_way["Robert"]


def test_nicknames_match_both_ways():
    names = ["Robert Smith", "Bob Smith", "Smith Bobby", "Liz Taylor", "Elizabeth Taylor", "Lisa Taylor"]
    got = talvik.find_pairs(names, talvik.nicknames()).tolist()
    # Lisa and Liz are both short for Elizabeth, but neither for the other.
    assert got == [[0, 1], [0, 2], [1, 2], [3, 4], [3, 5], [4, 5]]


def brute_initials(names, tradeouts):
    want = {k: list(v) for k, v in tradeouts.items()}
    for initial in sorted({n[0] for n in names if len(n) > 1}):
        new = sorted({n for n in names if len(n) > 1 and n[0] == initial} - set(want.get(initial, [])))
        want[initial] = want.get(initial, []) + new
    return want


@pytest.mark.parametrize("names, tradeouts", [
    (["John", "Jane", "J", "Ann", "John", "Émile", ""], None),
    (["John", "Jo", "Ann"], {"J": ["Jo", "Zed"], "John": ["Jack"]}),
    (list(talvik.nicknames()), talvik.nicknames()),
    ((w for w in ["Ann", "Amy"]), {}),
])
def test_initials_against_brute_force(names, tradeouts):
    names = list(names)
    before = json.dumps(tradeouts)
    got = talvik.initials(iter(names), tradeouts)
    assert got == brute_initials(names, tradeouts or {})
    assert json.dumps(tradeouts) == before  # the table given is left alone
    for initial, words in got.items():
        if len(initial) == 1 and initial not in (tradeouts or {}):
            assert all(initial not in got.get(w, []) for w in words)  # one way


def test_initials_stand_for_names_one_way():
    names = ["J Smith Jones", "John Smith Jones Lee", "John Smith"]
    assert talvik.find_pairs(names, talvik.nicknames()).tolist() == [[1, 2]]
    # With "J" standing for "John", all three words of the first name are
    # found in the second; "John Smith" still needs its "John" found in the
    # first, which the one-way entry does not give.
    table = talvik.initials(["John"], talvik.nicknames())
    assert table["J"] == ["John"] and "J" not in table["John"]
    assert talvik.find_pairs(names, table).tolist() == [[0, 1], [1, 2]]


@pytest.mark.parametrize("names, matched", [
    # One way: "J" finds "John", but "John Smith" must still have "John" found.
    (["J Smith", "John Smith", "Jane Smith"], False),
    (["J Smith", "John Smith", "Jane Smith"], True),
])
def test_initials_both_ways_match_from_either_side(names, matched):
    table = talvik.initials(["John", "Jane"], {"Jo": ["John"]}, both_ways=matched)
    assert ("J" in table.get("John", [])) is matched and table["Jo"] == ["John"]
    assert table["J"] == ["Jane", "John"]
    # Both ways, an initial stands for each name, but two names are not
    # traded for each other through it.
    assert talvik.find_pairs(names, table).tolist() == ([[0, 1], [0, 2]] if matched else [])


@pytest.mark.parametrize("call, error, message", [
    (lambda: talvik.initials(["John"], both_ways=1), TypeError, "both_ways must be a bool, not int"),
    (lambda: talvik.initials("John"), TypeError, "names must be an iterable of given names, not str"),
    (lambda: talvik.initials(["John", 5]), TypeError, "names must be str, not int"),
    (lambda: talvik.initials(["John Smith"]), ValueError, "names must be one word each, not 'John Smith'"),
    (lambda: talvik.initials([" John"]), ValueError, "names must be one word each, not ' John'"),
    (lambda: talvik.initials(["John"], [("J", ["John"])]), TypeError,
     "tradeouts must be a mapping from a word to words, not list"),
    (lambda: talvik.initials(["John"], {"J": "John"}), TypeError,
     "tradeouts['J'] must be an iterable of words, not str"),
    (lambda: talvik.initials(["John"], {"J": [1]}), TypeError, "tradeouts['J'] holds a int; words must be str"),
])
def test_initials_bad_input(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message

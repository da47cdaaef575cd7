"""Matcher(normalize=, typos=, initials=): each step is the same as the
function it names, applied to the names and the tradeouts by hand."""
from collections import Counter

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import talvik

NAMES = ["Dr. Renée O'Brien", "renee obrien", "Rene OBrien", "Jon Smith", "John Smith", "J Smith",
         "Jonh Smyth", "Smith-Jones Mary", "MARY SMITH JONES", None, "Madonna", "Jhon  Smith Jr.", "Jo hn Smith"]
TABLE = {"Mary": ["Maria"], "Jon": ["Jonathan"]}


def words(names):
    """The given names: words written before a name's last word at least as often as last."""
    before, last = Counter(), Counter()
    for n in names:
        if n and " " in n:
            *head, tail = n.split(" ")
            before.update(head)
            last[tail] += 1
    return sorted(w for w in before if len(w) > 1 and w.split() == [w] and before[w] >= last[w])


def by_hand(names, table, normalize, typos, initials):
    if normalize:
        names, table = talvik.normalize(names), talvik.normalize(table)
    if initials:
        table = talvik.initials(words(names), table, both_ways=True)
    if typos:
        table = talvik.variants(names, table, max_edits=typos, split_words=True)
    return names, table


@pytest.mark.parametrize("items, before, last", [
    (["Ann Lee", "Lee Ann"], {"Ann": 1, "Lee": 1}, {"Lee": 1, "Ann": 1}),
    (["  Ann   Mary  Lee "], {"Ann": 1, "Mary": 1}, {"Lee": 1}),  # runs of spaces cut no empty word
    (["Ann\tLee Smith"], {"Ann\tLee": 1}, {"Smith": 1}),  # only the space cuts, as in the rule
    (["Madonna", "", " ", None, 7, b"Ann Lee"], {}, {}),  # one word, none, not str
    (["Renée Zoë Ärger", "Zoë Ärger"], {"Renée": 1, "Zoë": 2}, {"Ärger": 2}),
])
def test_word_positions_count_where_names_write_their_words(items, before, last):
    from talvik import _native
    from talvik._matcher import _vocabulary, _word_positions

    assert _word_positions(items) == (Counter(before), Counter(last))
    # The same reading gives the vocabulary the spelling variants are found among.
    words = _vocabulary(items)[1]
    strings = [x for x in items if isinstance(x, str)]
    assert words == _native.distinct_words(strings)
    assert talvik.variants(words, min_length=1) == talvik.variants(strings, min_length=1)


@pytest.mark.parametrize("items, splits", [
    (["Hayden Lee", "Hay den Lee"], {"Hayden": ["Hay"], "Hay": ["Hayden"]}),
    (["Hay den Lee", "Hayden Lee"], {"Hay": ["Hayden"], "Hayden": ["Hay"]}),  # the whole word may come later
    (["Hayden Lee", "Hay den"], {}),  # a name of two words that loses one can no longer match
    (["Hay den Lee", "Ann Lee"], {}),  # "Hayden" is no word of the names
    (["Ann Ann Lee", "Ann Lee"], {}),  # "AnnAnn" neither
    (["Mc Donald Jo", "McDonald Ann", "Mc Donald Bob"], {"Mc": ["McDonald"], "McDonald": ["Mc"]}),  # once
    (["Zo ë Ärger", "Zoë Lee", None, 5], {"Zo": ["Zoë"], "Zoë": ["Zo"]}),
    (["Ann Lee Smith", "AnnLee Bo", "Ann LeeSmith Bo"], {"Ann": ["AnnLee"], "AnnLee": ["Ann"], "Lee": ["LeeSmith"],
                                                          "LeeSmith": ["Lee"]}),  # the first part stands for the whole
])
def test_words_split_by_a_space_are_linked_to_the_word_they_spell(items, splits):
    from talvik._matcher import _vocabulary

    assert _vocabulary(items).splits == splits
    strings = [x for x in items if isinstance(x, str)]
    assert talvik.variants(strings, min_length=99, split_words=True) == splits
    assert talvik.variants(strings, min_length=99) == {}


def split_links(names):
    """The split words by their definition, word by word."""
    cut = [n.split(" ") for n in names if isinstance(n, str)]
    cut = [[w for w in ws if w] for ws in cut]
    vocabulary = {w for ws in cut for w in ws}
    links = set()
    for ws in cut:
        if len(ws) >= 3:
            links |= {(a, a + b) for a, b in zip(ws, ws[1:]) if a + b in vocabulary}
    return links


@settings(max_examples=300, deadline=None, derandomize=True)
@given(st.lists(st.lists(st.sampled_from(["a", "b", "ab", "ba", "aba", "é", "aé", ""]), max_size=5).map(" ".join),
                max_size=12))
def test_split_words_are_their_definition(names):
    from talvik._matcher import _vocabulary

    got = {(k, w) for k, ws in _vocabulary(names).splits.items() for w in ws}
    want = split_links(names)
    assert got == want | {(w, k) for k, w in want}


def test_a_split_word_links_names_that_never_split_it():
    # "Hay" stands for "Hayden" because some name splits it, as the steps
    # link words in one name through any other.
    names = ["Hayden Smith", "Hay Smith", "Hay den Lee", "Hayden Lee"]
    assert talvik.Matcher(names).pairs().tolist() == []
    m = talvik.Matcher(names, typos=1)
    assert m.pairs().tolist() == [[0, 1], [2, 3]]
    assert m.explain(1, 0).words1[0].step == "split word: Hay ~ Hayden"
    assert m.match(["Hay Smith"]).tolist() == [[0, 0], [0, 1]]


@pytest.mark.parametrize("normalize, typos, initials", [
    (True, 0, False), (False, 1, False), (False, 2, False), (False, 0, True), (True, 1, True), (True, 2, True),
])
def test_each_step_is_its_function(normalize, typos, initials):
    names, table = by_hand(NAMES, TABLE, normalize, typos, initials)
    want = talvik.Matcher(names, table).pairs().tolist()
    m = talvik.Matcher(NAMES, TABLE, normalize=normalize, typos=typos, initials=initials)
    assert m.pairs().tolist() == want
    # The same names in other columns give the same pairs.
    for column in (np.array(NAMES, dtype=object), pa.array(NAMES)):
        got = talvik.Matcher(column, TABLE, normalize=normalize, typos=typos, initials=initials).pairs()
        assert got.tolist() == want


@pytest.mark.parametrize("normalize, typos, initials", [(False, 1, False), (True, 1, True), (False, 0, True)])
def test_match_adds_the_steps_of_its_own_names(normalize, typos, initials):
    other = ["Jhon Smiht", "renée o'brian", "S Jones Mary", None]
    names, table = by_hand(other + NAMES, TABLE, normalize, typos, initials)
    n = len(other)
    want = [[i, j - n] for i, j in talvik.find_pairs(names, table).tolist() if i < n <= j]
    m = talvik.Matcher(NAMES, TABLE, normalize=normalize, typos=typos, initials=initials)
    assert m.match(other).tolist() == want
    assert want  # the steps found links that plain matching does not
    assert talvik.Matcher(NAMES, TABLE).match(other).tolist() != want


@pytest.mark.parametrize("names, pairs", [
    # an initial stands for a given name, both ways...
    (["J Smith", "John Smith", "Jane Smith"], [[0, 1], [0, 2]]),
    (["John A Smith", "John Albert Smith", "Albert Jones"], [[0, 1]]),
    # ...but not for a surname: "A" is not "Armstrong", nor "J" "Jackson"
    (["Cynthia A Hill", "C Armstrong", "Carl Armstrong"], [[1, 2]]),
    (["T J White", "Tiffany Jackson", "Ann Jackson"], []),
    # a word written first as often as last counts as a given name
    (["Thomas Lee", "Ann Thomas", "T Lee"], [[0, 2]]),
    (["Thomas Lee", "Ann Thomas", "Bob Thomas", "T Lee"], []),
])
def test_initials_stand_for_given_names(names, pairs):
    assert talvik.Matcher(names, initials=True).pairs().tolist() == pairs


def test_the_steps_raise_recall_on_a_small_example():
    names = ["Jhon Smith", "John Smith", "J Smith", "JOHN SMITH"]
    assert talvik.Matcher(names).pairs().tolist() == []
    assert talvik.Matcher(names, normalize=True, typos=1, initials=True).pairs().tolist() == [
        [0, 1], [0, 2], [0, 3], [1, 2], [1, 3], [2, 3]]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"normalize": 1}, TypeError, "normalize must be a bool, not int"),
    ({"initials": "yes"}, TypeError, "initials must be a bool, not str"),
    ({"typos": 3}, ValueError, "typos must be 0, 1 or 2, not 3"),
    ({"typos": True}, ValueError, "typos must be 0, 1 or 2, not True"),
    ({"typos": 1.0}, ValueError, "typos must be 0, 1 or 2, not 1.0"),
])
def test_bad_steps_are_refused(kwargs, error, message):
    with pytest.raises(error) as info:
        talvik.Matcher(NAMES, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("steps", [{}, {"initials": True}, {"typos": 1}, {"normalize": True, "initials": True}])
def test_a_bad_name_is_named_whatever_the_steps(steps):
    with pytest.raises(TypeError) as info:
        talvik.Matcher(["Ann Lee", 5], **steps)
    assert str(info.value) == "names[1] must be str or None, not int"

"""talvik.explain: its verdict is the rule's, and its account adds up."""
import pytest
from hypothesis import given, settings, strategies as st

import Talvik
import reference
import talvik

VOCAB = ["A", "J", "Bob", "Robert", "John", "Smith", "é", "x\ty", "Li"]
word = st.sampled_from(VOCAB)
separator = st.sampled_from([" ", " ", " ", "  ", "\t", " \t "])


@st.composite
def names(draw):
    ws = draw(st.lists(word, max_size=5))
    seps = draw(st.lists(separator, min_size=len(ws) + 1, max_size=len(ws) + 1))
    edges = draw(st.tuples(st.booleans(), st.booleans()))
    text = "".join(s + w for s, w in zip(seps, ws))
    return (seps[-1] if edges[0] else "") + text.lstrip(" ") + (seps[0] if edges[1] else "")


# One-way by construction: a key's list says nothing about the reverse.
tradeouts = st.dictionaries(word, st.lists(word, max_size=3), max_size=5)


def rule_says(name1, name2, table):
    return Talvik.parallel_find_matches([name1, name2], table, None) != []


def check_account(e, table):
    """Each reported finding is true of the names."""
    for ws, other in ((e.words1, reference.words(e.name2)), (e.words2, reference.words(e.name1))):
        for w in ws:
            if w.how == "same":
                assert other[w.other_position] == w.word
                assert w.word not in other[: w.other_position]
            elif w.how == "tradeout":
                assert w.word not in other
                assert w.via in table[w.word] and other[w.other_position] == w.via
            else:
                assert w.how == "not found" and w.word not in other
                assert not any(t in other for t in table.get(w.word, ()))
    assert e.found1 == sum(w.found for w in e.words1)
    assert e.found2 == sum(w.found for w in e.words2)


@settings(max_examples=400, deadline=None, derandomize=True)
@given(names(), names(), tradeouts)
def test_the_verdict_is_the_rules(name1, name2, table):
    e = talvik.explain(name1, name2, table)
    assert e.match is rule_says(name1, name2, table)
    assert [w.word for w in e.words1] == reference.words(name1)
    assert [w.word for w in e.words2] == reference.words(name2)
    check_account(e, table)


EXAMPLES = [
    # name1, name2, tradeouts, match, (found1, needed1), (found2, needed2), how name1's words were found
    ("Robert Smith", "Smith Robert", None, True, (2, 2), (2, 2), ["same 1", "same 0"]),
    ("Bob Smith", "Robert Smith", {"Bob": ["Robert"]}, False, (2, 2), (1, 2),
     ["tradeout Robert 0", "same 1"]),
    ("Bob Smith", "Robert Smith", {"Bob": ["Robert"], "Robert": ["Bob"]}, True, (2, 2), (2, 2),
     ["tradeout Robert 0", "same 1"]),
    ("J Smith Lee", "John Smith", {"J": ["John"], "John": ["J"]}, True, (2, 2), (2, 2),
     ["tradeout John 0", "same 1", "not found"]),
    ("J Smith Lee", "John Smith Li", {"J": ["John"], "John": ["J"]}, False, (2, 3), (2, 3),
     ["tradeout John 0", "same 1", "not found"]),
    ("A B C D", "A X Y C", None, True, (2, 2), (2, 2), ["same 0", "not found", "same 3", "not found"]),
    ("Madonna", "Madonna", None, False, (1, 2), (1, 2), ["same 0"]),
    # Two words at spaces, one at whitespace: never searched.
    ("\t A", "\t A", None, False, (2, 2), (2, 2), ["same 0", "same 1"]),
    ("Smith  Smith", "Smith Lee", None, False, (2, 2), (1, 2), ["same 0", "same 0"]),
]


def summary(w):
    return {"same": f"same {w.other_position}", "tradeout": f"tradeout {w.via} {w.other_position}"}.get(
        w.how, w.how)


@pytest.mark.parametrize("name1, name2, table, match, side1, side2, how1", EXAMPLES)
def test_examples_read_as_expected(name1, name2, table, match, side1, side2, how1):
    e = talvik.explain(name1, name2, table)
    assert (e.match, bool(e)) == (match, match) == (rule_says(name1, name2, table or {}), match)
    assert (e.found1, e.needed1) == side1 and (e.found2, e.needed2) == side2
    assert [summary(w) for w in e.words1] == how1


def test_the_table_and_repr_say_what_was_found():
    e = talvik.explain("Bob Smith", "Robert Smith", {"Bob": ["Robert"]})
    text = str(e)
    assert "tradeout Bob -> Robert at 0" in text
    assert "same word at 1" in text
    assert "1 of 2 words found, 2 needed" in text
    assert text.splitlines()[-1] == "no match"
    assert repr(e) == "<Explanation 'Bob Smith' ~ 'Robert Smith': no match, found 2/2 and 1/2>"
    assert "never matches" in str(talvik.explain("Madonna", "Madonna"))


def test_the_result_is_frozen():
    e = talvik.explain("A B", "B A")
    with pytest.raises(AttributeError):
        e.match = False
    with pytest.raises(AttributeError):
        e.words1[0].how = "not found"
    assert hash(e) == hash(talvik.explain("A B", "B A"))


@pytest.mark.parametrize("args, message", [
    (("A B", None), "name2 must be a str, not NoneType"),
    ((b"A B", "A B"), "name1 must be a str, not bytes"),
    (("A B", "A B", ["A"]), "tradeouts must be a mapping from a word to words, not list"),
    (("A B", "A B", {"A": "B"}), "tradeouts['A'] must be an iterable of words, not str"),
    (("A B", "A B", {"A": 5}), "tradeouts['A'] must be an iterable of words, not int"),
    (("A B", "A B", {"A": ["B", 5]}), "tradeouts['A'] holds a int; words must be str"),
    (("A B", "A B", {5: ["B"]}), "tradeouts keys must be str, not int"),
])
def test_bad_input_is_refused(args, message):
    with pytest.raises(TypeError) as info:
        talvik.explain(*args)
    assert str(info.value) == message


def test_a_str_subclass_is_read_as_its_text():
    class Odd(str):
        def split(self, *args):
            return ["X", "Y"]

        def __str__(self):
            return "X Y"

    e = talvik.explain(Odd("A B"), "B A")
    assert e.match and e.name1 == "A B" and type(e.name1) is str


def test_any_text_is_shown_lone_surrogates_included():
    # Matcher refuses such names, but explain() shows whatever text it is given.
    e = talvik.explain("\ud800 x", "x \ud800", {"\udc00": ["x"]})
    assert e.match and [summary(w) for w in e.words1] == ["same 1", "same 0"]
    assert [w.word for w in e.words2] == ["x", "\ud800"]

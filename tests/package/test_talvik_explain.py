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


# Matcher.explain: each link names the step that made it.
# (Matcher arguments, name1, name2, position in name1, its step)
NICKS = {"Bob": ["Robert"], "Robert": ["Bob"]}
STEPS = [
    # the caller's own table
    ({"tradeouts": NICKS}, "Bob Smith", "Robert Smith", 0, "tradeout: Bob ~ Robert"),
    ({"tradeouts": NICKS}, "Robert Smith", "Bob Smith", 0, "tradeout: Robert ~ Bob"),
    ({"tradeouts": NICKS}, "Bob Smith", "Bob Smith", 0, None),
    ({"tradeouts": NICKS, "normalize": True}, "bob smith", "robert smith", 0, "tradeout: bob ~ robert"),
    # the caller's entry is named first, even where a step adds the same one
    ({"tradeouts": {"J": ["John"], "John": ["J"]}, "initials": True}, "J Smith", "John Smith", 0,
     "tradeout: J ~ John"),
    # spelling variants, edits counted as talvik.variants counts them
    ({"typos": 1}, "Jonh Smith", "John Smith", 0, "spelling variant: Jonh ~ John, 1 edit"),
    ({"typos": 1}, "Jhon Smith", "John Smith", 0, "spelling variant: Jhon ~ John, 1 edit"),
    ({"typos": 2}, "Christopher Lee", "Kristopher Lee", 0, "spelling variant: Christopher ~ Kristopher, 2 edits"),
    ({"typos": 2}, "Ann Smith", "Ann Smyth", 1, "spelling variant: Smith ~ Smyth, 1 edit"),
    ({"typos": 1}, "Ann Lee", "Ann Lea", 1, "spelling variant: Lee ~ Lea, 1 edit"),
    ({"typos": 1}, "Ann Li", "Ann Lu", 1, None),  # too short for a variant: not found
    ({"typos": 1}, "Hay den Lee", "Hayden Lee", 0, "split word: Hay ~ Hayden"),
    ({"typos": 1}, "Hayden Lee", "Hay den Lee", 0, "split word: Hay ~ Hayden"),
    # initials, both ways, the initial named first
    ({"initials": True}, "J Smith", "John Smith", 0, "initial: J ~ John"),
    ({"initials": True}, "John Smith", "J Smith", 0, "initial: J ~ John"),
    ({"initials": True}, "John Smith", "Jane Smith", 0, None),
    # a surname gets no initial: "A" does not stand for "Armstrong"
    ({"initials": True}, "Cynthia A Hill", "C Armstrong", 1, None),
    # normalisation, of either name's word
    ({"normalize": True}, "Renée Smith", "renee smith", 0, "normalised: Renée -> renee"),
    ({"normalize": True}, "renee smith", "Renée Smith", 0, "normalised: Renée -> renee"),
    ({"normalize": True}, "Dr. Ann O'Brien", "ann obrien", 1, "normalised: O'Brien -> obrien"),
    ({"normalize": True}, "ann lee", "ann lee", 0, None),
    ({"normalize": True, "typos": 1}, "JHON Smith", "john smith", 0,
     "normalised: JHON -> jhon; spelling variant: jhon ~ john, 1 edit"),
    ({"normalize": True, "initials": True}, "J. Smith", "j smith", 0, "normalised: J. -> j"),
]


@pytest.mark.parametrize("kwargs, name1, name2, position, step", STEPS)
def test_each_link_names_its_step(kwargs, name1, name2, position, step):
    kwargs = dict(kwargs)
    m = talvik.Matcher([name1, name2, "Zed Quux"], kwargs.pop("tradeouts", None), **kwargs)
    for a, b in ((0, 1), (name1, name2), (name1, 1)):
        e = m.explain(a, b)
        assert (e.name1, e.name2) == (name1, name2)
        assert e.words1[position].step == step
        assert e.match == (m.pairs().tolist() == [[0, 1]])


def test_a_matchers_explanation_is_its_verdict():
    names = ["Dr. Renée O'Brien", "renee obrien", "Rene OBrien", "Jon Smith", "John Smith", "J Smith",
             "Jonh Smyth", "Smith-Jones Mary", "MARY SMITH JONES", "Madonna", "Jhon  Smith Jr.", "Bob Smith",
             "Robert Smyth", "R. Smith", "Jo hn Smyth", "Jo Smith"]
    for kwargs in ({}, {"normalize": True}, {"typos": 1}, {"normalize": True, "typos": 2, "initials": True}):
        m = talvik.Matcher(names, talvik.nicknames(), **kwargs)
        pairs = {tuple(p) for p in m.pairs().tolist()}
        for i in range(len(names)):
            for j in range(i + 1, len(names)):
                e = m.explain(i, j)
                assert e.match == ((i, j) in pairs), (kwargs, names[i], names[j])
                # every tradeout is labelled by the step that made it; a word not found by none
                for w in (*e.words1, *e.words2):
                    assert (w.step is not None) if w.how == "tradeout" else (w.how == "same" or w.step is None)
                    if w.how == "same" and not kwargs:
                        assert w.step is None
        # a name given as str is judged as match() links it
        linked = {j for _, j in m.match(["JOHN SMYTH"]).tolist()}
        assert {j for j in range(len(names)) if m.explain("JOHN SMYTH", j).match} == linked


@settings(max_examples=300, deadline=None, derandomize=True)
@given(st.text("abcé", max_size=9), st.text("abcé", max_size=9))
def test_edits_are_counted_as_variants_counts_them(a, b):
    from talvik._explain import edits

    for k in (1, 2):
        linked = b in talvik.variants([a, b], max_edits=k, min_length=0).get(a, ()) if a and b else False
        assert linked == (a != b and edits(a, b, k) <= k and bool(a) and bool(b))


def test_rows_are_read_from_the_column_as_given():
    import pandas as pd
    import pyarrow as pa
    import numpy as np

    names = ["Jonh Smith", None, "John Smith"]
    for column in (names, tuple(names), np.array(names, dtype=object), pd.Series(names, dtype=object),
                   pa.array(names), pa.chunked_array([names[:1], names[1:]]), iter(names)):
        m = talvik.Matcher(column, typos=1)
        e = m.explain(np.int64(0), 2)
        assert (e.name1, e.name2, e.match) == ("Jonh Smith", "John Smith", True), type(column)
    m = talvik.Matcher(["Ann Lee"])
    m.add(["Lee Ann"])
    assert m.explain(0, 1).match and m.explain(1, 0).name1 == "Lee Ann"


@pytest.mark.parametrize("args, error, message", [
    ((0, 1.0), TypeError, "name2 must be a str or a row (int), not float"),
    ((True, 0), TypeError, "name1 must be a str or a row (int), not bool"),
    ((0, 3), IndexError, "name2: row 3 is out of range for 3 names"),
    ((-1, 0), IndexError, "name1: row -1 is out of range for 3 names"),
    ((0, 1), ValueError, "name2: row 1 is a missing name, which never matches"),
])
def test_bad_rows_are_refused(args, error, message):
    m = talvik.Matcher(["Ann Lee", None, "Lee Ann"], typos=1)
    with pytest.raises(error) as info:
        m.explain(*args)
    assert str(info.value) == message


def test_an_opened_matcher_cannot_explain(tmp_path):
    import pickle

    m = talvik.Matcher(["Ann Lee", "Lee Ann"])
    m.save(tmp_path / "i.talvik")
    for other in (talvik.Matcher.open(tmp_path / "i.talvik"), pickle.loads(pickle.dumps(m))):
        with pytest.raises(ValueError, match="opened from a saved index"):
            other.explain(0, 1)
    assert m.explain(0, 1).match


def test_plain_explain_labels_the_callers_tradeouts():
    e = talvik.explain("Bob Smith", "Robert Smith", NICKS)
    assert [w.step for w in e.words1] == ["tradeout: Bob ~ Robert", None]
    assert "(" not in str(e)  # a tradeout's line says so already

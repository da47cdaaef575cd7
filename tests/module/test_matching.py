"""Results against the plain-Python rule, selection and order."""
import random

import pytest
from hypothesis import given, settings, strategies as st

import Talvik
import reference
from support.strategies import name_lists
from support.module import Encodes, entries, raises

VOCAB = ["Ann", "Anna", "Bob", "Robert", "J", "John", "é", "Ünal", "李", "a\tb", "x\x00y",
         "w" * 1100, "w" * 1100 + "v", "Smith"]
SEPARATORS = [" ", " ", "  ", "\t"]

names_st = name_lists(VOCAB, SEPARATORS)
value_st = st.one_of(st.lists(st.sampled_from(VOCAB + [""]), max_size=4),
                     st.tuples(st.sampled_from(VOCAB)),
                     st.sampled_from(["ab", "JA", ""]))
table_st = st.dictionaries(st.sampled_from(VOCAB + ["a", "b", "A"]), value_st, max_size=8)


@settings(max_examples=300, deadline=None, derandomize=True)
@given(names=names_st, table=table_st, threads=st.sampled_from([1, 2, 3]))
def test_agrees_with_reference(names, table, threads):
    expected = reference.find_matches(names, table)
    got = Talvik.parallel_find_matches(names, table, None, threads)
    if threads == 1:
        assert got == expected
    else:
        assert sorted(got) == sorted(expected)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_larger_random_inputs(find, seed):
    rng = random.Random(seed)
    first = ["Bob", "Robert", "Rob", "J", "John", "Jack", "Ann", "Anna"]
    last = ["Smith", "Lee", "Brown", "Li"]
    names = [" ".join(rng.choice(first + last) for _ in range(rng.randint(1, 5))) for _ in range(400)]
    table = {"Bob": ["Robert", "Rob"], "Robert": ["Bob"], "J": ["John", "Jack"], "John": ["J"], "Ann": "A"}
    expected = reference.find_matches(names, table)
    assert len(expected) > 1000  # result sets grow past their first 1000 pairs
    assert find(names, table, None, 1) == expected
    assert sorted(find(names, table, None, 4)) == sorted(expected)
    assert sorted(find(names, table, None)) == sorted(expected)


@pytest.mark.parametrize("names, expected", [
    ([], []),
    (["A B"], []),
    (["A", " ", "", "A"], []),
    (["A\tB", "A\tB"], []),                       # selected, but one word to the matcher
    (["x b", "b x"], [("x b", "b x")]),          # first element is the earlier name
    (["b x", "x b"], [("b x", "x b")]),
    (["A B", "A B", "B A"], [("A B", "A B"), ("A B", "B A"), ("A B", "B A")]),
    (["A", "A B", b"Z", "B A"], [("A B", "B A")]),  # a one-word bytes element is left out
    (["a\x00b c", "c a\x00b"], [("a\x00b c", "c a\x00b")]),  # NUL comes back intact
    (["\x00 c", "c \x00"], [("\x00 c", "c \x00")]),
    (["A B C", "A C", "C A D E", "D E"], [("A B C", "A C"), ("A C", "C A D E"), ("C A D E", "D E")]),
])
def test_selection_and_order(find, names, expected):
    assert find(names, {}, None, 1) == expected
    assert find(names, {}, {"ignored": 1}, 1) == expected


def test_results_are_decoded_from_the_encoded_bytes(find):
    result = find([Encodes("A B", b"Q R"), Encodes("C D", bytearray(b"Q R"))], {}, None)
    assert result == [("Q R", "Q R")] and type(result[0][0]) is str


@pytest.mark.parametrize("names, exc_type, message", [
    ([b"x y"], AttributeError, "'bytes' object has no attribute 'encode'"),
    ([5], AttributeError, "'int' object has no attribute 'split'"),
    (["\ud800 x"], UnicodeEncodeError, None),
])
def test_selection_failures(find, names, exc_type, message):
    exc = raises(lambda: find(names, {}, None), exc_type, message)
    assert entries(exc) == [("Talvik", "Talvik.parallel_find_matches")]


def test_encode_and_decode_failures(find):
    raises(lambda: find([Encodes("A B", 7)], {}, None), TypeError, "expected bytes, int found")
    # Undecodable bytes fail only when the name is part of a pair.
    assert find([Encodes("A B", b"\xff B"), "C D"], {}, None) == []
    bad = [Encodes("A B", b"\xff B"), Encodes("C D", b"B \xff")]
    exc = raises(lambda: find(bad, {}, None), UnicodeDecodeError)
    assert entries(exc) == [("Talvik", "Talvik.parallel_find_matches")]

"""Building the tradeout table from word_to_matches: quirks and failures."""
import pytest

from support.module import Encodes, entries, raises

BUILD_TB = [("Talvik", "Talvik.parallel_find_matches"), ("Talvik", "Talvik.create_tradeout_table")]


class MyBytes(bytes):
    pass


class Lying:
    """A value whose reported length and items disagree; counts fetches."""

    def __init__(self, length, items):
        self.length, self.items, self.fetched = length, items, 0

    def __len__(self):
        return self.length

    def __iter__(self):
        for item in self.items:
            self.fetched += 1
            yield item


@pytest.mark.parametrize("table, exc_type, message", [
    ({"x": None}, TypeError, "object of type 'NoneType' has no len()"),
    ({"x": 5}, TypeError, "object of type 'int' has no len()"),
    ({"a": ["b", 5]}, AttributeError, "'int' object has no attribute 'encode'"),
    ({5: []}, AttributeError, "'int' object has no attribute 'encode'"),
    ({"\ud800": []}, UnicodeEncodeError, None),
    ({"a": ["\udfff"]}, UnicodeEncodeError, None),
    ({Encodes("k", None): []}, TypeError, "expected bytes, NoneType found"),
    ({"k": [Encodes("w", bytearray(b"w"))]}, TypeError, "Expected bytes, got bytearray"),
    ({Encodes("k", MyBytes(b"k")): []}, TypeError, "Expected bytes, got MyBytes"),
])
def test_build_failures(find, table, exc_type, message):
    exc = raises(lambda: find(["A B", "B A"], table, None, 1), exc_type, message)
    assert entries(exc) == BUILD_TB


def test_table_is_built_before_names_are_looked_at(find):
    raises(lambda: find(None, None, None), TypeError, "object of type 'NoneType' has no len()")
    exc = raises(lambda: find(None, {}, None), TypeError, "'NoneType' object is not iterable")
    assert entries(exc) == [("Talvik", "Talvik.parallel_find_matches")]


@pytest.mark.parametrize("table, name1, name2, expected", [
    ({}, "A B", "A C", False),                          # empty dict: no tradeouts, no error
    ({"J": ["John"], "John": ["J"]}, "J Smith", "John Smith", True),
    ({"J": ["John"]}, "J Smith", "John Smith", False),  # tradeouts are one-way
    ({"x": "ab", "a": ["x"]}, "x y", "a y", True),     # a string value gives its characters
    ({"x": ("a",), "a": {"x"}}, "x y", "a y", True),     # any sized iterable
    ({"ab": ["x"], "ab\x00c": ["y"], "y": ["ab\x00c"]}, "ab\x00c q", "y q", True),  # NUL keys are distinct
    ({"ab": ["x"], "ab\x00c": ["y"], "y": ["ab\x00c"]}, "ab q", "y q", False),
    ({"Jo": Lying(0, ["John"]), "John": ["Jo"]}, "Jo Smith", "John Smith", True),
    # Room for m + 1 words, less one for a one-byte key: nothing left for John.
    ({"J": Lying(0, ["John"]), "John": ["J"]}, "J Smith", "John Smith", False),
    ({"Bo": Lying(1, ["X", "Bob"]), "Bob": ["Bo"]}, "Bo Smith", "Bob Smith", True),
    ({"Bo": Lying(1, ["X", "Y", "Bob"]), "Bob": ["Bo"]}, "Bo Smith", "Bob Smith", False),
    ({"é": ["e"], "e": ["é"]}, "é x", "e x", True),
    ({"W": ["w" * 3000], "w" * 3000: ["W"]}, "W q", "q " + "w" * 3000, True),
])
def test_tradeouts(find, table, name1, name2, expected):
    assert find([name1, name2], table, None, 1) == ([(name1, name2)] if expected else [])


def test_the_item_past_capacity_is_encoded_but_not_stored(find):
    value = Lying(1, ["A", "B", Encodes("C", None), "D"])
    raises(lambda: find(["A B"], {"key": value}, None), TypeError, "expected bytes, NoneType found")
    assert value.fetched == 3  # D is never fetched

    value = Lying(1, ["A", "B", "C", "D"])
    assert find(["A B"], {"key": value}, None) == []
    assert value.fetched == 3


def test_iterator_endings(find):
    class Stop(StopIteration):
        pass

    class Ends:
        def __init__(self, exc):
            self.exc, self.done = exc, False

        def __len__(self):
            return 1

        def __iter__(self):
            return self

        def __next__(self):
            if self.done:
                raise self.exc
            self.done = True
            return "Bob"

    table = {"Rob": Ends(Stop()), "Bob": ["Rob"]}
    assert find(["Rob X", "Bob X"], table, None) == [("Rob X", "Bob X")]
    exc = raises(lambda: find(["A B"], {"Rob": Ends(KeyError("k"))}, None), KeyError)
    assert entries(exc) == BUILD_TB


def test_dict_changed_during_build(find):
    table = {}

    class Grows(str):
        def encode(self, *args):
            table["extra"] = []
            return str(self).encode(*args)

    table[Grows("a")] = []
    table["b"] = []
    raises(lambda: find(["A B"], table, None), RuntimeError, "dictionary changed size during iteration")

    # Keys swapped without a change of size: more pairs than the dict had keys.
    swapped = {}

    class Swaps(str):
        def encode(self, *args):
            del swapped[self]
            swapped[Swaps(self + "'")] = []
            return str(self).encode(*args)

    swapped[Swaps("k")] = []
    raises(lambda: find(["A B"], swapped, None), RuntimeError, "dictionary keys changed during iteration")

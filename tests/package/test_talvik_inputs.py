"""Every column type a pandas, Arrow or polars user has gives the pairs its
names give as a list of str: a null is a name that cannot match, an item
that is not a str is a TypeError at its index, a malformed array a ValueError."""
import os
import random
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import talvik
from support.names import census_like

try:
    import polars as pl
except ImportError:
    pl = None
needs_polars = pytest.mark.skipif(
    pl is None, reason="polars is not installed: its runtime has no wheel for free-threaded CPython 3.14")


def sample_names():
    names, table = census_like(1500, 11)
    rng = random.Random(5)
    extras = [None, "", "Li", "Ünal Smith", "Smith Ünal", "李 Lee", "Lee 李", "Robert Johnson-Smithers",
              "Johnson-Smithers Bob", "Ann\u00a0Lee", "Lee Ann", "Bob  Smith", "x\x00y Lee"]
    for name in extras * 3:
        names.insert(rng.randrange(len(names) + 1), name)
    return names, table


NAMES, TABLE = sample_names()
# Few distinct names, for dictionaries with one-byte indices.
FEW = [random.Random(i).choice(sorted({n for n in NAMES if n is not None})[:60] + [None]) for i in range(900)]


def chunked(array, cuts=(0, 1, 300, 300, 800)):
    bounds = [*cuts, len(array)]
    return pa.chunked_array([array[a:b] for a, b in zip(bounds, bounds[1:])], type=array.type)


def dictionary(names, index_type, value_type):
    """A dictionary array whose dictionary also holds a null and an unused value."""
    values = sorted({n for n in names if n is not None}) + ["Unused Value"]
    values.insert(3, None)
    position = {v: i for i, v in enumerate(values) if v is not None}
    indices = pa.array([None if n is None else position[n] for n in names], type=index_type)
    return pa.DictionaryArray.from_arrays(indices, pa.array(values, type=value_type))


def after(prefix, array):
    """`array` as a slice at an offset past `prefix` items of its own type."""
    return pa.concat_arrays([prefix, array]).slice(len(prefix))


def object_categories(names, extra=()):
    """A Categorical of object categories, built from codes: nothing converts its text."""
    categories = sorted({n for n in names if n is not None}) + list(extra)
    codes = [-1 if n is None else categories.index(n) for n in names]
    return pd.Categorical.from_codes(codes, categories=pd.Index(categories, dtype=object))


def case(what, names, make, **marks):
    return pytest.param(names, make, id=what, **marks)


INPUTS = [
    case("list", NAMES, list),
    case("tuple", NAMES, tuple),
    case("numpy object", NAMES, lambda ns: np.array(ns, dtype=object)),
    case("numpy str (U)", NAMES, lambda ns: np.array([n or "" for n in ns])),  # "" cannot match either
    case("numpy StringDType", NAMES, lambda ns: np.array(ns, dtype=np.dtypes.StringDType(na_object=None))),
    case("pandas default", NAMES, pd.Series),
    case("pandas object", NAMES, lambda ns: pd.Series(ns, dtype=object)),
    case("pandas object, NaN", NAMES, lambda ns: pd.Series([np.nan if n is None else n for n in ns], dtype=object)),
    case("pandas string[python]", NAMES, lambda ns: pd.Series(ns, dtype="string[python]")),
    case("pandas string[pyarrow]", NAMES, lambda ns: pd.Series(ns, dtype="string[pyarrow]")),
    case("pandas large_string[pyarrow]", NAMES, lambda ns: pd.Series(ns, dtype=pd.ArrowDtype(pa.large_string()))),
    case("pandas category", NAMES, lambda ns: pd.Series(ns, dtype="category")),
    case("pandas category, int8 codes", FEW, lambda ns: pd.Series(ns, dtype="category")),
    case("pandas category, object categories", NAMES, lambda ns: pd.Series(object_categories(ns))),
    case("pandas Categorical", FEW, pd.Categorical),
    case("pandas CategoricalIndex", FEW, pd.CategoricalIndex),
    case("pandas dictionary[pyarrow]", NAMES,
     lambda ns: pd.Series(pd.arrays.ArrowExtensionArray(chunked(dictionary(ns, pa.int16(), pa.string()))))),
    case("pandas Index", NAMES, pd.Index),
    case("pandas DataFrame column", NAMES, lambda ns: pd.DataFrame({"id": range(len(ns)), "name": ns})["name"]),
    case("pandas Series slice", NAMES, lambda ns: pd.Series(["Ann Lee", *ns], dtype="category")[1:]),
    case("Arrow string", NAMES, pa.array),
    case("Arrow large_string", NAMES, lambda ns: pa.array(ns, type=pa.large_string())),
    case("Arrow string_view", NAMES, lambda ns: pa.array(ns, type=pa.string_view())),
    case("Arrow string_view, sliced", NAMES,
     lambda ns: after(pa.array(["Ann Lee"] * 3, pa.string_view()), pa.array(ns, type=pa.string_view()))),
    case("Arrow string chunked", NAMES, lambda ns: chunked(pa.array(ns))),
    case("Arrow large_string chunked", NAMES, lambda ns: chunked(pa.array(ns, type=pa.large_string()))),
    case("Arrow string_view chunked", NAMES, lambda ns: chunked(pa.array(ns, type=pa.string_view()))),
    case("Arrow dictionary int8", FEW, lambda ns: dictionary(ns, pa.int8(), pa.string())),
    case("Arrow dictionary uint8", FEW, lambda ns: dictionary(ns, pa.uint8(), pa.string_view())),
    case("Arrow dictionary int16", NAMES, lambda ns: dictionary(ns, pa.int16(), pa.large_string())),
    case("Arrow dictionary uint16", NAMES, lambda ns: dictionary(ns, pa.uint16(), pa.string())),
    case("Arrow dictionary int32", NAMES, lambda ns: dictionary(ns, pa.int32(), pa.string_view())),
    case("Arrow dictionary uint32", NAMES, lambda ns: dictionary(ns, pa.uint32(), pa.large_string())),
    case("Arrow dictionary int64", NAMES, lambda ns: dictionary(ns, pa.int64(), pa.string())),
    case("Arrow dictionary uint64", NAMES, lambda ns: dictionary(ns, pa.uint64(), pa.string_view())),
    case("Arrow dictionary_encode", NAMES, lambda ns: pa.array(ns).dictionary_encode()),
    case("Arrow dictionary, sliced", NAMES,
     lambda ns: after(pa.array(["Ann Lee"] * 5).dictionary_encode(), pa.array(ns).dictionary_encode())),
    case("Arrow dictionary chunked", NAMES, lambda ns: chunked(dictionary(ns, pa.int32(), pa.string()))),
    case("Arrow dictionary chunked, a dictionary each", NAMES,
     lambda ns: pa.chunked_array([pa.array(ns[:500]).dictionary_encode(), pa.array(ns[500:]).dictionary_encode()])),
    case("polars String", NAMES, lambda ns: pl.Series("name", ns, dtype=pl.String), marks=needs_polars),
    case("polars Categorical", NAMES, lambda ns: pl.Series("name", ns, dtype=pl.Categorical), marks=needs_polars),
    case("polars Enum", FEW, lambda ns: pl.Series("name", ns, dtype=pl.Enum(sorted({n for n in ns if n is not None}))),
         marks=needs_polars),
    case("polars DataFrame column", NAMES, lambda ns: pl.DataFrame({"id": range(len(ns)), "name": ns})["name"],
         marks=needs_polars),
]
MATCHERS = {id(ns): talvik.Matcher(ns, TABLE) for ns in (NAMES, FEW)}
PAIRS = {id(ns): MATCHERS[id(ns)].pairs().tolist() for ns in (NAMES, FEW)}


@pytest.mark.parametrize("names, make", INPUTS)
def test_every_input_kind_gives_the_pairs_of_its_list(names, make):
    given = make(names)
    matcher = talvik.Matcher(given, TABLE)
    assert len(matcher) == len(names)
    assert matcher.pairs().tolist() == PAIRS[id(names)]
    # As the other side of match(), against the list's own index.
    assert MATCHERS[id(names)].match(given).tolist() == MATCHERS[id(names)].match(list(names)).tolist()


WITH_AN_INT = ["Ann Lee", None, "Lee Ann", 3, "Bob Smith", 3]
NOT_STR = [
    pytest.param(list, id="list"),
    pytest.param(tuple, id="tuple"),
    pytest.param(lambda ns: np.array(ns, dtype=object), id="numpy object"),
    pytest.param(lambda ns: pd.Series(ns, dtype=object), id="pandas object"),
    pytest.param(lambda ns: pd.Series(ns, dtype=object)[1:], id="pandas object slice"),
    pytest.param(lambda ns: pd.Index(ns, dtype=object), id="pandas Index"),
    pytest.param(lambda ns: pd.Series(pd.Categorical(ns)), id="pandas category"),
    pytest.param(lambda ns: pd.Series(pd.Categorical(ns, categories=[3, "Ann Lee", "Lee Ann", "Bob Smith"])),
                 id="pandas category, the int first"),
]


@pytest.mark.parametrize("make", NOT_STR)
def test_an_item_that_is_not_str_is_named_by_its_index(make):
    given = make(WITH_AN_INT)
    at = WITH_AN_INT.index(3) - (len(WITH_AN_INT) - len(given))
    with pytest.raises(TypeError) as info:
        talvik.Matcher(given)
    assert str(info.value) == f"names[{at}] must be str or None, not int"


def run_python(code):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=300)


def test_pandas_without_pyarrow():
    out = run_python("""
        import sys
        sys.modules["pyarrow"] = None  # import pyarrow now fails
        import numpy as np
        import pandas as pd
        import talvik

        names = ["Ann Lee", None, "Lee Ann", "Bob Smith", "Smith Bob", "Ann Lee", "Li"]
        expected = talvik.find_pairs(names).tolist()
        kinds = {
            "default": pd.Series(names),
            "object": pd.Series(names, dtype=object),
            "string": pd.Series(names, dtype="string"),
            "category": pd.Series(names, dtype="category"),
            "Index": pd.Index(names),
            "NaN": pd.Series([np.nan if n is None else n for n in names], dtype=object),
        }
        for kind, series in kinds.items():
            assert talvik.find_pairs(series).tolist() == expected, kind
        try:
            talvik.Matcher(pd.Series(["Ann Lee", 3], dtype=object))
        except TypeError as e:
            print(e)
        print(pd.Series(names).dtype.storage, expected)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["names[1] must be str or None, not int",
                                       "python [[0, 2], [0, 5], [2, 5], [3, 4]]"]


def view(length, text=b"", buffer=0, offset=0):
    """One 16-byte string view: inline up to 12 bytes, else into a data buffer."""
    if length <= 12:
        return struct.pack("<i12s", length, text)
    return struct.pack("<i4sii", length, text[:4], buffer, offset)


DATA = pa.py_buffer(b"Alexander Hamilton Burr")  # 23 bytes


def views(*items, data=(DATA,)):
    return pa.Array.from_buffers(pa.string_view(), len(items), [None, pa.py_buffer(b"".join(items)), *data])


def strings(offsets, data=b"Ann Lee"):
    return pa.Array.from_buffers(pa.string(), len(offsets) - 1,
                                 [None, pa.py_buffer(struct.pack(f"<{len(offsets)}i", *offsets)), pa.py_buffer(data)])


def indices(*items, values=("Ann Lee", "Lee Ann")):
    return pa.DictionaryArray.from_arrays(pa.array(items, pa.int32()), pa.array(values), safe=False)


# Factories: pyarrow itself may crash printing a malformed array, as a report would.
@pytest.mark.parametrize("make", [
    pytest.param(lambda: views(view(3, b"A B"), view(18, b"Alex", 1, 0)), id="view into a missing buffer"),
    pytest.param(lambda: views(view(18, b"Alex", -1, 0)), id="view into buffer -1"),
    pytest.param(lambda: views(view(18, b"Alex", 0, 6)), id="view past its buffer's end"),
    pytest.param(lambda: views(view(18, b"Alex", 0, -1)), id="view at a negative offset"),
    pytest.param(lambda: views(view(-1)), id="view of negative length"),
    pytest.param(lambda: views(view(18, b"Alex", 0, 0), data=()), id="view without data buffers"),
    pytest.param(lambda: strings([0, 3, 2]), id="offsets that go back"),
    pytest.param(lambda: indices(0, 2), id="dictionary index past the end"),
    pytest.param(lambda: indices(1, -1), id="negative dictionary index"),
    pytest.param(lambda: pa.chunked_array([pa.array(["Ann Lee"]).dictionary_encode(), indices(0, 9)]),
                 id="chunked, bad index in the second chunk"),
    pytest.param(lambda: pa.chunked_array([views(view(3, b"A B")), views(view(18, b"Alex", 2, 0))]),
                 id="chunked, bad view in the second chunk"),
])
def test_a_malformed_array_is_a_value_error(make):
    with pytest.raises(ValueError, match=r"^names: the Arrow array is malformed"):
        talvik.Matcher(make())


def test_string_views_read_inline_and_from_buffers():
    array = views(view(12, b"Ann Lee Smit"), view(18, b"Alex", 0, 0), view(13, b"Hami", 0, 10),
                  view(0), view(9, b"Burr Alex"), view(23, b"Alex", 0, 0))
    assert array.to_pylist() == ["Ann Lee Smit", "Alexander Hamilton", "Hamilton Burr", "", "Burr Alex",
                                 "Alexander Hamilton Burr"]
    table = {"Alex": ["Alexander"], "Alexander": ["Alex"]}
    assert talvik.find_pairs(array, table).tolist() == talvik.find_pairs(array.to_pylist(), table).tolist()


@pytest.mark.parametrize("names, exc_type, message", [
    (pa.array([b"A B"], pa.binary()), TypeError,
     "names: Arrow format 'z' is binary (cast it to string); expected string ('u') or large_string ('U')"),
    (pa.array([b"A B"], pa.large_binary()), TypeError,
     "names: Arrow format 'Z' is binary (cast it to string); expected string ('u') or large_string ('U')"),
    (pa.array([b"A B"], pa.binary_view()), TypeError,
     "names: Arrow format 'vz' is not a string type; expected string ('u') or large_string ('U')"),
    (pa.array([1, 2]).dictionary_encode(), TypeError,
     "names: Arrow dictionary values of format 'l' are not a string type; "
     "expected string ('u'), large_string ('U') or string_view ('vu')"),
    (pa.array([b"A B"]).dictionary_encode(), TypeError,
     "names: Arrow dictionary values of format 'z' are binary (cast it to string); "
     "expected string ('u'), large_string ('U') or string_view ('vu')"),
    (pd.DataFrame({"name": ["A B"]}), TypeError,
     "names must be a sequence of str, not DataFrame (pass one of its columns)"),
    (pd.Series([1.5, 2.5]), TypeError, "names[0] must be str or None, not float"),
    (pd.Series(pd.Categorical(["A B", "C D"])).cat.rename_categories([7, 8]), TypeError,
     "names[0] must be str or None, not int"),
])
def test_other_types_are_refused_clearly(names, exc_type, message):
    with pytest.raises(exc_type) as info:
        talvik.Matcher(names)
    assert str(info.value) == message


BAD_UTF8 = pa.array([b"A B", b"C \xff D"]).cast(pa.string(), safe=False)


@pytest.mark.parametrize("names, note", [
    (pa.DictionaryArray.from_arrays(pa.array([0, 0, 1, 1], pa.int8()), BAD_UTF8), "while reading names[2]"),
    (pa.chunked_array([pa.array(["x y"]).dictionary_encode().cast(pa.dictionary(pa.int8(), pa.string())),
                       pa.DictionaryArray.from_arrays(pa.array([None, 1], pa.int8()), BAD_UTF8)]),
     "while reading names[2]"),
    (pa.chunked_array([pa.DictionaryArray.from_arrays(pa.array([0, 0, 1, 1], pa.int8()), BAD_UTF8)[k:k + 1]
                       for k in range(4)]), "while reading names[2]"),  # one dictionary, shared
    (pd.Series(object_categories(["A B", "A B", "C \ud800", "A B", "C \ud800"])), "while reading names[2]"),
])
def test_bad_text_in_a_dictionary_fails_at_its_first_use(names, note):
    with pytest.raises(UnicodeError) as info:
        talvik.Matcher(names)
    assert info.value.__notes__ == [note]


def test_bad_text_in_a_dictionary_that_no_name_uses_is_ignored():
    names = pa.DictionaryArray.from_arrays(pa.array([0, None, 0], pa.int8()), BAD_UTF8)
    assert talvik.find_pairs(names).tolist() == [[0, 2]]
    series = pd.Series(object_categories(["A B", None, "A B"], extra=["C \ud800"]))
    assert talvik.find_pairs(series).tolist() == [[0, 2]]

"""talvik.normalize against a plain-Python statement of the same steps
(bench/normalize_reference.py, on unicodedata), by hand and by hypothesis,
and the columns it takes and gives back."""
import unicodedata

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import normalize_reference as ref
import talvik

RAW = {"titles": False, "suffixes": False}


def native(name, **options):
    return talvik.normalize([name], **options)[0]


HAND = [
    ("O'Brien", "obrien"),
    ("D’Angelo", "dangelo"),
    ("Ngʼang'a", "nganga"),
    ("`Abd al-Rahman", "abd al rahman"),
    ("Smith-Jones", "smith jones"),
    ("J.R.R. Tolkien", "j r r tolkien"),
    ("Renée Zoë Ångström", "renee zoe angstrom"),
    ("STRASSE Straße", "strasse strasse"),
    ("\ufb01sh \ufb02ower", "fish flower"),  # ﬁ and ﬂ ligatures
    ("ＪＯＨＮ　ＳＭＩＴＨ", "john smith"),  # full-width letters and space
    ("Dr. John Smith Jr.", "dr john smith jr"),
    ("ACME Inc.", "acme inc"),
    ("Banco S.A.", "banco s a"),
    ("İSTANBUL ıstanbul", "istanbul ıstanbul"),  # dotted capital I loses its dot; dotless i stays
    ("ΟΔΥΣΣΕΥΣ Ὀδυσσεύς", "οδυσσευσ οδυσσευσ"),  # final sigma folds to σ, accents go
    ("e\u0301 a\u0308\u0323", "e a"),  # combining marks
    ("Ann 😀 Lee 👨‍👩‍👧", "ann lee"),  # emoji and zero-width joiners
    ("Ann\x00Lee", "ann lee"),
    ("Jo\u200dhn Sm\u00adith\u200b", "john smith"),  # zero-width joiner, soft hyphen, zero-width space
    ("\u202eעברית\u202c  محمد", "עברית محمد"),  # right-to-left text and bidi controls
    ("  Tab\tNew\nLine\u2028Para\u2029Nbsp\u00a0Ideo\u3000 ", "tab new line para nbsp ideo"),
    ("김정은 (Kim)", "김정은 kim"),
    ("x\u0301\u0301--\u00b4", "x"),
    ("", ""),
    ("...", ""),
]


@pytest.mark.parametrize(("name", "expected"), HAND)
def test_hand_cases_native_and_reference_agree(name, expected):
    assert native(name, **RAW) == expected
    assert ref.normalize(name) == expected


# Where utf8proc (Unicode 15.0) and Python's unicodedata (16.0 here) part,
# each kept as a case of its own so that a change on either side shows.
DIFFERENCES = [
    # New in Unicode 16.0: Python folds it, utf8proc does not know it yet.
    ("\ua7cb", "\ua7cb", "\u0264"),
    # A note symbol excluded from composition: utf8proc composes it back, a
    # symbol, so a space; Python keeps the combining stem (Mc) on the next word.
    ("a\U0001d15eb", "a b", "a \U0001d165b"),
    # U+0345 folds to ι: utf8proc folds before putting marks in order, Python after.
    ("\u0345\U0001d16e", "\u03b9\U0001d16e", "\U0001d16e\u03b9"),
]


@pytest.mark.parametrize(("name", "from_utf8proc", "from_python"), DIFFERENCES)
def test_documented_differences_from_unicodedata(name, from_utf8proc, from_python):
    assert native(name, **RAW) == from_utf8proc
    assert ref.normalize(name) == from_python
    assert native(from_utf8proc, **RAW) == from_utf8proc


def _known(c):
    # Assigned by Unicode 3.2, so in both tables, and not one of the differences above.
    o = ord(c)
    return (unicodedata.ucd_3_2_0.category(c) != "Cn" and o != 0x345
            and not (0x1D15E <= o <= 0x1D164 or 0x1D1BB <= o <= 0x1D1C0))


_SPECIAL = "'`\u2018\u2019\u02bc -.,\t\x00\u200d\u00ad\u00a0\u3000İıßςΣ\u0301\u0308\u1100\u1161\u11a7\u11a8\uac00"
_KNOWN = [chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000 and _known(chr(c))]
_MARKS = [c for c in _KNOWN if unicodedata.category(c)[0] == "M"]  # to meet each other often
NAMES = st.text(alphabet=st.one_of(st.sampled_from(_SPECIAL), st.sampled_from(_MARKS), st.sampled_from(_KNOWN)),
                max_size=12)


@settings(max_examples=1000, deadline=None)
@given(st.lists(NAMES, min_size=1, max_size=20))
def test_property_matches_reference_idempotent_and_collapsed(names):
    got = talvik.normalize(names, **RAW)
    assert got == [ref.normalize(n) for n in names]
    assert talvik.normalize(got, **RAW) == got
    for g in got:
        assert g == g.strip() and "  " not in g


DROP = [
    ("Dr. Mrs. Jane Doe Jr., PhD", {}, "jane doe"),
    ("Smith, Dr John", {}, "smith john"),
    ("Dr. John Smith Jr.", {"titles": False}, "dr john smith"),
    ("Dr. John Smith Jr.", {"suffixes": None}, "john smith jr"),
    ("ACME S.A.", {"legal_forms": True}, "acme"),
    ("ACME SA", {"legal_forms": True}, "acme"),
    ("Dupont S.A.R.L.", {"legal_forms": True}, "dupont"),  # the longest phrase, not "s a"
    ("ACME Holdings Co. Ltd", {"legal_forms": True}, "acme holdings"),
    ("ACME S.A.", {}, "acme s a"),
    ("Mr Mr", {}, ""),
    ("Lord Peter Wimsey", {"titles": ["LORD", "lady"]}, "peter wimsey"),
    ("Mr Peter Wimsey", {"titles": ["LORD", "lady"]}, "mr peter wimsey"),
    ("Jean-Paul de la Tour", {"titles": ("De La",)}, "jean paul tour"),
    ("Ann van Dyke", {"titles": ["", "...", "van"]}, "ann dyke"),  # entries cleaned to nothing are ignored
    ("Ana S. Co. A. Silva", {"legal_forms": True}, "ana silva"),  # "co" goes, then "s a" does
]


@pytest.mark.parametrize(("name", "options", "expected"), DROP)
def test_dropped_words_and_phrases(name, options, expected):
    assert native(name, **options) == expected
    chosen = {"titles": True, "suffixes": True, "legal_forms": False} | options
    defaults = {"titles": talvik.TITLES, "suffixes": talvik.SUFFIXES, "legal_forms": talvik.LEGAL_FORMS}
    entries = [w for key, v in chosen.items() if v for w in (defaults[key] if v is True else v)]
    assert ref.normalize(name, ref.drop_list(entries)) == expected


def test_default_lists_are_clean_tuples():
    for words in (talvik.TITLES, talvik.SUFFIXES, talvik.LEGAL_FORMS):
        assert isinstance(words, tuple) and len(set(words)) == len(words)
        # Each entry is what it means once cleaned, a word or a dotted phrase.
        assert all(ref.clean(w) for w in words)
    assert "s a" in {ref.clean(w) for w in talvik.LEGAL_FORMS}


def test_columns_keep_their_kind():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    names = ["Renée O'Neil", None, "Mr. X-Y"]
    want = ["renee oneil", None, "x y"]
    assert talvik.normalize(names) == want
    assert talvik.normalize(tuple(names)) == tuple(want)
    assert talvik.normalize(n for n in names) == want
    out = talvik.normalize(np.array(names, dtype=object))
    assert out.dtype == object and out.tolist() == want
    assert talvik.normalize(np.array(["Ann-Lee"])).tolist() == ["ann lee"]
    series = pd.Series(["Renée O'Neil", float("nan"), "Mr. X-Y"], index=[7, 3, 9], name="who", dtype=object)
    out = talvik.normalize(series)
    assert list(out.index) == [7, 3, 9] and out.name == "who"
    assert out[7] == "renee oneil" and pd.isna(out[3]) and out[9] == "x y"
    for kind in (pa.string(), pa.large_string()):
        out = talvik.normalize(pa.array(names, type=kind))
        assert isinstance(out, pa.Array) and out.type == kind and out.to_pylist() == want
    sliced = pa.array(["skip me", *names])[1:]
    assert talvik.normalize(sliced).to_pylist() == want
    out = talvik.normalize(pa.chunked_array([names[:1], names[1:], []], type=pa.string()))
    assert isinstance(out, pa.ChunkedArray) and out.to_pylist() == want
    assert talvik.normalize(pa.array([], type=pa.string())).to_pylist() == []
    assert talvik.normalize(pa.array(["...", ""])).to_pylist() == ["", ""]


def test_arrow_result_outlives_its_source_and_many_threads_agree():
    pa = pytest.importorskip("pyarrow")
    names = [f"Ms. Ann-{i} Lée" if i % 7 else None for i in range(10_000)]  # several chunks of work
    drop = ref.drop_list(talvik.TITLES + talvik.SUFFIXES)
    want = [None if n is None else ref.normalize(n, drop) for n in names]
    source = pa.array(names)
    out = talvik.normalize(source, threads=2)
    del source
    assert out.to_pylist() == want
    assert talvik.normalize(names, threads=1) == talvik.normalize(names, threads=2) == want


BAD_UTF8 = [
    (b"\xff", 0, 1),
    (b"ab\xc3", 2, 3),          # cut short
    (b"ab\xe2\x82x", 2, 4),     # continuation missing
    (b"\xe0\x80\x80", 0, 1),    # overlong
    (b"x\xed\xa0\x80", 1, 2),   # a surrogate
    (b"\xf4\x90\x80\x80", 0, 1),  # past U+10FFFF
]


@pytest.mark.parametrize(("raw", "start", "end"), BAD_UTF8)
def test_invalid_utf8_in_arrow_raises_where_python_would(raw, start, end):
    pa = pytest.importorskip("pyarrow")
    good = [b"Ann Lee"] * 5000
    values = good + [raw] + good + [raw]
    offsets = np.cumsum([0] + [len(v) for v in values], dtype=np.int32)
    array = pa.Array.from_buffers(pa.string(), len(values), [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(values))])
    with pytest.raises(UnicodeDecodeError) as caught:
        talvik.normalize(array, threads=2)
    with pytest.raises(UnicodeDecodeError) as python:
        raw.decode()
    assert (caught.value.start, caught.value.end) == (python.value.start, python.value.end) == (start, end)
    assert "names[5000]" in " ".join(caught.value.__notes__)
    with pytest.raises(UnicodeDecodeError) as matcher:  # the Matcher reads Arrow names with the same check
        talvik.Matcher(array)
    assert (matcher.value.start, matcher.value.end) == (start, end)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: talvik.normalize(["a", 3]), TypeError, r"names\[1\] must be str or None, not int"),
    (lambda: talvik.normalize(["a", b"b"]), TypeError, r"names\[1\]"),
    (lambda: talvik.normalize("Ann Lee"), TypeError, "not str"),
    (lambda: talvik.normalize(7), TypeError, "not int"),
    (lambda: talvik.normalize(np.array([["a"]])), ValueError, "one-dimensional"),
    (lambda: talvik.normalize(["a"], titles="mr"), TypeError, "titles must be"),
    (lambda: talvik.normalize(["a"], suffixes=[1]), TypeError, "suffixes must hold str"),
    (lambda: talvik.normalize(["a"], threads=0), ValueError, "threads"),
    (lambda: talvik.normalize(["a\ud800"]), UnicodeEncodeError, "surrogates"),
    (lambda: talvik.normalize({"a": "b"}), TypeError, "iterable of words"),
    (lambda: talvik.normalize({"a": [None]}), TypeError, "words must be str"),
    (lambda: talvik.normalize({1: ["a"]}), TypeError, "keys must be str"),
])
def test_bad_input_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_tradeout_tables_merge_and_clean():
    table = {
        "Robert": ["Bob", "ROB", "robert", "Bobby"],
        "ROBERT": ("Bobby", "Rob", "...", "Robbie"),
        "José": ["Pepe", "Jose"],
        "Dr": ["Doctor"],     # the key is a title: dropped with it
        "!!": ["x"],           # the key cleans to nothing
        "Ann": ["Ann."],       # left with no word
    }
    assert talvik.normalize(table) == {"robert": ["bob", "rob", "bobby", "robbie"], "jose": ["pepe"]}
    assert talvik.normalize(table, titles=False)["dr"] == ["doctor"]
    assert table["Robert"] == ["Bob", "ROB", "robert", "Bobby"]  # the caller's table is left alone


def test_normalized_names_find_the_pairs_raw_ones_miss():
    names = ["Dr. Seán O'Brien", "SEAN OBRIEN Jr."]
    assert talvik.find_pairs(names).tolist() == []
    assert talvik.find_pairs(talvik.normalize(names)).tolist() == [[0, 1]]

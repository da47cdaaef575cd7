"""talvik.dedupe and talvik.link over pandas and Arrow tables, and the
`talvik dedupe` / `talvik link` commands: their results read back against
clusters built here from the Matcher's own scored pairs."""
import json
import math
import random
import subprocess
import warnings
from collections import Counter, defaultdict

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import talvik
from talvik import _native
from talvik._dedupe import _block_codes, _codes, _frame

from support.paths import talvik_script

try:
    import polars as pl
except ImportError:  # no build of polars for the free-threaded interpreter
    pl = None

KINDS = ["pandas", "arrow",
         pytest.param("polars", marks=pytest.mark.skipif(pl is None, reason="polars is not installed"))]

GIVEN = ["Robert", "William", "Elizabeth", "Katherine", "Margaret", "James", "John", "Thomas", "Richard",
         "Charles", "Joseph", "Daniel", "Andrew", "Susan", "Patricia", "Zoë", "Seán", "Ann", "Mary", "Peter"]
SYLLABLES = ["ka", "lo", "mi", "ran", "tor", "vel", "sen", "dar", "bri", "no", "hal", "wen", "gus", "pet"]
CITIES = ["Oslo", "Turku", None]
NICKNAMES = talvik.nicknames()


def people(n, seed):
    """A table of n records of about n / 2 people, each written one to three
    times with the noise records have (nicknames, initials, case, a swapped
    letter, an apostrophe, a missing given name), a city (mostly the
    person's own, sometimes none or another), and an id."""
    rng = random.Random(seed)
    rows = []
    while len(rows) < n:
        given = rng.choice(GIVEN)
        surname = "".join(rng.choice(SYLLABLES) for _ in range(3)).capitalize()
        if rng.random() < 0.1:
            surname = "O'" + surname
        city = rng.choice(CITIES)
        for _ in range(rng.choice([1, 1, 2, 2, 3])):
            first, last = given, surname
            if rng.random() < 0.2:
                first = rng.choice(NICKNAMES.get(first, [first]))
            if rng.random() < 0.05:
                first = first[0]
            if rng.random() < 0.1:
                k = rng.randrange(1, len(last) - 2)
                last = last[:k] + last[k + 1] + last[k] + last[k + 2:]
            if rng.random() < 0.1:
                last = last.replace("'", "")
            if rng.random() < 0.1:
                first, last = first.upper(), last.upper()
            if rng.random() < 0.05:
                first = None
            rows.append((first, last, city if rng.random() < 0.9 else rng.choice(CITIES)))
    rng.shuffle(rows)
    return pd.DataFrame({
        "person": [f"p{k:05d}" for k in rng.sample(range(10 * n), n)],
        "first": [r[0] for r in rows[:n]],
        "last": [r[1] for r in rows[:n]],
        "city": [r[2] for r in rows[:n]],
        "name": [f"{r[1]}, {r[0]}" if r[0] else r[1] for r in rows[:n]],
    })


def joined(df, columns):
    return [" ".join(p for p in row if isinstance(p, str) and p) or None
            for row in zip(*(df[c].tolist() for c in columns))]


def reference(names, *, blocks=None, min_score=None, split_above=None):
    """Cluster labels, best scores and the clusters held back by size, built
    here from the Matcher's scored pairs: from the strongest pair down, two
    clusters join when the mean score over every pair between them (a pair
    not found counting as the search's floor) reaches the threshold and
    they fit in split_above rows together."""
    threshold = talvik.DEFAULT_CLUSTER_SCORE if min_score is None else min_score
    floor = min(threshold, talvik.DEFAULT_MIN_SCORE)
    limit = len(names) if split_above is None else split_above
    matcher = talvik.Matcher(names, talvik.nicknames(), normalize=True, typos=1, initials=True, blocks=blocks)
    pairs, scores = matcher.pairs(scores=True, min_score=floor)
    pairs, scores = pairs.tolist(), scores.tolist()
    for i, j, s in single_word_pairs(names, blocks, floor):
        pairs.append([i, j])
        scores.append(s)
    score = {}
    for (i, j), s in zip(pairs, scores):
        key = (min(i, j), max(i, j))
        score[key] = max(score.get(key, s), s)
    root = list(range(len(names)))
    members = {k: [k] for k in range(len(names))}
    held = set()
    for k in sorted(range(len(pairs)), key=lambda k: -scores[k]):  # stable: equal scores in pair order
        a, b = root[pairs[k][0]], root[pairs[k][1]]
        if a == b:
            continue
        total = 0.0
        for x in members[a]:
            for y in members[b]:
                total += score.get((min(x, y), max(x, y)), floor)
        if total / (len(members[a]) * len(members[b])) < threshold:
            continue
        if len(members[a]) + len(members[b]) > limit:
            held |= {a, b}
            continue
        keep, gone = min(a, b), max(a, b)
        members[keep] += members.pop(gone)
        for x in members[keep]:
            root[x] = keep
    labels = np.array(root, dtype=np.int64)
    best = np.full(len(names), np.nan)
    for (i, j), s in zip(pairs, scores):
        if labels[i] == labels[j]:
            best[i], best[j] = np.fmax(best[i], s), np.fmax(best[j], s)
    held_back = sorted({(int(labels[r]), len(members[labels[r]])) for r in held})
    return labels, best.astype(np.float32), held_back


def single_word_pairs(names, blocks, floor):
    """Rows written as the same one word alone (normalised), in one block:
    each pair scores -log2 of the names of two words or more holding the
    word (at least one), kept from ``floor`` up; a word more than 50 rows
    write alone is left out."""
    words = [n.split(" ") if n else [] for n in talvik.normalize(names)]
    held = Counter(w for ws in words if len(ws) >= 2 for w in set(ws))
    rows = defaultdict(list)
    for k, ws in enumerate(words):
        if len(ws) == 1:
            rows[ws[0], None if blocks is None else int(blocks[k])].append(k)
    out = []
    for (word, _), group in rows.items():
        score = -math.log2(max(held[word], 1))
        if len(group) <= 50 and score >= floor:
            out += [(i, j, score) for k, i in enumerate(group) for j in group[k + 1:]]
    return out


def city_codes(cities):
    """A code per city, and one of its own for each row without a city."""
    known = {c: k for k, c in enumerate(dict.fromkeys(c for c in cities if isinstance(c, str)))}
    return np.array([known[c] if isinstance(c, str) else len(cities) + k for k, c in enumerate(cities)],
                    dtype=np.int64)


def make(df, kind):
    """``df`` as a table of ``kind``."""
    if kind == "arrow":
        return pa.Table.from_pandas(df, preserve_index=False)
    return pl.from_pandas(df) if kind == "polars" else df


def as_pandas(result):
    return result if isinstance(result, pd.DataFrame) else result.to_pandas()


# --- results ------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed, n, columns, block_on, split_above, min_score", [
    (1, 300, ["first", "last"], None, None, None),
    (2, 300, ["first", "last"], "city", None, None),
    (3, 200, "name", None, None, 1.5),
    (4, 400, ["first", "last"], None, 2, None),
    (5, 400, ["last", "first"], ["city"], 2, -3.0),
])
def test_clusters_are_those_of_the_scored_pairs(kind, seed, n, columns, block_on, split_above, min_score):
    df = people(n, seed)
    table = make(df, kind)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = as_pandas(talvik.dedupe(table, columns, id="person", block_on=block_on, split_above=split_above,
                                      min_score=min_score))
    cols = [columns] if isinstance(columns, str) else columns
    blocks = None if block_on is None else city_codes(df["city"].tolist())
    labels, best, held = reference(joined(df, cols), blocks=blocks, split_above=split_above, min_score=min_score)
    assert got["person"].tolist() == df["person"].tolist()
    assert got["cluster"].tolist() == labels.tolist()
    assert got["cluster_size"].tolist() == np.bincount(labels, minlength=n)[labels].tolist()
    # The one-word pairs' scores are worked out here in double precision.
    np.testing.assert_allclose(got["score"].to_numpy(dtype=np.float32), best, rtol=0, atol=1e-5)
    # Enough matched for the comparison to mean something, and only rows alone lack a score.
    assert (got["cluster_size"] > 1).sum() > n // 4
    assert (got["score"].isna() == (got["cluster_size"] == 1)).all()
    # Each cluster that split_above held back is warned of (the first ten).
    warned = [(w.message.label, w.message.size) for w in caught if isinstance(w.message, talvik.LargeGroupWarning)]
    assert warned == held[:10]
    assert bool(held) == (split_above is not None)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("id", [None, "person"])
def test_output_columns_and_types(kind, id):
    df = people(50, 7).set_index(pd.Index(range(100, 150), name="k"))
    got = talvik.dedupe(make(df, kind), ["first", "last"], id=id)
    first = id or "row"
    assert type(got) is type(make(df, kind))
    if kind == "pandas":
        assert got.index.equals(df.index)  # beside the input, row for row
    got = as_pandas(got)
    assert list(got.columns) == [first, "cluster", "cluster_size", "score"]
    assert [str(t) for t in got.dtypes[1:]] == ["int64", "int64", "float32"]
    assert got[first].tolist() == (df["person"].tolist() if id else list(range(50)))


@pytest.mark.parametrize("kind", KINDS)
def test_block_on_keeps_clusters_inside_blocks(kind):
    # Every name twice, once in each city, and some rows with no city.
    names = ["Robert Smith", "Bob Smith", "Ann Lee", "Anna Lee", "J Smith", "John Smith"]
    df = pd.DataFrame({"name": names * 3, "city": ["Oslo"] * 6 + ["Turku"] * 6 + [None] * 6})
    table = make(df, kind)
    # Every pair kept whatever its score: this is about blocks alone.
    free = as_pandas(talvik.dedupe(table, "name", min_score=-100))
    blocked = as_pandas(talvik.dedupe(table, "name", block_on="city", min_score=-100))
    # Without blocks the cities mix; with them no cluster spans two cities,
    # and a row without a city stays alone.
    assert df.groupby(free["cluster"])["city"].nunique(dropna=False).max() > 1
    assert (df.groupby(blocked["cluster"])["city"].nunique(dropna=False) == 1).all()
    assert (blocked["cluster_size"][df["city"].isna()] == 1).all()
    assert (blocked["cluster_size"][df["city"].notna()] > 1).all()


@pytest.mark.parametrize("kind", KINDS)
def test_empty_table_gives_empty_result(kind):
    df = pd.DataFrame({"id": pd.Series([], dtype="int64"), "name": pd.Series([], dtype=object)})
    table = make(df, kind)
    got = as_pandas(talvik.dedupe(table, "name", id="id", block_on="name"))
    assert list(got.columns) == ["id", "cluster", "cluster_size", "score"] and len(got) == 0


@pytest.mark.parametrize("kind", KINDS)
def test_parts_are_joined_in_order(kind):
    # Missing and empty parts are left out; a row of none has no name.
    rows = [("Ann", "Lee", "Ann Lee"), (None, "Lee", "Lee"), ("", "Lee", "Lee"), (None, None, None),
            ("Ann", "", "Ann"), ("Lee", "Ann", "Lee Ann"), ("", "", None)]
    df = pd.DataFrame({"a": [r[0] for r in rows], "b": [r[1] for r in rows], "c": ["X", None, "", "Y", "Z", "", ""]})
    frame = talvik._dedupe._frame(make(df, kind), "table")
    assert talvik._dedupe._names(frame, ["a", "b"]) == [r[2] for r in rows]
    assert talvik._dedupe._names(frame, ["a", "c", "b"]) == [
        "Ann X Lee", "Lee", "Lee", "Y", "Ann Z", "Lee Ann", None]


@pytest.mark.parametrize("seed", range(6))
def test_block_codes_agree_exactly_when_every_column_does(seed):
    rng = random.Random(seed)
    width = rng.randint(1, 3)
    sizes = [rng.randint(0, 40), rng.randint(0, 40)]
    pool = [None, float("nan"), 0, 1, "a", "b", 2.5]
    columns = [[rng.choice(pool) for _ in range(sum(sizes))] for _ in range(width)]
    parts = _block_codes([_codes(c, k) for k, c in enumerate(columns)], sizes)
    assert [len(p) for p in parts] == sizes and all(p.dtype == np.int64 for p in parts)
    codes = np.concatenate(parts).tolist()
    keys = list(zip(*columns))
    def missing(key):
        return any(v is None or v != v for v in key)
    for i in range(len(keys)):
        for j in range(i):
            same = not missing(keys[i]) and not missing(keys[j]) and keys[i] == keys[j]
            assert (codes[i] == codes[j]) == same, (keys[i], keys[j])


def partition(codes):
    """Which rows share a code, with -1 (missing) shared by none."""
    return {frozenset(np.flatnonzero(codes == c).tolist()) for c in set(codes.tolist()) - {-1}}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("column", [
    ["Oslo", None, "Turku", "Oslo", "", None, "Turku"],
    [3, 1, None, 3, 1, 2, None],
    [1.5, float("nan"), 1.5, None, 2.0, float("nan"), 2.0],
    pd.Categorical(["a", "b", None, "a", "b", "c", None]),
    [True, False, None, True, False, False, True],
])
def test_each_kind_codes_blocks_as_the_plain_way(kind, column):
    df = pd.DataFrame({"c": column})
    frame = _frame(make(df, kind), "table")
    codes = frame.codes("c")
    assert codes.dtype == np.int64 and len(codes) == 7
    assert partition(codes) == partition(_codes(df["c"].to_numpy(dtype=object, na_value=None).tolist(), "c"))
    assert (codes == -1).tolist() == df["c"].isna().tolist()


# --- link -----------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("block_on, ids", [(None, (None, None)), ("city", ("person", "person"))])
def test_link_gives_the_matchers_pairs(kind, block_on, ids):
    both = people(270, 11)  # records of one person fall on both sides
    left, right = both.iloc[:150].reset_index(drop=True), both.iloc[150:].reset_index(drop=True)
    tables = [make(t, kind) for t in (left, right)]
    got = as_pandas(talvik.link(*tables, ["first", "last"], left_id=ids[0], right_id=ids[1], block_on=block_on,
                                single_words=False))
    names = [f"{side}_{id or 'row'}" for side, id in zip(("left", "right"), ids)]
    assert list(got.columns) == [*names, "score"]
    blocks = [None, None]
    if block_on:
        codes = city_codes(left["city"].tolist() + right["city"].tolist())
        blocks = [codes[:150], codes[150:]]
    matcher = talvik.Matcher(joined(left, ["first", "last"]), talvik.nicknames(), normalize=True, typos=1,
                             initials=True, blocks=blocks[0])
    pairs, scores = matcher.match(joined(right, ["first", "last"]), blocks=blocks[1], scores=True,
                                  min_score=talvik.DEFAULT_MIN_SCORE)
    want = sorted((int(i), int(j), float(s)) for (j, i), s in zip(pairs.tolist(), scores.tolist()))
    assert len(want) > 30
    lid = left["person"].tolist() if ids[0] else list(range(150))
    rid = right["person"].tolist() if ids[1] else list(range(120))
    assert list(zip(got[names[0]], got[names[1]], got["score"].astype(float))) == [
        (lid[i], rid[j], s) for i, j, s in want]
    if block_on:
        pairs_cities = zip(left["city"].iloc[[i for i, _, _ in want]], right["city"].iloc[[j for _, j, _ in want]])
        assert all(a == b and a is not None for a, b in pairs_cities)


# Rows whose whole name is one word, among 18 of two words: (names, blocks,
# keyword arguments, the pairs of rows expected among the first rows).
FILLER = [f"Given{k} Family{k}" for k in range(12)] + ["Jo Sedecki"] + [f"Smith {c}" for c in "ABCDE"]
SINGLE = {
    "a rare word twice": (["Sedecki", "sedecki."], None, {}, [(0, 1)]),
    "a word no longer name holds": (["Quorra", "QUORRA", "Quorra"], None, {}, [(0, 1), (0, 2), (1, 2)]),
    "titles fall away first": (["Mr Sedecki", "Sedecki"], None, {}, [(0, 1)]),
    "too common a word": (["Smith", "Smith"], None, {}, []),
    "a lower floor takes it": (["Smith", "Smith"], None, {"min_score": -2.5}, [(0, 1)]),
    "other blocks": (["Sedecki", "Sedecki"], ["a", "b"], {}, []),
    "one word against two": (["Sedecki", "Jo Sedecki"], None, {}, []),
    "turned off": (["Sedecki", "Sedecki"], None, {"single_words": False}, []),
    "written alone by too many rows": (["Unknown"] * 51, None, {}, []),
    "as many as may be": (["Unknown"] * 50, None, {}, [(i, j) for i in range(50) for j in range(i + 1, 50)]),
}


@pytest.mark.parametrize("case", SINGLE)
def test_single_words_pair_only_the_same_rare_word(case):
    names, blocks, kwargs, want = SINGLE[case]
    df = pd.DataFrame({"name": names + FILLER, "city": (blocks or ["x"] * len(names)) + ["x"] * len(FILLER)})
    first = len(names)
    linked = as_pandas(talvik.link(df, df, "name", block_on="city", **kwargs))
    got = {(i, j) for i, j in zip(linked["left_row"], linked["right_row"]) if i < j < first}
    assert got == set(want)
    expected = {(i, j): s for i, j, s in single_word_pairs(names + FILLER, None if blocks is None else
                                                           np.array([0, 1] + [0] * len(FILLER)),
                                                           kwargs.get("min_score", talvik.DEFAULT_MIN_SCORE))}
    for i, j, s in zip(linked["left_row"], linked["right_row"], linked["score"]):
        if i < j < first:
            assert s == pytest.approx(expected[i, j], abs=1e-5)
    clusters = as_pandas(talvik.dedupe(df, "name", block_on="city", min_score=kwargs.get("min_score", -2.0),
                                       single_words=kwargs.get("single_words", True)))["cluster"].tolist()
    together = {(i, j) for i in range(first) for j in range(i + 1, first) if clusters[i] == clusters[j]}
    assert together == set(want)


def test_single_words_must_be_a_bool():
    df = pd.DataFrame({"name": ["Sedecki", "Sedecki"]})
    for call in (lambda: talvik.dedupe(df, "name", single_words=1), lambda: talvik.link(df, df, "name",
                                                                                          single_words="yes")):
        with pytest.raises(TypeError, match="single_words must be a bool"):
            call()


# --- bad input ------------------------------------------------------------------


def _objects(df):
    return df.assign(first=df["first"].astype(object))


BAD = {
    "no such name column": (dict(columns=["first", "surname"]), KeyError, "no column 'surname'"),
    "no such block column": (dict(columns="last", block_on="town"), KeyError, "no column 'town'"),
    "no such id column": (dict(columns="last", id="pid"), KeyError, "no column 'pid'"),
    "numbers as names": (dict(columns=["first", "age"]), TypeError, "column 'age' must hold strings"),
    "a number among names": (dict(columns="mixed"), TypeError, "column 'mixed' must hold strings: row 2"),
    "repeated id": (dict(columns="last", id="twice"), ValueError, "id column 'twice' holds 'x' twice, at rows 0 and 3"),
    "missing id": (dict(columns="last", id="holes"), ValueError, "id column 'holes' has a missing value at row 1"),
    "id named like an output": (dict(columns="last", id="score"), ValueError, "id column 'score'"),
    "a column twice": (dict(columns=["last", "last"]), ValueError, "column 'last' twice"),
    "no column": (dict(columns=[]), ValueError, "columns names no column"),
    "columns not names": (dict(columns=3), TypeError, "columns must be a column name"),
    "min_score NaN": (dict(columns="last", min_score=float("nan")), ValueError, "min_score"),
    "split_above 0": (dict(columns="last", split_above=0), ValueError, "split_above must be at least 1"),
    "unhashable block": (dict(columns="last", block_on="lists"), TypeError, "block_on column 'lists'"),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case", BAD)
def test_bad_input_names_the_column(kind, case):
    kwargs, error, message = BAD[case]
    n = 5
    df = people(n, 3).assign(
        age=range(n), mixed=["a", "b", 3, None, "c"], twice=["x", "y", "z", "x", "w"],
        holes=["a", None, "c", "d", "e"], score=list("abcde"), lists=[[1], [2], [1], [3], [4]])
    if kind != "pandas" and case == "a number among names":
        pytest.skip("an Arrow or polars column holds one type")
    table = make(df if kind == "pandas" else df.drop(columns=["mixed"]), kind)
    with pytest.raises(error, match=message.replace("(", r"\(")):
        talvik.dedupe(table, **kwargs)


_PAIRS = np.array([[0, 1], [1, 2]], dtype=np.int32)
_SCORES = np.array([1.0, 2.0], dtype=np.float32)


# The clustering's own checks: the engine must never read past the names.
@pytest.mark.parametrize("args, error, message", [
    ((3, np.array([[0, 3]], dtype=np.int32), _SCORES[:1], -1.0, -2.0, 5), ValueError, "must index the names"),
    ((3, np.array([[-1, 0]], dtype=np.int32), _SCORES[:1], -1.0, -2.0, 5), ValueError, "must index the names"),
    ((3, _PAIRS, np.array([1.0, np.nan], dtype=np.float32), -1.0, -2.0, 5), ValueError, "must be numbers"),
    ((3, _PAIRS, _SCORES[:1], -1.0, -2.0, 5), ValueError, "of one length"),
    ((3, _PAIRS, _SCORES, float("nan"), -2.0, 5), ValueError, "min_score must be a number"),
    ((3, _PAIRS, _SCORES, -1.0, float("nan"), 5), ValueError, "unpaired must be a number"),
    ((3, _PAIRS, _SCORES, -1.0, -2.0, 0), ValueError, "max_size >= 1"),
    ((-1, _PAIRS, _SCORES, -1.0, -2.0, 5), ValueError, "0 <= n"),
    ((3, _PAIRS.astype(np.int64), _SCORES, -1.0, -2.0, 5), TypeError, "pairs has the wrong type"),
    ((3, _PAIRS, _SCORES, "x", -2.0, 5), TypeError, "must be real number"),
])
def test_cluster_mean_refuses_bad_input(args, error, message):
    with pytest.raises(error, match=message):
        _native.cluster_mean(*args)


@pytest.mark.parametrize("table, error", [
    ({"name": ["Ann Lee"]}, "table must be a pandas DataFrame"),
    (pd.Series(["Ann Lee"]), "table must be a pandas DataFrame"),
])
def test_not_a_table(table, error):
    with pytest.raises(TypeError, match=error):
        talvik.dedupe(table, "name")


def test_link_errors_say_which_table():
    left, right = people(5, 1), people(5, 2).drop(columns=["city"])
    with pytest.raises(KeyError, match="right: no column 'city'"):
        talvik.link(left, right, "last", block_on="city")
    with pytest.raises(ValueError, match="left: id column 'city' has a missing value"):
        talvik.link(left.assign(city=[None] * 5), right, "last", left_id="city")


# --- the command ----------------------------------------------------------------


def run(*args, stdin=b""):
    out = subprocess.run([str(talvik_script()), *map(str, args)], input=stdin, capture_output=True, timeout=300)
    return out.returncode, out.stdout, out.stderr.decode()


def read_output(path):
    if str(path).endswith(".parquet"):
        return pq.read_table(path).to_pandas()
    if str(path).endswith(".jsonl"):
        return pd.DataFrame([json.loads(line) for line in path.read_text().splitlines()]).astype({"score": float})
    return pd.read_csv(path, dtype={"person": str, "left_person": str, "right_person": str}, keep_default_na=False,
                       na_values={"score": [""]})


@pytest.mark.parametrize("source", ["csv", "parquet"])
@pytest.mark.parametrize("target", ["csv", "jsonl", "parquet"])
def test_dedupe_command_round_trip(tmp_path, source, target):
    df = people(200, 21)
    src = tmp_path / f"people.{source}"
    if source == "csv":
        df.to_csv(src, index=False)
    else:
        pq.write_table(pa.Table.from_pandas(df, preserve_index=False), src)
    out = tmp_path / f"clusters.{target}"
    status, stdout, err = run("dedupe", src, "--column", "first", "--column", "last", "--id", "person",
                              "--block-on", "city", "-o", out)
    assert (status, stdout, err) == (0, b"", "")
    want = talvik.dedupe(df, ["first", "last"], id="person", block_on="city")
    got = read_output(out)
    assert list(got.columns) == ["person", "cluster", "cluster_size", "score"]
    assert got["person"].tolist() == want["person"].tolist()
    assert got["cluster"].tolist() == want["cluster"].tolist()
    assert got["cluster_size"].tolist() == want["cluster_size"].tolist()
    # Written as the shortest text of the float32, read back exactly.
    np.testing.assert_array_equal(got["score"].to_numpy(dtype=np.float32), want["score"].to_numpy())


@pytest.mark.parametrize("flag, together", [((), True), (("--no-single-words",), False)])
def test_dedupe_command_single_words(tmp_path, flag, together):
    src = tmp_path / "names.csv"
    pd.DataFrame({"name": ["Sedecki", "Sedecki", *FILLER]}).to_csv(src, index=False)
    out = tmp_path / "clusters.csv"
    assert run("dedupe", src, "--column", "name", *flag, "-o", out)[0] == 0
    clusters = read_output(out)["cluster"].tolist()
    assert (clusters[0] == clusters[1]) == together


@pytest.mark.parametrize("target", ["csv", "parquet"])
def test_link_command_round_trip(tmp_path, target):
    both = people(210, 31)
    left, right = both.iloc[:120], both.iloc[120:]
    left.to_csv(tmp_path / "left.csv", index=False)
    pq.write_table(pa.Table.from_pandas(right, preserve_index=False), tmp_path / "right.parquet")
    out = tmp_path / f"pairs.{target}"
    status, stdout, err = run("link", tmp_path / "left.csv", tmp_path / "right.parquet", "--column", "first",
                              "--column", "last", "--left-id", "person", "--right-id", "person", "-o", out)
    assert (status, stdout, err) == (0, b"", "")
    want = talvik.link(left, right, ["first", "last"], left_id="person", right_id="person")
    got = read_output(out)
    assert list(got.columns) == ["left_person", "right_person", "score"] and len(want) > 20
    assert got[["left_person", "right_person"]].values.tolist() == want[["left_person", "right_person"]].values.tolist()
    np.testing.assert_array_equal(got["score"].to_numpy(dtype=np.float32), want["score"].to_numpy())


COMMAND_ERRORS = {
    "unknown output suffix": (["-o", "{tmp}/out.xlsx"], "cannot tell the format from '.xlsx'"),
    "no such column": (["--column", "surname"], "people.csv:1: no column 'surname'"),
    "missing id": (["--column", "last", "--id", "first"], "people.csv: id column 'first' has a missing value at row 1"),
    "repeated id": (["--column", "first", "--id", "person"], "people.csv: id column 'person' holds 'p1' twice, at rows 0 and 2"),
    "no such block column": (["--column", "last", "--block-on", "town"], "people.csv:1: no column 'town'"),
}


@pytest.mark.parametrize("case", COMMAND_ERRORS)
def test_dedupe_command_errors(tmp_path, case):
    args, message = COMMAND_ERRORS[case]
    (tmp_path / "people.csv").write_text("person,first,last,city\np1,Ann,Lee,Oslo\np2,,Lee,Oslo\np1,Bob,Smith,\n")
    args = [a.replace("{tmp}", str(tmp_path)) for a in args]
    if "--column" not in args:
        args = ["--column", "last", *args]
    status, stdout, err = run("dedupe", tmp_path / "people.csv", *args)
    assert status == 2 and stdout == b"" and err.count("\n") == 1, err
    assert message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["people.csv"]  # nothing written

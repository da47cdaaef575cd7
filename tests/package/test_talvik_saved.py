"""Matcher.save/open, lookup and pickling: lookup against match() for a fresh
and for a reopened Matcher, damaged files refused by kind, and a Matcher
sent to another process."""
import pickle
import random
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import talvik

# Words the index holds, and words only the queries or the tradeouts hold.
INDEXED = ["ann", "anna", "bob", "robert", "j", "john", "smith", "é", "李", "x\x00y"]
QUERY_ONLY = ["bobby", "jon", "annie", "zed"]
VOCAB = INDEXED + QUERY_ONLY

names_st = st.lists(
    st.one_of(st.none(), st.lists(st.sampled_from(INDEXED), max_size=6).map(" ".join)), max_size=30)
queries_st = st.lists(st.lists(st.sampled_from(VOCAB), max_size=6).map(" ".join), max_size=12)
table_st = st.dictionaries(st.sampled_from(VOCAB), st.lists(st.sampled_from(VOCAB), max_size=4), max_size=8)


def random_case(seed):
    rng = random.Random(seed)
    names = [" ".join(rng.choices(INDEXED, k=rng.choice([0, 1, 2, 2, 3, 3, 4, 9]))) for _ in range(rng.randint(0, 80))]
    queries = [" ".join(rng.choices(VOCAB, k=rng.choice([1, 2, 2, 3, 4, 5, 17]))) for _ in range(rng.randint(0, 300))]
    table = {rng.choice(VOCAB): rng.sample(VOCAB, rng.randint(0, 4)) for _ in range(rng.randint(0, 10))}
    return names, queries, table


def reopened(matcher, tmp_path):
    path = tmp_path / "index.tvx"
    matcher.save(path)
    return talvik.Matcher.open(path)


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("threads", [1, 2])
def test_lookup_equals_match(seed, threads, tmp_path):
    names, queries, table = random_case(seed)
    matcher = talvik.Matcher(names, table, threads=threads)
    expected = matcher.match(queries)
    for m in (matcher, reopened(matcher, tmp_path), pickle.loads(pickle.dumps(matcher))):
        got = m.lookup(queries)
        assert got.dtype == np.int32 and got.shape == (len(got), 2)
        assert got.tolist() == expected.tolist()
        assert m.pairs().tolist() == matcher.pairs().tolist()
        found, scores = m.lookup(queries, scores=True)
        assert found.tolist() == expected.tolist()
        # A batch on a team scores as small batches on the calling thread do.
        parts = [m.lookup(queries[k : k + 100], scores=True)[1] for k in range(0, len(queries), 100)]
        assert scores.tolist() == np.concatenate([np.zeros(0, np.float32), *parts]).tolist()


@settings(max_examples=200, deadline=None, derandomize=True)
@given(names=names_st, queries=queries_st, table=table_st)
def test_lookup_equals_match_on_any_input(names, queries, table, tmp_path_factory):
    matcher = talvik.Matcher(names, table, threads=1)
    expected = matcher.match(queries).tolist()
    assert matcher.lookup(queries).tolist() == expected
    assert reopened(matcher, tmp_path_factory.mktemp("saved")).lookup(queries).tolist() == expected


def test_reopened_matcher_answers_every_search_alike(tmp_path):
    names, _, table = random_case(99)
    matcher = talvik.Matcher(names, table)
    other = reopened(matcher, tmp_path)
    assert len(other) == len(matcher)
    assert other.count() == matcher.count()
    assert other.groups().tolist() == matcher.groups().tolist()
    usage, expected = other.tradeout_usage(), matcher.tradeout_usage()
    assert usage.equals(expected) if hasattr(usage, "equals") else usage == expected
    assert talvik.Matcher.open(tmp_path / "index.tvx", verify=True).pairs(rows=range(3, 40)).tolist() == \
        matcher.pairs(rows=range(3, 40)).tolist()


def damaged(data, what):
    data = bytearray(data)
    if what == "empty":
        return b""
    if what == "another kind":
        return b"PK\x03\x04" + bytes(200)
    if what == "truncated":
        return bytes(data[: len(data) // 2])
    if what == "newer version":
        data[8] = 9
        return bytes(data)
    if what == "header":
        data[60] ^= 1
        return bytes(data)
    if what == "tradeouts":
        # The small sections are checked at open: the tradeouts lie right after the directory.
        data[896 + 40] ^= 1
        return bytes(data)
    raise AssertionError(what)


@pytest.mark.parametrize(("what", "message"), [
    ("empty", "truncated"),
    ("another kind", "not a saved talvik index"),
    ("truncated", "truncated"),
    ("newer version", "newer version"),
    ("header", "checksum"),
    ("tradeouts", "checksum"),
])
def test_a_bad_file_is_refused_at_open(what, message, tmp_path):
    matcher = talvik.Matcher(["ann bob", "bob ann", "kate lee"], {"bob": ["robert"]})
    matcher.save(tmp_path / "good.tvx")
    bad = tmp_path / "bad.tvx"
    bad.write_bytes(damaged((tmp_path / "good.tvx").read_bytes(), what))
    with pytest.raises(ValueError, match=message):
        talvik.Matcher.open(bad)


@pytest.mark.parametrize("verify", [False, True])
def test_a_flipped_byte_in_a_large_section_is_never_searched(verify, tmp_path):
    names, _, table = random_case(5)
    matcher = talvik.Matcher(names, table)
    matcher.save(tmp_path / "good.tvx")
    data = bytearray((tmp_path / "good.tvx").read_bytes())
    data[len(data) * 2 // 3] ^= 0x20
    (tmp_path / "bad.tvx").write_bytes(data)
    with pytest.raises(ValueError, match="damaged"):
        talvik.Matcher.open(tmp_path / "bad.tvx", verify=verify).lookup(["ann bob"])


def test_save_replaces_atomically_and_reports_os_errors(tmp_path):
    path = tmp_path / "index.tvx"
    talvik.Matcher(["ann bob"]).save(path)
    talvik.Matcher(["ann bob", "bob ann"]).save(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["index.tvx"]
    assert talvik.Matcher.open(path).pairs().tolist() == [[0, 1]]
    with pytest.raises(FileNotFoundError):
        talvik.Matcher(["ann bob"]).save(tmp_path / "no" / "such" / "dir.tvx")
    with pytest.raises(FileNotFoundError):
        talvik.Matcher.open(tmp_path / "missing.tvx")


def _lookup_in_worker(matcher, queries):
    return matcher.lookup(queries).tolist()


def test_a_pickled_matcher_goes_to_a_process_pool():
    names, queries, table = random_case(3)
    matcher = talvik.Matcher(names, table)
    with ProcessPoolExecutor(max_workers=2) as pool:
        got = list(pool.map(_lookup_in_worker, [matcher] * 2, [queries, queries[:5]]))
    assert got == [matcher.match(queries).tolist(), matcher.match(queries[:5]).tolist()]


@pytest.mark.parametrize(("seed", "batches", "opened"), [
    (0, [5], False),
    (1, [0, 3, 40], False),
    (2, [25, 25], True),
    (3, [1] * 6, True),
    (4, [12_000], False),  # past the share: folded at once
])
def test_added_names_match_as_if_built_together(seed, batches, opened, tmp_path):
    names, queries, table = random_case(seed)
    rng = random.Random(seed)
    more = [" ".join(rng.choices(VOCAB, k=rng.choice([2, 3, 4]))) for _ in range(sum(batches))]
    matcher = talvik.Matcher(names, table)
    if opened:
        matcher = reopened(matcher, tmp_path)
    whole = talvik.Matcher(names + more, table)
    at = 0
    for size in batches:
        matcher.add(more[at : at + size])
        at += size
        assert len(matcher) == len(names) + at
        part = talvik.Matcher(names + more[:at], table)
        # lookup() reads the added names through their own index, before any fold.
        assert matcher.lookup(queries).tolist() == part.lookup(queries).tolist()
    assert matcher.pairs().tolist() == whole.pairs().tolist()
    assert matcher.count() == whole.count()
    assert matcher.groups().tolist() == whole.groups().tolist()
    assert matcher.lookup(queries).tolist() == whole.match(queries).tolist()
    assert pickle.loads(pickle.dumps(matcher)).pairs().tolist() == whole.pairs().tolist()


def test_add_refuses_what_the_constructor_refuses():
    matcher = talvik.Matcher(["ann bob"])
    with pytest.raises(TypeError, match=r"names\[1\]"):
        matcher.add(["bob ann", 7])
    assert len(matcher) == 1


def test_many_threads_look_up_at_once_while_the_file_is_first_checked(tmp_path):
    from concurrent.futures import ThreadPoolExecutor

    names, queries, table = random_case(8)
    matcher = talvik.Matcher(names, table)
    expected = [matcher.match([q]).tolist() for q in queries[:40]]
    opened = reopened(matcher, tmp_path)  # the first lookups race to check it
    with ThreadPoolExecutor(max_workers=8) as pool:
        got = list(pool.map(lambda q: opened.lookup([q]).tolist(), queries[:40]))
    assert got == expected


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda m, tmp: talvik.Matcher.open(tmp), ValueError, "not a saved talvik index"),
    (lambda m, tmp: talvik.Matcher.open(tmp / "x.tvx", verify=1), TypeError, "verify must be a bool"),
    (lambda m, tmp: m.lookup("ann bob"), TypeError, "sequence of str"),
    (lambda m, tmp: m.lookup(["ann bob", 3]), TypeError, r"names\[1\]"),
    (lambda m, tmp: m.lookup(["ann bob"], progress="yes"), TypeError, "progress must be a bool"),
    (lambda m, tmp: m.lookup(["ann bob"], scores=1), TypeError, "scores must be a bool"),
    (lambda m, tmp: m.lookup(["ann bob"], min_score=float("nan")), ValueError, "not NaN"),
    (lambda m, tmp: m.lookup(["ann bob"], min_score="1"), TypeError, "min_score must be a number"),
    (lambda m, tmp: talvik.Matcher.open(tmp / "x.tvx", threads=0), ValueError, "threads"),
])
def test_bad_arguments(call, error, message, tmp_path):
    matcher = talvik.Matcher(["ann bob", "bob ann"])
    with pytest.raises(error, match=message):
        call(matcher, tmp_path)


def test_lookup_with_a_progress_bar(tmp_path, capsys):
    names, queries, table = random_case(6)
    matcher = reopened(talvik.Matcher(names, table), tmp_path)
    assert matcher.lookup(queries, progress=True).tolist() == matcher.match(queries).tolist()
    assert "talvik lookup" in capsys.readouterr().err


@pytest.mark.parametrize(("rows", "error", "message"), [
    ((-1,), IndexError, "row -1 is not below 3"),
    ((0, 3), IndexError, "row 3 is not below 3"),
    ((2**40,), OverflowError, "out of range"),
    (("0",), TypeError, "integer"),
    ([0], TypeError, "tuple of int"),
])
def test_texts_refuses_rows_it_does_not_hold(rows, error, message, tmp_path):
    names = ["Ann Bob", "x", "Bob Ann"]
    for index in (talvik.Matcher(names)._whole(), reopened(talvik.Matcher(names), tmp_path)._whole()):
        assert index.texts((2, 0, 2)) == ["Bob Ann", "Ann Bob", "Bob Ann"]
        with pytest.raises(error, match=message):
            index.texts(rows)


def test_texts_of_a_damaged_index_raise_before_reading(tmp_path):
    talvik.Matcher([f"w{k} v{k % 7}" for k in range(2000)]).save(tmp_path / "a.tvx")
    data = bytearray((tmp_path / "a.tvx").read_bytes())
    data[len(data) // 2] ^= 0x41
    (tmp_path / "a.tvx").write_bytes(bytes(data))
    with pytest.raises(ValueError, match="damaged"):
        talvik.Matcher.open(tmp_path / "a.tvx")._whole().texts((0, 1999))


@pytest.mark.parametrize("seed", range(8))
def test_lookup_scores_an_indexed_name_as_pairs_does(seed, tmp_path):
    # Looked up, an indexed name scores against the others exactly as the
    # search scores that pair: the weights are the indexed names' own.
    names, _, table = random_case(seed)
    matcher = talvik.Matcher(names, table, threads=1)
    pairs, scores = matcher.pairs(scores=True)
    expected = {(int(i), int(j)): float(s) for (i, j), s in zip(pairs, scores)}
    expected.update({(j, i): s for (i, j), s in expected.items()})
    rows = [k for k, name in enumerate(names) if name]
    for m in (matcher, reopened(matcher, tmp_path)):
        found, got = m.lookup([names[k] for k in rows], scores=True)
        assert got.dtype == np.float32 and len(got) == len(found)
        assert found.tolist() == m.lookup([names[k] for k in rows]).tolist()
        for (q, j), s in zip(found.tolist(), got.tolist()):
            if rows[q] != j:
                assert s == pytest.approx(expected[(rows[q], j)], abs=1e-5)
        floor = float(np.median(got)) if len(got) else 0.0
        kept, kept_scores = m.lookup([names[k] for k in rows], scores=True, min_score=floor)
        assert kept.tolist() == found[got >= floor].tolist()
        assert m.lookup([names[k] for k in rows], min_score=floor).tolist() == kept.tolist()
        assert kept_scores.tolist() == got[got >= floor].tolist()


# Four indexed names of two words (log2 4 = 2 bits), every word held once (2
# bits each); "Johnny" and "Zed" are held by none (2 bits, as if held once).
# Johnny ~ Jon is a nickname (0.6 of the lighter word), a missing word costs
# 0.3 of its weight; the sum over both names is halved, less 2 bits.
@pytest.mark.parametrize(("query", "score"), [
    ("Jon Smith", (2 + 2 + 2 + 2) / 2 - 2),
    ("Johnny Smith", (1.2 + 2 + 1.2 + 2) / 2 - 2),
    ("Zed Jon Smith", (-0.6 + 2 + 2 + 2 + 2) / 2 - 2),
])
def test_lookup_scores_words_the_index_does_not_hold(query, score, tmp_path):
    table = {"Johnny": ["Jon"], "Jon": ["Johnny"]}
    matcher = talvik.Matcher(["Jon Smith", "Ann Lee", "Bob Ray", "Cy Dunn"], table)
    for m in (matcher, reopened(matcher, tmp_path)):
        pairs, scores = m.lookup([query], scores=True)
        assert pairs.tolist() == [[0, 0]]
        assert scores.tolist() == pytest.approx([score], abs=1e-5)


def test_scored_lookup_counts_added_names_in_the_weights(tmp_path):
    names, queries, table = random_case(3)
    more = ["john smith", "ann bob", "smith john robert"]
    matcher = reopened(talvik.Matcher(names, table), tmp_path)
    matcher.add(more)
    whole = talvik.Matcher(names + more, table)
    got, got_scores = matcher.lookup(queries, scores=True)
    expected, expected_scores = whole.lookup(queries, scores=True)
    assert got.tolist() == expected.tolist()
    assert got_scores.tolist() == pytest.approx(expected_scores.tolist(), abs=1e-5)

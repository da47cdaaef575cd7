"""Scores, score floors, blocks and split groups, each against the same
filter or clustering applied afterwards to the plain result."""
import warnings

import numpy as np
import pytest

import talvik
from support.names import TABLE, components, random_names


def scored(m, **kw):
    pairs, scores = m.pairs(scores=True, **kw)
    assert pairs.dtype == np.int32 and scores.dtype == np.float32 and len(pairs) == len(scores)
    return pairs, scores


@pytest.mark.parametrize("threads", [1, 3])
def test_floors_and_blocks_equal_filtering_afterwards(threads):
    names = random_names(11, 900)
    m = talvik.Matcher(names, TABLE, threads=threads)
    pairs, scores = scored(m)
    assert pairs.tolist() == m.pairs().tolist()
    floors = np.quantile(scores, [0.1, 0.5, 0.9]).tolist() + [float(scores.max()) + 1]
    for floor in floors:
        keep = scores >= np.float32(floor)
        got, got_scores = scored(m, min_score=floor)
        assert got.tolist() == pairs[keep].tolist()
        assert got_scores.tolist() == scores[keep].tolist()
        assert m.count(min_score=floor) == int(keep.sum())
        assert m.groups(min_score=floor).tolist() == components(len(names), pairs[keep].tolist())
        chunks = list(m.iter_pairs(97, scores=True, min_score=floor))
        assert sum(len(p) for p, _ in chunks) == int(keep.sum())
        if chunks:
            assert np.concatenate([s for _, s in chunks]).tolist() == scores[keep].tolist()
    values = [("a", "b", "c")[k % 3] for k in range(len(names))]
    blocked = talvik.Matcher(names, TABLE, threads=threads, blocks=values)
    same = np.array([values[i] == values[j] for i, j in pairs.tolist()], bool)
    assert blocked.pairs().tolist() == pairs[same].tolist()


def test_links_are_scored_and_blocked_like_pairs_across_both_lists():
    names = random_names(12, 400)
    left, right = names[:150], names[150:]
    m = talvik.Matcher(right, TABLE, threads=2)
    linked, scores = m.match(left, scores=True)
    assert linked.tolist() == m.match(left).tolist()
    floor = float(np.median(scores))
    assert m.match(left, min_score=floor).tolist() == linked[scores >= np.float32(floor)].tolist()
    codes = np.arange(len(right)) % 4
    left_codes = np.arange(len(left)) % 4
    b = talvik.Matcher(right, TABLE, threads=2, blocks=codes)
    same = left_codes[linked[:, 0]] == codes[linked[:, 1]]
    assert b.match(left, blocks=left_codes).tolist() == linked[same].tolist()


def test_the_score_ranks_the_evidence():
    filler = [f"F{k} G{k}" for k in range(500)]
    names = ["Xavier Quill", "Xavier Quill", "Xavjer Quill", "X Quill", "John Smith", "John Smith", "John Smith",
             "John Smith", "Xiomara Wojcik", "Xiomara Wojcik", *filler]
    m = talvik.Matcher(names, typos=1, initials=True)
    pairs, scores = scored(m)
    score = {tuple(p): s for p, s in zip(pairs.tolist(), scores.tolist())}
    assert score[(0, 1)] > score[(0, 2)] > score[(0, 3)], "exact, then a variant, then an initial"
    assert score[(8, 9)] > score[(4, 5)], "a rare name says more than a common one"


def test_split_groups_fit_and_keep_the_strongest_links():
    # Two tight clusters chained by one weak link, and one name repeated.
    names = (["Ann Berg", "Ann Berg", "Anne Berg"] + ["Anne Bergh", "Anna Bergh", "Anna Bergh"]
             + ["Bo Lund"] * 4 + [f"F{k} G{k}" for k in range(300)])
    pairs = [("Ann", "Anne"), ("Anne", "Anna"), ("Berg", "Bergh")]
    table = {}
    for a, b in pairs:
        table.setdefault(a, []).append(b)
        table.setdefault(b, []).append(a)
    m = talvik.Matcher(names, table)
    whole = m.groups()
    assert len(set(whole[:6].tolist())) == 1, "the chain makes one group"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        split = m.groups(split_above=3)
    sizes = np.bincount(split)
    stuck = [w for w in caught if issubclass(w.category, talvik.LargeGroupWarning)]
    assert [w.message.size for w in stuck] == [4], "Bo Lund x4 cannot be split"
    assert split[6:10].tolist() == [6] * 4
    assert sizes[split[:6]].max() <= 3
    assert split[0] == split[1], "the exact duplicates stay together"
    # A split never joins what the plain groups kept apart.
    assert all(whole[i] == whole[split[i]] for i in range(len(names)))


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda m: m.pairs(min_score=float("nan")), ValueError, "NaN"),
        (lambda m: m.pairs(min_score="1"), TypeError, "min_score"),
        (lambda m: m.pairs(scores=1), TypeError, "scores"),
        (lambda m: m.groups(split_above=0), ValueError, "split_above"),
        (lambda m: m.match(["A B"], blocks=[1]), ValueError, "blocks"),
        (lambda m: talvik.Matcher(["A B", "A B"], blocks=[1]), ValueError, "one value per name"),
        (lambda m: talvik.Matcher(["A B", "A B"], blocks=[[1], [2]]), ValueError, "one-dimensional"),
        (lambda m: talvik.Matcher(["A B", "A B"], blocks=[1, "x"]).match(["A B"], blocks=[2.5]), TypeError, "one kind"),
        (lambda m: talvik.Matcher(["A B"], blocks=[1]).save("x"), ValueError, "blocks"),
    ],
)
def test_bad_filters_are_refused(call, error, text):
    with pytest.raises(error, match=text):
        call(talvik.Matcher(["A B", "A B", "A C"]))


@pytest.mark.parametrize("steps", [{}, {"normalize": True, "typos": 1, "initials": True}])
def test_explain_gives_each_words_part_of_the_score(steps):
    names = ["John A Smith", "Jon Smith", "J. Smith", "JOHN SMITH", "Anna Berg", "Anna Maria Berg"] + random_names(
        13, 200)
    m = talvik.Matcher(names, TABLE, **steps)
    pairs, scores = scored(m)
    assert len(pairs) > 20
    priors = []
    for (i, j), score in zip(pairs.tolist()[:200], scores.tolist()):
        e = m.explain(i, j)
        assert e.match and e.score == pytest.approx(score, abs=1e-4)
        parts = [w.score for w in e.words1 + e.words2]
        assert None not in parts
        assert all(w.score > 0 for w in e.words1 + e.words2 if w.found)
        priors.append(sum(parts) - e.score)
    # The parts add up to the score once one prior, log2 of the names, is taken off.
    assert max(priors) - min(priors) < 1e-3 and min(priors) > 7
    assert m.explain(names[0], 1).score is None, "a name given as str has no indexed weights"

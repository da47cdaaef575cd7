"""The lookup benchmark's peers: the fields they are given, dedupe's labels,
and the DuckDB join's candidates on hand-made names."""
import json
import subprocess

import pytest

import lookup_bench
import lookup_peers
from support.paths import BENCH


@pytest.mark.parametrize("name, given, surname", [
    ("John Smith", "john", "smith"),
    ("Mary Ann Lee", "mary ann", "lee"),
    ("J. R. R. Tolkien", "j r r", "tolkien"),
    ("Cher", None, "cher"),
    ("", None, None),
    ("  Ann   LEE  ", "ann", "lee"),
])
def test_fields_split_off_the_last_word_as_surname(name, given, surname):
    assert lookup_peers.fields(name) == (given, surname)


def test_labelled_pairs_follow_the_people(tmp_path):
    path = tmp_path / "people.csv"
    rows = [(0, "John", "Smith"), (0, "Jon", "Smith"), (0, "J", "Smith"), (1, "Ann", "Lee"), (1, "Anne", "Lee"),
            (2, "Bob", "Jones")]
    path.write_text("entity,given_name,surname\n" + "".join(f"{e},{g},{s}\n" for e, g, s in rows))
    entity = {(g.lower(), s.lower()): e for e, g, s in rows}
    key = lambda rec: entity[(rec["given_name"], rec["surname"])]  # noqa: E731
    match, distinct, records = lookup_peers.training_pairs(path, labels=10)
    assert len(match) == 3 + 1 and len(distinct) == len(match) and len(records) == len(rows)
    assert all(key(a) == key(b) for a, b in match) and all(key(a) != key(b) for a, b in distinct)
    capped, _, _ = lookup_peers.training_pairs(path, labels=2)
    assert len(capped) == 2


def test_percentiles_pick_from_the_sorted_times():
    p = lookup_peers.percentiles([k / 1000 for k in range(100, 0, -1)])    # 1..100 ms, reversed
    assert p == {"p50_ms": pytest.approx(51), "p99_ms": pytest.approx(99), "count": 100}


INDEXED = ["John Smith", "Jon Smith", "Robert Smith", "Bob Jones", "Ann Ann Lee", "Smith"]
TRADEOUTS = {"Bob": ["Robert"]}


@pytest.mark.skipif(lookup_bench.peer_missing() is not None, reason="no build/peers-venv")
@pytest.mark.parametrize("query, rows", [
    ("John Smith", [0]),                # both words; "Jon" is no tradeout of "John"
    ("Bob Smith", [2]),                 # Bob stands for Robert; "Bob Jones" shares one word only
    ("Robert Jones", [3]),              # and Robert for Bob: tradeouts count either way
    ("Ann Lee", [4]),                   # a name's repeated word is one word
    ("Smith Smith", [0, 1, 2, 5]),      # two positions finding one word: a candidate, not a match
    ("Lee Ann", [4]),                   # order plays no part
    ("Zed Smith", []),
])
def test_duckdb_candidates(tmp_path, query, rows):
    (tmp_path / "names.txt").write_text("\n".join(INDEXED) + "\n")
    (tmp_path / "queries.txt").write_text(f"Zed Zed\n{query}\n")    # one single, then the batch
    (tmp_path / "table.json").write_text(json.dumps(TRADEOUTS))
    out = subprocess.run([str(lookup_bench.PEERS_PYTHON), str(BENCH / "lookup_peers.py"), "duckdb",
                          "--names", str(tmp_path / "names.txt"), "--queries", str(tmp_path / "queries.txt"),
                          "--singles", "1", "--table", str(tmp_path / "table.json"),
                          "--pairs-out", str(tmp_path / "pairs.json")],
                         check=True, capture_output=True, text=True).stdout
    assert json.loads((tmp_path / "pairs.json").read_text()) == [[0, r] for r in rows]
    assert json.loads(out.splitlines()[-1])["pairs"] == len(rows)

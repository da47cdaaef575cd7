"""`talvik index build|lookup|add`, run as a user runs them: the pairs read
back against the package's own answer, a damaged or foreign index refused in
one line, and the index file never left half written."""
import argparse
import csv
import io
import json
import os
import signal
import stat
import subprocess
from pathlib import Path

import pyarrow.parquet as pq
import pytest

import talvik
from talvik import _cli

from support.interrupts import signal_once_made, start_interruptible
from support.paths import talvik_script

SCRIPT = talvik_script()

NAMES = ["Robert Smith", "Bob Smith", "", "Smith Robert", "Madonna", 'Bill "Q" Jones', "Lee, Ann",
         "Zoë Åberg", "J Smith"]
MORE = ["Åberg Zoë", "William Q Jones", "Smith Bob", "Q Bill Jones"]
QUERIES = ["Bob Smith", "William \"Q\" Jones", "Ann Lee", "Zoë Åberg", "Nobody Here", "John Smith", "Smith Bob"]
TRADEOUTS = {"Robert": ["Bob"], "Bob": ["Robert"], "Bill": ["William"], "William": ["Bill"], "J": ["John"],
             "John": ["J"]}


def run(*args, cwd=None, stdin=b""):
    out = subprocess.run([str(SCRIPT), *map(str, args)], input=stdin, capture_output=True, timeout=300, cwd=cwd)
    return out.returncode, out.stdout, out.stderr.decode()


def lines(path, names):
    path.write_text("".join(n + "\n" for n in names), encoding="utf-8")
    return path


def rows(data, fmt):
    if fmt == "parquet":
        return pq.read_table(io.BytesIO(data)).to_pylist()
    if fmt == "jsonl":
        return [json.loads(line) for line in data.decode().splitlines()]
    return [{k: int(v) if k in ("query", "indexed") else v for k, v in row.items()}
            for row in csv.DictReader(io.StringIO(data.decode(), newline=""))]


def expected(indexed, with_names):
    m = talvik.Matcher(indexed, TRADEOUTS)
    out = []
    for i, j in m.match(QUERIES).tolist():
        out.append({"query": i, "indexed": j} | ({"query_name": QUERIES[i], "indexed_name": indexed[j]}
                                                  if with_names else {}))
    return out


@pytest.fixture
def built(tmp_path):
    lines(tmp_path / "names.txt", NAMES)
    lines(tmp_path / "queries.txt", QUERIES)
    (tmp_path / "t.json").write_text(json.dumps(TRADEOUTS))
    status, out, err = run("index", "build", "names.txt", "--tradeouts", "t.json", "-o", "people.tvx", cwd=tmp_path)
    assert (status, out, err) == (0, b"", "")
    return tmp_path


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("with_names", [False, True])
def test_lookup_writes_what_match_finds(built, fmt, with_names):
    status, out, err = run("index", "lookup", "people.tvx", "queries.txt", "--format", fmt,
                           *(["--names"] if with_names else []), cwd=built)
    assert (status, err) == (0, "")
    want = expected(NAMES, with_names)
    assert len(want) >= 5
    assert rows(out, fmt) == want


def test_add_then_lookup_equals_an_index_of_all_names(built):
    index = built / "people.tvx"
    index.chmod(0o640)
    lines(built / "more.txt", MORE)
    assert run("index", "add", "people.tvx", "more.txt", cwd=built) == (0, b"", "")
    assert stat.S_IMODE(index.stat().st_mode) == 0o640  # the replaced file's mode is kept
    status, out, err = run("index", "lookup", "people.tvx", "queries.txt", "--names", "-o", "pairs.csv", cwd=built)
    assert (status, out, err) == (0, b"", "")
    assert rows((built / "pairs.csv").read_bytes(), "csv") == expected(NAMES + MORE, True)
    assert len(talvik.Matcher.open(index)) == len(NAMES) + len(MORE)
    assert not [p for p in os.listdir(built) if p.endswith(".tmp") or ".tmp-" in p]


def test_csv_queries_and_an_index_through_a_symlink(built):
    (built / "q.csv").write_text("id,first,last\n1,Bob,Smith\n2,Ann,\n3,John,Smith\n")
    (built / "real").mkdir()
    (built / "link.tvx").symlink_to(Path("real") / "idx.tvx")
    assert run("index", "build", "names.txt", "--tradeouts", "t.json", "-o", "link.tvx", cwd=built)[0] == 0
    assert (built / "link.tvx").is_symlink() and (built / "real" / "idx.tvx").is_file()
    status, out, err = run("index", "lookup", "link.tvx", "q.csv", "--column", "first", "--column", "last", cwd=built)
    assert (status, err) == (0, "")
    assert rows(out, "csv") == [{"query": 0, "indexed": j} for j in (0, 1, 3)] + [{"query": 2, "indexed": 8}]


def damaged(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x5A  # inside a large section: found by the check before the first search
    return bytes(data)


# The index as the case leaves it (None: none made), the command, the message after "talvik: error: ".
BAD_INDEX = {
    "missing": (None, ["lookup", "nope.tvx", "queries.txt"], "nope.tvx: No such file or directory"),
    "a folder": ("dir", ["lookup", "idx", "queries.txt"], "idx: is a folder, not a saved index"),
    "a fifo": ("fifo", ["lookup", "idx", "queries.txt"], "idx: is not a regular file"),
    "standard input": (None, ["lookup", "-", "queries.txt"], "<stdin>: a saved index is mapped from a file"),
    "foreign": (b"Robert Smith\nBob Smith\n" * 20, ["lookup", "idx", "queries.txt"], "idx: the file is not a saved talvik index"),
    "empty": (b"", ["add", "idx", "names.txt"], "idx: "),
    "truncated": (lambda p: p.read_bytes()[:200], ["add", "idx", "names.txt"], "idx: "),
    "damaged section": (damaged, ["lookup", "idx", "queries.txt"], "idx: the file is damaged: a checksum does not match"),
    "damaged, added to": (damaged, ["add", "idx", "names.txt"], "idx: the file is damaged: a checksum does not match"),
    "build over a fifo": ("fifo", ["build", "names.txt", "-o", "idx"], "idx: is not a regular file"),
    "build into a folder": ("dir", ["build", "names.txt", "-o", "idx"], "idx: is a folder"),
    "bad names to add": (lambda p: p.read_bytes(), ["add", "idx", "bad.txt"], "bad.txt:1: not UTF-8"),
}


@pytest.mark.parametrize("case", BAD_INDEX)
def test_a_bad_index_is_one_line_and_left_alone(built, case):
    made, args, message = BAD_INDEX[case]
    idx = built / "idx"
    (built / "bad.txt").write_bytes(b"Ann \xff Lee\n")
    if made == "dir":
        idx.mkdir()
    elif made == "fifo":
        os.mkfifo(idx)
    elif callable(made):
        idx.write_bytes(made(built / "people.tvx"))
    elif made is not None:
        idx.write_bytes(made)
    before = sorted(os.listdir(built))
    kept = idx.read_bytes() if idx.is_file() else None
    status, out, err = run("index", *args, cwd=built)
    assert status == 2, err
    assert err.startswith("talvik: error: " + message) and err.count("\n") == 1, err
    assert out == b""
    assert sorted(os.listdir(built)) == before  # no temporary file left
    if kept is not None:
        assert idx.read_bytes() == kept


@pytest.mark.parametrize("args, message", [
    (["index"], "the following arguments are required: ACTION"),
    (["index", "build", "names.txt"], "the following arguments are required: --out/-o"),
    (["index", "lookup", "people.tvx"], "the following arguments are required: QUERIES"),
    (["index", "add", "people.tvx", "names.txt", "--tradeouts", "t.json"], "unrecognized arguments"),
])
def test_usage(built, args, message):
    status, _, err = run(*args, cwd=built)
    assert status == 2 and message in err, err


@pytest.mark.parametrize("steps, said", [({"normalize": True}, "--normalize"), ({"typos": 1}, "--typos"),
                                         ({"initials": True, "typos": 2}, "--typos or --initials")])
def test_steps_are_refused_not_dropped(tmp_path, steps, said):
    # `build` shares its options with `pairs`; a step offered there must not be silently ignored here.
    args = argparse.Namespace(out=str(tmp_path / "idx.tvx"), input=str(lines(tmp_path / "n.txt", NAMES)),
                              column=None, input_format=None, tradeouts=None, nicknames=False, threads=1,
                              normalize=False, typos=0, initials=False)
    for key, value in steps.items():
        setattr(args, key, value)
    with pytest.raises(_cli.InputError, match=f"keeps no {said} step"):
        _cli._index_build(args)
    assert os.listdir(tmp_path) == ["n.txt"]
    args.normalize, args.typos, args.initials = False, 0, False
    assert _cli._index_build(args) == 0 and len(talvik.Matcher.open(tmp_path / "idx.tvx")) == len(NAMES)


def test_a_matcher_with_steps_is_refused_before_the_file_is_touched(tmp_path):
    # The command cannot yet ask for steps; should it, the Matcher's refusal
    # becomes the command's one-line error and the old file stays.
    path = tmp_path / "idx.tvx"
    path.write_bytes(b"old")
    with pytest.raises(_cli.InputError, match="save"):
        _cli._save_index(talvik.Matcher(["Ann Lee"], normalize=True), _cli._index_target(str(path)))
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["idx.tvx"]


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_a_signal_while_adding_leaves_the_index_as_it_was(tmp_path, sig, status):
    # Adding one name rebuilds and rewrites the whole index: long enough to be stopped midway.
    lines(tmp_path / "names.txt", [f"w{k} s{k % 5000} t{k % 7}" for k in range(600_000)])
    lines(tmp_path / "one.txt", ["w1 s1 t1"])
    assert run("index", "build", "names.txt", "-o", "idx.tvx", cwd=tmp_path)[0] == 0
    kept = (tmp_path / "idx.tvx").read_bytes()
    p = start_interruptible([SCRIPT, "index", "add", "idx.tvx", "one.txt"], cwd=tmp_path)
    signal_once_made(p, tmp_path, ".idx.tvx.*.tmp", sig, settle=0.05)
    assert p.wait(timeout=60) == status, p.stderr.read()
    assert sorted(os.listdir(tmp_path)) == ["idx.tvx", "names.txt", "one.txt"]
    assert (tmp_path / "idx.tvx").read_bytes() == kept

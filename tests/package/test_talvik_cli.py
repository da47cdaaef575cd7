"""The installed `talvik` command, run as a user runs it: its output read back
against the package's own answer, its errors, Ctrl-C and closed pipes."""
import csv
import io
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import talvik

from support.interrupts import INTERRUPTIBLE, signal_once_made, start_interruptible  # noqa: E402
from support.paths import talvik_script  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = talvik_script()

# Names that need quoting in CSV, non-ASCII ones, empty and one-word rows.
NAMES = ["Robert Smith", "Bob Smith", "", "Smith Robert", "Madonna", 'Bill "Q" Jones',
         'William "Q" Jones', "Lee, Ann", "Lee, Ann", "Zoë Åberg", "Åberg Zoë", "J Smith", "John Smith"]
TRADEOUTS = {"Robert": ["Bob"], "Bob": ["Robert"], "Bill": ["William"], "William": ["Bill"], "J": ["John"]}


def run(*args, stdin=b"", env=None, cwd=None):
    out = subprocess.run([str(SCRIPT), *map(str, args)], input=stdin, capture_output=True, timeout=300,
                         env=env, cwd=cwd)
    return out.returncode, out.stdout, out.stderr.decode()


def write_names(path, names, newline="\n"):
    path.write_bytes("".join(n + newline for n in names).encode())
    return path


def read_table(path, fmt):
    """The rows of an output file as a list of dicts."""
    if fmt == "parquet":
        return pq.read_table(path).to_pylist()
    text = Path(path).read_text(encoding="utf-8")
    if fmt == "jsonl":
        return [json.loads(line) for line in text.splitlines()]
    return [{k: (int(v) if k in ("first", "second", "row", "group") else v) for k, v in row.items()}
            for row in csv.DictReader(io.StringIO(text, newline=""))]


def expected_pairs(names, tradeouts, with_names):
    rows = []
    for i, j in talvik.find_pairs(names, tradeouts).tolist():
        row = {"first": i, "second": j}
        if with_names:
            row |= {"first_name": names[i], "second_name": names[j]}
        rows.append(row)
    return rows


def test_script_is_installed():
    assert SCRIPT.exists(), f"no talvik script in {SCRIPT.parent}"
    status, out, err = run("--version")
    assert (status, out.decode(), err) == (0, f"talvik {talvik.__version__}\n", "")


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("with_names", [False, True])
def test_pairs_in_each_format(tmp_path, fmt, with_names):
    src = write_names(tmp_path / "names.txt", NAMES)
    (tmp_path / "t.json").write_text(json.dumps(TRADEOUTS))
    out = tmp_path / f"pairs.{fmt}"
    status, stdout, err = run("pairs", src, "--tradeouts", tmp_path / "t.json", "--format", fmt, "--out", out,
                              *(["--names"] if with_names else []))
    # Nothing on stderr: no progress bar off a terminal, no GIL warning.
    assert (status, stdout, err) == (0, b"", "")
    want = expected_pairs(NAMES, TRADEOUTS, with_names)
    assert len(want) == 6
    assert read_table(out, fmt) == want
    umask = os.umask(0o22)
    os.umask(umask)
    assert out.stat().st_mode & 0o777 == 0o666 & ~umask
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["names.txt", "t.json", out.name])


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_groups_in_each_format(tmp_path, fmt):
    src = write_names(tmp_path / "names.txt", NAMES)
    status, _, err = run("groups", src, "--nicknames", "--names", "-o", tmp_path / f"g.{fmt}")
    assert (status, err) == (0, "")
    labels = talvik.Matcher(NAMES, talvik.nicknames()).groups().tolist()
    want = [{"row": k, "group": g, "name": n} for k, (g, n) in enumerate(zip(labels, NAMES))]
    assert read_table(tmp_path / f"g.{fmt}", fmt) == want
    assert len(set(labels)) < len(labels)


def test_parquet_to_stdout(tmp_path):
    src = write_names(tmp_path / "names.txt", NAMES)
    status, out, err = run("pairs", src, "--nicknames", "--names", "--format", "parquet")
    assert (status, err) == (0, "")
    assert pq.read_table(pa.BufferReader(out)).to_pylist() == expected_pairs(NAMES, talvik.nicknames(), True)


def csv_bytes(rows, delimiter=","):
    text = io.StringIO()
    csv.writer(text, delimiter=delimiter, lineterminator="\r\n").writerows(rows)
    return text.getvalue().encode()


def parquet_bytes(columns):
    sink = io.BytesIO()
    pq.write_table(pa.table(columns), sink)
    return sink.getvalue()


COLUMNS = [["id", "name", "note"]] + [[str(k), n, "x,y"] for k, n in enumerate(NAMES)]
# NAMES cut at their first space into first and last, with a middle part
# that is empty or null; the last column comes first in the file.
SPLIT = [(n.partition(" ")[0], n.partition(" ")[2]) for n in NAMES]
PARTS = [["last", "id", "middle", "first"]] + [[last, str(k), "", first] for k, (first, last) in enumerate(SPLIT)]
PARQUET_PARTS = {"last": [last or None for _, last in SPLIT], "middle": [None, ""] * 6 + [None],
                 "first": [first or None for first, _ in SPLIT]}

# (file name or "-" for stdin, its bytes, extra arguments): each holds NAMES.
INPUTS = {
    "text": ("n.txt", "".join(n + "\n" for n in NAMES).encode(), []),
    "text, CRLF, BOM, no last newline": ("n", b"\xef\xbb\xbf" + "\r\n".join(NAMES).encode(), []),
    "stdin text": ("-", "".join(n + "\n" for n in NAMES).encode(), []),
    "csv": ("n.csv", csv_bytes(COLUMNS), ["--column", "name"]),
    "csv, blank lines": ("n.csv", csv_bytes(COLUMNS).replace(b"\r\n1,", b"\r\n\r\n1,"), ["--column", "name"]),
    "tsv by suffix": ("n.tsv", csv_bytes(COLUMNS, "\t"), ["--column", "name"]),
    "stdin csv, ; sniffed": ("-", csv_bytes(COLUMNS, ";"), ["--column", "name"]),
    "csv of one column": ("n.csv", csv_bytes([["who"]] + [[n] for n in NAMES]), []),
    "parquet": ("n.parquet", parquet_bytes({"name": NAMES, "id": list(range(len(NAMES)))}), ["--column", "name"]),
    "parquet of one column, no suffix": ("n.data", parquet_bytes({"who": NAMES}), []),
    "stdin parquet": ("-", parquet_bytes({"name": NAMES}), []),
    "stdin csv, --input-format": ("-", csv_bytes(COLUMNS), ["--input-format", "csv", "--column", "name"]),
    "stdin tsv, --input-format": ("-", csv_bytes([["who"]] + [[n] for n in NAMES], "\t"), ["--input-format", "tsv"]),
    "csv, odd suffix, --input-format": ("n.dat", csv_bytes([["who"]] + [[n] for n in NAMES]), ["--input-format", "csv"]),
    "parquet, odd suffix, --input-format": ("n.bin", parquet_bytes({"name": NAMES}), ["--input-format", "parquet"]),
    "text, .csv suffix, --input-format": ("n.csv", "".join(n + "\n" for n in NAMES).encode(), ["--input-format", "text"]),
    "csv, a field of 300 KB": ("n.csv", csv_bytes([r[:2] + ["x" * 300_000] for r in COLUMNS]), ["--column", "name"]),
    # Parts joined in the order given, not the file's; an empty part is skipped.
    "csv, --column three times": ("n.csv", csv_bytes(PARTS), ["--column", "first", "--column", "middle", "--column", "last"]),
    "parquet, --column three times": ("n.parquet", parquet_bytes(PARQUET_PARTS),
                                      ["--column", "first", "--column", "middle", "--column", "last"]),
}


@pytest.mark.parametrize("case", INPUTS)
def test_inputs(tmp_path, case):
    name, data, extra = INPUTS[case]
    if name != "-":
        (tmp_path / name).write_bytes(data)
    status, out, err = run("pairs", tmp_path / name if name != "-" else "-", "--names", "--nicknames", *extra,
                           stdin=data if name == "-" else b"")
    assert (status, err) == (0, "")
    assert read_table_bytes(out) == expected_pairs(NAMES, talvik.nicknames(), True)


def read_table_bytes(out):
    path = io.StringIO(out.decode(), newline="")
    return [{k: int(v) if k in ("first", "second") else v for k, v in row.items()} for row in csv.DictReader(path)]


@pytest.mark.parametrize("data", [INPUTS["text"][1], INPUTS["stdin parquet"][1]])
def test_named_pipe(tmp_path, data):
    """A FIFO (or a shell's <(...)) gives its bytes once: nothing may be lost to a first look."""
    fifo = tmp_path / "names"
    os.mkfifo(fifo)
    p = subprocess.Popen([str(SCRIPT), "pairs", str(fifo), "--nicknames", "--names"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    with open(fifo, "wb") as f:
        f.write(data)
    out, err = p.communicate(timeout=120)
    assert (p.returncode, err) == (0, b"")
    assert read_table_bytes(out) == expected_pairs(NAMES, talvik.nicknames(), True)


# Tradeout files that all say TRADEOUTS.
TRADEOUT_FILES = {
    "t.json": json.dumps(TRADEOUTS),
    "t.json, a key twice": '{"Robert": [], "Bob": ["Robert"], "Bill": ["William"], "William": ["Bill"],'
                           ' "J": ["John"], "Robert": ["Bob"]}',
    "t.csv": "word,alternative\nRobert,Bob\nBob, Robert\n\nBill,William\nWilliam,Bill\nJ,John\nJ,John\n",
    "t.tsv": "Robert\tBob\nBob\tRobert\nBill\tWilliam\nWilliam\tBill\nJ\tJohn\n",
    "t": "\n  " + json.dumps(TRADEOUTS),
}


@pytest.mark.parametrize("case", TRADEOUT_FILES)
def test_tradeout_files(tmp_path, case):
    path = tmp_path / case.split(",")[0]
    path.write_text(TRADEOUT_FILES[case])
    src = write_names(tmp_path / "n.txt", NAMES)
    status, out, err = run("pairs", src, "--tradeouts", path)
    assert (status, err) == (0, "")
    assert read_table_bytes(out) == expected_pairs(NAMES, TRADEOUTS, False)


def test_explain(tmp_path):
    status, out, err = run("explain", "Bob Smith", "Smith Robert", "--nicknames")
    assert (status, err) == (0, "")
    assert out.decode() == str(talvik.explain("Bob Smith", "Smith Robert", talvik.nicknames())) + "\n"
    assert out.decode().endswith("\nmatch\n")
    status, out, _ = run("explain", "Bob Smith", "Smith Robert")
    assert status == 0 and out.decode().endswith("\nno match\n")


def test_python_m_and_progress(tmp_path):
    src = write_names(tmp_path / "n.txt", NAMES)
    out = subprocess.run([sys.executable, "-m", "talvik", "pairs", src, "--nicknames", "--progress"],
                         capture_output=True, timeout=120)
    assert out.returncode == 0
    assert read_table_bytes(out.stdout) == expected_pairs(NAMES, talvik.nicknames(), False)
    assert "talvik pairs" in out.stderr.decode() and "100%" in out.stderr.decode()


def test_generated_names_and_table(tmp_path):
    """Realistic names and the benchmark's own table, initials included."""
    subprocess.run([sys.executable, ROOT / "bench" / "generate.py", "3000", "--source", "sample",
                    "--names", tmp_path / "n.txt", "--table", tmp_path / "t.json"], check=True, timeout=120)
    names = (tmp_path / "n.txt").read_text().splitlines()
    table = json.loads((tmp_path / "t.json").read_text())
    status, out, err = run("pairs", tmp_path / "n.txt", "--tradeouts", tmp_path / "t.json", "--threads", "2")
    assert (status, err) == (0, "")
    want = expected_pairs(names, table, False)
    assert len(want) > 100 and read_table_bytes(out) == want
    status, _, err = run("groups", tmp_path / "n.txt", "--tradeouts", tmp_path / "t.json", "-o", tmp_path / "g.csv")
    assert (status, err) == (0, "")
    labels = talvik.Matcher(names, table).groups().tolist()
    assert [r["group"] for r in read_table(tmp_path / "g.csv", "csv")] == labels


def shim(tmp_path):
    """An environment in which `import pyarrow` fails as if it were not installed."""
    (tmp_path / "shim").mkdir(exist_ok=True)
    (tmp_path / "shim" / "pyarrow.py").write_text("raise ModuleNotFoundError(\"No module named 'pyarrow'\")\n")
    path = os.pathsep.join([str(tmp_path / "shim"), *filter(None, [os.environ.get("PYTHONPATH")])])
    return dict(os.environ, PYTHONPATH=path)


# (files to write, arguments, stdin, the message after "talvik: error: ").
ERRORS = {
    "no such file": ({}, ["pairs", "nope.txt"], b"", "nope.txt: No such file or directory"),
    "not UTF-8": ({"n.txt": b"Ann Lee\nBob Lee\nZo\xeb Lee\n"}, ["pairs", "n.txt"], b"",
                  "n.txt:3: not UTF-8: byte 0xeb at column 3"),
    "empty file": ({"n.txt": b""}, ["pairs", "n.txt"], b"", "n.txt: the file is empty"),
    "empty stdin": ({}, ["groups", "-"], b"", "<stdin>: the file is empty"),
    "csv without --column": ({"n.csv": b"id,name\n1,Ann Lee\n"}, ["pairs", "n.csv"], b"",
                             "n.csv:1: choose the column of names with --column: 'id', 'name'"),
    "missing column": ({"n.csv": b"id,name\n1,Ann Lee\n"}, ["pairs", "n.csv", "--column", "Name"], b"",
                       "n.csv:1: no column 'Name'; the columns are 'id', 'name'"),
    "short row": ({"n.csv": b"id,name\n1,Ann Lee\n2\n3,Bo Li\n"}, ["pairs", "n.csv", "--column", "name"], b"",
                  "n.csv:3: 1 fields, none for column 'name'"),
    "unclosed quote": ({"n.csv": b'name\n"Ann Lee\n'}, ["pairs", "n.csv"], b"",
                       "n.csv:2: bad CSV: unexpected end of data"),
    "header only": ({"n.csv": b"id,name\n"}, ["pairs", "n.csv", "--column", "name"], b"",
                    "n.csv:1: no names below the header"),
    "parquet of numbers": ({"n.parquet": parquet_bytes({"name": [1, 2]})}, ["pairs", "n.parquet"], b"",
                           "n.parquet: column 'name' holds int64, not strings"),
    "not parquet": ({"n.parquet": b"PAR1 but no more"}, ["pairs", "n.parquet"], b"",
                    "n.parquet: not a Parquet file pyarrow can read: "),
    "bad JSON": ({"n.txt": b"A B\n", "t.json": b'{"Bob": [\n"Robert",\n}'}, ["pairs", "n.txt", "--tradeouts", "t.json"],
                 b"", "t.json:3: bad JSON: Expecting value at column 1"),
    "JSON string value": ({"n.txt": b"A B\n", "t.json": b'{"Bob": "Robert"}'},
                          ["pairs", "n.txt", "--tradeouts", "t.json"], b"",
                          "t.json: 'Bob' must map to a list of words, not a string"),
    "JSON number in list": ({"n.txt": b"A B\n", "t.json": b'{"Bob": ["Rob", 7]}'},
                            ["explain", "A B", "B A", "--tradeouts", "t.json"], b"",
                            "t.json: 'Bob' lists a number 7; words are strings"),
    "JSON list": ({"n.txt": b"A B\n", "t.json": b'[["Bob", "Rob"]]'}, ["pairs", "n.txt", "--tradeouts", "t.json"],
                  b"", "t.json: tradeouts must be a JSON object of word -> list of words, not a list"),
    "CSV row of one word": ({"n.txt": b"A B\n", "t.csv": b"Bob,Rob\nRobert\n"},
                            ["pairs", "n.txt", "--tradeouts", "t.csv"], b"",
                            "t.csv:2: expected 'word,alternative', got 'Robert'"),
    "tradeouts not UTF-8": ({"n.txt": b"A B\n", "t.csv": b"Bob,Rob\nZo\xeb,Zoe\n"},
                            ["pairs", "n.txt", "--tradeouts", "t.csv"], b"",
                            "t.csv:2: not UTF-8: byte 0xeb at column 3"),
    "stdin twice": ({}, ["pairs", "-", "--tradeouts", "-"], b"A B\n",
                    "<stdin>: INPUT and --tradeouts cannot both be standard input"),
    "output folder missing": ({"n.txt": b"A B\n"}, ["pairs", "n.txt", "-o", "no/such/out.csv"], b"",
                              "no/such/out.csv: No such file or directory"),
    "output is a folder": ({"n.txt": b"A B\n", "odir": None}, ["pairs", "n.txt", "-o", "odir"], b"",
                           "odir: is a folder; give the name of a file to write"),
    "output suffix unknown": ({"n.txt": b"A B\n"}, ["groups", "n.txt", "-o", "out.xlsx"], b"",
                              "out.xlsx: cannot tell the format from '.xlsx': give --format csv, jsonl or parquet"),
    "input is a folder": ({"ndir": None}, ["pairs", "ndir"], b"", "ndir: is a folder, not a file"),
    "tradeouts are a folder": ({"n.txt": b"A B\n", "tdir": None}, ["pairs", "n.txt", "--tradeouts", "tdir"], b"",
                               "tdir: is a folder, not a file"),
    # Found before the CSV header goes out, not after.
    "tradeout not encodable": ({"n.txt": b"A B\nB A\n", "t.json": b'{"Bob": ["Rob", "\\ud800"]}'},
                               ["pairs", "n.txt", "--tradeouts", "t.json"], b"",
                               "t.json: 'Bob' lists '\\ud800', which is not UTF-8 text"),
    "tradeout key not encodable": ({"n.txt": b"A B\n", "t.json": b'{"\\udfff": ["Rob"]}'},
                                   ["groups", "n.txt", "--tradeouts", "t.json"], b"",
                                   "t.json: the word '\\udfff' is not UTF-8 text"),
    "tradeout with a space": ({"n.txt": b"A B\n", "t.json": b'{"Mary Ann": ["Maryann"]}'},
                              ["pairs", "n.txt", "--tradeouts", "t.json"], b"",
                              "t.json: the word 'Mary Ann' holds a space"),
    "tradeout empty": ({"n.txt": b"A B\n", "t.json": b'{"Bob": [""]}'},
                       ["pairs", "n.txt", "--tradeouts", "t.json"], b"", "t.json: 'Bob' lists an empty word"),
    "JSON nested deeply": ({"n.txt": b"A B\n", "t.json": b"[" * 200_000}, ["pairs", "n.txt", "--tradeouts", "t.json"],
                           b"", "t.json: bad JSON: nested too deeply"),
    "same column twice": ({"n.csv": b"id,name\n1,Ann Lee\n"},
                          ["pairs", "n.csv", "--column", "name", "--column", "name"], b"",
                          "n.csv: column 'name' given twice"),
    "text input with --column": ({"n.txt": b"Ann Lee\n"},
                                 ["pairs", "n.txt", "--input-format", "text", "--column", "name"], b"",
                                 "n.txt: --column needs csv, tsv or parquet input, not text"),
    "parquet input that is not": ({"n.bin": b"Ann Lee\n"}, ["pairs", "n.bin", "--input-format", "parquet"], b"",
                                  "n.bin: not a Parquet file pyarrow can read: "),
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors(tmp_path, case):
    files, args, stdin, message = ERRORS[case]
    for name, data in files.items():
        if data is None:
            (tmp_path / name).mkdir()
        else:
            (tmp_path / name).write_bytes(data)
    status, out, err = run(*args, stdin=stdin, cwd=tmp_path)
    assert status == 2, err
    assert err.startswith("talvik: error: " + message), err
    assert err.count("\n") == 1 and out == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(files)


def test_parquet_without_pyarrow(tmp_path):
    src = write_names(tmp_path / "n.txt", NAMES)
    (tmp_path / "n.parquet").write_bytes(parquet_bytes({"name": NAMES}))
    env = shim(tmp_path)
    for args in (["pairs", src, "-o", tmp_path / "p.parquet"], ["groups", src, "--format", "parquet"],
                 ["pairs", tmp_path / "n.parquet"]):
        status, out, err = run(*args, env=env)
        assert (status, out) == (2, b""), err
        assert err.startswith("talvik: error: ") and err.endswith(": parquet needs pyarrow: pip install pyarrow\n")
    # Text in and out needs no pyarrow.
    status, out, _ = run("pairs", src, env=env)
    assert status == 0 and read_table_bytes(out) == expected_pairs(NAMES, None, False)


# Names each step finds more of; the command's answer must be the Matcher's
# with the same switches, and differ from the plain one.
STEP_NAMES = ["JOHN SMITH Jr.", "John Smith", "Jhon Smith", "J. Smith", "Renée O'Brien", "renee obrien",
              "Jonathan Smyth", "Jonathon Smyth", "Ann Lee"]
STEP_SWITCHES = [
    (["--normalize"], {"normalize": True}),
    (["--typos", "1"], {"typos": 1}),
    (["--typos", "2", "--normalize"], {"typos": 2, "normalize": True}),
    (["--initials", "--normalize"], {"initials": True, "normalize": True}),
    (["--normalize", "--typos", "1", "--initials", "--nicknames"],
     {"normalize": True, "typos": 1, "initials": True}),
]


@pytest.mark.parametrize("command", ["pairs", "groups"])
@pytest.mark.parametrize("switches, steps", STEP_SWITCHES)
def test_step_switches(tmp_path, command, switches, steps):
    src = write_names(tmp_path / "n.txt", STEP_NAMES)
    status, out, err = run(command, src, *switches)
    assert (status, err) == (0, "")
    table = talvik.nicknames() if "--nicknames" in switches else None
    m = talvik.Matcher(STEP_NAMES, table, **steps)
    plain = talvik.Matcher(STEP_NAMES, table)
    if command == "pairs":
        got = [(r["first"], r["second"]) for r in read_table_bytes(out)]
        assert got == [tuple(p) for p in m.pairs().tolist()] != [tuple(p) for p in plain.pairs().tolist()]
    else:
        got = [int(r["group"]) for r in read_table_bytes(out)]
        assert got == m.groups().tolist() != plain.groups().tolist()


def test_step_switches_join_columns(tmp_path):
    src = tmp_path / "n.csv"
    src.write_text("last,first\nSMITH,John\nSmith,Jhon\nSmyth,J.\nLee,Ann\n")
    status, out, err = run("pairs", src, "--column", "first", "--column", "last", "--normalize", "--typos", "1",
                           "--initials", "--names")
    assert (status, err) == (0, "")
    rows = read_table_bytes(out)
    assert [(r["first"], r["second"]) for r in rows] == [(0, 1), (0, 2), (1, 2)]
    assert rows[0]["first_name"] == "John SMITH" and rows[2]["second_name"] == "J. Smyth"


@pytest.mark.parametrize("switches, said", [
    (["--typos", "1"], "(spelling variant: Jhon ~ John, 1 edit)"),
    (["--normalize"], "normalised: SMITH -> smith)"),
    (["--initials"], "(initial: J ~ John)"),
])
def test_explain_with_steps(switches, said):
    name1 = {"--typos": "Jhon Smith", "--normalize": "John SMITH", "--initials": "J Smith"}[switches[0]]
    status, out, err = run("explain", name1, "John Smith", *switches)
    assert (status, err) == (0, "")
    assert said in out.decode() and out.decode().endswith("\nmatch\n")
    status, out, _ = run("explain", name1, "John Smith")
    assert status == 0 and out.decode().endswith("\nno match\n")


@pytest.mark.parametrize("args, message", [
    (["pairs", "n.txt", "--typos", "3"], "argument --typos: must be 0, 1 or 2, not '3'"),
    (["groups", "n.txt", "--typos", "one"], "argument --typos: must be 0, 1 or 2, not 'one'"),
    (["explain", "A B", "A B", "--typos", "-1"], "argument --typos: must be 0, 1 or 2, not '-1'"),
    (["pairs", "n.txt", "--threads", "0"], "argument --threads: must be at least 1, not 0"),
    (["pairs", "n.txt", "--format", "xml"], "argument --format: invalid choice: 'xml'"),
    (["pairs", "n.txt", "--nicknames", "--tradeouts", "t.json"], "argument --tradeouts: not allowed with"),
    (["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate'"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors(args, message):
    status, _, err = run(*args)
    assert status == 2 and message in err.splitlines()[-1], err
    assert "Traceback" not in err


def test_closed_pipe_is_quiet(tmp_path):
    src = write_names(tmp_path / "n.txt", ["Ann Lee"] * 3000)  # 4.5M pairs, far more than a pipe holds
    p = subprocess.Popen([str(SCRIPT), "pairs", str(src)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline() == b"first,second\n"
    p.stdout.close()
    assert p.wait(timeout=120) == 141
    assert p.stderr.read() == b""


@pytest.mark.parametrize("command, existing", [("pairs", None), ("groups", b"earlier output\n")])
@pytest.mark.parametrize("sig, status, said", [(signal.SIGINT, 130, b"talvik: interrupted\n"),
                                               (signal.SIGTERM, 143, b"talvik: stopped by SIGTERM\n"),
                                               (signal.SIGHUP, 129, b"talvik: stopped by SIGHUP\n")])
def test_signal_leaves_no_output(tmp_path, command, existing, sig, status, said):
    # Every pair of 20,000 equal names: minutes of output for pairs, seconds of search for groups.
    src = write_names(tmp_path / "n.txt", ["Ann Lee"] * 20_000)
    out = tmp_path / "out.csv"
    if existing is not None:
        out.write_bytes(existing)
    p = start_interruptible([SCRIPT, command, src, "-o", out])
    signal_once_made(p, tmp_path, ".out.csv.*.tmp", sig, settle=0.2)
    assert p.wait(timeout=60) == status
    assert p.stderr.read() == said and p.stdout.read() == b""
    assert sorted(f.name for f in tmp_path.iterdir()) == (["n.txt"] if existing is None else ["n.txt", "out.csv"])
    if existing is not None:
        assert out.read_bytes() == existing


def test_a_signal_waits_while_the_temporary_file_is_made():
    """One arriving between making the file and owning its removal would leave it behind."""
    from talvik import _cli

    reached = []
    with pytest.raises(_cli._Stopped):
        with _cli._stopped_by_signals(), _cli._signals_held():
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(0.05)  # the handler has run by now
            reached.append(True)
    assert reached and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL


def test_nohup_keeps_sighup_ignored(tmp_path):
    src = write_names(tmp_path / "n.txt", ["Ann Lee"] * 3000)
    ignoring = INTERRUPTIBLE.replace("os.execv", "signal.signal(signal.SIGHUP, signal.SIG_IGN); os.execv")
    p = subprocess.Popen([sys.executable, "-c", ignoring, str(SCRIPT), "groups", str(src), "-o", str(tmp_path / "g.csv")],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while not list(tmp_path.glob(".g.csv.*.tmp")) and p.poll() is None:
        time.sleep(0.002)
    p.send_signal(signal.SIGHUP)
    assert (p.wait(timeout=60), p.stderr.read()) == (0, b"")
    assert read_table(tmp_path / "g.csv", "csv") == [{"row": k, "group": 0} for k in range(3000)]


# --- where -o writes ----------------------------------------------------------

PAIRS_CSV = b"first,second\n0,1\n"


def reader(path, into):
    """Reads a FIFO to its end in a thread, as a consumer process would."""
    import threading

    def read():
        with open(path, "rb") as f:
            into.append(f.read())
    t = threading.Thread(target=read)
    t.start()
    return t


def test_output_through_a_symlink(tmp_path):
    target = tmp_path / "real" / "pairs.csv"
    target.parent.mkdir()
    target.write_bytes(b"old\n")
    target.chmod(0o640)
    (tmp_path / "link.csv").symlink_to(Path("real") / "pairs.csv")
    src = write_names(tmp_path / "n.txt", ["Ann Lee", "Lee Ann"])
    assert run("pairs", src, "-o", tmp_path / "link.csv")[::2] == (0, "")
    assert (tmp_path / "link.csv").is_symlink() and target.read_bytes() == PAIRS_CSV
    assert target.stat().st_mode & 0o777 == 0o640  # the file's own mode, not the umask's
    assert sorted(p.name for p in target.parent.iterdir()) == ["pairs.csv"]


def test_output_to_a_fifo(tmp_path):
    fifo = tmp_path / "out.csv"
    os.mkfifo(fifo)
    src = write_names(tmp_path / "n.txt", ["Ann Lee", "Lee Ann"])
    got = []
    t = reader(fifo, got)
    status, _, err = run("pairs", src, "-o", fifo)
    if fifo.is_fifo() and t.is_alive():  # nothing opened it: let the reader see an end
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    t.join(timeout=60)
    assert (status, err, got) == (0, "", [PAIRS_CSV])
    assert fifo.is_fifo() and sorted(p.name for p in tmp_path.iterdir()) == ["n.txt", "out.csv"]


@pytest.mark.parametrize("link", ["/proc/self/fd/1", "/dev/null"])
def test_output_to_a_device_through_a_link(tmp_path, link):
    """Standard output (as /dev/stdout names it) and a character device are
    written in place, never replaced by a file. Reached through a link of our
    own, so that a fault replaces the link, not the system's /dev."""
    (tmp_path / "out").symlink_to(link)
    src = write_names(tmp_path / "n.txt", ["Ann Lee", "Lee Ann"])
    status, out, err = run("pairs", src, "-o", tmp_path / "out")
    assert (status, err) == (0, "")
    assert out == (PAIRS_CSV if link.startswith("/proc") else b"")
    assert os.readlink(tmp_path / "out") == link and sorted(p.name for p in tmp_path.iterdir()) == ["n.txt", "out"]


def test_output_suffix_with_format(tmp_path):
    src = write_names(tmp_path / "n.txt", ["Ann Lee", "Lee Ann"])
    assert run("pairs", src, "-o", tmp_path / "out.xlsx", "--format", "csv")[::2] == (0, "")
    assert (tmp_path / "out.xlsx").read_bytes() == PAIRS_CSV


# --- text that looks like a table ------------------------------------------

CSV_LIKE = "talvik: warning: <stdin> looks like "


@pytest.mark.parametrize("data, warned", [
    (b"first,last\nAnn,Lee\nLee,Ann\n", "CSV"),  # the same number of commas on every line
    (b"first\tlast\nAnn\tLee\nLee\tAnn\n", "TSV"),
    (b"id,name,note\n1,Ann Lee,\"a, b, c\"\n2,Lee Ann,x\n", "CSV"),  # a header, then quoted commas
    (b"Ann Lee\nLee Ann\n", None),
    (b"Lee, Ann\nAnn Lee\nBo Li\n", None),  # a comma in one name of three
    (b"Lee, Ann\n", None),
])
def test_text_that_looks_like_a_table(data, warned):
    status, out, err = run("pairs", "-", stdin=data)
    assert status == 0
    if warned is None:
        assert err == ""
    else:
        assert err.startswith(CSV_LIKE + warned) and err.count("\n") == 1, err
        assert "--input-format" in err
        # It is still read as text, a name a line, header included.
        assert read_table_bytes(out) == expected_pairs(data.decode().splitlines(), None, False)
    # Saying what it is silences the warning.
    assert run("pairs", "-", "--input-format", "text", stdin=data)[::2] == (0, "")

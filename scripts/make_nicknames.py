#!/usr/bin/env python3
"""Write package/talvik/data/nicknames.json, the nickname table that
talvik.nicknames() reads, from the pinned source wheel.

Source: the `nicknames` package, version 1.0.1 (wheel), file
nicknames/names.csv (Apache-2.0; the licence is kept beside the output as
LICENSE-nicknames.txt). Get the wheel with

    python3 -m pip download --no-deps nicknames==1.0.1

Every `has_nickname` row is kept after the cleaning bench/make_sample.py
applies: both names stripped and Title Cased, and rows with anything but
ASCII letters dropped (4 of 2,691, such as "K.C."). The output maps each
name to its nicknames, one way, as the source lists them, sorted, one key a
line; nicknames() adds the other direction. Rerunning it gives the same
bytes.

Usage: make_nicknames.py WHEEL [--out FILE]
"""
import argparse
import csv
import hashlib
import io
import json
import sys
import zipfile
from collections import defaultdict
from pathlib import Path

WHEEL_SHA256 = "30608a6a50086bb508e6d5f4fb618ef4f988d5604f73ec1ebcccbc92952f9de9"
OUT = Path(__file__).resolve().parent.parent / "package" / "talvik" / "data" / "nicknames.json"


def is_word(w):
    return w.isascii() and w.isalpha()


def read_rows(wheel):
    digest = hashlib.sha256(wheel.read_bytes()).hexdigest()
    if digest != WHEEL_SHA256:
        sys.exit(f"{wheel}: sha256 {digest} is not the pinned {WHEEL_SHA256}")
    with zipfile.ZipFile(wheel) as whl:
        text = whl.read("nicknames/names.csv").decode("utf-8")
    return list(csv.DictReader(io.StringIO(text)))


def nickname_table(rows):
    """name -> sorted nicknames, Title Case, ASCII letters only."""
    table = defaultdict(set)
    for row in rows:
        if row["relationship"] != "has_nickname":
            continue
        name, nick = row["name1"].strip().title(), row["name2"].strip().title()
        if is_word(name) and is_word(nick) and name != nick:
            table[name].add(nick)
    return {k: sorted(v) for k, v in sorted(table.items())}


def write_json(path, table):
    # One key per line keeps the file diffable.
    lines = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in table.items()]
    path.write_text("{\n" + ",\n".join(lines) + "\n}\n", encoding="ascii")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("wheel", type=Path, help="nicknames-1.0.1-py3-none-any.whl")
    ap.add_argument("--out", type=Path, default=OUT)
    args = ap.parse_args()
    rows = read_rows(args.wheel)
    table = nickname_table(rows)
    write_json(args.out, table)
    pairs = sum(map(len, table.values()))
    print(f"{len(rows)} rows, {pairs} name-nickname pairs, {len(table)} names with nicknames -> {args.out}")


if __name__ == "__main__":
    main()

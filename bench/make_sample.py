#!/usr/bin/env python3
"""Build the demo's bundled sample: bench/data/names.txt and nicknames.json.

Source data, pinned so the output never drifts:
  names 0.3.0      (sdist)  MIT; its dist.*.first / dist.all.last files are
                            1990 US Census name frequencies, public domain.
  nicknames 1.0.1  (wheel)  Apache-2.0; names.csv, a hand-curated list of
                            English given names and their nicknames.

Usage: make_sample.py [--src DIR]
DIR holds the two archives; without it they are fetched with pip into a
temporary folder. Either way their sha256 is checked, and a fixed seed makes
two runs byte-identical.
"""
import argparse
import csv
import hashlib
import io
import json
import random
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from collections import defaultdict
from pathlib import Path

SOURCES = {
    "names-0.3.0.tar.gz":
        "726e46254f2ed03f1ffb5d941dae3bc67c35123941c29becd02d48d0caa2a671",
    "nicknames-1.0.1-py3-none-any.whl":
        "30608a6a50086bb508e6d5f4fb618ef4f988d5604f73ec1ebcccbc92952f9de9",
}
SEED = 20240601
PEOPLE = 8_400           # distinct people before variants are added
VARIANT_RATE = 0.2       # share of people who get a second record
# How a second record of the same person differs from the first.
VARIANTS = {"nickname": 30, "initial": 15, "middle": 15, "middle_initial": 15,
            "swapped": 10, "repeat": 15}
OUT = Path(__file__).resolve().parent / "data"


def fetch(dest):
    pins = ["names==0.3.0", "nicknames==1.0.1"]
    subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps",
                    "--quiet", "-d", str(dest), *pins], check=True)


def read_archives(src):
    """Return (census files by name, nickname csv text) from the archives."""
    for name, digest in SOURCES.items():
        got = hashlib.sha256((src / name).read_bytes()).hexdigest()
        if got != digest:
            sys.exit(f"{name}: sha256 {got} is not the pinned {digest}")
    census = {}
    with tarfile.open(src / "names-0.3.0.tar.gz") as tar:
        for kind in ("male.first", "female.first", "all.last"):
            member = tar.getmember(f"names-0.3.0/names/dist.{kind}")
            census[kind] = tar.extractfile(member).read().decode("ascii")
    with zipfile.ZipFile(src / "nicknames-1.0.1-py3-none-any.whl") as whl:
        nick_csv = whl.read("nicknames/names.csv").decode("utf-8")
    return census, nick_csv


def is_word(w):
    return w.isascii() and w.isalpha()


def census_list(text):
    """Names in Title Case with their frequency (percent) as weights."""
    names, weights = [], []
    for line in text.splitlines():
        name, freq = line.split()[:2]
        if is_word(name) and float(freq) > 0:
            names.append(name.title())
            weights.append(float(freq))
    return names, weights


def nickname_graph(nick_csv):
    """Canonical -> nicknames and nickname -> canonicals, Title Case."""
    nicks, canon = defaultdict(set), defaultdict(set)
    for row in csv.DictReader(io.StringIO(nick_csv)):
        a, b = row["name1"].strip().title(), row["name2"].strip().title()
        if row["relationship"] == "has_nickname" and is_word(a) and is_word(b):
            nicks[a].add(b)
            canon[b].add(a)
    return nicks, canon


def make_names(census, nicks, rng):
    first = {g: census_list(census[f"{g}.first"]) for g in ("male", "female")}
    last = census_list(census["all.last"])

    def pick(pool):
        return rng.choices(pool[0], weights=pool[1])[0]

    records, given = [], set()
    for _ in range(PEOPLE):
        pool = first[rng.choice(("male", "female"))]
        f, l = pick(pool), pick(last)
        records.append(f"{f} {l}")
        given.add(f)
        if rng.random() >= VARIANT_RATE:
            continue
        kinds = [k for k in VARIANTS if k != "nickname" or nicks.get(f)]
        kind = rng.choices(kinds, weights=[VARIANTS[k] for k in kinds])[0]
        if kind == "nickname":
            nick = rng.choice(sorted(nicks[f]))
            given.add(nick)
            records.append(f"{nick} {l}")
        elif kind == "initial":
            records.append(f"{f[0]} {l}")
        elif kind in ("middle", "middle_initial"):
            mid = pick(pool)
            given.add(mid)
            mid = mid if kind == "middle" else mid[0]
            records.append(f"{f} {mid} {l}")
        elif kind == "swapped":
            records.append(f"{l} {f}")
        else:
            records.append(f"{f} {l}")
    rng.shuffle(records)
    return records, given


def make_table(nicks, canon, given, words):
    """Tradeouts for the given names in the sample, both directions, plus
    initials; only words present in the sample, since others never match."""
    table = defaultdict(set)
    for name in given:
        related = nicks.get(name, set()) | canon.get(name, set())
        table[name] |= related & words
        if len(name) > 1:
            table[name].add(name[0])
            table[name[0]].add(name)
    return {k: sorted(v) for k, v in sorted(table.items()) if v}


def write_json(path, table):
    # One key per line keeps the file diffable.
    lines = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in table.items()]
    path.write_text("{\n" + ",\n".join(lines) + "\n}\n", encoding="ascii")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--src", type=Path, help="folder with the pinned archives")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        src = args.src
        if src is None:
            src = Path(tmp)
            fetch(src)
        census, nick_csv = read_archives(src)

    rng = random.Random(SEED)
    nicks, canon = nickname_graph(nick_csv)
    names, given = make_names(census, nicks, rng)
    words = {w for n in names for w in n.split(" ")}
    table = make_table(nicks, canon, given, words)

    OUT.mkdir(exist_ok=True)
    (OUT / "names.txt").write_text("\n".join(names) + "\n", encoding="ascii")
    write_json(OUT / "nicknames.json", table)
    print(f"{len(names)} names, {len(table)} tradeout keys -> {OUT}")


if __name__ == "__main__":
    main()

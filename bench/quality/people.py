"""Labelled person records with realistic noise, reproducibly, at any size.

Each record is a (given, surname) pair of fields, as in FEBRL, with the id
of the entity (person) it belongs to; the full name is "given surname",
an empty field left out. The same seed and size give the same records.

People. Given and middle names are drawn by 1990 US Census frequency (men
and women pooled), surnames by census frequency with the rare tail shared
evenly (generate.py's sources): a few names are very common and most are
rare, so different people share names as in real data. Each person has:
  a middle name with probability 0.30 (drawn like given names);
  a double-barrelled surname (Smith-Jones) with probability 0.03;
  a generational suffix (Jr, Sr, II, III) with probability 0.03;
  surnames such as Mcdonald and Obrien written McDonald and O'Brien.

Records per person: 1 to 5, with probabilities 0.50, 0.25, 0.13, 0.07,
0.05 (about 1.9 a person), cut to the size asked for.

Noise. Every record, the first one too, is the person's name passed
through these steps in this order, each drawn independently (NOISE holds
the probabilities):
  nickname   0.10  the given name replaced by one of its links in
                   talvik.nicknames() (a nickname, or the name a nickname
                   is short for), when it has any
  initial    0.05  the given name cut to its initial, "J" or "J."
  middle     a middle name is dropped with 0.35 and cut to its initial
                   with 0.20 (otherwise kept); a person without one gets
                   a middle initial written with 0.03
  suffix     a person's suffix is written with 0.50, after the surname
  title      0.06  a title before the given name: Mr, Mrs, Ms, Miss, Dr,
                   with or without a full stop
  punct      0.50  for a surname with an apostrophe or hyphen: the mark
                   dropped ("OBrien") or made a space ("O Brien")
  accent     0.03  one letter that has an accented form (a e i o u n c)
                   written accented ("Jose" -> "José")
  typo       0.15  a Damerau edit in a random word: insert, delete,
                   substitute or transpose, equally likely; then another
                   with 0.25 (each further one with 0.25 again)
  case       0.10  the whole record upper case (half) or lower case (half)
  swap       0.04  the given and surname fields swapped
  missing    0.04  the given field (half) or the surname field (half) empty

Usage: people.py N [--seed S] [--source census|sample] [--csv FILE]
"""
import argparse
import csv
import random
import sys
from dataclasses import dataclass
from itertools import accumulate
from pathlib import Path

import generate

SEED = 20261210
SIZE = 200_000
QUICK_SIZE = 20_000

RECORDS_PER_PERSON = {1: 0.50, 2: 0.25, 3: 0.13, 4: 0.07, 5: 0.05}
MIDDLE_NAME = 0.30
DOUBLE_SURNAME = 0.03
SUFFIX = 0.03
SUFFIXES = ("Jr", "Sr", "II", "III")
TITLES = ("Mr", "Mrs", "Ms", "Miss", "Dr")
NOISE = {
    "nickname": 0.10,
    "initial": 0.05,
    "middle_drop": 0.35,
    "middle_initial": 0.20,
    "middle_added": 0.03,
    "suffix_written": 0.50,
    "title": 0.06,
    "punct": 0.50,
    "accent": 0.03,
    "typo": 0.15,
    "typo_more": 0.25,
    "case": 0.10,
    "swap": 0.04,
    "missing": 0.04,
}
ACCENTS = {"a": "áàâä", "e": "éèêë", "i": "íïî", "o": "óöô", "u": "úüû", "n": "ñ", "c": "ç",
           "A": "ÁÀ", "E": "ÉÈ", "I": "Í", "O": "ÓÖ", "U": "ÚÜ", "N": "Ñ", "C": "Ç"}
LETTERS = "abcdefghijklmnopqrstuvwxyz"
# Census surnames that real records write with an apostrophe.
APOSTROPHE = {"Obrien", "Oconnor", "Oneil", "Oneill", "Oneal", "Odonnell", "Ohara", "Okeefe",
              "Oleary", "Orourke", "Osullivan", "Odell", "Oconnell", "Ocallaghan", "Omalley",
              "Dangelo", "Damico", "Dagostino", "Dalessandro", "Darcy"}


@dataclass
class Person:
    given: str
    middle: str        # "" for none
    surname: str
    suffix: str        # "" for none


@dataclass
class Records:
    given: list
    surname: list
    entity: list       # entity id per record, 0-based, in order of first appearance

    def names(self):
        return [full_name(g, s) for g, s in zip(self.given, self.surname)]

    def __len__(self):
        return len(self.entity)


def full_name(given, surname):
    return " ".join(part for part in (given, surname) if part)


def styled_surname(word):
    """Mcdonald -> McDonald, Obrien -> O'Brien: as the census's plain
    letters are written in records."""
    if word.startswith("Mc") and len(word) > 3:
        return "Mc" + word[2:].title()
    if word in APOSTROPHE:
        return word[0] + "'" + word[1:].title()
    return word


# --- noise steps: each takes and returns a word, or the record's fields -----

def typo(word, rng):
    """One Damerau edit: insert, delete, substitute or transpose."""
    kind = rng.randrange(4)
    if kind == 0 or len(word) < 2:
        k = rng.randrange(len(word) + 1)
        return word[:k] + rng.choice(LETTERS) + word[k:]
    k = rng.randrange(len(word))
    if kind == 1:
        return word[:k] + word[k + 1:]
    if kind == 2:
        others = LETTERS.replace(word[k].lower(), "")
        return word[:k] + rng.choice(others) + word[k + 1:]
    k = min(k, len(word) - 2)
    if word[k] == word[k + 1]:  # swapping equal letters changes nothing: substitute instead
        return word[:k] + rng.choice(LETTERS.replace(word[k].lower(), "")) + word[k + 1:]
    return word[:k] + word[k + 1] + word[k] + word[k + 2:]


def accent(word, rng):
    spots = [k for k, ch in enumerate(word) if ch in ACCENTS]
    if not spots:
        return word
    k = rng.choice(spots)
    return word[:k] + rng.choice(ACCENTS[word[k]]) + word[k + 1:]


def unpunctuate(word, rng):
    return word.replace("'", "").replace("-", "") if rng.random() < 0.5 else \
        word.replace("'", " ").replace("-", " ")


def noisy_record(person, nicknames, rng):
    """The person's name as one record writes it: the NOISE steps in order."""
    r = rng.random
    given, middle, surname = person.given, person.middle, person.surname
    if r() < NOISE["nickname"] and nicknames.get(given):
        given = rng.choice(nicknames[given])
    if r() < NOISE["initial"]:
        given = given[0] + ("." if r() < 0.5 else "")
    if middle:
        u = r()
        if u < NOISE["middle_drop"]:
            middle = ""
        elif u < NOISE["middle_drop"] + NOISE["middle_initial"]:
            middle = middle[0]
    elif r() < NOISE["middle_added"]:
        middle = rng.choice(LETTERS).upper()
    given_words = [given] + ([middle] if middle else [])
    surname_words = [surname]
    if person.suffix and r() < NOISE["suffix_written"]:
        surname_words.append(person.suffix)
    if r() < NOISE["title"]:
        given_words.insert(0, rng.choice(TITLES) + ("." if r() < 0.5 else ""))
    if ("'" in surname or "-" in surname) and r() < NOISE["punct"]:
        surname_words[0] = unpunctuate(surname, rng)
    words = given_words + surname_words
    cut = len(given_words)   # the fields are rebuilt from the words at the end
    if r() < NOISE["accent"]:
        k = rng.randrange(len(words))
        words[k] = accent(words[k], rng)
    if r() < NOISE["typo"]:
        while True:
            k = rng.randrange(len(words))
            words[k] = typo(words[k], rng)
            if r() >= NOISE["typo_more"]:
                break
    g, s = " ".join(words[:cut]), " ".join(words[cut:])
    if r() < NOISE["case"]:
        g, s = (g.upper(), s.upper()) if r() < 0.5 else (g.lower(), s.lower())
    if r() < NOISE["swap"]:
        g, s = s, g
    if r() < NOISE["missing"]:
        if r() < 0.5:
            g = ""
        else:
            s = ""
    return g, s


def make_people(count, sources, rng):
    firsts = rng.choices(sources.firsts, cum_weights=list(accumulate(sources.first_weights)), k=2 * count)
    last_cum = list(accumulate(sources.last_weights))
    lasts = rng.choices(sources.lasts, cum_weights=last_cum, k=2 * count)
    people = []
    for k in range(count):
        middle = firsts[count + k] if rng.random() < MIDDLE_NAME else ""
        surname = styled_surname(lasts[k])
        if rng.random() < DOUBLE_SURNAME:
            surname += "-" + styled_surname(lasts[count + k])
        suffix = rng.choice(SUFFIXES) if rng.random() < SUFFIX else ""
        people.append(Person(firsts[k], middle, surname, suffix))
    return people


def generate_records(n, sources, nicknames, seed=SEED):
    """n records of about n / 1.9 people, in a shuffled order."""
    rng = random.Random(seed)
    sizes = list(RECORDS_PER_PERSON)
    cum = list(accumulate(RECORDS_PER_PERSON.values()))
    counts = []
    total = 0
    while total < n:
        c = min(rng.choices(sizes, cum_weights=cum)[0], n - total)
        counts.append(c)
        total += c
    people = make_people(len(counts), sources, rng)
    rows = [(e, noisy_record(people[e], nicknames, rng)) for e, c in enumerate(counts) for _ in range(c)]
    rng.shuffle(rows)
    # Number entities by first appearance so that ids say nothing of order.
    ids = {}
    entity = [ids.setdefault(e, len(ids)) for e, _ in rows]
    return Records([g for _, (g, _s) in rows], [s for _, (_g, s) in rows], entity)


def load(n=SIZE, seed=SEED, source="census"):
    import talvik
    return generate_records(n, generate.load_sources(source), talvik.nicknames(), seed)


def write_csv(path, records):
    with open(path, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f)
        w.writerow(["entity", "given_name", "surname"])
        w.writerows(zip(records.entity, records.given, records.surname))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("n", type=int, nargs="?", default=SIZE)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--source", choices=("census", "sample"), default="census")
    ap.add_argument("--csv", type=Path, help="write the records here (default: stdout)")
    args = ap.parse_args()
    records = load(args.n, args.seed, args.source)
    write_csv(args.csv or "/dev/stdout", records)


if __name__ == "__main__":
    sys.exit(main())

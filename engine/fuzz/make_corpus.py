#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora, engine/fuzz/corpus/ and corpus-scores/,
from readable cases.

Encodes names and tables in the byte format that fuzz_case.h decodes; the
vocabulary and the token values below must follow that header. Run it again
after changing either: python3 engine/fuzz/make_corpus.py

With --literal FILE..., prints each file as a C++ string literal instead, for
a case in tests/engine/test_fuzz_regressions.cpp.
"""
import pathlib
import re
import sys

VOCABULARY = [
    b"Robert", b"Bob", b"Rob", b"Smith", b"John", b"J", b"Mary", b"Ann",
    b"Lee", b"A", b"a", b"R", b"Jones", b"Van", b"de", b"Jr",
    b"", b"\0", b"a\0b", b"\t", b"x\ty", "Zoë".encode(), "é".encode(), b"\xff",
    b"\xc3", b"ROBERT", b"Bobby", b"O'Neil", b"Lee-Ann", b"Smith\t", b"-", b"Mary Ann",
]
RAW_SPACE, RAW_BYTE, GLUE, LONG, DISTINCT, ALL_VOCABULARY = 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5
END, END_AND_COPY, END_NAMES = 0xC6, 0xE0, 0xF0

NO_LIMIT = 255


def word_token(word):
    """The token of a vocabulary or generated word, or None."""
    if word in VOCABULARY:
        return VOCABULARY.index(word)
    m = re.fullmatch(rb"w(\d+)", word)
    if m and int(m.group(1)) < 64:
        return 0x80 + int(m.group(1))
    return None


def raw(word):
    out = []
    for b in word:
        out += [RAW_BYTE, b]
    return out


def encode_name(name):
    """A name given as a str/bytes (split at single spaces) or a token list."""
    if isinstance(name, list):
        return name
    if isinstance(name, str):
        name = name.encode()
    out = []
    for k, word in enumerate(name.split(b" ")):
        token = word_token(word)
        if token is not None:
            out.append(token)
        else:
            if k > 0:
                out.append(RAW_SPACE)
            out += raw(word)
    return out


def encode_entry(key, words):
    out = []
    for k, word in enumerate([key] + list(words)):
        if isinstance(word, list):
            out += word
            continue
        if isinstance(word, str):
            word = word.encode()
        token = word_token(word)
        if token is not None:
            out.append(token)
        elif k == 0:
            out += raw(word)
        else:
            out += [RAW_SPACE] + raw(word)
    return out + [END]


def encode(names, table=(), first=0, last=NO_LIMIT, min_second=0, layout=0):
    out = [first, last, min_second, layout]
    for name in names:
        out += encode_name(name) + [END]
    out.append(END_NAMES)
    for key, words in table:
        out += encode_entry(key, words)
    return bytes(out)


def distinct(n):
    return [DISTINCT, n - 1]


README_NAMES = ["Robert Smith", "Bob Smith", "Smith Robert", "J Smith", "John Smith", "Madonna"]
README_TABLE = [("Robert", ["Bob", "Rob"]), ("Bob", ["Robert"]), ("J", ["John"]), ("John", ["J"])]
NICK_TABLE = README_TABLE + [("Mary", ["Ann", "Mary Ann"]), ("A", ["Ann"]), ("Lee", ["Lee-Ann"])]

SEEDS = {
    "readme-example": encode(README_NAMES, README_TABLE),
    "no-table": encode(["Robert Smith", "Robert Smith", "Smith Robert", "Bob Smith"]),
    "three-against-two": encode(
        ["Robert Lee Smith", "Robert Smith", "Bob Lee Smith", "Lee Smith Jones", "Robert Jones"], NICK_TABLE),
    "three-against-three": encode(
        ["Robert Lee Smith", "Bob Lee Smith", "Smith Lee Robert", "Robert Lee Jones", "J Lee Smith"], NICK_TABLE),
    "four-words": encode(
        ["Mary Ann Lee Smith", "Mary Smith", "Ann Lee", "Lee Smith", "Smith Mary Ann Jones", "A Lee Smith Jr"],
        NICK_TABLE),
    "repeated-words": encode(
        ["Smith Smith", "Smith Smith Smith", "Bob Bob Smith", "Robert Bob", "Bob Robert Bob", "Smith Jones Smith"],
        README_TABLE),
    "repeat-token": encode([[3, 0xC5], [3, 0xC5, 0xC5], [1, 0xC5, 3], [0, 3]], README_TABLE),
    "spaces": encode(
        [[RAW_SPACE, RAW_SPACE, 0, RAW_SPACE, RAW_SPACE, 3, RAW_SPACE], [RAW_SPACE, 1, 3], [0, 3, RAW_SPACE],
         [], [RAW_SPACE, RAW_SPACE], [0, 16, 3], [16, 0, 16, 3, 16]], README_TABLE),
    "nul-and-tab": encode(["Robert\tSmith", "Robert \0", "a\0b Smith", "x\ty Smith", "\t Smith", "\0 Smith",
                           "Robert Smith\t", "Robert Smith"], [("\0", ["\t"]), ("\t", ["a\0b"])]),
    "utf8": encode(["Zoë Smith", "é Smith", b"\xff Smith", b"\xc3 Smith", "Zoë Jones", "Zoë é"],
                   [("é", ["Zoë"]), (b"\xff", ["Bob", "Zoë"]), (b"\xc3", [b"\xc3\xa9"])]),
    "long-words": encode([[LONG, 0, 3], [LONG, 0, 3], [LONG, 200, 3], [LONG, 0, LONG, 1], [0, LONG, 255]],
                         [([LONG, 0], [[LONG, 200]])]),
    "one-word-and-empty": encode(["Robert", "", "Bob", "Robert Smith", "Smith", "Bob Smith", " "], README_TABLE),
    "nine-distinct": encode([distinct(9), distinct(9), distinct(3), distinct(2), [0x80, 0x81, 0x82] + distinct(8),
                             "w0 w1", "d3 d7 Smith", "d8 d0"], [("d0", ["w0"]), ("w1", ["d1", "d2"])]),
    "seventeen-distinct": encode([distinct(17), distinct(18), distinct(16), distinct(33), "d0 d16", "d16 d17",
                                  "d0 d1 d2", [0x80] + distinct(20), "d32 d31"],
                                 [("d16", ["d0"]), ("d31", ["w0", "d5"])]),
    "one-way": encode(["Bob Smith", "Robert Smith", "Rob Smith", "Smith Bob"], [("Bob", ["Robert"])]),
    "repeated-key": encode(["Bob Smith", "Robert Smith", "Rob Smith"], [("Bob", ["Rob"]), ("Bob", ["Robert"])]),
    "key-in-own-list": encode(["Bob Smith", "Rob Smith", "Bob Rob", "Rob Bob"], [("Bob", ["Bob", "Rob"])]),
    "tradeouts-of-no-name": encode(["Bob Smith", "Robert Smith"],
                                   [("Bob", ["Zeke", "Bobby"]), ("Nobody", ["Bob", "Smith"]), ("Smith", ["Smyth"])]),
    "empty-strings": encode(["Bob Smith", "Robert Smith", [1, 16, 3], [16, 16]],
                            [(b"", ["Bob", b""]), ("Bob", [b""]), ("Smith", [b"", "Robert"])]),
    "wide-vocabulary-list": encode(["J Smith", "John Smith", "Mary Smith", "Bob Jones", "J Jones", "R Smith"],
                                   [("J", [[ALL_VOCABULARY]]), ("R", ["Robert"])]),
    "wide-generated-list": encode(["d1 d2", "d3 d4", "d1 d9", "d20 d30 d1", distinct(4), "w1 d2"],
                                  [("d1", [[DISTINCT, 39]]), ("d2", [[DISTINCT, 39]]), ("w1", ["d1"])]),
    "one-byte-keys": encode(["R Smith", "Robert Smith", "A Lee", "Ann Lee", "R A", "Rob Ann"],
                            [("R", ["Robert", "Rob"]), ("A", ["Ann"]), ("a", ["A"])]),
    "case": encode(["ROBERT Smith", "Robert Smith", "robert Smith", "Robert SMITH"], [("ROBERT", ["Robert"])]),
    "glue": encode([[1, GLUE, 3, 4], [1, 3, 4], [0, 1, GLUE, 3]], [("Bob", [[1, GLUE, 3]]), ("John", ["BobSmith"])]),
    "tradeout-with-space": encode(["Mary Ann Smith", "Mary Smith", "Ann Smith"],
                                  [("Mary", ["Mary Ann", "Ann"]), ("Ann", ["Mary Ann"])]),
    "copies": encode(["Robert Smith", "Bob Smith", [0xE0, 0], "J Smith"], README_TABLE),
    "many-blocks": encode(README_NAMES + ["Bob Lee Smith", "Robert Lee Smith"], README_TABLE, layout=0xFF),
    "filler": encode(README_NAMES, README_TABLE, layout=0x3F),
    "copies-no-filler": encode(README_NAMES + ["Mary Ann Lee", "Ann Lee"], NICK_TABLE, layout=0xC0),
    "row-range": encode(README_NAMES + ["Rob Smith", "Smith Bob"], README_TABLE, first=2, last=6),
    "row-range-across-blocks": encode(README_NAMES, README_TABLE, first=70, last=200, layout=0xBF),
    "min-second": encode(README_NAMES * 2, README_TABLE, first=0, last=NO_LIMIT, min_second=6),
    "empty-range": encode(README_NAMES, README_TABLE, first=5, last=2),
    "range-past-end": encode(README_NAMES, README_TABLE, first=7, last=NO_LIMIT, min_second=7),
    "all-three-traded": encode(["Robert John Mary", "Bob J Ann", "Rob John A", "Bob J Mary Ann"], NICK_TABLE),
    "back-words": encode(["Bob Rob", "Robert Robert", "Robert Bob", "Rob Rob Rob", "Bob Robert Rob Smith"],
                         [("Bob", ["Robert", "Rob"]), ("Rob", ["Robert", "Bob"]), ("Robert", ["Bob", "Rob"])]),
    "traded-to-repeat": encode(["Bob Rob", "Robert Robert", "Robert Smith", "Smith Smith"],
                               [("Bob", ["Robert"]), ("Rob", ["Robert"]), ("Jones", ["Smith"])]),
    "raw-bytes": encode([[0, RAW_BYTE, 0x20, RAW_BYTE, 0x20, 3], [0, RAW_SPACE, RAW_BYTE, 0x09, 3], [RAW_BYTE, 0x80]],
                        [([RAW_BYTE, 0x20], ["Smith"]), ([RAW_BYTE, 0x80], [[RAW_BYTE, 0x80]])]),
    "no-names": encode([], README_TABLE),
}

# fuzz_scores: two mode bytes (score_case.h) before a case.
FLOOR_FIXED, FLOOR_PAIR, FLOOR_INFINITE = 1, 2, 3
THREE_WORKERS, ROW_RANGE, UNSCORED_TOO = 0x20, 0x40, 0x80


def mode(floor=0, x=0, block_kinds=0, flags=0):
    return bytes([floor | block_kinds << 2 | flags, x])


def fixed_floor(bits):
    """The x that makes a fixed floor of `bits` (a multiple of 1/8)."""
    return int(bits * 8) + 128


KINDS_NAMES = ["Xavier Quill", "Xavjer Quill", "Xafjer Quill", "X Quill", "X. Quill", "x Quill", "Bob Quill",
               "Robert Quill", "Robert Anna Quill", "Robert Sofia Quill", "Anna Quill Holm"]
KINDS_TABLE = [("Xavier", ["Xavjer", "Xafjer", "X", "X.", "x"]), ("Xavjer", ["Xavier"]), ("X", ["Xavier", "X."]),
               ("x", ["Xavier"]), ("Robert", ["Bob", "Xavier"]), ("Bob", ["Robert"])]

SCORE_SEEDS = {
    "kinds": mode() + encode(KINDS_NAMES, KINDS_TABLE),
    "kinds-floor-zero": mode(FLOOR_FIXED, fixed_floor(0), flags=UNSCORED_TOO) + encode(KINDS_NAMES, KINDS_TABLE),
    "kinds-floor-own-score": mode(FLOOR_PAIR, 3, flags=THREE_WORKERS) + encode(KINDS_NAMES, KINDS_TABLE),
    "kinds-blocks": mode(block_kinds=3, x=1, flags=UNSCORED_TOO) + encode(KINDS_NAMES, KINDS_TABLE),
    "blocks-apart-in-high-bits": mode(block_kinds=2, x=0) + encode(["Ann Berg"] * 6),
    "infinite-floor": mode(FLOOR_INFINITE, flags=UNSCORED_TOO) + encode(README_NAMES, README_TABLE),
    "low-floor-many-blocks": mode(FLOOR_FIXED, fixed_floor(-6), block_kinds=7, flags=THREE_WORKERS)
    + encode(README_NAMES + ["Bob Lee Smith", "Robert Lee Smith"], README_TABLE, layout=0xFF),
    "range-floor": mode(FLOOR_FIXED, fixed_floor(-1), flags=ROW_RANGE | UNSCORED_TOO)
    + encode(README_NAMES * 2, README_TABLE, first=1, last=9, min_second=3),
    "missing-and-conflict": mode() + encode(
        ["Anna Maria Berg Holm", "Anna Berg Holm", "Anna Sofia Berg Holm", "Maria Lund", "Sofia Lund"]),
    "one-word-weights": mode(FLOOR_PAIR, 0) + encode(["Bob", "Robert Smith", "Bob Smith", "Smith", ""],
                                                    README_TABLE),
    "utf8-initials": mode() + encode(["Zoë Smith", "Z Smith", "é Smith", b"\xc3 Smith", b"\xc3A Smith",
                                      b"\xff Smith", b"\xffa Smith", "éx Smith"],
                                     [("Z", ["Zoë"]), ("Zoë", ["Z"]), ("é", ["éx", b"\xc3"]), ("éx", ["é"]),
                                      (b"\xc3", [b"\xc3A", "é"]), (b"\xc3A", [b"\xc3"]), (b"\xff", [b"\xffa"]),
                                      (b"\xffa", [b"\xff"])]),
    "case-initials": mode() + encode(["j Smith", "John Smith", "J. Smith", "jOHN Smith", "- Smith", "-x Smith"],
                                     [("j", ["John", "jOHN", "J."]), ("J.", ["John", "j"]), ("-", ["-x"]),
                                      ("John", ["j", "J."]), ("jOHN", ["j"]), ("-x", ["-"])]),
    "long-names": mode(FLOOR_FIXED, fixed_floor(2)) + encode(
        [distinct(40) + distinct(40), distinct(40), distinct(33), "d0 d1", "d1 d0 d2 w1"], [("d0", ["w1", "d1"])]),
}
SCORE_SEEDS.update({f"plain-{name}": mode(x=len(name)) + data for name, data in SEEDS.items()
                    if name in ("readme-example", "four-words", "repeated-words", "utf8", "one-way", "repeated-key",
                                "key-in-own-list", "empty-strings", "wide-vocabulary-list", "filler")})


def literal(data):
    """The bytes as a C++ string_view literal; a hex escape never runs into a digit."""
    out, after_hex = "", False
    for b in data:
        c = chr(b)
        if 0x20 <= b < 0x7F:
            if after_hex and c in "0123456789abcdefABCDEF":
                out += '" "'
            out += "\\" + c if c in '"\\' else c
            after_hex = False
        else:
            out += "\\x%02x" % b
            after_hex = True
    return '"' + out + '"sv'


def main():
    if sys.argv[1:2] == ["--literal"]:
        for name in sys.argv[2:]:
            print(literal(pathlib.Path(name).read_bytes()))
        return
    here = pathlib.Path(__file__).resolve().parent
    for folder, seeds in (("corpus", SEEDS), ("corpus-scores", SCORE_SEEDS)):
        out = here / folder
        out.mkdir(exist_ok=True)
        for old in out.iterdir():
            old.unlink()
        for name, data in seeds.items():
            (out / name).write_bytes(data)
        print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()

"""Why two names match or not, word by word, under the Matcher's rule."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Literal

__all__ = ["Explanation", "WordMatch", "explain"]

How = Literal["same", "tradeout", "not found"]


@dataclass(frozen=True, slots=True)
class WordMatch:
    """How one word of a name was looked for in the other name.

    ``how`` is ``"same"`` (the word itself is at ``other_position``),
    ``"tradeout"`` (its tradeout ``via`` is at ``other_position``) or
    ``"not found"`` (``other_position`` and ``via`` are None).
    """

    position: int
    word: str
    how: How
    other_position: int | None = None
    via: str | None = None

    @property
    def found(self) -> bool:
        return self.how != "not found"

    def describe(self) -> str:
        if self.how == "same":
            return f"same word at {self.other_position}"
        if self.how == "tradeout":
            return f"tradeout {self.word} -> {self.via} at {self.other_position}"
        return "not found"


@dataclass(frozen=True, slots=True)
class Explanation:
    """The rule applied to one pair: each name's words, how many of them were
    found in the other name, how many had to be, and the verdict ``match``."""

    name1: str
    name2: str
    words1: tuple[WordMatch, ...]
    words2: tuple[WordMatch, ...]
    found1: int
    found2: int
    needed1: int
    needed2: int
    match: bool

    def __bool__(self) -> bool:
        return self.match

    def __repr__(self) -> str:
        verdict = "match" if self.match else "no match"
        return (
            f"<Explanation {self.name1!r} ~ {self.name2!r}: {verdict}, "
            f"found {self.found1}/{self.needed1} and {self.found2}/{self.needed2}>"
        )

    def __str__(self) -> str:
        lines = []
        for label, name, ws, found, needed in (
            ("name1", self.name1, self.words1, self.found1, self.needed1),
            ("name2", self.name2, self.words2, self.found2, self.needed2),
        ):
            lines.append(f"{label} {name!r}: {found} of {len(ws)} words found, {needed} needed")
            width = max((len(repr(w.word)) for w in ws), default=0)
            lines.extend(f"  {w.position:>3}  {w.word!r:<{width}}  {w.describe()}" for w in ws)
            if not _matchable(name, ws):
                lines.append("  fewer than two words (at spaces, or at any whitespace): never matches")
        lines.append("match" if self.match else "no match")
        return "\n".join(lines)


def explain(name1: str, name2: str, tradeouts: Mapping[str, Iterable[str]] | None = None) -> Explanation:
    """How the rule of ``Matcher`` judges one pair of names, word by word.

    Words are cut at ASCII spaces and compared exactly; a name that
    ``str.split()`` cuts into fewer than two words never matches. A word is found in the
    other name when that name holds the same word or, failing that, one of the
    word's own tradeouts; the first such word of the other name is reported.
    Tradeouts are one-way: name1's words use only their own entries, and so do
    name2's. The verdict is the one ``Matcher`` and ``find_pairs`` give.

    Raises TypeError for names that are not str and for tradeouts that are not
    a mapping of str to iterables of str.
    """
    for label, name in (("name1", name1), ("name2", name2)):
        if not isinstance(name, str):
            raise TypeError(f"{label} must be a str, not {type(name).__name__}")
    table = _table(tradeouts)
    w1, w2 = _words(name1), _words(name2)
    m1, m2 = _look_up(w1, w2, table), _look_up(w2, w1, table)
    found1, found2 = sum(w.found for w in m1), sum(w.found for w in m2)
    needed1, needed2 = _needed(len(w1), len(w2)), _needed(len(w2), len(w1))
    match = _matchable(name1, w1) and _matchable(name2, w2) and found1 >= needed1 and found2 >= needed2
    return Explanation(str.__str__(name1), str.__str__(name2), m1, m2, found1, found2, needed1, needed2, match)


def _words(name: str) -> list[str]:
    # The text itself, whatever a str subclass does to split.
    return [w for w in str.split(name, " ") if w]


def _matchable(name: str, words: Sequence[object]) -> bool:
    # Names that split() cuts into fewer than two words are never searched,
    # even when spaces alone would leave two ("\t A").
    return len(words) >= 2 and len(str.split(name)) >= 2


def _needed(count: int, other_count: int) -> int:
    # A three-word name against a two-word one can have only two words found.
    return 3 if count == 3 and other_count != 2 else 2


def _look_up(words: list[str], other: list[str], table: dict[str, tuple[str, ...]]) -> tuple[WordMatch, ...]:
    first_at: dict[str, int] = {}
    for k, w in enumerate(other):
        first_at.setdefault(w, k)
    out = []
    for position, word in enumerate(words):
        if word in first_at:
            out.append(WordMatch(position, word, "same", first_at[word]))
            continue
        via = next((t for t in table.get(word, ()) if t in first_at), None)
        if via is None:
            out.append(WordMatch(position, word, "not found"))
        else:
            out.append(WordMatch(position, word, "tradeout", first_at[via], via))
    return tuple(out)


def _table(tradeouts: object) -> dict[str, tuple[str, ...]]:
    """The tradeouts checked as the Matcher checks them."""
    if tradeouts is None:
        return {}
    if not isinstance(tradeouts, Mapping):
        raise TypeError(f"tradeouts must be a mapping from a word to words, not {type(tradeouts).__name__}")
    table = {}
    for key, value in tradeouts.items():
        if not isinstance(key, str):
            raise TypeError(f"tradeouts keys must be str, not {type(key).__name__}")
        if isinstance(value, (str, bytes, bytearray)):
            raise TypeError(f"tradeouts[{key!r}] must be an iterable of words, not {type(value).__name__}")
        if not isinstance(value, Iterable):
            raise TypeError(f"tradeouts[{key!r}] must be an iterable of words, not {type(value).__name__}")
        words = tuple(value)
        for word in words:
            if not isinstance(word, str):
                raise TypeError(f"tradeouts[{key!r}] holds a {type(word).__name__}; words must be str")
        table[str.__str__(key)] = words
    return table

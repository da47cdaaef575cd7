"""Why two names match or not, word by word, under the Matcher's rule."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from . import _native

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
    # The engine applies the rule itself; the text is read whatever a str
    # subclass does to split or print it.
    text1, text2 = str.__str__(name1), str.__str__(name2)
    words1, words2, found1, found2, needed1, needed2, match = _native.explain(text1, text2, _table(tradeouts))
    return Explanation(text1, text2, _accounts(words1), _accounts(words2), found1, found2, needed1, needed2, match)


_HOW: tuple[How, ...] = ("same", "tradeout", "not found")


def _accounts(words: tuple[tuple[Any, ...], ...]) -> tuple[WordMatch, ...]:
    return tuple(
        WordMatch(position, w[0], _HOW[w[1]], w[2] if w[2] >= 0 else None, w[3] if len(w) > 3 else None)
        for position, w in enumerate(words)
    )


def _matchable(name: str, words: Sequence[object]) -> bool:
    # Names that split() cuts into fewer than two words are never searched,
    # even when spaces alone would leave two ("\t A").
    return len(words) >= 2 and len(str.split(name)) >= 2


def _table(tradeouts: object) -> dict[str, object]:
    """The tradeouts checked, with the messages explain has always given."""
    if tradeouts is None:
        return {}
    if not isinstance(tradeouts, Mapping):
        raise TypeError(f"tradeouts must be a mapping from a word to words, not {type(tradeouts).__name__}")
    table: dict[str, object] = {}
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

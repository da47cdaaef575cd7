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

    ``step`` says which step made the link, where that is known: for a
    tradeout, ``"tradeout: Bob ~ Robert"`` (the caller's table),
    ``"initial: J ~ John"`` or ``"spelling variant: Jon ~ John, 1 edit"``
    (the Matcher's ``initials`` and ``typos``); for a word that normalisation
    changed, in either name, ``"normalised: Renée -> renee"``, before the
    link's own step and joined to it with ``"; "``. None for the same word
    as written, and for a word not found.

    ``score`` is the word's part of the pair's score in bits (see
    docs/scores.md), when ``Matcher.explain`` was given two rows; negative
    for a word that counts against the pair.
    """

    position: int
    word: str
    how: How
    other_position: int | None = None
    via: str | None = None
    step: str | None = None
    score: float | None = None

    @property
    def found(self) -> bool:
        return self.how != "not found"

    def describe(self) -> str:
        if self.how == "same":
            text = f"same word at {self.other_position}"
        elif self.how == "tradeout":
            text = f"tradeout {self.word} -> {self.via} at {self.other_position}"
        else:
            return "not found"
        # A link through the caller's own table says so already.
        if self.step is None or self.step.startswith("tradeout: "):
            return text
        return f"{text} ({self.step})"


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
    #: The pair's score in bits, when ``Matcher.explain`` was given two rows.
    score: float | None = None

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
            lines.extend(f"  {w.position:>3}  {w.word!r:<{width}}  {w.describe()}{_bits(w.score)}" for w in ws)
            if not _matchable(name, ws):
                lines.append("  fewer than two words (at spaces, or at any whitespace): never matches")
        lines.append("match" if self.match else "no match")
        if self.score is not None:
            lines.append(f"score {self.score:+.2f} bits (the words' parts, less log2 of the names)")
        return "\n".join(lines)


def _bits(score: float | None) -> str:
    return "" if score is None else f"  {score:+.2f} bits"


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
    table = _table(tradeouts)
    return _explained((text1, text2), (text1, text2), table, _Sources(table))


class _Sources:
    """Which step put each entry in the table the rule was given: the
    caller's tradeouts, the initials, the spelling variants (``edits`` the
    most edits these were found within), the split words."""

    __slots__ = ("edits", "initials", "own", "splits", "variants")

    def __init__(
        self,
        own: Mapping[str, Any] | None,
        initials: Mapping[str, list[str]] | None = None,
        variants: Mapping[str, list[str]] | None = None,
        edits: int = 0,
        splits: Mapping[str, list[str]] | None = None,
    ) -> None:
        self.own, self.initials, self.variants, self.edits = own or {}, initials or {}, variants or {}, edits
        self.splits = splits or {}

    def link(self, word: str, via: str) -> str | None:
        # The caller's table first: it is theirs whatever else also holds the entry.
        if via in self.own.get(word, ()):
            return f"tradeout: {word} ~ {via}"
        if via in self.initials.get(word, ()):
            short, long = (word, via) if len(word) < len(via) else (via, word)
            return f"initial: {short} ~ {long}"
        if via in self.variants.get(word, ()):
            n = edits(word, via, self.edits)
            return f"spelling variant: {word} ~ {via}, {n} edit{'s' if n != 1 else ''}"
        if via in self.splits.get(word, ()):
            part, whole = (word, via) if len(word) < len(via) else (via, word)
            return f"split word: {part} ~ {whole}"
        return None


def _explained(
    given: tuple[str, str],
    names: tuple[str, str],
    table: dict[str, Any],
    sources: _Sources,
    origins: tuple[list[str | None], list[str | None]] | None = None,
) -> Explanation:
    """The engine's account of ``names`` (the names as matched) under
    ``table``, each link labelled with its step; ``given`` are the names as
    written, ``origins`` per matched word the given word it came from."""
    words1, words2, found1, found2, needed1, needed2, match = _native.explain(names[0], names[1], table)
    if origins is None:
        origins = ([], [])
    accounts1 = _accounts(words1, sources, origins[0], origins[1])
    accounts2 = _accounts(words2, sources, origins[1], origins[0])
    return Explanation(given[0], given[1], accounts1, accounts2, found1, found2, needed1, needed2, match)


_HOW: tuple[How, ...] = ("same", "tradeout", "not found")


def _accounts(
    words: tuple[tuple[Any, ...], ...], sources: _Sources, own: list[str | None], other: list[str | None]
) -> tuple[WordMatch, ...]:
    out = []
    for position, w in enumerate(words):
        how, at = _HOW[w[1]], (w[2] if w[2] >= 0 else None)
        via = w[3] if len(w) > 3 else None
        step = None
        if at is not None:
            parts = [_normalised(own, position, w[0]), _normalised(other, at, via if via is not None else w[0])]
            if via is not None:
                parts.append(sources.link(w[0], via))
            step = "; ".join(dict.fromkeys(p for p in parts if p)) or None
        out.append(WordMatch(position, w[0], how, at, via, step))
    return tuple(out)


def _normalised(origins: list[str | None], position: int, word: str) -> str | None:
    """The label of a word normalisation changed, when it did."""
    given = origins[position] if position < len(origins) else None
    return None if given is None or given == word else f"normalised: {given} -> {word}"


def origins(given: str, words: list[str], normalize: Any) -> list[str | None]:
    """Per word of the normalised name ``words``, the word of ``given`` it
    came from: each given word normalised alone, which is how the whole
    name normalises unless a run of words was dropped together (then none
    is known, and no word is labelled)."""
    parts = [p for p in given.split(" ") if p]
    out: list[str | None] = []
    mapped: list[str] = []
    for part, alone in zip(parts, normalize(parts), strict=True):
        for w in (alone or "").split(" "):
            if w:
                out.append(part)
                mapped.append(w)
    return out if mapped == words else []


def explain_steps(
    given: tuple[str, str],
    tradeouts: dict[str, Any] | None,
    normalize: bool,
    typos: int,
    positions: Any,
    splits: dict[str, list[str]] | None = None,
) -> Explanation:
    """``explain`` as a Matcher with these steps judges ``given``:
    ``tradeouts`` is its table as the index holds it (normalised with the
    names), ``positions`` where its names write each word (None without
    initials), ``splits`` the words its names split by a space. The entries
    the steps add between two names' words are those they add between the
    same words among any others (which words are given names is read from
    ``positions``), so the table here is made from the two names alone;
    but for a split word, which another name may have split: the Matcher's
    are added to the pair's own."""
    from ._matcher import _given_words, _initial_words
    from ._nicknames import initials as initials_of
    from ._normalize import normalize as normalized
    from ._variants import _merge, variants

    names = (given[0], given[1])
    if normalize:
        names = tuple(normalized(list(given), threads=1))  # type: ignore[assignment]
    table = dict(tradeouts or {})
    initial_table = variant_table = split_table = None
    if positions is not None:
        known = _given_words(positions)
        words = _initial_words(_native.distinct_words(list(names)), known)
        initial_table = initials_of(words, both_ways=True)
        table = initials_of(words, table, both_ways=True)
    if typos:
        variant_table = variants(list(names), max_edits=typos, threads=1)
        table = variants(list(names), table, max_edits=typos, threads=1)
        split_table = _native.word_positions(list(names))[3]
        if splits:
            # Only links between the pair's own words can matter to it.
            held = {w for n in names if n for w in n.split(" ")}
            _merge(split_table, {w: list(splits[w]) for w in held if w in splits})
        _merge(table, split_table)
    sources = _Sources(tradeouts, initial_table, variant_table, typos, split_table)
    found = None
    if normalize:
        found = tuple(origins(g, n.split(" ") if n else [], normalized) for g, n in zip(given, names))
    return _explained(given, names, table, sources, found)  # type: ignore[arg-type]


def edits(a: str, b: str, most: int = 2) -> int:
    """The optimal string alignment distance of ``a`` and ``b`` on code
    points (an adjacent swap is one edit), as talvik.variants counts it;
    any distance over ``most`` is reported as ``most + 1``."""
    if abs(len(a) - len(b)) > most:
        return most + 1
    prev2: list[int] = []
    prev = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        row = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cost = a[i - 1] != b[j - 1]
            row[j] = min(prev[j] + 1, row[j - 1] + 1, prev[j - 1] + cost)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                row[j] = min(row[j], prev2[j - 2] + 1)
        prev2, prev = prev, row
    return min(prev[len(b)], most + 1)


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

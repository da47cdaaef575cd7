"""Spelling variants from a list's own words, as a tradeout table."""

from __future__ import annotations

import operator
from collections.abc import Iterable, Mapping, Set
from typing import Any

import numpy as np

from . import _native
from ._matcher import _flag, _thread_count
from ._nicknames import _copy

__all__ = ["variants"]

# The shortest words that get variants, by max_edits, when min_length is None.
DEFAULT_MIN_LENGTH = {1: 3, 2: 7}


def variants(
    words_or_names: Iterable[str | None],
    tradeouts: Mapping[str, Iterable[str]] | None = None,
    *,
    max_edits: int = 1,
    min_length: int | None = None,
    transpositions: bool = True,
    threads: int | None = None,
    split_words: bool = False,
) -> dict[str, list[str]]:
    """``tradeouts`` extended with the spelling variants among the given words.

    The vocabulary is the distinct words of ``words_or_names``: each item is
    cut into words at ASCII spaces, as the matching rule cuts names, so whole
    names can be given as they are. Two words are variants when at most
    ``max_edits`` edits turn one into the other: inserting, deleting or
    substituting one character, or (with ``transpositions``) swapping two
    adjacent ones, with no part of a word edited twice (the optimal string
    alignment distance). Characters are Unicode code points and compare
    exactly: ``"Smith"`` and ``"Smyth"`` are one edit apart, ``"José"`` and
    ``"Jose"`` one, ``"smith"`` and ``"Smith"`` one too.

    Both words of a pair must be at least ``min_length`` characters long:
    short words have too many neighbours (``"Li"`` is one edit from
    ``"Lu"``, ``"Le"``, ``"Lim"``, ...), and their variants are more often
    other people than typos. The search compares only words that share a
    string left after deleting up to ``max_edits`` characters from each
    (symmetric deletion), never every pair, in native threads with the
    interpreter released; Ctrl-C interrupts it.

    Parameters
    ----------
    words_or_names
        A list, tuple or NumPy array of str, or any other iterable of str
        that is not a str or a mapping. None items are skipped.
    tradeouts
        A tradeout table to extend (a mapping from a word to an iterable of
        words), or None for an empty one. It is not changed.
    max_edits
        1 or 2.
    min_length
        The fewest characters both words of a pair need. None means 3 for a
        pair one edit apart and 7 for a pair two edits apart (with
        ``max_edits=2``, words of 3 to 6 characters still get their one-edit
        variants). On the FEBRL person data (``febrl4``: given name and
        surname, 5,000 true links), exact matching finds 50.9% of the links
        at precision 0.90; one edit from 3 characters finds 76.4% at 0.88
        (from 4, 75.1% at 0.88: a typo that drops a letter of a four-letter
        name leaves three), and adding two edits from 7 finds 77.2% at 0.88.
        Two edits from 5 characters drop precision to 0.82, from 4 to 0.73.
    transpositions
        Whether swapping two adjacent characters counts as one edit (False:
        two, as in the Levenshtein distance).
    threads
        Worker threads; None means ``os.process_cpu_count()``. The result
        never depends on it.
    split_words
        Also link words typed with a space inside them: where two adjacent
        words of a name of three words or more spell a word of the
        vocabulary together (``"Hay den Smith"`` beside ``"Hayden"``), the
        first part and the whole word stand for each other, whatever their
        length and edits. Only a name of three words or more can still
        match once a word of it is split: two of its words found are enough.
        On the FEBRL sets (see ``docs/quality.md``) ``typos=1`` finds 1.1
        to 1.8 points more of the true pairs with it, at about the same
        precision.
        ``Matcher(typos=...)`` does this too.

    Returns
    -------
    dict[str, list[str]]
        A new table: a copy of ``tradeouts`` with its values as new lists,
        and every variant pair added in both directions. Each word's list
        keeps its existing words first, in their order, then its new variants
        in the order the words first appear in ``words_or_names`` (with the
        default ``min_length`` and ``max_edits=2``: its one-edit variants
        first, then its two-edit ones); no word is added twice, and no word is
        added to its own list.

    Raises
    ------
    TypeError
        An item that is not a str or None (its index and type are named),
        ``words_or_names`` that is a str or a mapping, tradeouts that are not
        a mapping of str to iterables of str, and arguments of the wrong type.
    ValueError
        ``max_edits`` not 1 or 2, a negative ``min_length``, ``threads``
        below 1, a NumPy array that is not one-dimensional.
    MemoryError
        When the keys or the result cannot be allocated.

    Examples
    --------
    >>> import talvik
    >>> names = ["Jon Smith", "John Smyth", "Jhon Smith", "Ann Lee"]
    >>> talvik.variants(names, min_length=3)
    {'Jon': ['John', 'Jhon'], 'Smith': ['Smyth'], 'John': ['Jon', 'Jhon'], 'Smyth': ['Smith'], 'Jhon': ['Jon', 'John']}
    >>> table = talvik.variants(names, {"Jon": ["Jonathan"]}, min_length=3)
    >>> table["Jon"]
    ['Jonathan', 'John', 'Jhon']
    >>> talvik.find_pairs(names, table).tolist()
    [[0, 1], [0, 2], [1, 2]]
    >>> talvik.variants(["Hayden Lee", "Hay den Lee"], split_words=True)
    {'Hayden': ['Hay'], 'Hay': ['Hayden']}
    """
    items = _items(words_or_names)
    edits = _edit_count(max_edits)
    if min_length is None:
        # Each edit count from its own shortest words: one call per count.
        passes = _default_passes(edits)
    else:
        passes = [(edits, _length(min_length))]
    _flag(transpositions, "transpositions")
    _flag(split_words, "split_words")
    workers = _thread_count(threads)
    table = _copy(tradeouts)
    _add_variants(table, items, passes, transpositions, workers)
    if split_words:
        _merge(table, _native.word_positions(items)[3])
    return table


def _add_variants(table: dict[str, list[str]], items: list[Any] | tuple[Any, ...],
                  passes: list[tuple[int, int]], transpositions: bool, workers: int) -> None:
    """``variants`` on a table of its own (changed in place): one pass of
    the variant finder per (edits, shortest word)."""
    for e, shortest in passes:
        _merge(table, _native.variant_table(items, e, shortest, transpositions, workers))


def _default_passes(max_edits: int) -> list[tuple[int, int]]:
    """The passes of ``variants(max_edits=...)`` with no ``min_length``."""
    return [(e, DEFAULT_MIN_LENGTH[e]) for e in range(1, max_edits + 1)]


def _merge(table: dict[str, list[str]], found: dict[str, list[str]]) -> None:
    """Appends each word's new variants to its list in ``table``."""
    for word, others in found.items():
        links = table.get(word)
        if links is None:
            table[word] = others
            continue
        have = set(links)
        have.add(word)
        # A list, not a generator: extend() takes it whole, which is faster.
        links += [other for other in others if other not in have]


def _items(items: Any) -> list[Any] | tuple[Any, ...]:
    kind = type(items)
    if kind is list or kind is tuple:
        return items  # type: ignore[no-any-return]
    if isinstance(items, np.ndarray):
        if items.ndim != 1:
            raise ValueError(f"words_or_names must be one-dimensional, not of shape {items.shape}")
        return items.tolist()  # type: ignore[no-any-return]
    if isinstance(items, (str, bytes, bytearray, Mapping, Set)) or not isinstance(items, Iterable):
        raise TypeError(f"words_or_names must be an iterable of str, not {kind.__name__}")
    return list(items)


def _int(value: Any, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None


def _edit_count(value: Any) -> int:
    n = _int(value, "max_edits")
    if n not in (1, 2):
        raise ValueError(f"max_edits must be 1 or 2, not {n}")
    return n


def _length(value: Any) -> int:
    n = _int(value, "min_length")
    if n < 0:
        raise ValueError(f"min_length must be at least 0, not {n}")
    return min(n, 2**31 - 1)

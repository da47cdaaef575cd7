"""A ready tradeout table of English nicknames, and initials for given names."""

from __future__ import annotations

import json
import threading
from collections.abc import Iterable, Mapping
from importlib import resources

from ._matcher import _flag

__all__ = ["initials", "nicknames"]

_lock = threading.Lock()
_cache: dict[str, tuple[str, ...]] | None = None


def nicknames() -> dict[str, list[str]]:
    """English given names and their nicknames, both ways, as a tradeout table.

    Each word maps to every word it is linked to in either direction, sorted:
    a name to its nicknames and a nickname to the names it can be short for
    (``"Robert"`` lists ``"Bob"`` among 11 words, and ``"Bob"`` lists
    ``"Bert"``, ``"Bobby"``, ``"Rob"`` and ``"Robert"``). All 2,160 words are
    ASCII letters in Title Case, so they match Title Case names only; there
    are no initials (see ``initials``).

    The data is the hand-curated ``names.csv`` of the ``nicknames`` package,
    version 1.0.1, by Carlton Northern and Nick Crews, under the Apache
    License 2.0; the licence and a note on the source are installed beside
    it in ``talvik/data/``. The 4 rows that hold anything but letters
    (``"K.C."``) are left out.

    Returns a new dict of new lists each call, which the caller may change.
    """
    return {word: list(links) for word, links in _table().items()}


def initials(
    names: Iterable[str], tradeouts: Mapping[str, Iterable[str]] | None = None, *, both_ways: bool = False
) -> dict[str, list[str]]:
    """``tradeouts`` with entries by which an initial stands for each of ``names``.

    Each word of ``names`` of two or more characters is added to the list of
    its first character, so that ``"J"`` stands for ``"John"`` and ``"J
    Smith"`` matches ``"John J Smith"``. By default the entries are one way:
    an initial is not added to the names' own lists, so ``"John Smith"``
    still needs its ``"John"`` found and does not match ``"J Smith"``.

    With ``both_ways=True`` each name's list gets its initial too, so that
    ``"J Smith"`` and ``"John Smith"`` match from either side. That finds
    the records where one source wrote initials, at a price in precision:
    every name with the initial J now stands for every other (``"John
    Smith"`` and ``"Jane Smith"`` both match ``"J Smith"``, though not each
    other).

    ``names`` are given names, one word each: the keys of ``nicknames()``, or
    the first words of the names to be matched. Words already in an
    initial's list are not repeated; new ones follow in sorted order. The
    result is a new dict of new lists; ``tradeouts`` (None for an empty
    table) is not changed.

    Raises TypeError for a name that is not a str, ValueError for one that
    holds whitespace, and TypeError for tradeouts that are not a mapping of
    str to iterables of str.
    """
    _flag(both_ways, "both_ways")
    table = _copy(tradeouts)
    if isinstance(names, (str, bytes, bytearray)):
        raise TypeError(f"names must be an iterable of given names, not {type(names).__name__}")
    names = list(names)  # read twice: checked, then added
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__}")
        if len(name.split()) > 1 or (name and name != name.strip()):
            raise ValueError(f"names must be one word each, not {name!r}")
    _add_initials(table, names, both_ways)
    return table


def _add_initials(table: dict[str, list[str]], names: Iterable[str], both_ways: bool) -> None:
    """``initials`` on a table of its own (changed in place), of names
    already checked to be single words."""
    added: dict[str, set[str]] = {}
    for name in names:
        if len(name) > 1:
            added.setdefault(name[0], set()).add(name)
    for initial, words in sorted(added.items()):
        links = table.setdefault(initial, [])
        have = set(links)
        links.extend(sorted(words - have))
        if both_ways:
            for word in sorted(words):
                own = table.setdefault(word, [])
                if initial not in own:
                    own.append(initial)


def _copy(tradeouts: Mapping[str, Iterable[str]] | None) -> dict[str, list[str]]:
    if tradeouts is None:
        return {}
    if not isinstance(tradeouts, Mapping):
        raise TypeError(f"tradeouts must be a mapping from a word to words, not {type(tradeouts).__name__}")
    table: dict[str, list[str]] = {}
    for key, value in tradeouts.items():
        if not isinstance(key, str):
            raise TypeError(f"tradeouts keys must be str, not {type(key).__name__}")
        if isinstance(value, (str, bytes, bytearray)) or not isinstance(value, Iterable):
            raise TypeError(f"tradeouts[{key!r}] must be an iterable of words, not {type(value).__name__}")
        words = list(value)
        for word in words:
            if not isinstance(word, str):
                raise TypeError(f"tradeouts[{key!r}] holds a {type(word).__name__}; words must be str")
        table[key] = words
    return table


def _table() -> dict[str, tuple[str, ...]]:
    """The bundled table, both directions, parsed once per process."""
    global _cache
    with _lock:
        if _cache is None:
            text = resources.files(__package__ or "talvik").joinpath("data", "nicknames.json").read_text("ascii")
            one_way: dict[str, list[str]] = json.loads(text)
            both: dict[str, set[str]] = {}
            for name, nicks in one_way.items():
                for nick in nicks:
                    both.setdefault(name, set()).add(nick)
                    both.setdefault(nick, set()).add(name)
            _cache = {word: tuple(sorted(links)) for word, links in sorted(both.items())}
        return _cache

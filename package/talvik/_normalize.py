"""Names brought to one form before matching: talvik.normalize."""

import importlib
import sys
from collections.abc import Iterable, Mapping, Set
from typing import Any, TypeVar, cast

import numpy as np

from . import _native
from ._matcher import _thread_count

TITLES: tuple[str, ...] = (
    "mr", "mrs", "ms", "miss", "mx", "mister", "madam", "dr", "prof", "professor", "sir", "dame",
    "rev", "reverend", "hon", "mme", "mlle", "herr", "frau", "capt",
)  # fmt: skip
"""Titles that `normalize` drops by default (``titles=True``): honorifics
written before a name. Words of a list are normalised like the names, so
``"Dr."`` and ``"dr"`` are the same entry."""

SUFFIXES: tuple[str, ...] = (
    "jr", "jnr", "sr", "snr", "ii", "iii", "iv", "phd", "md", "esq", "dds", "mba", "cpa",
)  # fmt: skip
"""Suffixes that `normalize` drops by default (``suffixes=True``):
generations and degrees written after a name."""

LEGAL_FORMS: tuple[str, ...] = (
    "inc", "incorporated", "ltd", "limited", "llc", "llp", "lp", "plc", "corp", "corporation",
    "co", "company", "gmbh", "ag", "kg", "kgaa", "sa", "s.a.", "sarl", "s.a.r.l.", "sas", "srl",
    "s.r.l.", "spa", "s.p.a.", "bv", "b.v.", "nv", "n.v.", "oy", "ab", "as", "a/s", "aps", "pty",
    "pte", "pvt", "lda", "sl", "s.l.",
)  # fmt: skip
"""Company legal forms that `normalize` drops when asked (``legal_forms=True``;
off by default, since "co" or "sa" can be part of a person's name). Dotted
forms become several words ("S.A." -> "s a"), and are listed both ways."""

_Column = TypeVar("_Column")


def normalize(
    names: _Column,
    *,
    titles: bool | Iterable[str] | None = True,
    suffixes: bool | Iterable[str] | None = True,
    legal_forms: bool | Iterable[str] | None = False,
    threads: int | None = None,
) -> _Column:
    """Names brought to one form, so that case, accents and punctuation stop hiding a match.

    Each name, in this order: Unicode NFKC and case folding (ligatures and
    full-width letters become plain letters, "ß" becomes "ss"); accents
    stripped (nonspacing marks dropped after decomposition); invisible format
    characters (zero-width joiner, soft hyphen, direction marks) and
    apostrophes (``' ’ ‘ ʼ```) removed, so "O'Brien" becomes "obrien";
    hyphens and every other punctuation mark or symbol, control characters
    and every kind of whitespace become a single space, trimmed at both
    ends; then whole words, or runs of words, found in the drop lists are
    removed wherever they stand. Normalising a result again changes nothing.

    Args:
        names: a list, tuple, NumPy array or pandas Series of str (None, or
            a pandas missing value, stays missing), a pyarrow Array or
            ChunkedArray of strings (read in place), or a tradeout table (a
            dict from a word to words).
        titles: True drops the words of `TITLES`; False or None drops none;
            an iterable of words drops those instead.
        suffixes: the same, for `SUFFIXES`.
        legal_forms: the same, for `LEGAL_FORMS` (False by default).
        threads: workers to use; None uses every processor available.

    Returns:
        The same kind of column: a list, a tuple, a NumPy object array, a
        pandas Series with the same index and name, a pyarrow string array
        (a ChunkedArray of one chunk for a ChunkedArray), or any other
        iterable as a list. For a tradeout table, a new dict whose keys and
        words are normalised: keys that become equal are merged, repeated
        words kept once, words equal to their key or empty dropped, and keys
        left empty or with no word dropped.

    Raises:
        TypeError: an item is neither str nor None (the message names its
            index), or `names` is not a column of names.
        UnicodeDecodeError: an Arrow string is not valid UTF-8.

    Example:
        >>> import talvik
        >>> talvik.normalize(["Dr. Seán O'Brien Jr.", "SMITH-JONES, Renée", None])
        ['sean obrien', 'smith jones renee', None]
        >>> talvik.normalize(["ACME S.A.", "Mr Ed"], legal_forms=True, titles=False)
        ['acme', 'mr ed']
        >>> talvik.normalize({"Robert": ["Bob", "ROB", "robert"], "robert": ["Bobby"]})
        {'robert': ['bob', 'rob', 'bobby']}
    """
    drop = (
        _words(titles, TITLES, "titles")
        + _words(suffixes, SUFFIXES, "suffixes")
        + _words(legal_forms, LEGAL_FORMS, "legal_forms")
    )
    return cast(_Column, _normalize_any(names, drop, _thread_count(threads)))


def _words(option: Any, default: tuple[str, ...], label: str) -> tuple[str, ...]:
    if option is True:
        return default
    if option is False or option is None:
        return ()
    if isinstance(option, (str, bytes)) or not isinstance(option, Iterable):
        raise TypeError(f"{label} must be True, False, None or an iterable of str, not {type(option).__name__}")
    words = tuple(option)
    for word in words:
        if not isinstance(word, str):
            raise TypeError(f"{label} must hold str, not {type(word).__name__}")
    return words


def _normalize_any(names: Any, drop: tuple[str, ...], threads: int) -> Any:
    kind = type(names)
    if kind is list:
        return _native.normalize_sequence(names, drop, threads, "names")
    if kind is tuple:
        return tuple(_native.normalize_sequence(names, drop, threads, "names"))
    if isinstance(names, Mapping):
        return _normalize_table(names, drop, threads)
    pd = sys.modules.get("pandas")  # a Series can only exist once pandas is imported
    if pd is not None and isinstance(names, pd.Series):
        return _normalize_series(pd, names, drop, threads)
    if hasattr(kind, "__arrow_c_array__"):
        schema, array = names.__arrow_c_array__()
        return _arrow_array(_native.normalize_arrow_array(schema, array, drop, threads, "names"))
    if hasattr(kind, "__arrow_c_stream__"):
        pa = importlib.import_module("pyarrow")  # optional, and untyped
        capsules = _native.normalize_arrow_stream(names.__arrow_c_stream__(), drop, threads, "names")
        return pa.chunked_array([_arrow_array(capsules)])
    if isinstance(names, np.ndarray):
        if names.ndim != 1:
            raise ValueError(f"names must be one-dimensional, not of shape {names.shape}")
        out = np.empty(len(names), dtype=object)
        out[:] = _native.normalize_sequence(names.tolist(), drop, threads, "names")
        return out
    if isinstance(names, (str, bytes, bytearray, Set)) or not isinstance(names, Iterable):
        raise TypeError(f"names must be a sequence of str or a tradeout table, not {kind.__name__}")
    return _native.normalize_sequence(list(names), drop, threads, "names")


class _ArrowCapsules:
    """The Arrow PyCapsule interface over capsules made natively, for pa.array()."""

    def __init__(self, capsules: tuple[object, object]) -> None:
        self._capsules = capsules

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self._capsules


def _arrow_array(capsules: tuple[object, object]) -> Any:
    return importlib.import_module("pyarrow").array(_ArrowCapsules(capsules))


def _normalize_series(pd: Any, names: Any, drop: tuple[str, ...], threads: int) -> Any:
    missing = names.isna().to_numpy()
    values = [None if gone else value for value, gone in zip(names.tolist(), missing, strict=True)]
    normalised = _native.normalize_sequence(values, drop, threads, "names")
    dtype = names.dtype if isinstance(names.dtype, pd.StringDtype) else object
    return pd.Series(normalised, index=names.index, name=names.name, dtype=dtype)


def _normalize_table(table: Mapping[Any, Any], drop: tuple[str, ...], threads: int) -> dict[str, list[str]]:
    keys: list[str] = []
    words: list[list[str]] = []
    for key, value in table.items():
        if not isinstance(key, str):
            raise TypeError(f"tradeouts keys must be str, not {type(key).__name__}")
        if isinstance(value, str) or not isinstance(value, Iterable):
            raise TypeError(f"tradeouts[{key!r}] must be an iterable of words, not {type(value).__name__}")
        these = list(value)
        for word in these:
            if not isinstance(word, str):
                raise TypeError(f"tradeouts[{key!r}] holds a {type(word).__name__}; words must be str")
        keys.append(key)
        words.append(these)
    # One native call for every key and word.
    every: list[str | None] = [*keys, *(w for ws in words for w in ws)]
    flat = _native.normalize_sequence(every, drop, threads, "tradeouts")
    out: dict[str, list[str]] = {}
    seen: dict[str, set[str]] = {}
    at = len(keys)
    for k, these in enumerate(words):
        key = flat[k]
        normalised = flat[at : at + len(these)]
        at += len(these)
        if not key:
            continue
        bucket = out.setdefault(key, [])
        have = seen.setdefault(key, set())
        for word in normalised:
            if word and word != key and word not in have:
                have.add(word)
                bucket.append(word)
    return {key: ws for key, ws in out.items() if ws}

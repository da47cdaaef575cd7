"""Tables in, tables out: which rows of a table name the same person
(``dedupe``), and which rows of two tables do (``link``).

Both read the columns they are told of from a pandas DataFrame, a pyarrow
Table or a polars DataFrame, check them, and hand the engine one name per row
and, with ``block_on``, one block code per row. Everything about matching
itself is the Matcher's.
"""

from __future__ import annotations

import math
import sys
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._matcher import LargeGroupWarning, Matcher, Tradeouts, _as_list, _flag, _size_limit
from ._nicknames import nicknames as _bundled_nicknames

__all__ = ["DEFAULT_SPLIT_ABOVE", "dedupe", "link"]

#: Clusters of more rows than this are not made by ``dedupe``: a join that
#: would pass it is refused. A real person rarely has more records in one
#: table, while a chain of weak matches easily joins hundreds.
DEFAULT_SPLIT_ABOVE = 50

#: The least mean score, over every pair of rows between two clusters, that
#: joins them in ``dedupe`` (two single rows: their pair's score). A cluster
#: joins its rows transitively, so each join asks that the rows agree on the
#: whole rather than through one link; a pair of rows that the search does
#: not return counts as the floor it searched at (``DEFAULT_MIN_SCORE``),
#: the most it could have scored. On the labelled data of docs/quality.md
#: -1 bit gives the best cluster F1.
DEFAULT_CLUSTER_SCORE = -1.0

#: A word that more rows than this write alone is not paired by
#: ``single_words``: it is a placeholder ("Unknown") or too common a name to
#: tell anyone apart, and its pairs would grow as the square of its rows.
_SINGLE_WORD_ROWS = DEFAULT_SPLIT_ABOVE

_OUTPUT = ("cluster", "cluster_size", "score")
#: Clusters held back by split_above, each warned of up to this many.
_MAX_WARNINGS = 10


def dedupe(
    table: Any,
    columns: str | Sequence[str],
    *,
    id: str | None = None,
    block_on: str | Sequence[str] | None = None,
    tradeouts: Tradeouts | None = None,
    normalize: bool = True,
    typos: int = 1,
    initials: bool = True,
    nicknames: bool = True,
    min_score: float | None = None,
    split_above: int | None = DEFAULT_SPLIT_ABOVE,
    single_words: bool = True,
    threads: int | None = None,
    progress: bool = False,
) -> Any:
    """The rows of ``table`` that name the same person, as clusters.

    Parameters
    ----------
    table
        A pandas DataFrame, a pyarrow Table or a polars DataFrame.
    columns
        The column of names, or several (``["first", "middle", "last"]``)
        joined in that order with one space into one name per row; a missing
        or empty part is left out, and a row with no part has no name and
        matches nothing.
    id
        A column that identifies each row (no missing value, no value
        twice), written into the result; without it the result has ``row``,
        the row's position from 0.
    block_on
        A column, or several, that must agree exactly for two rows to be
        compared at all: rows of different blocks never share a cluster. A
        row with any of these columns missing blocks with nothing (it stays
        alone), since a missing value agrees with no other.
    tradeouts
        Words that may stand for others, beside the bundled nicknames (see
        ``Matcher``).
    normalize, typos, initials
        The Matcher's steps before the rule: case, accents and punctuation
        ignored; words one spelling edit apart taken as one; an initial and
        a word it begins taken as one. All on by default.
    nicknames
        True to add ``talvik.nicknames()`` to ``tradeouts``.
    min_score
        The least mean score of the pairs between two clusters that joins
        them (average linkage: see docs/scores.md); None means
        ``talvik.DEFAULT_CLUSTER_SCORE``. Pairs are searched down to
        ``talvik.DEFAULT_MIN_SCORE``, or to ``min_score`` when lower, and a
        pair of rows not found counts as that floor.
    split_above
        No cluster grows past this many rows: a join that would pass it is
        refused (warned of); None sets no limit.
    single_words
        True to pair rows whose whole name is the same one word (after the
        steps), such as a surname whose given name is missing in both,
        which the rule never pairs. Such a pair scores ``-log2(df)``, df the
        names of two words or more that hold the word, so only a rare word
        reaches the floor; a word written alone by more than 50 rows (a
        placeholder such as "Unknown") is never paired. False keeps to
        the rule.
    threads, progress
        As for ``Matcher``; ``progress=True`` shows a bar per search.

    Returns
    -------
    The same kind of table as ``table`` (for pandas, with its index), one row
    per input row in order: the ``id`` column (or ``row``), ``cluster`` (int64:
    the position of the cluster's first row), ``cluster_size`` (int64) and
    ``score`` (float32: the best score of a pair linking the row to another
    row of its cluster; NaN for a row alone). An empty table gives an empty
    result with these columns.

    Raises
    ------
    KeyError
        A column that is not in the table (the message names it).
    TypeError
        A name column that holds something other than strings, named with
        the row and the type found.
    ValueError
        An ``id`` column with a missing or repeated value (both named), or
        that is also the name of an output column.
    """
    frame = _frame(table, "table")
    names_at = _column_list(columns, "columns")
    blocks_at = _column_list(block_on, "block_on", optional=True)
    frame.require([*names_at, *blocks_at, *([] if id is None else [id])])
    id_name = _id_name(id, _OUTPUT)
    names = _names(frame, names_at)
    _checked_ids(frame, id)
    codes = _block_codes([frame.codes(c) for c in blocks_at], [frame.n])
    threshold = _threshold(min_score, DEFAULT_CLUSTER_SCORE)
    floor = min(threshold, _threshold(None, None))
    split = None if split_above is None else _size_limit(split_above, "split_above")
    matcher = _matcher(names, codes[0] if codes else None, tradeouts, nicknames, normalize, typos, initials, threads)
    # One search: the clusters and the scores all come from the scored pairs.
    pairs, scores = matcher.pairs(scores=True, min_score=floor, progress=progress)
    if _flag(single_words, "single_words"):
        alone = _alone(_indexed(matcher, names), codes[0] if codes else None)
        pairs, scores = _joined((pairs, scores), _alone_pairs(matcher, alone, alone, floor))
    labels = _clusters(frame.n, pairs, scores, threshold, floor, split)
    result: dict[Hashable, Any] = {
        id_name: frame.column(id) if id is not None else np.arange(frame.n, dtype=np.int64),
        "cluster": labels,
        "cluster_size": np.bincount(labels, minlength=frame.n)[labels].astype(np.int64),
        "score": best_scores(labels, pairs, scores),
    }
    return frame.build(result, keep_index=True)


def link(
    left: Any,
    right: Any,
    columns: str | Sequence[str],
    *,
    left_id: str | None = None,
    right_id: str | None = None,
    block_on: str | Sequence[str] | None = None,
    tradeouts: Tradeouts | None = None,
    normalize: bool = True,
    typos: int = 1,
    initials: bool = True,
    nicknames: bool = True,
    min_score: float | None = None,
    single_words: bool = True,
    threads: int | None = None,
    progress: bool = False,
) -> Any:
    """The pairs of a row of ``left`` and a row of ``right`` that name the same person.

    ``columns`` and ``block_on`` name columns that both tables hold; the
    other arguments are those of ``dedupe``. Rows are never paired within
    one table.

    Returns
    -------
    The same kind of table as ``left``: ``left_<left_id>`` and
    ``right_<right_id>`` (``left_row`` and ``right_row``, the positions from
    0, without ids) and ``score`` (float32), one row per pair whose score is
    at least ``min_score``, ordered by the left row, then the right.

    Raises
    ------
    KeyError, TypeError, ValueError
        As for ``dedupe``, naming the table (``left`` or ``right``) too.
    """
    sides = [_frame(left, "left"), _frame(right, "right")]
    names_at = _column_list(columns, "columns")
    blocks_at = _column_list(block_on, "block_on", optional=True)
    ids = [left_id, right_id]
    for frame, id in zip(sides, ids):
        frame.require([*names_at, *blocks_at, *([] if id is None else [id])])
    out_names = [f"{side}_{'row' if id is None else id}" for side, id in zip(("left", "right"), ids)]
    names = [_names(frame, names_at) for frame in sides]
    for frame, id in zip(sides, ids):
        _checked_ids(frame, id)
    # One code space for both tables: their values coded together.
    codes = _block_codes([_codes(sides[0].values(c) + sides[1].values(c), c) for c in blocks_at],
                         [frame.n for frame in sides])
    threshold = _threshold(min_score, None)
    matcher = _matcher(names[0], codes[0] if codes else None, tradeouts, nicknames, normalize, typos, initials,
                       threads)
    # The right names as the steps give them, made once: for the search and
    # for the names written as one word alone.
    right = matcher._steps.names(names[1])
    found, found_scores = matcher._match_given(right, codes[1] if codes else None, True, threshold, progress)
    # match() gives (row of right, row of left).
    pairs = np.asarray(found, dtype=np.int64).reshape(-1, 2)[:, ::-1]
    scores = np.asarray(found_scores, dtype=np.float32)
    if _flag(single_words, "single_words"):
        alone = [_alone(texts, codes[k] if codes else None)
                 for k, texts in enumerate((_indexed(matcher, names[0]), _as_list(right)))]
        pairs, scores = _joined((pairs, scores), _alone_pairs(matcher, alone[0], alone[1], threshold))
    order = np.lexsort((pairs[:, 1], pairs[:, 0]))
    pairs, scores = pairs[order], scores[order]
    result: dict[Hashable, Any] = {
        out_names[k]: (np.asarray(pairs[:, k]) if ids[k] is None else sides[k].take(ids[k], pairs[:, k]))
        for k in (0, 1)
    }
    result["score"] = scores
    return sides[0].build(result, keep_index=False)


# --- what the engine is given -----------------------------------------------


def _matcher(names: list[str | None], blocks: NDArray[np.int64] | None, tradeouts: Tradeouts | None,
             nicknames: bool, normalize: bool, typos: int, initials: bool, threads: int | None) -> Matcher:
    table = _with_nicknames(tradeouts) if _flag(nicknames, "nicknames") else tradeouts
    return Matcher(names, table, normalize=normalize, typos=typos, initials=initials, threads=threads,
                   blocks=blocks)


def _indexed(matcher: Matcher, names: list[str | None]) -> Sequence[Any]:
    """``names``, which ``matcher`` indexed, as its steps handed them to the
    engine: the list it holds already, when it kept one."""
    if matcher._names is not None:
        return _as_list(matcher._names)
    return _as_list(matcher._steps.names(names))


#: Rows written as one word alone, by (word, block code).
_Alone = dict[tuple[str, int], list[int]]


def _alone(texts: Sequence[Any], blocks: NDArray[np.int64] | None) -> _Alone:
    """The rows whose name is one word as the engine cuts it (at spaces),
    by that word and the row's block."""
    rows = [k for k, text in enumerate(texts) if text and " " not in text.strip(" ") and text.strip(" ")]
    out: _Alone = {}
    for k in rows:
        out.setdefault((texts[k].strip(" "), 0 if blocks is None else int(blocks[k])), []).append(k)
    return out


def _alone_pairs(matcher: Matcher, first: _Alone, second: _Alone,
                 floor: float) -> tuple[NDArray[np.int64], NDArray[np.float32]]:
    """The pairs of a row of ``first`` and a row of ``second`` (both from
    ``_alone``) that write the same word alone in the same block, scoring at
    least ``floor``; with ``first is second``, each pair of distinct rows once."""
    keys = [key for key, rows in first.items() if key in second and len(rows) <= _SINGLE_WORD_ROWS
            and len(second[key]) <= _SINGLE_WORD_ROWS]
    words = sorted({word for word, _ in keys})
    score_of = dict(zip(words, matcher._whole().single_word_scores(tuple(words))))
    pairs: list[tuple[int, int]] = []
    scores: list[float] = []
    for key in keys:
        if score_of[key[0]] < floor:
            continue
        rows, others = first[key], second[key]
        found = ([(a, b) for k, a in enumerate(rows) for b in rows[k + 1:]] if first is second
                 else [(a, b) for a in rows for b in others])
        pairs.extend(found)
        scores.extend([score_of[key[0]]] * len(found))
    return np.array(pairs, dtype=np.int64).reshape(-1, 2), np.array(scores, dtype=np.float32)


def _joined(found: tuple[Any, Any], more: tuple[NDArray[np.int64], NDArray[np.float32]]) -> tuple[Any, Any]:
    if not len(more[1]):
        return found
    pairs = np.concatenate([np.asarray(found[0], dtype=np.int64).reshape(-1, 2), more[0]])
    return pairs, np.concatenate([np.asarray(found[1], dtype=np.float32), more[1]])


def _with_nicknames(tradeouts: Tradeouts | None) -> dict[str, list[str]]:
    """The bundled nicknames with ``tradeouts``' words added to them."""
    table = _bundled_nicknames()
    if tradeouts is None:
        return table
    if not isinstance(tradeouts, Mapping):
        raise TypeError(f"tradeouts must be a mapping from a word to words, not {type(tradeouts).__name__}")
    for word, alternatives in tradeouts.items():
        if isinstance(alternatives, str):  # one word, not its letters
            raise TypeError(f"tradeouts[{word!r}] must be an iterable of words, not str")
        have = table.setdefault(word, [])
        have.extend(w for w in alternatives if w not in have)
    return table


def _threshold(min_score: float | None, default: float | None) -> float:
    if min_score is None:
        from . import DEFAULT_MIN_SCORE

        return float(DEFAULT_MIN_SCORE if default is None else default)
    if isinstance(min_score, bool) or not isinstance(min_score, (int, float, np.integer, np.floating)):
        raise TypeError(f"min_score must be a number or None, not {type(min_score).__name__}")
    if math.isnan(min_score):
        raise ValueError("min_score must be a number, not NaN")
    return float(min_score)


def _column_list(columns: Any, what: str, optional: bool = False) -> list[Hashable]:
    """``columns`` (one column or a list of them) as a list, each once."""
    if columns is None and optional:
        return []
    if isinstance(columns, str):
        return [columns]
    if not isinstance(columns, (list, tuple)):
        raise TypeError(f"{what} must be a column name or a list of them, not {type(columns).__name__}")
    if not columns and not optional:
        raise ValueError(f"{what} names no column")
    for k, column in enumerate(columns):
        if column in columns[:k]:
            raise ValueError(f"{what} names column {column!r} twice")
    return list(columns)


def _id_name(id: Hashable | None, taken: Sequence[str]) -> Hashable:
    if id is None:
        return "row"
    if id in taken:
        raise ValueError(f"id column {id!r} has the name of an output column; rename it")
    return id


def _names(frame: _Frame, columns: list[Hashable]) -> list[str | None]:
    """One name per row: the columns' strings joined with a space, a missing
    or empty part left out; None for a row with no part."""
    names = frame.strings(columns[0])
    for column in columns[1:]:
        # Two at a time: twice as fast as joining each row's parts at once.
        names = [(x + " " + y if y else x) if x else (y or None) for x, y in zip(names, frame.strings(column))]
    return names


def _checked_strings(values: list[Any], column: Hashable, where: str) -> list[str | None]:
    """``values`` when each is a str or None, else TypeError naming the first that is not."""
    # The types seen, once each: a loop of isinstance per value costs much more.
    if all(t is type(None) or issubclass(t, str) for t in set(map(type, values))):
        return values
    for k, value in enumerate(values):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"{where}column {column!r} must hold strings: row {k} holds "
                            f"{type(value).__name__} {value!r}")
    return values


def _checked_ids(frame: _Frame, column: Hashable | None) -> None:
    """ValueError naming ``column`` when a value is missing or repeated."""
    if column is None or frame.unique(column):
        return
    seen: dict[Any, int] = {}
    for k, value in enumerate(frame.values(column)):
        if _missing(value):
            raise ValueError(f"{frame.label}id column {column!r} has a missing value at row {k}")
        try:
            first = seen.setdefault(value, k)
        except TypeError:
            raise TypeError(f"{frame.label}id column {column!r} holds {type(value).__name__}, "
                            "which cannot be compared as an id") from None
        if first != k:
            raise ValueError(f"{frame.label}id column {column!r} holds {value!r} twice, at rows {first} and {k}")


def _missing(value: Any) -> bool:
    # Python's None, and a float NaN (Arrow keeps NaN as a value, not a null).
    return value is None or (isinstance(value, float) and value != value)


def _block_codes(columns: list[NDArray[np.int64]], sizes: list[int]) -> list[NDArray[np.int64]]:
    """One int64 code per row, equal exactly when every column's code is
    (-1 is a missing value), cut into the parts of ``sizes``; [] without
    columns.

    A row with a missing value gets a code of its own: a missing value
    agrees with nothing, so the row is compared with no other."""
    if not columns:
        return []
    total = sum(sizes)
    joint = np.zeros(total, dtype=np.int64)
    missing = np.zeros(total, dtype=bool)
    for codes in columns:
        missing |= codes < 0
        # Dense again after each column, so that the product stays small.
        joint = np.unique(joint * (int(codes.max(initial=0)) + 2) + codes + 1, return_inverse=True)[1]
        joint = joint.astype(np.int64, copy=False).reshape(total)
    alone = np.flatnonzero(missing)
    joint[alone] = total + np.arange(len(alone), dtype=np.int64)
    return list(np.split(joint, np.cumsum(sizes)[:-1]))


def _codes(values: list[Any], column: Hashable, where: str = "") -> NDArray[np.int64]:
    """Per value, the order of its first appearance; -1 for a missing value."""
    seen: dict[Any, int] = {}
    codes = []
    try:
        for value in values:
            codes.append(-1 if _missing(value) else seen.setdefault(value, len(seen)))
    except TypeError:
        raise TypeError(f"{where}block_on column {column!r} holds {type(value).__name__}, which cannot be compared "
                        "exactly") from None
    return np.array(codes, dtype=np.int64)


def _clusters(n: int, pairs: NDArray[Any], scores: NDArray[Any], threshold: float, floor: float,
              split: int | None) -> NDArray[np.int64]:
    """Per row, the smallest row of its cluster: average linkage of the
    scored pairs at ``threshold``, a pair not given counting as ``floor``, no
    cluster past ``split`` rows (warned of where that refused a join)."""
    if n == 0:
        return np.empty(0, dtype=np.int64)
    limit = n if split is None else split
    labels, held = _native.cluster_mean(n, np.ascontiguousarray(pairs, dtype=np.int32),
                                        np.ascontiguousarray(scores, dtype=np.float32), threshold, floor, limit)
    shown = held[:_MAX_WARNINGS]
    for k, (label, size) in enumerate(shown):
        more = len(held) - len(shown) if k == len(shown) - 1 else 0
        message = (f"cluster {label} of {size:,} rows would have joined more rows whose scores match it, but not "
                   f"past split_above={limit:,}")
        if more:
            message += f" (and {more:,} more such clusters)"
        warnings.warn(LargeGroupWarning(label, size, limit, more, message=message), stacklevel=3)
    return np.asarray(labels, dtype=np.int64)


def best_scores(labels: NDArray[np.int64], pairs: NDArray[Any], scores: NDArray[Any]) -> NDArray[np.float32]:
    """Per row, the best score of its pairs with another row of its
    cluster; NaN where it has none."""
    best = np.full(len(labels), np.nan, dtype=np.float32)
    pairs = np.asarray(pairs).reshape(-1, 2)
    if len(pairs):
        first, second = pairs[:, 0], pairs[:, 1]
        inside = labels[first] == labels[second]
        kept = np.asarray(scores, dtype=np.float32)[inside]
        # fmax skips the NaN each row starts with.
        np.fmax.at(best, first[inside], kept)
        np.fmax.at(best, second[inside], kept)
    return best


# --- tables of each kind ----------------------------------------------------


class _Frame:
    """The columns of one table as the functions above need them."""

    n: int
    label: str  # "left: " or "right: " in link, to say which table
    names: list[Hashable]

    def require(self, columns: list[Hashable]) -> None:
        for column in columns:
            count = self.names.count(column)
            if count == 0:
                listed = ", ".join(map(repr, self.names[:20])) + (", ..." if len(self.names) > 20 else "")
                raise KeyError(f"{self.label}no column {column!r}; the columns are {listed}")
            if count > 1:
                raise ValueError(f"{self.label}column {column!r} appears {count} times")

    def values(self, column: Hashable) -> list[Any]:
        """The column as Python objects, None for a missing value."""
        raise NotImplementedError

    def strings(self, column: Hashable) -> list[str | None]:
        return _checked_strings(self.values(column), column, self.label)

    def codes(self, column: Hashable) -> NDArray[np.int64]:
        """Per row, a code equal exactly where the values are; -1 where missing."""
        return _codes(self.values(column), column, self.label)

    def unique(self, column: Hashable) -> bool:
        """True when the column is known to hold no missing or repeated
        value; False sends it through the check that names the culprit."""
        return False

    def column(self, column: Hashable) -> Any:
        """The column as it is, to be written into the result."""
        raise NotImplementedError

    def take(self, column: Hashable, rows: NDArray[np.int64]) -> Any:
        raise NotImplementedError

    def build(self, columns: dict[Hashable, Any], keep_index: bool) -> Any:
        raise NotImplementedError


class _PandasFrame(_Frame):
    def __init__(self, table: Any, label: str, pd: Any) -> None:
        self.table, self.pd, self.label = table, pd, label
        self.n, self.names = len(table), list(table.columns)

    def values(self, column: Hashable) -> list[Any]:
        values: list[Any] = self.table[column].to_numpy(dtype=object, na_value=None).tolist()
        return values

    def strings(self, column: Hashable) -> list[str | None]:
        dtype = self.table[column].dtype
        if self.pd.api.types.is_numeric_dtype(dtype) or self.pd.api.types.is_datetime64_any_dtype(dtype):
            if self.table[column].notna().any():  # a column of nothing but NaN is a column of no names
                raise TypeError(f"{self.label}column {column!r} must hold strings, not {dtype}")
        return super().strings(column)

    def codes(self, column: Hashable) -> NDArray[np.int64]:
        try:
            return np.asarray(self.pd.factorize(self.table[column])[0], dtype=np.int64)
        except TypeError:  # unhashable values: the plain way says which
            return super().codes(column)

    def unique(self, column: Hashable) -> bool:
        series = self.table[column]
        try:
            return not series.hasnans and bool(series.is_unique)
        except TypeError:
            return False

    def column(self, column: Hashable) -> Any:
        return self.table[column].array

    def take(self, column: Hashable, rows: NDArray[np.int64]) -> Any:
        return self.table[column].array.take(rows)

    def build(self, columns: dict[Hashable, Any], keep_index: bool) -> Any:
        index = self.table.index if keep_index else None
        return self.pd.DataFrame(columns, index=index)


class _ArrowFrame(_Frame):
    def __init__(self, table: Any, label: str, pa: Any) -> None:
        self.table, self.pa, self.label = table, pa, label
        self.n, self.names = table.num_rows, list(table.column_names)

    def values(self, column: Hashable) -> list[Any]:
        values: list[Any] = self._column(column).to_pylist()
        return values

    def _column(self, column: Hashable) -> Any:
        return self.table.column(self.names.index(column))

    def strings(self, column: Hashable) -> list[str | None]:
        pa, kind = self.pa, self._column(column).type
        if pa.types.is_dictionary(kind):
            kind = kind.value_type
        if not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind)
                or pa.types.is_null(kind)):
            raise TypeError(f"{self.label}column {column!r} must hold strings, not {kind}")
        return self.values(column)

    def codes(self, column: Hashable) -> NDArray[np.int64]:
        values = self._column(column)
        if not self.pa.types.is_floating(values.type):  # where NaN is a value, not a null
            try:
                pc = self.pa.compute
                found = pc.index_in(values, value_set=pc.unique(values), skip_nulls=True)
                return np.asarray(found.fill_null(-1).to_numpy(), dtype=np.int64)
            except self.pa.ArrowException:
                pass
        return super().codes(column)

    def unique(self, column: Hashable) -> bool:
        values = self._column(column)
        if self.pa.types.is_floating(values.type) or values.null_count:
            return False
        try:
            return bool(self.pa.compute.count_distinct(values).as_py() == len(values))
        except self.pa.ArrowException:
            return False

    def column(self, column: Hashable) -> Any:
        return self._column(column)

    def take(self, column: Hashable, rows: NDArray[np.int64]) -> Any:
        return self._column(column).take(rows)

    def build(self, columns: dict[Hashable, Any], keep_index: bool) -> Any:
        return self.pa.table({str(name): values for name, values in columns.items()})


class _PolarsFrame(_Frame):
    def __init__(self, table: Any, label: str, pl: Any) -> None:
        self.table, self.pl, self.label = table, pl, label
        self.n, self.names = table.height, list(table.columns)

    def values(self, column: Hashable) -> list[Any]:
        values: list[Any] = self.table.get_column(column).to_list()
        return values

    def strings(self, column: Hashable) -> list[str | None]:
        kind = self.table.get_column(column).dtype
        if kind not in (self.pl.String, self.pl.Categorical, self.pl.Enum, self.pl.Null):
            raise TypeError(f"{self.label}column {column!r} must hold strings, not {kind}")
        return self.values(column)

    def column(self, column: Hashable) -> Any:
        return self.table.get_column(column)

    def take(self, column: Hashable, rows: NDArray[np.int64]) -> Any:
        return self.table.get_column(column).gather(rows)

    def build(self, columns: dict[Hashable, Any], keep_index: bool) -> Any:
        return self.pl.DataFrame({str(name): values for name, values in columns.items()})


class ColumnTable(_Frame):
    """Columns of Python values by name (as the command line reads them
    from CSV); the result is a dict of columns too."""

    def __init__(self, columns: Mapping[str, list[Any]], label: str = "") -> None:
        self.data, self.label = dict(columns), label
        lengths = {len(v) for v in self.data.values()}
        if len(lengths) > 1:
            raise ValueError(f"{label}columns of different lengths: {sorted(lengths)}")
        self.n, self.names = lengths.pop() if lengths else 0, list(self.data)

    def values(self, column: Hashable) -> list[Any]:
        return self.data[str(column)]

    def column(self, column: Hashable) -> Any:
        return self.data[str(column)]

    def take(self, column: Hashable, rows: NDArray[np.int64]) -> Any:
        values = self.data[str(column)]
        return [values[k] for k in rows.tolist()]

    def build(self, columns: dict[Hashable, Any], keep_index: bool) -> Any:
        return columns


def _frame(table: Any, label: str) -> _Frame:
    """``table`` read through the library that made it, found by its type
    (so that none is imported that the caller does not use)."""
    prefix = "" if label == "table" else f"{label}: "
    if isinstance(table, _Frame):
        return table
    # Only a library already imported can have made the table.
    kinds: list[tuple[str, Callable[[Any], bool], Callable[[Any, str, Any], _Frame]]] = [
        ("pandas", lambda m: isinstance(table, m.DataFrame), _PandasFrame),
        ("pyarrow", lambda m: isinstance(table, (m.Table, m.RecordBatch)), _ArrowFrame),
        ("polars", lambda m: isinstance(table, m.DataFrame), _PolarsFrame),
    ]
    for module, test, make in kinds:
        lib = sys.modules.get(module)
        if lib is not None and test(lib):
            return make(table, prefix, lib)
    raise TypeError(f"{label} must be a pandas DataFrame, a pyarrow Table or a polars DataFrame, "
                    f"not {type(table).__module__}.{type(table).__name__}")

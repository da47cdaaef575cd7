"""The Matcher: names and tradeouts indexed once, searched as often as needed."""

from __future__ import annotations

import dataclasses
import importlib
import math
import operator
import os
import sys
import threading
import warnings
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping, Set
from contextlib import contextmanager
from typing import Any, Literal, NamedTuple, Protocol, TypeAlias, overload

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._explain import Explanation

__all__ = ["DEFAULT_MIN_SCORE", "LargeGroupWarning", "Matcher", "find_pairs"]

_MAX_INT32 = 2**31 - 1

#: The score (in bits) at or above which ``talvik.dedupe`` and ``talvik.link``
#: keep a pair by default. Zero is where the words' evidence outweighs the odds
#: against two random names being one person; on the labelled benchmarks
#: (docs/quality.md) the best F1 lies between -3 and -1, since those odds
#: count every name as a different person while real lists repeat people.
DEFAULT_MIN_SCORE = -2.0


class ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...


class ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...


#: What a list of names may be: a sequence of str (None for a missing name),
#: or an Arrow string array offered through the Arrow PyCapsule interface.
Names: TypeAlias = Iterable[str | None] | ArrowStreamExportable | ArrowArrayExportable
#: A word, and the words that may stand for it.
Tradeouts: TypeAlias = Mapping[str, Iterable[str]]
#: Pairs of indices, shape (k, 2), dtype int32, each row (i, j).
Pairs: TypeAlias = NDArray[np.int32]
#: Which first indices to search: a range or slice of step 1.
Rows: TypeAlias = range | slice | None
#: Per name, the smallest index of its group, dtype int32.
Labels: TypeAlias = NDArray[np.int32]

#: Pairs with a float32 score each, as ``scores=True`` gives them.
ScoredPairs: TypeAlias = tuple[NDArray[np.int32], NDArray[np.float32]]

#: Names added since the index was built are folded into it (a rebuild)
#: once they pass this share of it, or this many, whichever is more.
_FOLD_SHARE = 1 / 8
_FOLD_MIN = 10_000

#: The most groups over ``max_size`` that get a warning of their own.
_MAX_GROUP_WARNINGS = 10


class LargeGroupWarning(UserWarning):
    """A group of ``Matcher.groups`` holds more names than ``max_size``.

    ``label`` is the group's label (its smallest index) and ``size`` its
    number of names; the group is reported whole, never cut. Past ten such
    groups the tenth warning counts the ones not reported (``more``).

    ``talvik.dedupe`` warns with it of a cluster that ``split_above`` kept
    from joining rows whose scores match it: ``size`` is the cluster's size,
    at most ``max_size``.
    """

    def __init__(self, label: int, size: int, max_size: int, more: int = 0, message: str | None = None) -> None:
        if message is None:
            message = f"group {label} holds {size:,} names, more than max_size={max_size:,}"
            if more:
                message += f" (and {more:,} more groups over max_size)"
        super().__init__(message)
        self.label, self.size, self.max_size, self.more = label, size, max_size, more


class Matcher:
    """Names and tradeouts, indexed once for any number of searches.

    A name is cut into words at ASCII spaces, and words compare byte for byte
    (no case folding). A word of one name is *found* in the other when the
    other holds the same word or, failing that, one of its tradeouts. A
    two-word name must be found whole; a three-word name too, except against
    a two-word name, where two of its words suffice; a longer name needs two
    words found. Both names of a pair must meet their own requirement. Names
    that ``str.split()`` cuts into fewer than two words, and missing names
    (None, or Arrow nulls), never match.

    Every pair method returns indices into ``names`` as given (and ``add``ed
    names after them). Apart from ``add``, the Matcher never changes, and it
    may be searched from many threads at once; each search releases the
    interpreter, and Ctrl-C interrupts it. A Matcher made with
    ``normalize``, ``typos`` or ``initials`` cannot yet be saved, pickled or
    added to, nor (with ``typos`` or ``initials``) looked up in: the saved
    form does not record the steps.

    Parameters
    ----------
    names
        A sequence of str: a list, a tuple, a NumPy array of str, or any
        iterable that is not a str, a mapping or a set. An object with the
        Arrow PyCapsule interface (``__arrow_c_stream__`` or
        ``__arrow_c_array__``) holding a string or large_string array, such as
        a pyarrow array or chunked array, is read in place, without a Python
        str per name; a pandas array backed by pyarrow too.
    tradeouts
        A mapping from a word to an iterable of words that may stand for it
        (one-way: list both directions for a symmetric tradeout). None or an
        empty mapping means no tradeouts.
    normalize
        True to match the names (and the tradeouts' words) as
        ``talvik.normalize`` gives them: case folded, accents and punctuation
        gone, titles and suffixes dropped. Results still index the names as
        given.
    typos
        0, 1 or 2: also let words of the names stand for each other when
        they are that many spelling edits apart, or when a name splits one
        by a space ("Hay den" for "Hayden"): ``talvik.variants`` with its
        default lengths and ``split_words=True``. ``match()`` adds the
        variants between its names and these.
    initials
        True to let an initial and a given name it begins stand for each
        other, both ways (``talvik.initials(..., both_ways=True)`` over the
        words the names write before their last word at least as often as
        last: given and middle names, not surnames).
    threads
        Worker threads for building and searching; None means
        ``os.process_cpu_count()``. The result never depends on it.
    blocks
        None, or one value per name (an array or sequence of int codes, str,
        or any values ``numpy.unique`` can sort): names of different values
        never pair, in any search (a date of birth or a postcode that must
        agree). Equal values block together, missing markers included: give
        rows that should pair with nothing values of their own. A Matcher
        with blocks cannot be saved, pickled or added to.

    Raises
    ------
    TypeError
        A name that is not a str (its index and type are named), tradeouts
        that are not a mapping of str to iterables of str.
    ValueError
        ``threads`` below 1.
    MemoryError
        When the index cannot be allocated.
    """

    __slots__ = (
        "_added", "_blocks", "_delta", "_given", "_index", "_lock", "_names", "_positions", "_splits", "_steps",
        "_threads", "_tradeouts",
    )
    _given: list[Any] | None
    _positions: tuple[Counter[str], Counter[str]] | None
    _splits: dict[str, list[str]] | None

    def __init__(
        self,
        names: Names,
        tradeouts: Tradeouts | None = None,
        *,
        normalize: bool = False,
        typos: int = 0,
        initials: bool = False,
        threads: int | None = None,
        blocks: Any = None,
    ) -> None:
        threads = _thread_count(threads)
        steps = _Steps(normalize, typos, initials)
        base = steps.tradeouts(_tradeout_dict(tradeouts))
        held: Any = _indexable(names)
        indexed = steps.names(held)
        read = _read_names(indexed, "names")  # first, so that a bad name is named as one
        codes = None if blocks is None else _Blocks(blocks, len(read))
        vocabulary = _vocabulary(_as_list(indexed)) if steps.extend else None
        table = steps.table(base, [indexed], threads, vocabulary)
        index = _native.build_index(read, table, threads)
        # match() adds the variants and initials of its own names to these.
        self._start(index, threads, steps, base, indexed if steps.extend else None, codes)
        self._given = [held]
        self._positions = vocabulary.positions if vocabulary is not None and initials else None
        self._splits = vocabulary.splits if vocabulary is not None and typos else None

    def _start(
        self,
        index: _native.Index,
        threads: int,
        steps: _Steps | None = None,
        tradeouts: dict[Any, Any] | None = None,
        names: Any = None,
        blocks: _Blocks | None = None,
    ) -> None:
        self._index, self._threads = index, threads
        self._steps = steps if steps is not None else _Steps(False, 0, False)
        self._tradeouts, self._names = tradeouts, names
        self._added: list[_native.Names] = []  # names added since the index was built
        # The names as given, column by column (explain() reads rows from
        # them); None for an index opened from its saved form.
        self._given = None
        # Where the indexed names write each word (with initials): which
        # are given names, for explain(); and their split words (with typos).
        self._positions = None
        self._splits = None
        self._delta: _native.Index | None = None  # the index over them alone, once a lookup needed it
        self._lock = threading.Lock()
        self._blocks = blocks

    def _plain(self, what: str, steps: str = "normalize, typos or initials") -> None:
        """Refuses what a saved index or an added name cannot yet carry: the steps."""
        if self._blocks is not None and "typos" in steps:
            raise ValueError(f"{what} keeps no blocks: build the Matcher without them")
        if self._steps.extend or (self._steps.normalize and "normalize" in steps):
            raise ValueError(f"{what} keeps no {steps} step yet: build the Matcher without it, or give it "
                             "names and tradeouts prepared with talvik.normalize, variants or initials")
    @classmethod
    def open(cls, path: str | os.PathLike[str] | bytes, *, threads: int | None = None, verify: bool = False) -> Matcher:
        """A Matcher over an index that ``save`` wrote, mapped from the file.

        Opening reads the file's header, its section directory and its small
        sections (the tradeouts), and checks their checksums: it takes the
        same short time however many names the file holds. The large sections
        are mapped read-only and shared, so every process that opens the file
        shares its pages. They are checked (checksums, and every bound the
        search relies on) once, before the first search, or at once with
        ``verify=True``. A damaged file is never searched.

        Raises
        ------
        OSError
            The file cannot be opened or mapped.
        ValueError
            The file is not a saved index, was saved by a newer version, is
            truncated, or is damaged; the message says which. A damaged large
            section is reported by the first search (or here, with ``verify``).
        """
        _flag(verify, "verify")
        self = cls.__new__(cls)
        threads = _thread_count(threads)
        self._start(_native.open_index(os.fsencode(path), threads), threads)
        if verify:
            self._index.verify()
        return self

    def add(self, names: Names) -> None:
        """Appends names, which take the next indices: ``len(self)`` on.

        Nothing is rebuilt at once. ``lookup`` finds the added names through
        a small index of their own, made when first needed; every other
        search, ``save`` and pickling first fold them into the main index
        (one rebuild over all names), as ``add`` itself does once they pass
        an eighth of the names (or 10,000, whichever is more). Either way
        every result is that of a Matcher built over all the names at once.
        ``names`` takes the same forms as in the constructor.
        """
        self._plain("add()", "typos or initials")
        held: Any = _indexable(names)
        part = _read_names(self._steps.names(held), "names")
        if len(self) + len(part) > _MAX_INT32:
            raise ValueError(f"names: at most {_MAX_INT32} names can be matched at once")
        with self._lock:
            # A new list, so that a lookup holding the old one reads it whole.
            self._added = [*self._added, part]
            self._delta = None
            if self._given is not None:
                self._given = [*self._given, held]
            if sum(map(len, self._added)) > max(_FOLD_MIN, len(self._index) * _FOLD_SHARE):
                self._fold()

    def _fold(self) -> None:
        """Builds the main index over every name (under the lock)."""
        if self._added:
            self._index = self._index.extended(True, self._added, self._threads)
            self._added, self._delta = [], None

    def _whole(self) -> _native.Index:
        """The index over every name, added ones folded in."""
        if self._added:
            with self._lock:
                self._fold()
        return self._index

    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Writes the index to ``path``, for ``Matcher.open``: the names, the
        tradeouts, and every list the search reads, in one checksummed file.

        The file is written beside ``path`` under another name, flushed to the
        disk and then renamed over ``path``, so that ``path`` holds either the
        old file or the whole new one, never a part. The format is described
        in docs/saved-index.md.
        """
        self._plain("save()")
        self._whole().save(os.fsencode(path))

    def __reduce__(self) -> tuple[Callable[[bytes, int], Matcher], tuple[bytes, int]]:
        # Through the saved form: the receiving process reads it in place,
        # without building anything.
        self._plain("Pickling")
        return _from_saved, (self._whole().to_bytes(), self._threads)

    def __len__(self) -> int:
        """The number of names, matchable or not."""
        with self._lock:
            return len(self._index) + sum(map(len, self._added))

    def __repr__(self) -> str:
        return f"<talvik.Matcher of {len(self):,} names, threads={self._threads}>"

    @property
    def threads(self) -> int:
        """The worker threads each search asks for."""
        return self._threads

    @overload
    def pairs(
        self, rows: Rows = None, *, scores: Literal[False] = False, min_score: float | None = None,
        progress: bool = False,
    ) -> Pairs: ...
    @overload
    def pairs(
        self, rows: Rows = None, *, scores: Literal[True], min_score: float | None = None, progress: bool = False
    ) -> ScoredPairs: ...
    def pairs(
        self, rows: Rows = None, *, scores: bool = False, min_score: float | None = None, progress: bool = False
    ) -> Pairs | ScoredPairs:
        """Every matching pair (i, j), i < j, as a (k, 2) int32 array.

        Rows are ordered by i, then j. ``rows`` (a range or slice of step 1)
        keeps only the pairs whose first index i lies in it, so that a large
        job can be cut into pieces, run apart, and concatenated in order into
        the whole result. ``progress=True`` shows a progress bar on stderr.

        ``scores=True`` returns ``(pairs, scores)``, a float32 score per pair:
        how strongly the two names point at one person, in bits (see
        docs/scores.md; above 0 the evidence outweighs the odds against two
        random names being one person). ``min_score`` keeps only the pairs
        scoring at least that, inside the search, before memory is spent on
        the others.

        Raises MemoryError, before running out, when the pairs cannot fit in
        the memory available; ``count`` says how many there are and
        ``iter_pairs`` takes them a chunk at a time.
        """
        index = self._whole()
        first, last = _row_range(rows, len(index))
        keep = _Keep(scores, min_score, self._blocks)
        with _progress_bar(progress, last - first, "pairs") as report:
            found: Pairs | ScoredPairs = keep.result(index.pairs(first, last, report, *keep.args()))
        return found

    def count(self, rows: Rows = None, *, min_score: float | None = None, progress: bool = False) -> int:
        """How many pairs ``pairs(rows, min_score=min_score)`` would give,
        without storing them."""
        index = self._whole()
        first, last = _row_range(rows, len(index))
        keep = _Keep(False, min_score, self._blocks)
        with _progress_bar(progress, last - first, "count") as report:
            return index.count(first, last, report, *keep.args())

    @overload
    def iter_pairs(
        self, chunk_size: int = 1_000_000, *, rows: Rows = None, scores: Literal[False] = False,
        min_score: float | None = None, progress: bool = False,
    ) -> Iterator[Pairs]: ...
    @overload
    def iter_pairs(
        self, chunk_size: int = 1_000_000, *, rows: Rows = None, scores: Literal[True],
        min_score: float | None = None, progress: bool = False,
    ) -> Iterator[ScoredPairs]: ...
    def iter_pairs(
        self,
        chunk_size: int = 1_000_000,
        *,
        rows: Rows = None,
        scores: bool = False,
        min_score: float | None = None,
        progress: bool = False,
    ) -> Iterator[Pairs] | Iterator[ScoredPairs]:
        """The pairs of ``pairs(rows)``, in the same order, as arrays of at
        most ``chunk_size`` rows each.

        The engine stops at the row where a chunk is full, so memory stays
        near two chunks plus the index whatever the total and however dense
        the rows, and results far larger than memory can be streamed to disk.
        A row is never cut: a chunk holds at most ``chunk_size`` pairs, and
        may hold fewer. ``scores`` and ``min_score`` are those of ``pairs``:
        with ``scores=True`` each chunk is a ``(pairs, scores)`` tuple.
        """
        size = operator.index(chunk_size)
        if size < 1:
            raise ValueError(f"chunk_size must be at least 1, got {size}")
        index = self._whole()
        first, last = _row_range(rows, len(index))
        _flag(progress, "progress")
        return _chunks(index, first, last, size, progress, _Keep(scores, min_score, self._blocks))

    def groups(
        self,
        *,
        rows: Rows = None,
        max_size: int | None = None,
        min_score: float | None = None,
        split_above: int | None = None,
        progress: bool = False,
    ) -> Labels:
        """The connected components of the match graph: per name, the smallest
        index of the names it is linked to through any chain of matches (its
        own index when it matches nothing), as a 1-D int32 array.

        The pairs are joined as they are found and never stored, so memory
        stays at one int per name beyond the index; the labels never depend
        on ``threads``. With ``max_size``, each group of more names than that
        is reported with a ``LargeGroupWarning`` (the largest ten, the last
        of them counting the rest); the labels are the same either way.

        ``rows`` keeps only the pairs whose first index lies in it, as in
        ``pairs``: the labels are then the components of that part of the
        graph, one per name of the whole list. The parts of a job cut by rows
        join into ``groups()`` by the union of their edges (i, labels[i]);
        ``talvik.dask.groups`` does so.

        ``min_score`` joins only the pairs scoring at least that (see
        ``pairs``). ``split_above=N`` stops chaining: every group of more
        than N names is split by raising the score threshold inside it, part
        by part, only as far as each part needs to fit (single linkage, cut
        where a cluster would pass N names; see docs/scores.md). A part whose
        names are joined by equal scores alone (one name repeated) cannot be
        split by any threshold: it stays whole, with a ``LargeGroupWarning``.
        """
        limit = None if max_size is None else _size_limit(max_size)
        split = None if split_above is None else _size_limit(split_above, "split_above")
        index = self._whole()
        first, last = _row_range(rows, len(index))
        keep = _Keep(False, min_score, self._blocks)
        with _progress_bar(progress, last - first, "groups") as report:
            labels = np.asarray(index.groups(first, last, report, *keep.args()))
        if split is not None:
            labels = _split_groups(index, labels, first, last, keep, split)
        if limit is not None:
            _warn_large(labels, limit)
        return labels

    def group_sizes(self, labels: Labels | None = None, *, progress: bool = False) -> NDArray[np.int64]:
        """Per name, the number of names in its group, as a 1-D int64 array
        aligned with the names, like ``groups()``.

        Aligned so that it sits beside the labels as a column (``sizes > 1``
        keeps the names that matched something). Since a label is the index
        of a member, ``sizes[label]`` is also that group's size. ``labels``,
        when given, must be what ``groups()`` returned, and saves searching
        again.
        """
        if labels is None:
            labels = self.groups(progress=progress)
        else:
            labels = _checked_labels(labels, len(self))
        return np.bincount(labels, minlength=len(self))[labels]

    def tradeout_usage(self, *, progress: bool = False) -> Any:
        """Which tradeout entries the matches rest on, per key: ``pairs``, the
        matching pairs that found a word through the key, and ``needed``, how
        many of them would not match without it.

        A pair *uses* key X when a word X of one name is not in the other
        name and is found there through one of X's own tradeouts: exactly
        the positions ``talvik.explain`` reports as ``tradeout X -> Y``. A
        word found as the same word uses nothing (so a one-character key,
        which counts as its own tradeout, is used only through its listed
        words), and a key counts once per pair however many positions it
        served. A pair *needs* X when it no longer matches once X's entry is
        removed from the tradeouts; X may still appear in other keys' lists.
        ``needed <= pairs`` always.

        Returns a pandas DataFrame with the columns ``key`` (str), ``pairs``
        and ``needed`` (int64) when pandas can be imported, else a dict
        ``{key: (pairs, needed)}``; either way only keys with ``pairs > 0``,
        most pairs first, then by key. The pairs are found and tallied a
        piece at a time, never held all at once; ``progress=True`` shows a
        progress bar over the rows.
        """
        index = self._whole()
        with _progress_bar(progress, len(index), "tradeout usage") as report:
            rows = index.tradeout_usage(report)
        return _usage_table(rows)

    @overload
    def match(
        self, other_names: Names, *, blocks: Any = None, scores: Literal[False] = False,
        min_score: float | None = None, progress: bool = False,
    ) -> Pairs: ...
    @overload
    def match(
        self, other_names: Names, *, blocks: Any = None, scores: Literal[True], min_score: float | None = None,
        progress: bool = False,
    ) -> ScoredPairs: ...
    def match(
        self,
        other_names: Names,
        *,
        blocks: Any = None,
        scores: bool = False,
        min_score: float | None = None,
        progress: bool = False,
    ) -> Pairs | ScoredPairs:
        """Links another list to these names: every (i, j) where
        ``other_names[i]`` matches ``names[j]``, as a (k, 2) int32 array
        ordered by i, then j. No pairs are formed within either list.

        ``other_names`` takes the same forms as ``names``; each call indexes
        both lists together. ``scores`` and ``min_score`` are those of
        ``pairs``, the scores weighing words by both lists. ``blocks`` gives
        the other names' values, compared with the Matcher's own; it is
        needed exactly when the Matcher was built with blocks.
        """
        return self._match_given(self._steps.names(other_names), blocks, scores, min_score, progress)

    def _match_given(self, given: Any, blocks: Any, scores: bool, min_score: float | None,
                     progress: bool) -> Pairs | ScoredPairs:
        """``match`` on names the steps have prepared already (normalised,
        with ``normalize``): a caller that needs them too prepares them once."""
        other = _read_names(given, "other_names")
        table = None
        if self._names is not None:
            table = self._steps.table(self._tradeouts, [given, self._names], self._threads)
        index = self._whole()
        codes = _link_blocks(self._blocks, blocks, len(other))
        keep = _Keep(scores, min_score, codes)
        with _progress_bar(progress, len(other), "match") as report:
            found: Pairs | ScoredPairs = keep.result(index.link(other, report, table, *keep.args()))
        return found

    def explain(self, name1: str | int, name2: str | int) -> Explanation:
        """Why two names match or not under this Matcher: its tradeouts and
        its steps, word by word, as ``talvik.explain`` reads a pair.

        Each name is a str, or an int: the row of an indexed name (the
        Matcher holds the names it was given, not a copy, so a row reads the
        list as it is now). The account is of the names as the rule sees
        them (normalised, with ``normalize``), and each link's ``step`` says
        which step made it: ``"normalised: Renée -> renee"``,
        ``"spelling variant: Jon ~ John, 1 edit"``, ``"initial: J ~ John"``
        or ``"tradeout: Bob ~ Robert"``. The verdict is that of ``pairs``
        for two rows, and of ``match`` for names given as str. For two rows
        the account also gives the pair's ``score`` and each word's part of
        it, as ``pairs(scores=True)`` scores them.

        Raises TypeError for a name that is neither str nor int, IndexError
        for a row out of range, and ValueError for a row whose name is
        missing or for a Matcher opened from a saved index or unpickled
        (which holds no names as given and no table as built).
        """
        from ._explain import explain_steps

        if self._given is None:
            raise ValueError("a Matcher opened from a saved index (or unpickled) cannot explain yet: it holds no "
                             "names as given; build it from the names")
        given = (self._name(name1, "name1"), self._name(name2, "name2"))
        steps = self._steps
        positions = None
        if self._positions is not None:
            # A name given as str counts among the names, as in match().
            extra = [steps.names([g])[0] for g, x in zip(given, (name1, name2)) if isinstance(x, str)]
            before, last = _word_positions(extra)
            positions = (self._positions[0] + before, self._positions[1] + last)
        account = explain_steps(given, self._tradeouts, steps.normalize, steps.typos, positions, self._splits)
        if isinstance(name1, str) or isinstance(name2, str):
            return account
        return _with_scores(account, self._whole().score_account(int(name1), int(name2)))

    def _name(self, name: Any, label: str) -> str:
        """``name`` as a str: itself, or the given name at that row."""
        if isinstance(name, str):
            return str.__str__(name)
        if isinstance(name, bool) or not isinstance(name, (int, np.integer)):
            raise TypeError(f"{label} must be a str or a row (int), not {type(name).__name__}")
        row = int(name)
        assert self._given is not None
        with self._lock:
            columns = self._given
        n = sum(map(len, columns))
        if not 0 <= row < n:
            raise IndexError(f"{label}: row {row} is out of range for {n:,} names")
        value = None
        for column in columns:
            if row < len(column):
                value = _name_at(column, row)
                break
            row -= len(column)
        if value is None:
            raise ValueError(f"{label}: row {int(name)} is a missing name, which never matches")
        if not isinstance(value, str):
            raise TypeError(f"{label}: row {int(name)} holds a {type(value).__name__}, not a str")
        return str.__str__(value)

    @overload
    def lookup(
        self, names: Names, *, scores: Literal[False] = False, min_score: float | None = None, progress: bool = False
    ) -> Pairs: ...
    @overload
    def lookup(
        self, names: Names, *, scores: Literal[True], min_score: float | None = None, progress: bool = False
    ) -> ScoredPairs: ...
    def lookup(
        self, names: Names, *, scores: bool = False, min_score: float | None = None, progress: bool = False
    ) -> Pairs | ScoredPairs:
        """The pairs of ``match(names)``, found through this index alone.

        Every (i, j) where ``names[i]`` matches the indexed name j, as a
        (k, 2) int32 array ordered by i, then j. Nothing is re-indexed: the
        work follows the query names and the indexed names their words can
        reach, not the size of the index, so one name takes about a
        millisecond or less even against millions. Query words that no
        indexed name holds are still found through the tradeouts, in both
        directions, exactly as ``match`` finds them. Fewer than 256 names
        are looked up on the calling thread; more on ``threads`` workers.

        ``scores=True`` returns ``(pairs, scores)`` and ``min_score`` keeps
        the pairs scoring at least that, as in ``pairs``; here a word weighs
        by the indexed names alone (a query word none of them holds weighs
        as a word held once), so that a name's score does not depend on the
        other queries beside it. Names added since the last fold are folded
        in first, so that every name counts in the weights.
        """
        self._plain("lookup()", "typos or initials")
        keep = _Keep(scores, min_score, None)
        queries = _read_names(self._steps.names(names), "names")
        scored = scores or keep.floor is not None
        with self._lock:
            if scored:
                self._fold()
            index, added = self._index, self._added
            if added and self._delta is None:
                self._delta = index.extended(False, added, self._threads)
            delta = self._delta
        with _progress_bar(progress, len(queries), "lookup") as report:
            found: Pairs | ScoredPairs = keep.result(index.lookup(queries, report, scores, keep.floor))
        if delta is None:
            return found
        more = np.asarray(delta.lookup(queries, None, False, None)).copy()
        more[:, 1] += len(index)  # the added names follow the indexed ones
        both = np.concatenate([found, more])
        return both[np.lexsort((both[:, 1], both[:, 0]))]


def _indexable(names: Any) -> Any:
    """The names in a form whose rows can be read again: the column itself
    when it can be indexed, else (an iterator, say) a list of it."""
    kind = type(names)
    if kind is list or kind is tuple or isinstance(names, np.ndarray) or hasattr(names, "__getitem__"):
        return names
    if isinstance(names, (str, bytes, bytearray, Mapping, Set)) or not isinstance(names, Iterable):
        return names  # refused by _read_names, with its own message
    return list(names)


def _name_at(column: Any, row: int) -> Any:
    """Item ``row`` of a column of names, as str or None."""
    pandas = sys.modules.get("pandas")
    value = column.iloc[row] if pandas is not None and isinstance(column, pandas.Series) else column[row]
    if hasattr(value, "as_py"):  # a pyarrow scalar
        value = value.as_py()
    if isinstance(value, np.str_):
        value = str(value)
    if value is not None and not isinstance(value, str) and pandas is not None:
        # pandas' missing values (NA, NaN, NaT), as the Matcher read them
        if pandas.api.types.is_scalar(value) and bool(pandas.isna(value)):
            value = None
    return value


def _with_scores(account: Explanation, scored: tuple[float, list[Any], list[Any]]) -> Explanation:
    """The account with each word's part of the score, as the search gives it."""
    total, parts1, parts2 = scored
    words = []
    for mine, parts in ((account.words1, parts1), (account.words2, parts2)):
        if len(mine) != len(parts):  # the rule's words and the index's always agree; never guess
            return account
        words.append(tuple(dataclasses.replace(w, score=part[2]) for w, part in zip(mine, parts)))
    return dataclasses.replace(account, words1=words[0], words2=words[1], score=total)


def _from_saved(data: bytes, threads: int) -> Matcher:
    """The Matcher whose saved form is ``data`` (what pickling sends)."""
    matcher = Matcher.__new__(Matcher)
    threads = _thread_count(threads)
    matcher._start(_native.index_from_bytes(data, threads), threads)
    return matcher


def find_pairs(
    names: Names,
    tradeouts: Tradeouts | None = None,
    *,
    threads: int | None = None,
    rows: Rows = None,
    progress: bool = False,
) -> Pairs:
    """``Matcher(names, tradeouts, threads=threads).pairs(rows, progress=progress)``.

    Every matching pair (i, j), i < j, of ``names`` as a (k, 2) int32 array in
    row order; see ``Matcher`` for the rule and the arguments.
    """
    pairs: Pairs = Matcher(names, tradeouts, threads=threads).pairs(rows, progress=progress)
    return pairs


def _usage_table(rows: list[tuple[str, int, int]]) -> Any:
    """The rows of tradeout_usage as a DataFrame when pandas imports, else a dict."""
    try:
        pd = importlib.import_module("pandas")  # optional, and untyped
    except ImportError:
        return {key: (pairs, needed) for key, pairs, needed in rows}
    return pd.DataFrame(
        {
            "key": pd.Series([r[0] for r in rows], dtype=object),
            "pairs": np.array([r[1] for r in rows], dtype=np.int64),
            "needed": np.array([r[2] for r in rows], dtype=np.int64),
        }
    )


def _positive_int(value: Any, what: str) -> int:
    """``value`` as an int of at least 1, else TypeError or ValueError naming ``what``."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an int or None, not bool")
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int or None, not {type(value).__name__}") from None
    if n < 1:
        raise ValueError(f"{what} must be at least 1, got {n}")
    return n


def _size_limit(max_size: Any, what: str = "max_size") -> int:
    return _positive_int(max_size, what)


class _Blocks:
    """One int64 code per name from the values the caller gave, and how to
    give another list's values the same codes."""

    __slots__ = ("codes", "values")

    def __init__(self, blocks: Any, n: int, what: str = "blocks") -> None:
        values = _block_values(blocks, what)
        if len(values) != n:
            raise ValueError(f"{what} must hold one value per name: {len(values)} for {n} names")
        if values.dtype.kind in "iub":
            self.values = None
            codes = values.astype(np.int64)
        else:
            self.values, codes = _unique_codes(values, what)
        self.codes = np.ascontiguousarray(codes, dtype=np.int64)
        self.codes.setflags(write=False)  # the search reads it without the interpreter

    def codes_for(self, blocks: Any, n: int) -> NDArray[np.int64]:
        """The other list's codes: a value the Matcher's names lack pairs with none."""
        values = _block_values(blocks, "blocks")
        if len(values) != n:
            raise ValueError(f"blocks must hold one value per other name: {len(values)} for {n} names")
        if self.values is None:
            if values.dtype.kind not in "iub":
                raise TypeError("blocks: the Matcher's blocks are integer codes, so the other names' must be too")
            codes: NDArray[np.int64] = values.astype(np.int64)
            return codes
        if (self.values.dtype.kind in "US") != (values.dtype.kind in "US"):
            raise TypeError(f"blocks: the Matcher's blocks are {self.values.dtype}, the other names' "
                            f"{values.dtype}; give values of one kind to both")
        try:
            at = np.searchsorted(self.values, values)
        except TypeError as e:
            raise TypeError(f"blocks: values that do not compare with the Matcher's ({e})") from None
        at = np.minimum(at, len(self.values) - 1) if len(self.values) else np.zeros(len(values), np.int64)
        found = len(self.values) > 0
        known = (self.values[at] == values) if found else np.zeros(len(values), bool)
        return np.where(known, at, -1).astype(np.int64)


def _block_values(blocks: Any, what: str) -> Any:
    if isinstance(blocks, (str, bytes)) or not hasattr(blocks, "__len__"):
        raise TypeError(f"{what} must be a sequence or array of one value per name, not {type(blocks).__name__}")
    values = np.asarray(blocks)
    if values.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional")
    return values


def _unique_codes(values: Any, what: str) -> tuple[Any, Any]:
    try:
        return np.unique(values, return_inverse=True)
    except TypeError as e:
        raise TypeError(f"{what}: values that cannot be sorted ({e}); give int codes instead") from None


def _link_blocks(own: _Blocks | None, blocks: Any, n_other: int) -> NDArray[np.int64] | None:
    """The codes of a link: the other names', then the Matcher's."""
    if own is None and blocks is None:
        return None
    if own is None or blocks is None:
        raise ValueError("blocks: give the other names' blocks exactly when the Matcher has its own")
    return np.concatenate([own.codes_for(blocks, n_other), own.codes])


class _Keep:
    """What a search keeps: scores, a score floor, blocks; the native
    methods' last three arguments, and how to read their result."""

    __slots__ = ("blocks", "floor", "scores")

    def __init__(self, scores: Any, min_score: Any, blocks: _Blocks | NDArray[np.int64] | None) -> None:
        self.scores = _flag(scores, "scores")
        self.floor = _score_floor(min_score)
        self.blocks = blocks.codes if isinstance(blocks, _Blocks) else blocks

    def args(self) -> tuple[bool, float | None, Any]:
        return self.scores, self.floor, self.blocks

    def result(self, found: Any) -> Any:
        if isinstance(found, tuple):
            pairs, scores = found
            return np.asarray(pairs), np.asarray(scores)
        return np.asarray(found)


def _score_floor(min_score: Any) -> float | None:
    if min_score is None:
        return None
    if isinstance(min_score, bool) or not isinstance(min_score, (int, float, np.integer, np.floating)):
        raise TypeError(f"min_score must be a number or None, not {type(min_score).__name__}")
    if math.isnan(min_score):
        raise ValueError("min_score must be a number, not NaN")
    return float(min_score)


def _split_groups(
    index: _native.Index, labels: Labels, first: int, last: int, keep: _Keep, split: int
) -> Labels:
    """The labels with every group of more than ``split`` names cut by score."""
    big = np.bincount(labels, minlength=len(labels))[labels] > split
    if not big.any():
        return labels
    scored = _Keep(True, keep.floor, keep.blocks)
    pairs, scores = [], []
    # Only the pairs inside the large groups are kept: both names of a pair
    # share a group, so its first name tells.
    for part, part_scores in _chunks(index, first, last, 1 << 22, False, scored):
        inside = big[part[:, 0]]
        pairs.append(part[inside])
        scores.append(part_scores[inside])
    both = np.concatenate(pairs) if pairs else np.empty((0, 2), np.int32)
    weights = np.concatenate(scores) if scores else np.empty(0, np.float32)
    cut, stuck = _native.cluster(len(labels), np.ascontiguousarray(both), np.ascontiguousarray(weights), split)
    for label, size in stuck:
        reason = (f"group {label} of {size:,} names is joined by equal scores alone, such as one name "
                  f"repeated, and no threshold splits it below split_above={split:,}")
        warnings.warn(LargeGroupWarning(label, size, split, message=reason), stacklevel=3)
    return np.where(big, np.asarray(cut), labels).astype(np.int32)


def _warn_large(labels: Labels, max_size: int) -> None:
    sizes = np.bincount(labels, minlength=len(labels))
    large = np.flatnonzero(sizes > max_size)
    # Largest first, then by label, so the warnings read the same every run.
    large = large[np.lexsort((large, -sizes[large]))]
    shown = large[:_MAX_GROUP_WARNINGS]
    for k, label in enumerate(shown):
        more = len(large) - len(shown) if k == len(shown) - 1 else 0
        warnings.warn(LargeGroupWarning(int(label), int(sizes[label]), max_size, more), stacklevel=3)


def _checked_labels(labels: Any, n: int) -> Labels:
    """``labels`` as int array after checking it is a result of groups()."""
    a = np.asarray(labels)
    if a.shape != (n,) or not np.issubdtype(a.dtype, np.integer):
        raise ValueError(f"labels must be a 1-D integer array of {n:,} labels, as groups() gives")
    index = np.arange(n)
    if n and (np.any(a < 0) or np.any(a > index) or np.any(a[a] != a)):
        raise ValueError("labels must be what groups() gave: each a smallest index of its group")
    return a


def _chunks(
    index: _native.Index, first: int, last: int, chunk_size: int, progress: bool, keep: _Keep
) -> Iterator[Any]:
    with _progress_bar(progress, last - first, "pairs") as report:
        row, span = first, 0
        while row < last:
            # The engine stops at the row where a chunk is full, so memory is
            # bounded by pairs, however dense the rows; the rows the last
            # chunk took bound the next one's first try.
            stop = last if span == 0 else min(last, row + 4 * span)
            found, end = index.pairs_upto(row, stop, chunk_size, _offset(report, row - first), *keep.args())
            if isinstance(found, tuple):
                block, scores = found
                part, part_scores = np.asarray(block), np.asarray(scores)
                for k in range(0, len(part), chunk_size):
                    yield part[k : k + chunk_size], part_scores[k : k + chunk_size]
            else:
                part = np.asarray(found)
                for k in range(0, len(part), chunk_size):
                    yield part[k : k + chunk_size]
            row, span = end, end - row


def _offset(report: Callable[[int], object] | None, before: int) -> Callable[[int], object] | None:
    if report is None:
        return None
    return lambda done: report(before + done)


@contextmanager
def _progress_bar(enabled: bool, total: int, what: str) -> Iterator[Callable[[int], object] | None]:
    """A callback that moves a tqdm bar on stderr to the rows done, or None."""
    if not _flag(enabled, "progress"):
        yield None
        return
    from tqdm import tqdm  # only when asked for

    bar = tqdm(total=total, desc=f"talvik {what}", unit=" rows", unit_scale=True, file=sys.stderr)
    try:
        yield lambda done: bar.update(done - bar.n)
        bar.update(total - bar.n)
    finally:
        bar.close()


def _read_names(names: Any, label: str) -> _native.Names:
    kind = type(names)
    if kind is list or kind is tuple:
        return _native.names_from_sequence(names, label)
    pandas = sys.modules.get("pandas")  # a pandas object means pandas is imported
    if pandas is not None and isinstance(names, (pandas.Series, pandas.Index, pandas.DataFrame,
                                                 pandas.api.extensions.ExtensionArray)):
        return _read_pandas_names(names, label, pandas)
    if hasattr(kind, "__arrow_c_stream__"):
        return _native.names_from_arrow_stream(names.__arrow_c_stream__(), label)
    if hasattr(kind, "__arrow_c_array__"):
        schema, array = names.__arrow_c_array__()
        return _native.names_from_arrow_array(schema, array, label)
    if hasattr(kind, "__arrow_array__"):
        # A pandas array backed by pyarrow: its own conversion gives a
        # pyarrow array, read in place like any other.
        return _read_names(names.__arrow_array__(), label)
    if isinstance(names, np.ndarray):
        if names.ndim != 1:
            raise ValueError(f"{label} must be one-dimensional, not of shape {names.shape}")
        return _native.names_from_sequence(names.tolist(), label)
    if isinstance(names, (str, bytes, bytearray, Mapping, Set)) or not isinstance(names, Iterable):
        raise TypeError(f"{label} must be a sequence of str, not {kind.__name__}")
    return _native.names_from_sequence(list(names), label)


def _read_pandas_names(names: Any, label: str, pandas: Any) -> _native.Names:
    # Read by what holds the values, not through the Series' own Arrow export,
    # which needs pyarrow and turns items that are not str into Arrow errors.
    if isinstance(names, pandas.DataFrame):
        raise TypeError(f"{label} must be a sequence of str, not DataFrame (pass one of its columns)")
    values = names if isinstance(names, pandas.api.extensions.ExtensionArray) else names.array
    if isinstance(values, pandas.Categorical):
        # Each category is read once, however many names use it: in place
        # when pyarrow holds them as strings, else from a list.
        if isinstance(values.categories.array, pandas.arrays.ArrowExtensionArray):
            pa = importlib.import_module("pyarrow")  # imported already, by pandas
            dictionary = pa.array(values)
            if dictionary.type.value_type in (pa.string(), pa.large_string(), pa.string_view()):
                return _read_names(dictionary, label)
        codes = np.ascontiguousarray(values.codes, dtype=np.int64)
        return _native.names_from_codes(codes, values.categories.tolist(), label)
    if isinstance(values, pandas.arrays.ArrowExtensionArray):
        # Held by pyarrow already: read in place.
        return _read_names(values.__arrow_array__(), label)
    # Objects, or str held by Python: a missing value (None, NaN, NA) is a null.
    return _native.names_from_sequence(values.to_numpy(dtype=object, na_value=None).tolist(), label)


class _Steps:
    """The Matcher's optional steps before the rule: normalisation, spelling
    variants and initials, each reaching the engine as ordinary names and
    tradeouts, so that the rule stays the one rule."""

    __slots__ = ("extend", "initials", "normalize", "typos")

    def __init__(self, normalize: Any, typos: Any, initials: Any) -> None:
        _flag(normalize, "normalize")
        _flag(initials, "initials")
        if isinstance(typos, bool) or not isinstance(typos, int) or typos not in (0, 1, 2):
            raise ValueError(f"typos must be 0, 1 or 2, not {typos!r}")
        self.normalize, self.typos, self.initials = normalize, typos, initials
        self.extend = typos > 0 or initials

    def names(self, names: Any) -> Any:
        if not self.normalize:
            return names
        from ._normalize import normalize

        return normalize(names)

    def tradeouts(self, table: dict[Any, Any] | None) -> dict[Any, Any] | None:
        if not self.normalize or not table:
            return table
        from ._normalize import normalize

        return normalize(table)

    def table(
        self,
        table: dict[Any, Any] | None,
        lists: list[Any],
        threads: int,
        vocabulary: _Vocabulary | None = None,
    ) -> dict[Any, Any] | None:
        """``table`` extended with the variants and initials of the words of
        ``lists``; ``vocabulary`` is theirs, when read already."""
        if not self.extend:
            return table
        from ._nicknames import _add_initials, _copy
        from ._variants import _add_variants, _default_passes, _merge

        if vocabulary is None:
            items = _as_list(lists[0]) if len(lists) == 1 else [item for names in lists for item in _as_list(names)]
            vocabulary = _vocabulary(items)
        # One copy, which checks the table; each step then adds to it.
        table = _copy(table)
        if self.initials:
            given = _given_words(vocabulary.positions)
            _add_initials(table, _initial_words(given, given), both_ways=True)
        if self.typos:
            # The distinct words give the same variants as the names they
            # came from, without cutting the names again.
            _add_variants(table, vocabulary.words, _default_passes(self.typos), True, threads)
            _merge(table, vocabulary.splits)
        return table


class _Vocabulary(NamedTuple):
    """What one reading of the names gives the steps: where the names write
    each word (``_word_positions``), their distinct words in first-seen
    order, and their words split by a space (``variants(split_words=True)``)."""

    positions: tuple[Counter[str], Counter[str]]
    words: list[str]
    splits: dict[str, list[str]]


def _vocabulary(items: list[Any] | tuple[Any, ...]) -> _Vocabulary:
    # Items that are not str are left to the readers, which name them.
    before, last, words, splits = _native.word_positions(items)
    return _Vocabulary((Counter(before), Counter(last)), words, splits)


def _word_positions(items: list[Any] | tuple[Any, ...]) -> tuple[Counter[str], Counter[str]]:
    """How often each word is written before the last word of a name, and
    how often last, over the names of two words or more."""
    return _vocabulary(items).positions


def _given_words(positions: tuple[Counter[str], Counter[str]]) -> set[str]:
    """The words the names write as given names: before the last word of a
    name at least as often as last. Initials stand for these alone: were
    surnames in too, "C Armstrong" would match "Cynthia A Hill" (the
    three-word name needs two of its words, and "A" would stand for
    "Armstrong"), and on generated people half the pairs found were such."""
    before, last = positions
    return {w for w, k in before.items() if w and k >= last.get(w, 0)}


def _initial_words(words: Iterable[str], given: set[str]) -> list[str]:
    """Those of ``words`` that an initial stands for: given names (of
    ``given``, from ``_given_words``) of one word and two characters or more."""
    return [w for w in words if len(w) > 1 and w.split() == [w] and w in given]


def _as_list(names: Any) -> list[Any] | tuple[Any, ...]:
    """The names as str and None, whatever column they came in."""
    if type(names) is list or type(names) is tuple:
        return names
    if hasattr(names, "to_pylist"):  # pyarrow
        return names.to_pylist()  # type: ignore[no-any-return]
    if type(names).__module__.startswith("pandas"):
        return names.to_numpy(dtype=object, na_value=None).tolist()  # type: ignore[no-any-return]
    if hasattr(names, "to_list"):  # polars
        return names.to_list()  # type: ignore[no-any-return]
    if isinstance(names, np.ndarray):
        return names.tolist()  # type: ignore[no-any-return]
    return list(names)


def _tradeout_dict(tradeouts: Any) -> dict[Any, Any] | None:
    if tradeouts is None or isinstance(tradeouts, dict):
        return tradeouts
    if isinstance(tradeouts, Mapping):
        return dict(tradeouts)
    raise TypeError(f"tradeouts must be a mapping from a word to words, not {type(tradeouts).__name__}")


def _flag(value: Any, what: str) -> bool:
    """``value`` when it is a bool, else TypeError naming ``what``."""
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


def _thread_count(threads: Any) -> int:
    if threads is None:
        return os.process_cpu_count() or 1
    return min(_positive_int(threads, "threads"), _MAX_INT32)


def _row_range(rows: Any, n: int) -> tuple[int, int]:
    """(first, last) of the first indices to search, 0 <= first <= last <= n."""
    if rows is None:
        return 0, n
    if isinstance(rows, slice):
        start, stop, step = rows.indices(n)
        if step != 1:
            raise ValueError(f"rows must have step 1, not {step}")
        return start, max(start, stop)
    if isinstance(rows, range):
        if len(rows) == 0:
            return 0, 0
        if rows.step != 1 and len(rows) > 1:
            raise ValueError(f"rows must have step 1, not {rows.step}")
        if rows.start < 0 or rows[-1] >= n:
            raise ValueError(f"rows {rows} are out of range for {n} names")
        return rows.start, rows[-1] + 1
    raise TypeError(f"rows must be a range, a slice or None, not {type(rows).__name__}")

"""One job's rows spread over a Dask cluster (``pip install 'talvik[dask]'``).

The names and the tradeouts go to every worker once; each worker builds one
Matcher from them, shared by all its tasks, and each task searches one range
of first indices (``rows=``). The pieces come back in row order, so every
result equals the single-machine one: ``find_pairs`` gives the same array as
``Matcher.pairs()``, ``count`` the same number, ``groups`` the same labels.

Each worker holds all the names and the whole index, as a single machine
would. A task searches on one thread and a worker runs as many tasks at once
as it has threads (``--nthreads``), so a worker uses that many cores, never
more. The index is built once per worker, by its first task, while the
worker's other task threads wait for it; it is dropped when the call
returns.

With ``index=`` the path of a saved index (``Matcher.save``, ``talvik
index build``) goes to the workers instead of the names: each worker maps
the file (``Matcher.open``), so nothing is built and the workers on one
machine share its pages. The path must name the same file on every worker
(a shared or copied file system).

Every worker needs the same version of talvik as the client (a task on a
worker with another refuses to run) and numpy; pyarrow too if the names are
an Arrow array. The client is a synchronous ``distributed.Client``. A task
lost with its worker runs again elsewhere; should every worker holding the
names be lost at once, the call fails.

>>> from distributed import Client
>>> import talvik.dask
>>> client = Client("tcp://scheduler:8786")      # doctest: +SKIP
>>> talvik.dask.find_pairs(names, tradeouts)     # doctest: +SKIP
"""

from __future__ import annotations

import os
import threading
import uuid
from collections import OrderedDict
from collections.abc import Callable, Iterable, Mapping, Set
from dataclasses import dataclass, field
from typing import Any, Literal, TypeAlias

import numpy as np

from . import __version__
from ._matcher import Labels, Matcher, Names, Pairs, Tradeouts, _positive_int, _read_names, _tradeout_dict

try:
    import distributed  # type: ignore[import-not-found, unused-ignore]  # without the extra: Any
except ImportError as e:  # the extra is not installed
    raise ImportError(
        "talvik.dask needs Dask's distributed scheduler: pip install 'talvik[dask]' "
        "(or pip install 'dask[distributed]')"
    ) from e

__all__ = ["count", "find_pairs", "groups", "merge_labels", "partitions_for"]

#: Ranges per worker thread when ``partitions`` is None: enough that a slow
#: range or a lost worker leaves the others something to take over.
PARTITIONS_PER_THREAD = 4

#: A ``distributed.Client``. Dask's own annotations are incomplete, so calls
#: on it are kept to this module and typed at the boundary.
Client: TypeAlias = Any

_Task: TypeAlias = Literal["pairs", "count", "groups"]


#: The path of a saved index.
IndexPath: TypeAlias = str | os.PathLike[str]


def find_pairs(
    names: Names | None = None,
    tradeouts: Tradeouts | None = None,
    *,
    index: IndexPath | None = None,
    client: Client | None = None,
    partitions: int | None = None,
) -> Pairs:
    """Every matching pair (i, j), i < j, as a (k, 2) int32 array in row
    order: ``Matcher(names, tradeouts).pairs()``, searched on the cluster.

    ``client`` is the ``distributed.Client`` to run on (default: the current
    one, as ``distributed.get_client()`` finds it). ``partitions`` is the
    number of row ranges of about equal size, each one task, at most one per
    name (default: ``partitions_for``); it never changes the result. The
    names take the same forms as for ``Matcher``; they are checked here, and
    must pickle (a list, a NumPy array, a pyarrow array).

    ``index``, the path of a saved index, replaces both names and tradeouts:
    every worker opens that file, and the pairs are those of
    ``Matcher.open(index).pairs()``. It is opened here first, so a missing
    file or one that is not a saved index fails at once; a damaged large
    section is found by the workers, whose first search checks it.

    Raises RuntimeError when there is no client, TypeError or ValueError for
    names and ``index`` both or neither, what ``Matcher`` raises for bad
    names or tradeouts, and what ``Matcher.open`` raises for a bad index.
    """
    _, parts = _run(names, tradeouts, index, client, partitions, "pairs")
    if not parts:
        return np.empty((0, 2), dtype=np.int32)
    return np.concatenate(parts)


def count(
    names: Names | None = None,
    tradeouts: Tradeouts | None = None,
    *,
    index: IndexPath | None = None,
    client: Client | None = None,
    partitions: int | None = None,
) -> int:
    """How many pairs ``find_pairs`` would give: ``Matcher.count()`` on the
    cluster, nothing stored."""
    _, counts = _run(names, tradeouts, index, client, partitions, "count")
    return sum(counts)


def groups(
    names: Names | None = None,
    tradeouts: Tradeouts | None = None,
    *,
    index: IndexPath | None = None,
    client: Client | None = None,
    partitions: int | None = None,
) -> Labels:
    """Per name, the smallest index of its connected component in the match
    graph, as a 1-D int32 array: ``Matcher.groups()`` on the cluster.

    Each task joins the pairs of its rows into components and sends back an
    edge (i, label) for every name not its own label; the client joins the
    edges of all tasks.
    """
    return merge_labels(*_run(names, tradeouts, index, client, partitions, "groups"))


def partitions_for(client: Client, n: int) -> int:
    """The ranges ``partitions=None`` cuts ``n`` names into:
    ``PARTITIONS_PER_THREAD`` per worker thread of the cluster, at most one
    per name, at least one."""
    threads: int = sum(client.nthreads().values())
    return max(1, min(n, PARTITIONS_PER_THREAD * max(1, threads)))


def merge_labels(n: int, edges: Iterable[Pairs]) -> Labels:
    """The components of n names joined by all the edges (i, j), as labels:
    per name, the smallest index of its component.

    Roots are hooked to the smallest root across each edge, then every name
    is pointed at its root by pointer jumping, until no edge joins two roots.
    A pointer never rises, so the root of a component is its smallest index.
    """
    labels = np.arange(n, dtype=np.int32)
    parts = [np.asarray(e, dtype=np.int32).reshape(-1, 2) for e in edges]
    if not parts or n == 0:
        return labels
    u, v = np.concatenate(parts).T
    while True:
        lu, lv = labels[u], labels[v]
        apart = lu != lv
        if not apart.any():
            return labels
        lu, lv = lu[apart], lv[apart]
        low = np.minimum(lu, lv)
        np.minimum.at(labels, lu, low)
        np.minimum.at(labels, lv, low)
        while True:
            jumped = labels[labels]
            if np.array_equal(jumped, labels):
                break
            labels = jumped
        u, v = u[apart], v[apart]


# --- the client side ---------------------------------------------------------


@dataclass(frozen=True)
class _Job:
    """What every worker receives once: the inputs (or a saved index's
    absolute path), and a key for its cache."""

    names: Any
    tradeouts: dict[Any, Any] | None
    index: str | None = None
    key: str = field(default_factory=lambda: uuid.uuid4().hex)
    version: str = __version__


def _run(
    names: Names | None,
    tradeouts: Tradeouts | None,
    index: IndexPath | None,
    client: Client | None,
    partitions: int | None,
    task: _Task,
) -> tuple[int, list[Any]]:
    """The number of names, and the result of each range in row order."""
    job, n = _job(names, tradeouts, index)
    client = _client(client)
    ranges = _ranges(n, partitions_for(client, n) if partitions is None else _partition_count(partitions))
    if not ranges:
        return n, []
    [shared] = client.scatter([job], broadcast=True, hash=False)
    futures: list[Any] = []
    try:
        for first, last in ranges:
            key = f"talvik-{task}-{job.key}-{first}"
            futures.append(client.submit(_search, shared, first, last, task, pure=False, key=key))
        return n, list(client.gather(futures))
    finally:
        client.cancel([*futures, shared])
        # A worker that died meanwhile has no cache to clear.
        client.run(_forget, job.key, on_error="ignore")


def _job(names: Names | None, tradeouts: Tradeouts | None, index: IndexPath | None) -> tuple[_Job, int]:
    """The job to send, and its number of names; bad input fails here, not on a worker."""
    if index is None:
        if names is None:
            raise TypeError("give the names, or index= the path of a saved index")
        job = _Job(_sendable(names), _tradeout_dict(tradeouts))
        n = len(_read_names(job.names, "names"))
        Matcher([], job.tradeouts, threads=1)  # a bad table fails here too
        return job, n
    if names is not None or tradeouts is not None:
        raise ValueError("a saved index holds its own names and tradeouts: give index= alone")
    if not isinstance(index, (str, os.PathLike)):
        raise TypeError(f"index must be a path (str or os.PathLike), not {type(index).__name__}")
    # Absolute, as the workers' working folders may differ from the client's.
    path = os.path.abspath(os.fsdecode(index))
    n = len(Matcher.open(path, threads=1))  # reads the header: no such file, or not an index
    return _Job(None, None, path), n


def _client(client: Client | None) -> Client:
    if client is not None:
        return client
    try:
        return distributed.get_client()
    except ValueError:
        raise RuntimeError(
            "talvik.dask found no Dask client: start one first (distributed.Client('tcp://scheduler:8786'), "
            "or distributed.LocalCluster()), or pass client="
        ) from None


def _sendable(names: Names) -> Any:
    """The names in a form that pickles as it is: a one-off iterable becomes a list."""
    if isinstance(names, (list, tuple, np.ndarray)) or hasattr(type(names), "__arrow_c_stream__"):
        return names
    if hasattr(type(names), "__arrow_c_array__") or hasattr(type(names), "__arrow_array__"):
        return names
    if isinstance(names, (str, bytes, bytearray, Mapping, Set)) or not isinstance(names, Iterable):
        raise TypeError(f"names must be a sequence of str, not {type(names).__name__}")
    return list(names)


def _partition_count(partitions: Any) -> int:
    return _positive_int(partitions, "partitions")


def _ranges(n: int, partitions: int) -> list[tuple[int, int]]:
    """[first, last) of up to ``partitions`` ranges of as even sizes as may be,
    none empty, covering 0..n in order."""
    cuts = np.linspace(0, n, min(partitions, n) + 1).round().astype(np.int64).tolist()
    return list(zip(cuts[:-1], cuts[1:]))


# --- the worker side ---------------------------------------------------------

#: Matchers by job key, oldest first; at most _MAX_JOBS, so that a client
#: that went away before clearing its job leaves no lasting index behind.
_MAX_JOBS = 4


class _Built:
    """One job's Matcher, built by the first task that needs it."""

    __slots__ = ("lock", "matcher")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.matcher: Matcher | None = None


_lock = threading.Lock()
_matchers: OrderedDict[str, _Built] = OrderedDict()


def _matcher(job: _Job) -> Matcher:
    """The worker's Matcher for ``job``, built once however many threads ask."""
    with _lock:
        built = _matchers.get(job.key)
        if built is None:
            built = _matchers[job.key] = _Built()
            while len(_matchers) > _MAX_JOBS:
                _matchers.popitem(last=False)
    with built.lock:  # the other task threads wait here for the one building
        if built.matcher is None:
            if job.version != __version__:  # another rule could give other pairs
                raise RuntimeError(f"this worker has talvik {__version__}, the client {job.version}: "
                                   "install the same version on every worker")
            if job.index is not None:
                built.matcher = Matcher.open(job.index, threads=1)
            else:
                built.matcher = Matcher(job.names, job.tradeouts, threads=1)
        return built.matcher


def _forget(key: str) -> None:
    with _lock:
        _matchers.pop(key, None)


_SEARCHES: dict[str, Callable[[Matcher, range], Any]] = {
    "pairs": lambda m, rows: m.pairs(rows),
    "count": lambda m, rows: m.count(rows),
    "groups": lambda m, rows: _label_edges(m.groups(rows=rows)),
}


def _search(job: _Job, first: int, last: int, task: _Task) -> Any:
    return _SEARCHES[task](_matcher(job), range(first, last))


def _label_edges(labels: Labels) -> Pairs:
    """(i, labels[i]) for every name that is not its own label: all the
    components say, in far fewer bytes than a label per name."""
    moved = np.flatnonzero(labels != np.arange(len(labels), dtype=labels.dtype))
    return np.stack([moved.astype(np.int32), labels[moved]], axis=1)


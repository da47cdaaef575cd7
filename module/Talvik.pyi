import multiprocessing as multiprocessing
from collections import defaultdict as defaultdict
from collections.abc import Collection
from typing import Any, Final, SupportsInt, TypeVar

# A value of word_to_matches: any sized iterable of words. Generic so that a
# dict[str, list[str]] is accepted, which dict's invariance would refuse for
# dict[str, Collection[str]].
_Words = TypeVar("_Words", bound=Collection[str])

__test__: Final[dict[str, Any]]

def parallel_find_matches(
    all_names: list[str],
    word_to_matches: dict[str, _Words],
    pair_to_names: dict[Any, Any] | None,
    num_threads: SupportsInt = 0,
) -> list[tuple[str, str]]:
    """
    Find all valid name matches in parallel.
    Returns: list of tuples (name1, name2) where name1 < name2 lexicographically
    """

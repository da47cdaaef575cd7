"""Both APIs, typed: mypy --strict checks this file against the installed
stubs and inline types (test_typing.py), and it runs as a script."""
import numpy as np
from numpy.typing import NDArray

import Talvik
import talvik

NAMES = ["Robert Smith", "Bob Smith", "Smith Robert", "J Smith", "John Smith", "Madonna"]
TRADEOUTS: dict[str, list[str]] = {"Robert": ["Bob", "Rob"], "Bob": ["Robert"], "J": ["John"], "John": ["J"]}


def matching_names() -> list[tuple[str, str]]:
    return Talvik.parallel_find_matches(NAMES, TRADEOUTS, None, num_threads=2)


def matching_indices() -> NDArray[np.int32]:
    matcher = talvik.Matcher(NAMES, TRADEOUTS, threads=2)
    streamed: int = sum(len(chunk) for chunk in matcher.iter_pairs(2, rows=range(len(matcher))))
    assert matcher.count() == streamed
    return matcher.pairs()


def main() -> None:
    by_name = matching_names()
    by_index = matching_indices()
    assert [(NAMES[i], NAMES[j]) for i, j in by_index.tolist()] == by_name, (by_name, by_index)
    version: str = talvik.__version__
    print(len(by_name), "pairs, talvik", version)


if __name__ == "__main__":
    main()

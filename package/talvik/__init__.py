"""Every pair of matching names in a list, as int32 indices, at any scale.

Names match under a word-level rule in which a dictionary of tradeouts
(nicknames, initials, spelling variants) lets one word stand for another.
The search runs in native threads without the interpreter, and this package
never turns a free-threaded interpreter's GIL on.

>>> import talvik
>>> names = ["Robert Smith", "Bob Smith", "Madonna", "Smith Robert"]
>>> talvik.find_pairs(names, {"Robert": ["Bob"], "Bob": ["Robert"]}).tolist()
[[0, 1], [0, 3], [1, 3]]
"""

from importlib.metadata import PackageNotFoundError, version

from ._dedupe import DEFAULT_CLUSTER_SCORE, DEFAULT_SPLIT_ABOVE, dedupe, link
from ._explain import Explanation, WordMatch, explain
from ._matcher import DEFAULT_MIN_SCORE, LargeGroupWarning, Matcher, find_pairs
from ._nicknames import initials, nicknames
from ._variants import variants
from ._normalize import LEGAL_FORMS, SUFFIXES, TITLES, normalize

try:
    __version__ = version("talvik")
except PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "DEFAULT_MIN_SCORE",
    "DEFAULT_CLUSTER_SCORE",
    "DEFAULT_SPLIT_ABOVE",
    "LEGAL_FORMS",
    "SUFFIXES",
    "TITLES",
    "Explanation",
    "LargeGroupWarning",
    "Matcher",
    "WordMatch",
    "dedupe",
    "explain",
    "find_pairs",
    "initials",
    "link",
    "nicknames",
    "variants",
    "normalize",
    "__version__",
]

"""Generated names and tradeouts for the package's tests."""
import random

FIRST = ["Bob", "Robert", "J", "John", "Ann", "Anna", "Li", "Smith", "Lee"]
TABLE = {"Bob": ["Robert"], "Robert": ["Bob"], "J": ["John"], "Ann": ["Anna"]}
# Names that can match nothing: each must stay a group of its own.
LONERS = [None, "", "Madonna", "  Bob  ", "Bob\tSmith", " "]


def random_names(seed, n, loners=True):
    rng = random.Random(seed)
    pool = FIRST[: rng.randint(3, len(FIRST))]
    names = [" ".join(rng.choice(pool) for _ in range(rng.randint(1, 4))) for _ in range(n)]
    if loners:
        for name in LONERS:
            names.insert(rng.randrange(len(names) + 1), name)
    return names


def components(n, pairs):
    """Smallest index of each name's component, by a plain union-find."""
    parent = list(range(n))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i, j in pairs:
        a, b = root(i), root(j)
        parent[max(a, b)] = min(a, b)  # the smaller index stays the root
    return [root(i) for i in range(n)]


def census_like(n, seed):
    """Names with many repeats, initials and reorderings, and a table to go with them."""
    rng = random.Random(seed)
    first = ["Bob", "Robert", "Rob", "J", "John", "Jack", "Ann", "Anna", "Li", "A"]
    last = ["Smith", "Lee", "Brown", "Li", "Ng"]
    names = []
    for _ in range(n):
        k = rng.choice([1, 2, 2, 2, 3, 3, 4])
        names.append(" ".join(rng.choice(first + last) for _ in range(k)))
    table = {"Bob": ["Robert", "Rob"], "Robert": ["Bob"], "J": ["John", "Jack"], "John": ["J"],
             "Ann": ["A", "Anna"], "A": ["Ann"]}
    return names, table

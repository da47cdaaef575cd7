"""A plain-Python statement of the matching rule: the benchmark's Python
contender, and the oracle the tests hold both faces to."""


def words(name):
    # Only the ASCII space separates words; tabs, NUL and the rest belong to them.
    return [w for w in name.split(" ") if w]


def tradeouts(word_to_matches):
    table = {}
    for key, value in word_to_matches.items():
        table[key] = list(value)  # a string value gives its characters
    return table


def _found(ws, other, table):
    present = set(other)
    return sum(1 for w in ws if w in present or any(t in present for t in table.get(w, ())))


def _need(count, other_count):
    return 3 if count == 3 and other_count != 2 else 2


def matches(name1, name2, table):
    w1, w2 = words(name1), words(name2)
    if len(w1) < 2 or len(w2) < 2:
        return False
    return (_found(w1, w2, table) >= _need(len(w1), len(w2))
            and _found(w2, w1, table) >= _need(len(w2), len(w1)))


def find_matches(all_names, word_to_matches):
    """All matching pairs in single-worker order: by first index, then second."""
    table = tradeouts(word_to_matches)
    valid = [n for n in all_names if len(n.split()) > 1]
    return [(valid[i], valid[j])
            for i in range(len(valid)) for j in range(i + 1, len(valid))
            if matches(valid[i], valid[j], table)]

"""The representative call the allocation-failure sweep runs: every step of
parallel_find_matches has allocations on its path.

- table: keys and words repeated across entries, long words, one-byte keys,
  non-ASCII keys, values that are lists, tuples, strings and sets;
- selection: one-word names left out, a str subclass split through its method;
- encoding: non-ASCII names and the subclass encoded, the rest read in place;
- index and search: enough matching pairs that a worker's set of pairs grows
  twice past its first 1,000;
- result: thousands of tuples and decoded names.

Every object is made at run time, none is a literal, so that none is immortal
and their reference counts can be compared before and after a sweep.
"""


class Named(str):
    """A name that is not an exact str: selected by split(), encoded by encode()."""


def _s(*parts):
    return "".join(parts)


def table():
    long_word = _s("L", "o" * 4000, "ng")
    shared = [_s("Rob"), _s("Bobby"), long_word]
    return {
        _s("Robert"): [_s("Bob"), *shared],
        _s("Bob"): (_s("Robert"), *shared),
        _s("Rob"): [_s("Robert"), _s("Bob"), long_word, long_word],
        _s("J"): [_s("John"), _s("Jon")],
        _s("John"): [_s("J"), _s("Jon")],
        _s("Jon"): {_s("John"), _s("J")},
        _s("Zoë"): [_s("Zoe"), _s("Zoé")],
        _s("Zoe"): _s("Z"),  # a string: its characters
        _s("Smith"): [_s("Smyth"), _s("Schmidt"), _s("Smith")],
        long_word: [_s("Long"), _s("Lo")],
    }


def names():
    long_word = _s("L", "o" * 4000, "ng")
    firsts = ["Robert", "Bob", "Rob", "J", "John", "Jon", "Zoë", "Zoe", "Z", long_word]
    lasts = ["Smith", "Smyth", "Müller", "Ng"]
    out = []
    for i in range(400):
        first, last = firsts[i % len(firsts)], lasts[(i // len(firsts)) % len(lasts)]
        if i % 9 == 0:
            out.append(_s(first))  # one word: left out
        elif i % 11 == 0:
            out.append(Named(_s(first, " ", last)))
        elif i % 7 == 0:
            out.append(_s(first, " A ", last))  # three words
        elif i % 13 == 0:
            out.append(_s(last, " ", first, " Q R"))  # four words
        else:
            out.append(_s(first, " ", last))
    return out


def inputs():
    """(all_names, word_to_matches): fresh objects for one sweep."""
    return names(), table()

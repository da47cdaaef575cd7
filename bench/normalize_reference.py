"""A plain-Python statement of talvik.normalize's steps with unicodedata: the
benchmark's Python contender and the oracle the tests hold the engine to."""
import unicodedata

APOSTROPHES = frozenset("'`\u2018\u2019\u02bc")


def _separator(c):
    category = unicodedata.category(c)
    return category[0] in "PSZ" or category == "Cc" or c.isspace()


def clean(name):
    """Steps 1 to 5: the name's words, joined by single spaces."""
    s = unicodedata.normalize("NFKC", name).casefold()
    s = unicodedata.normalize("NFD", s)
    s = "".join(c for c in s if unicodedata.category(c) not in ("Mn", "Cf") and c not in APOSTROPHES)
    s = unicodedata.normalize("NFC", s)
    return " ".join("".join(" " if _separator(c) else c for c in s).split())


def drop_list(entries):
    """The phrases to drop, each a tuple of words, cleaned like a name."""
    return {tuple(clean(e).split(" ")) for e in entries if clean(e)}


def _drop_once(words, phrases, longest):
    kept, i = [], 0
    while i < len(words):
        for k in range(min(longest, len(words) - i), 0, -1):
            if tuple(words[i : i + k]) in phrases:
                i += k
                break
        else:
            kept.append(words[i])
            i += 1
    return kept


def normalize(name, phrases=frozenset()):
    """Step 6 too: at each word, the longest phrase of `phrases` that starts
    there is dropped, again until none is left."""
    words = [w for w in clean(name).split(" ") if w]
    longest = max((len(p) for p in phrases), default=0)
    while words and (kept := _drop_once(words, phrases, longest)) != words:
        words = kept
    return " ".join(words)

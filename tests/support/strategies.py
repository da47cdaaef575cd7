"""Hypothesis strategies the suites of both faces draw names from."""
from hypothesis import strategies as st


def name_lists(vocab, separators, max_size=25):
    """Lists of names of one to five words of `vocab`, joined by `separators`,
    some with a leading or trailing space."""
    return st.lists(
        st.builds(lambda ws, seps, lead, trail: lead + "".join(w + s for w, s in zip(ws, seps)).rstrip() + trail,
                  st.lists(st.sampled_from(vocab), min_size=1, max_size=5),
                  st.lists(st.sampled_from(separators), min_size=5, max_size=5),
                  st.sampled_from(["", " "]), st.sampled_from(["", " "])),
        max_size=max_size)

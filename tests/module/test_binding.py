"""Argument binding: counts, keywords, num_threads conversion, type checks."""
import collections
import ctypes
import warnings

import pytest

import Talvik
from support.module import entries, raises

L = ["Ann Lee", "Lee Ann"]
D = {}
F = "parallel_find_matches()"


class MyList(list):
    pass


class IntSub(int):
    pass


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


class Boom(Exception):
    pass


class IntRaises:
    def __int__(self):
        raise Boom


BINDING_ERRORS = [
    # (args, kwargs, type, message)
    ((), {}, TypeError, F + " takes at least 3 positional arguments (0 given)"),
    ((L, D), {}, TypeError, F + " takes at least 3 positional arguments (2 given)"),
    ((L, D, None, 0, 0), {}, TypeError, F + " takes at most 4 positional arguments (5 given)"),
    ((L, D, None, 0, 0), {"x": 1}, TypeError, F + " takes at most 4 positional arguments (5 given)"),
    ((L, D), {"num_threads": 1}, TypeError, F + " takes at least 3 positional arguments (2 given)"),
    ((), {"all_names": L, "pair_to_names": None}, TypeError,
     F + " takes at least 3 positional arguments (1 given)"),
    ((L, D, None), {"all_names": L}, TypeError, F + " got multiple values for keyword argument 'all_names'"),
    ((L, D, None, 0), {"num_threads": 0}, TypeError,
     F + " got multiple values for keyword argument 'num_threads'"),
    ((L, D, None), {"threads": 1}, TypeError, F + " got an unexpected keyword argument 'threads'"),
    (((), D, None), {}, TypeError, "Argument 'all_names' has incorrect type (expected list, got tuple)"),
    ((MyList(), D, None), {}, TypeError, "Argument 'all_names' has incorrect type (expected list, got MyList)"),
    ((L, collections.OrderedDict(), None), {}, TypeError,
     "Argument 'word_to_matches' has incorrect type (expected dict, got collections.OrderedDict)"),
    ((L, D, []), {}, TypeError, "Argument 'pair_to_names' has incorrect type (expected dict, got list)"),
    # num_threads is converted before the types are checked
    (((), D, None, "4"), {}, TypeError, "an integer is required"),
    ((L, D, None, None), {}, TypeError, "an integer is required"),
    ((L, D, None, IndexOnly()), {}, TypeError, "an integer is required"),
    ((L, D, None, IntReturns(2.5)), {}, TypeError, "__int__ returned non-int (type float)"),
    ((L, D, None, IntRaises()), {}, Boom, None),
    ((L, D, None, 2**31), {}, OverflowError, "value too large to convert to int"),
    ((L, D, None, -(2**31) - 1), {}, OverflowError, "value too large to convert to int"),
    ((L, D, None, IntReturns(2**40)), {}, OverflowError, "value too large to convert to int"),
    ((L, D, None, 2**64), {}, OverflowError, None),
]


@pytest.mark.parametrize("args, kwargs, exc_type, message", BINDING_ERRORS)
def test_binding_errors(find, args, kwargs, exc_type, message):
    exc = raises(lambda: find(*args, **kwargs), exc_type, message)
    assert entries(exc) == [("Talvik", "Talvik.parallel_find_matches")]


@pytest.mark.parametrize("args, kwargs", [
    ((L, D, None), {}),
    ((L, D, None, 0), {}),
    ((L, D, None), {"num_threads": 3}),
    ((), {"num_threads": 2, "pair_to_names": {}, "word_to_matches": D, "all_names": L}),
    ((L,), {"pair_to_names": {"anything": object()}, "word_to_matches": D}),
    ((L, D, None, True), {}),
    ((L, D, None, 2.9), {}),
    ((L, D, None, -1), {}),
    ((L, D, None, 2**31 - 1), {}),
    ((L, D, None, IntReturns(3)), {}),
])
def test_well_formed_calls_bind_alike(find, args, kwargs):
    assert find(*args, **kwargs) == [("Ann Lee", "Lee Ann")]


def test_keyword_names_are_matched_by_content(find):
    class S(str):
        pass

    class BadEq(str):
        def __eq__(self, other):
            raise Boom

        __hash__ = str.__hash__

    name = "".join(["num", "_threads"])  # equal, but not the interned object
    assert find(L, D, None, **{name: 1}) == [("Ann Lee", "Lee Ann")]
    assert find(L, D, None, **{S("num_threads"): 1}) == [("Ann Lee", "Lee Ann")]
    raises(lambda: find(L, D, None, **{BadEq("num_threads"): 1}), Boom)


def test_non_string_keyword_name(find):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 4)(L, D, None, 1)
    raises(lambda: vectorcall(find, args, 3, (7,)), TypeError, F + " keywords must be strings")
    assert vectorcall(find, args, 3, ("num_threads",)) == [("Ann Lee", "Lee Ann")]


def test_int_subclass_from_int_warns(find):
    message = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict "
               "subclass of int is deprecated, and may be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning) as record:
        assert find(L, D, None, IntReturns(IntSub(1))) == [("Ann Lee", "Lee Ann")]
    assert str(record[0].message) == message
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises(lambda: find(L, D, None, IntReturns(IntSub(1))), DeprecationWarning, message)
    # An int subclass passed directly is taken by value, silently.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert find(L, D, None, IntSub(2)) == [("Ann Lee", "Lee Ann")]


class FakeMultiprocessing:
    def __init__(self, count):
        self.count = count
        self.calls = 0

    def cpu_count(self):
        self.calls += 1
        return self.count


@pytest.mark.parametrize("num_threads, count, calls, error", [
    (0, 4, 1, None),
    (-1, 4, 1, None),
    (-1, 1, 1, None),
    (0, 0, 1, None),                     # reported as 0: one worker
    (3, None, 0, None),                  # explicit: cpu_count is not consulted
    (0, None, 1, (TypeError, "an integer is required")),
    (-1, None, 1, (TypeError, None)),    # None - 1
    (0, 2**31, 1, (OverflowError, "value too large to convert to int")),
    (0, -3, 1, (MemoryError, None)),     # a negative count asks for no room at all
    (-2, 4, 0, (ValueError, "num_threads must be -1, 0 or a positive number of threads, got -2")),
    (-(2**31), 4, 0, (ValueError, None)),
])
def test_thread_count_comes_from_cpu_count(find, monkeypatch, num_threads, count, calls, error):
    fake = FakeMultiprocessing(count)
    monkeypatch.setattr(Talvik, "multiprocessing", fake)
    call = lambda: find(["A B", "B A", "C D"], {}, None, num_threads)  # noqa: E731
    if error is None:
        assert call() == [("A B", "B A")]
    else:
        exc = raises(call, *error)
        assert entries(exc) == [("Talvik", "Talvik.parallel_find_matches")]
    assert fake.calls == calls


def test_multiprocessing_looked_up_at_every_call(find, monkeypatch):
    import builtins

    monkeypatch.delitem(vars(Talvik), "multiprocessing")
    raises(lambda: find(L, D, None), NameError, "name 'multiprocessing' is not defined")
    assert find(L, D, None, 2) == [("Ann Lee", "Lee Ann")]  # not needed when explicit
    fake = FakeMultiprocessing(2)
    monkeypatch.setattr(builtins, "multiprocessing", fake, raising=False)
    assert find(L, D, None) == [("Ann Lee", "Lee Ann")]
    assert fake.calls == 1


def test_large_thread_counts_are_capped(find):
    names = [f"N{i} M{i % 7}" for i in range(50)] + ["N1 M1"]
    expected = sorted(find(names, {}, None, 1))
    for n in (64, 5000, 2**31 - 1):
        assert sorted(find(names, {}, None, n)) == expected
    assert find(["A B"], {}, None, 2**31 - 1) == []

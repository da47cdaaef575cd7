import sysconfig
import traceback

import pytest

import Talvik

# PYTHON_GIL=0, and a GIL that stays off, exist only on a free-threaded build.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
needs_free_threading = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build of CPython")


@pytest.fixture
def find():
    return Talvik.parallel_find_matches


class Encodes(str):
    """A str whose encode method returns a given object."""

    def __new__(cls, text, result):
        self = super().__new__(cls, text)
        self.result = result
        return self

    def encode(self, *args):
        return self.result


def entries(exc):
    """The (file, function) of each traceback entry made by the module."""
    return [(f.filename, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "Talvik"]


def raises(call, exc_type, message=None):
    """Runs `call`, checks the exception and returns it."""
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    return info.value

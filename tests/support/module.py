"""Checks of the Talvik module's exceptions and tracebacks."""
import traceback

import pytest


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

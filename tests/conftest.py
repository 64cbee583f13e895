"""Fixtures shared by several test modules."""

import contextlib

import mo_imports
import pytest

# The parser's packages must finish their circular imports within 10 seconds
# of wall-clock time; a sanitizer run on a busy machine, or the clock being
# set forward meanwhile, overruns that and fails a test that never ran.
mo_imports.WAIT_FOR_EXPORT = 3600


class Discard:
    """A standard output that keeps nothing: two analyser failure paths print."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def quiet_stdout():
    with contextlib.redirect_stdout(Discard()):
        yield

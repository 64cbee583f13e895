"""Fixtures shared by several test modules."""

import contextlib

import pytest


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

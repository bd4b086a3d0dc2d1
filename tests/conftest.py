import sys

import pytest

import tesmerine

PhaseHVec = tesmerine.PhaseHVec

# Exceptions carry notes ("while processing 'x'") only where the interpreter has add_note.
HAS_NOTES = sys.version_info >= (3, 11)


def notes_of(exc):
    return getattr(exc, "__notes__", [])


def expected_notes(param):
    """The notes a failed conversion of `param` carries on this interpreter."""
    return [f"while processing '{param}'"] if HAS_NOTES else []


@pytest.fixture
def vec():
    """A factory for seeded vectors: vec(dim, n, seed=0)."""
    return lambda dim, n, seed=0: PhaseHVec.random(dim, n, seed)

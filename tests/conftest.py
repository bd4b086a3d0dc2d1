import functools
import math
import sys

import pytest

import tesmerine

PhaseHVec = tesmerine.PhaseHVec
TWO_PI = 6.283185307179586  # the double nearest to 2*pi
REF = [7, 13, 9, 14, 12, 10, 0, 12]  # PhaseHVec.random(8, 16, 42)


def notes_of(exc):
    return getattr(exc, "__notes__", [])


def expected_notes(param):  # a failed conversion's note; interpreters before 3.11 have no add_note
    return [f"while processing '{param}'"] if param and sys.version_info >= (3, 11) else []


def caught(call):  # PanicException derives from BaseException, not Exception
    return pytest.raises(BaseException, call).value


def rhaz(x):  # the nearest integer, halves away from zero (round() would go to even)
    m = math.floor(abs(x)) + (abs(x) % 1.0 >= 0.5)
    return m if x >= 0 else -m


@functools.lru_cache(maxsize=None)
def from_phases(phases, n):  # a vector holding exactly `phases`: two seeded vectors bound, met in the middle
    seen = {}
    for seed in range(100000):
        v = PhaseHVec.random(len(phases), n, seed)
        seen[tuple(v.phases())] = v
        w = seen.get(tuple((t - p) % n for t, p in zip(phases, v.phases())))
        if w is not None:
            assert w.bind(v).phases() == list(phases)
            return w.bind(v)


class Seq:  # a user sequence: __len__ claims `length` (raises if None), reading item `fail_at` raises
    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        return len(None) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("iteration failed")
        return self.items[i]


class Index:  # an integer only through __index__; an exception value is raised afresh on each call
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise type(self.value)(*self.value.args)
        return self.value


class NoIter(Seq):
    def __iter__(self):
        raise ZeroDivisionError("no iterator")

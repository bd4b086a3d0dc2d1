import functools
import math
import operator
import subprocess
import sys
import time

import pytest

from tesmerine import PhaseHVec
from tesmerine import resonator_factorize as RF

P = PhaseHVec
TWO_PI = 6.283185307179586  # the double nearest to 2*pi
REF = [7, 13, 9, 14, 12, 10, 0, 12]  # PhaseHVec.random(8, 16, 42)


def expected_notes(param):  # a failed conversion's note; interpreters before 3.11 have no add_note
    return [f"while processing '{param}'"] if param and sys.version_info >= (3, 11) else []


def caught(call):  # PanicException derives from BaseException, not Exception
    return pytest.raises(BaseException, call).value


def outcome(call, *args):  # the result (a vector as its n and phases, a float's repr keeps every bit) or the error
    try:
        result = call(*args)
    except BaseException as e:
        return type(e).__name__, str(e), getattr(e, "__notes__", [])
    return (result.n, result.phases()) if isinstance(result, PhaseHVec) else repr(result)


def child(*argv, timeout=300):  # a fresh interpreter running argv
    return subprocess.run([sys.executable, *map(str, argv)], capture_output=True, text=True, timeout=timeout)


def ordered_sum(values):  # one addition at a time, in order (sum() may compensate for rounding)
    return functools.reduce(operator.add, values, 0.0)


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


class Index:  # an integer only through __index__ (which lets other threads run); an exception value is raised afresh
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        if isinstance(self.value, Exception):
            raise type(self.value)(*self.value.args)
        return self.value


class NoIter(Seq):
    def __iter__(self):
        raise ZeroDivisionError("no iterator")

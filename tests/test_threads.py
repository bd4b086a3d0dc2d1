# Calls from many threads give exactly the serial results, and the values made once per process are
# made once, without deadlock, when many threads need them at the same moment.
import random
import subprocess
import sys
import threading
import time

import pytest

from tesmerine import PhaseHVec as P
from tesmerine import resonator_factorize as RF

THREADS, CALLS = 8, 10_000
SHARED = [P.random(64, 16, s) for s in range(6)]
ODD = P.random(63, 16, 99)


class YieldingIndex:  # an integer whose conversion lets other threads run in the middle of a call
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def make(kind, a, b, items, dim, seed, n):
    return [lambda: a.bind(b), lambda: a.unbind(b), lambda: a.similarity(b), lambda: a.similarity(ODD),
            lambda: P.bundle(items), lambda: P.bundle([a, ODD]), lambda: a.bind(YieldingIndex(1)),
            lambda: P.random(YieldingIndex(dim), 16, seed), lambda: P.random(4, YieldingIndex(n), 0),
            lambda: RF(a.bind(b), [SHARED[:3], SHARED[3:]], 5)][kind]


def plan(seed):  # CALLS mixed calls, errors included, on the shared vectors; one in 500 a resonator
    rng = random.Random(seed)
    return [make(rng.randrange(9) if i % 500 else 9, rng.choice(SHARED), rng.choice(SHARED),
                 rng.choices(SHARED, k=rng.randrange(1, 5)), rng.randrange(100), rng.randrange(2**64),
                 rng.choice([1, 2**32, 16])) for i in range(CALLS)]


def outcome(call):
    try:
        result = call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e), getattr(e, "__notes__", None)
    return (result.n, result.phases()) if isinstance(result, P) else repr(result)  # repr keeps every float bit


def test_threads_give_the_serial_results():
    plans = [plan(seed) for seed in range(THREADS)]
    serial = [[outcome(c) for c in calls] for calls in plans]
    threaded = [None] * THREADS
    workers = [threading.Thread(target=lambda i=i: threaded.__setitem__(i, [outcome(c) for c in plans[i]]))
               for i in range(THREADS)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)
    assert threaded == serial
    kinds = {o[0] for calls in serial for o in calls if isinstance(o, tuple) and isinstance(o[0], str)}
    assert kinds == {"ValueError", "PanicException", "TypeError", "OverflowError"}


FIRST_USE = r"""
import collections.abc, gc, sys, threading
sys.setswitchinterval(1e-6)
sequence_refs = sys.getrefcount(collections.abc.Sequence)
barrier, seen, errors = threading.Barrier(16), [None] * 16, []

def first_use(i):  # the class (import), PanicException, the Sequence type and the interned names
    try:
        barrier.wait()
        import tesmerine
        a, out = tesmerine.PhaseHVec.random(3, 16, i), [tesmerine.PhaseHVec]
        for call in (lambda: tesmerine.PhaseHVec.bundle([a, a.random(4, 16, 0)]),
                     lambda: tesmerine.PhaseHVec.bundle({a}), lambda: a.bind(i)):
            try:
                call()
            except BaseException as e:
                out.append((type(e), str(e), getattr(e, "__notes__", None)))
        seen[i] = out
    except BaseException as e:
        errors.append(repr(e))

workers = [threading.Thread(target=first_use, args=(i,)) for i in range(16)]
for w in workers: w.start()
for w in workers: w.join()
assert not errors and all(s == seen[0] for s in seen), (errors, seen)
assert seen[0][1][0].__name__ == "PanicException" and seen[0][2][1] == "'set' object is not an instance of 'Sequence'"
made = sorted(t.__name__ for t in gc.get_objects() if isinstance(t, type) and t.__name__ in ("PanicException", "PhaseHVec"))
assert made == ["PanicException", "PhaseHVec"], made
assert sys.getrefcount(collections.abc.Sequence) == sequence_refs + 1
print("ok")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_first_use_from_many_threads(attempt):
    done = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")

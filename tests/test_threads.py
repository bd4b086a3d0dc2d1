# Calls from many threads give exactly the serial results, and the values made once per process are
# made once, without deadlock, when many threads need them at the same moment.
import random
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import Index, child, outcome

from tesmerine import PhaseHVec, resonator_factorize

THREADS, CALLS = 8, 10_000
SHARED, ODD = [PhaseHVec.random(64, 16, s) for s in range(6)], PhaseHVec.random(63, 16, 99)


def plan(seed):  # CALLS mixed calls, errors included, on the shared vectors; one in 500 a resonator
    rng, calls = random.Random(seed), []
    for i in range(CALLS):
        a, b = rng.choice(SHARED), rng.choice(SHARED)  # an Index argument lets other threads run amid a call
        calls.append(rng.choice([
            (a.bind, b), (a.unbind, b), (a.similarity, b), (a.similarity, ODD), (PhaseHVec.bundle, [a, ODD]),
            (PhaseHVec.bundle, rng.choices(SHARED, k=rng.randrange(1, 5))), (a.bind, Index(1)),
            (PhaseHVec.random, 4, Index(rng.choice([1, 2**32, 16])), 0),
            (PhaseHVec.random, Index(rng.randrange(100)), 16, rng.getrandbits(64))]) if i % 500 else
            (resonator_factorize, a.bind(b), [SHARED[:3], SHARED[3:]], 5))
    return calls


def test_threads_give_the_serial_results():
    plans = [plan(seed) for seed in range(THREADS)]
    serial, interval = [[outcome(*c) for c in calls] for calls in plans], sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with ThreadPoolExecutor(THREADS) as pool:  # one thread per plan, all running at once
            assert list(pool.map(lambda calls: [outcome(*c) for c in calls], plans)) == serial
    finally:
        sys.setswitchinterval(interval)
    kinds = {o[0] for calls in serial for o in calls if isinstance(o, tuple) and isinstance(o[0], str)}
    assert kinds == {"ValueError", "PanicException", "TypeError", "OverflowError"}


FIRST_USE = r"""
import collections.abc, concurrent.futures, gc, sys, threading
sys.setswitchinterval(1e-6)
sequence_refs, barrier = sys.getrefcount(collections.abc.Sequence), threading.Barrier(48)

def first_use(i):  # the class and interned names (import), then PanicException, the Sequence type or a note
    barrier.wait()
    from tesmerine import PhaseHVec
    a = PhaseHVec.random(3, 16, i)
    barrier.wait()  # and all at once again for the call
    calls = (lambda: PhaseHVec.bundle([a, PhaseHVec.random(4, 16, 0)]), lambda: PhaseHVec.bundle({a}),
             lambda: a.bind(i))
    calls[i % 3]()

with concurrent.futures.ThreadPoolExecutor(48) as pool:
    futures = [pool.submit(first_use, i) for i in range(48)]
seen = [(type(e).__name__, str(e), getattr(e, "__notes__", [])) for e in (f.exception() for f in futures)]
assert seen == seen[:3] * 16, seen
assert [s[0] for s in seen[:3]] == ["PanicException", "TypeError", "TypeError"], seen
assert seen[1][1] == "'set' object is not an instance of 'Sequence'"
first = sys.modules.pop("tesmerine")
import tesmerine as again  # a second module object shares the class
assert again is not first
assert again.PhaseHVec is first.PhaseHVec
assert again.__all__ == first.__all__
assert again.resonator_factorize is not first.resonator_factorize
assert again.resonator_factorize.__self__ is again
classes = [t.__name__ for t in gc.get_objects() if isinstance(t, type)]
assert sorted(name for name in classes if name in ("PanicException", "PhaseHVec")) == ["PanicException", "PhaseHVec"]
assert sys.getrefcount(collections.abc.Sequence) == sequence_refs + 1  # imported once, kept once
print("ok")
"""


@pytest.mark.parametrize("attempt", range(8))  # a race shows in some attempts, not all
def test_first_use_from_many_threads(attempt):
    done = child("-c", FIRST_USE, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")

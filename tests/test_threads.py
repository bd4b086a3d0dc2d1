"""Calls from many threads give exactly the serial results, and the values
made once per process are made once even when many threads need them first."""
import random
import subprocess
import sys
import threading
import time

import pytest

from tesmerine import PhaseHVec, resonator_factorize

THREADS, CALLS = 8, 10_000


class YieldingIndex:
    """An index whose conversion lets other threads run mid-call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


SHARED = [PhaseHVec.random(64, 16, s) for s in range(6)]
ODD = PhaseHVec.random(63, 16, 99)
BOOKS = [SHARED[:3], SHARED[3:]]


def make_calls(seed):
    rng = random.Random(seed)
    pick = lambda: rng.choice(SHARED)  # noqa: E731
    ops = [
        lambda a=pick(), b=pick(): a.bind(b),
        lambda a=pick(), b=pick(): a.unbind(b),
        lambda a=pick(), b=pick(): a.similarity(b),
        lambda items=[pick() for _ in range(rng.randrange(1, 5))]: PhaseHVec.bundle(items),
        lambda d=YieldingIndex(rng.randrange(100)), s=rng.randrange(2**64): PhaseHVec.random(d, 16, s),
        lambda a=pick(): a.phases(),
        lambda a=pick(): a.similarity(ODD),  # ValueError
        lambda a=pick(): PhaseHVec.bundle([a, ODD]),  # PanicException
        lambda a=pick(): a.bind(YieldingIndex(1)),  # TypeError, noted
        lambda n=YieldingIndex(rng.choice([1, 2**32, 16])): PhaseHVec.random(4, n, 0),
    ]
    calls = [rng.choice(ops) for _ in range(CALLS)]
    calls[:: CALLS // 20] = [lambda c=SHARED[0].bind(SHARED[4]): resonator_factorize(c, BOOKS, 5)] * 20
    return calls


def outcome(call):
    try:
        result = call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e), tuple(getattr(e, "__notes__", ()))
    if isinstance(result, PhaseHVec):
        return result.dim, result.n, tuple(result.phases())
    if isinstance(result, float):
        return result.hex()
    return repr(result)


def test_threads_give_the_serial_results():
    plans = [make_calls(seed) for seed in range(THREADS)]
    serial = [[outcome(c) for c in plan] for plan in plans]
    threaded = [None] * THREADS

    def run(i):
        threaded[i] = [outcome(c) for c in plans[i]]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)
    assert threaded == serial
    kinds = {o[0] for plan in serial for o in plan if isinstance(o, tuple) and isinstance(o[0], str)}
    assert kinds == {"ValueError", "PanicException", "TypeError", "OverflowError"}


FIRST_USE = r"""
import collections.abc, gc, sys, threading
sys.setswitchinterval(1e-6)
N = 16
sequence_refs = sys.getrefcount(collections.abc.Sequence)
barrier = threading.Barrier(N)
seen, errors = [None] * N, []

def first_use(i):
    try:
        barrier.wait()
        import tesmerine
        a = tesmerine.PhaseHVec.random(3, 16, i)
        out = [tesmerine.PhaseHVec]
        for call in (lambda: tesmerine.PhaseHVec.bundle([a, a.random(4, 16, 0)]),
                     lambda: tesmerine.PhaseHVec.bundle({a}), lambda: a.bind(i)):
            try:
                call()
            except BaseException as e:
                out.append((type(e), str(e), getattr(e, "__notes__", None)))
        seen[i] = out
    except BaseException as e:
        errors.append(repr(e))

workers = [threading.Thread(target=first_use, args=(i,)) for i in range(N)]
for w in workers: w.start()
for w in workers: w.join()
assert not errors, errors
assert all(s == seen[0] for s in seen), seen
assert seen[0][1][0].__qualname__ == "PanicException" and seen[0][2][1].startswith("'set' object is not an instance of 'Sequence'"), seen[0]
made = [t.__qualname__ for t in gc.get_objects() if isinstance(t, type) and t.__qualname__ in ("PanicException", "PhaseHVec")]
assert sorted(made) == ["PanicException", "PhaseHVec"], made
assert sys.getrefcount(collections.abc.Sequence) == sequence_refs + 1
print("ok")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_first_use_from_many_threads(attempt):
    done = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")

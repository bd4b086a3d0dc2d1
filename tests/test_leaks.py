# Every entry point, on success and on each kind of error, called thousands of times: neither the memory in use
# (Python's, through tracemalloc, and the C/C++ heap's, through mallinfo2) nor the reference counts and contents of
# the arguments may change.
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest
from conftest import ERRORS, LEAK_CHECKED, PANICS, caught, outcome

from tesmerine import PhaseHVec, resonator_factorize

REPS = int(os.environ.get("TESMERINE_LEAK_REPS", "2000"))  # lowered under valgrind
BIG, BIG2 = PhaseHVec.random(256, 16, 1), PhaseHVec.random(256, 16, 2)  # a leaked copy of these would be 512 bytes


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


try:
    mallinfo2 = ctypes.CFUNCTYPE(MallInfo2)(("mallinfo2", ctypes.CDLL(None)))
except (OSError, AttributeError):  # not glibc >= 2.33
    mallinfo2 = None
# Under ASan or valgrind the heap is the tool's, and the tool checks the extension's allocations.
HEAP = mallinfo2 is not None and not LEAK_CHECKED


def in_use():  # bytes traced by tracemalloc, and in use on the C heap (0 where the heap is a tool's)
    info = HEAP and mallinfo2()
    return tracemalloc.get_traced_memory()[0], info and info.uordblks + info.hblkhd


SUCCESS = [
    lambda: PhaseHVec.random(256, 16, 7), lambda: PhaseHVec.random(seed=7, n=16, dim=256), lambda: BIG.bind(BIG2),
    lambda: BIG.unbind(other=BIG2), lambda: BIG.similarity(BIG2), lambda: PhaseHVec.bundle([BIG, BIG2, BIG]),
    lambda: PhaseHVec.bundle((BIG, BIG2)), lambda: resonator_factorize(BIG.bind(BIG2), [[BIG, BIG2], (BIG2, BIG)], 3),
    lambda: resonator_factorize(BIG, []), BIG.phases, lambda: BIG.dim, lambda: BIG.n, lambda: repr(BIG)]
CALLS = [*[(f"ok{i}", call) for i, call in enumerate(SUCCESS)], ("refused0", PhaseHVec),
         ("refused1", lambda: BIG.phases(1)),  # each kind of error once (65536-entry tables are slow to make)
         *[(f"panic{i}", call) for i, (call, message) in enumerate(PANICS) if "65536" not in message],
         *[(f"{type(row[0]).__name__}{i}", row[2]) for i, row in enumerate(ERRORS)]]


def arguments(call):  # what a call passes (defaults, receiver, constants, globals named), and the class
    objects = [PhaseHVec, *(getattr(call, "__defaults__", None) or ()), getattr(call, "__self__", None)]
    code = getattr(call, "__code__", None)
    objects += [*code.co_consts, *(call.__globals__.get(name) for name in code.co_names)] if code else []
    return [o for o in objects if o is not None and not isinstance(o, type(sys))]


def state(x):  # reference counts and contents, lists and tuples item by item; small ints are shared, so left out
    inner = [state(y) for y in x] if isinstance(x, (list, tuple)) else x.phases() if isinstance(x, PhaseHVec) else None
    return None if isinstance(x, int) else (sys.getrefcount(x), inner)


@pytest.mark.parametrize("name, call", CALLS, ids=[name for name, _ in CALLS])
def test_no_growth(name, call):
    caught(call) if name[:2] != "ok" else call()
    for _ in range(50):  # warm caches and free lists
        outcome(call)
    gc.collect()
    # Two batches: a leak grows both, a one-time allocation (a new frame-stack chunk) only one.
    before, growth = [state(o) for o in arguments(call)], []
    tracemalloc.start()
    try:
        for _ in range(2):
            start = in_use()
            for _ in range(REPS // 2):
                outcome(call)
            gc.collect()
            growth.append([now - then for now, then in zip(in_use(), start)])
    finally:
        tracemalloc.stop()
    assert [state(o) for o in arguments(call)] == before
    # One leaked object or array per call would grow each batch by REPS / 2 times its size.
    assert min(g[0] for g in growth) < 4096, growth  # Python's memory
    assert min(g[1] for g in growth) < 4096, growth  # the C heap's

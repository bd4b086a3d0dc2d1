# Every entry point, on success and on every error row, called thousands of times: neither the
# memory in use (Python's, through tracemalloc, and the C/C++ heap's, through mallinfo2) nor the
# reference counts of the arguments may grow.
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest
from conftest import caught
from test_arguments import ERRORS  # every error row of every entry point: (exception, note, *calls)

from tesmerine import PhaseHVec as P
from tesmerine import resonator_factorize as RF

REPS = int(os.environ.get("TESMERINE_LEAK_REPS", "2000"))  # lowered under valgrind
BIG, BIG2 = P.random(256, 16, 1), P.random(256, 16, 2)  # a leaked copy of these would be 512 bytes


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except (OSError, AttributeError):  # not glibc >= 2.33
    _mallinfo2 = None
# Under ASan or valgrind the heap is the tool's, and the tool checks the extension's allocations.
HEAP = _mallinfo2 is not None and not (os.environ.get("TESMERINE_SANITIZED") or os.environ.get("TESMERINE_VALGRIND"))


def heap_in_use():
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


SUCCESS = [
    lambda: P.random(256, 16, 7), lambda: P.random(seed=7, n=16, dim=256), lambda: BIG.bind(BIG2),
    lambda: BIG.unbind(other=BIG2), lambda: BIG.similarity(BIG2), lambda: P.bundle([BIG, BIG2, BIG]),
    lambda: P.bundle((BIG, BIG2)), lambda: RF(BIG.bind(BIG2), [[BIG, BIG2], (BIG2, BIG)], 3), lambda: RF(BIG, []),
    BIG.phases, lambda: BIG.dim, lambda: BIG.n, lambda: repr(BIG),
]
PANICS_AND_REFUSALS = [  # every other row of the error tables: ERRORS holds the rest
    lambda: P.bundle([BIG, BIG2, P.random(255, 16, 0)]), lambda: P.bundle([BIG, P.random(256, 17, 0)]),
    lambda: RF(BIG, [[BIG, BIG2, P.random(255, 16, 0)]]), lambda: RF(P.random(255, 16, 0), [[BIG]], 0),
    lambda: P.random(2**62, 16, 0), lambda: BIG.phases(1), lambda: P(),
]
CALLS = [(f"ok{i}", call) for i, call in enumerate(SUCCESS)] + [
    (f"panic{i}", call) for i, call in enumerate(PANICS_AND_REFUSALS)] + [
    (f"{type(row[0]).__name__}{i}.{j}", call) for i, row in enumerate(ERRORS) for j, call in enumerate(row[2:])]


def arguments(call):  # the objects a call passes: its defaults, its receiver and the globals it names
    objects = [*(getattr(call, "__defaults__", None) or ()), getattr(call, "__self__", None)]
    if hasattr(call, "__code__"):
        objects += [call.__globals__.get(name) for name in call.__code__.co_names]
    objects += [item for o in objects if isinstance(o, (list, tuple)) for item in o]
    return [o for o in objects if o is not None and not isinstance(o, (int, type(sys)))]  # small ints are shared


def run(call):
    try:
        call()
    except BaseException:  # PanicException derives from BaseException
        pass


@pytest.mark.parametrize("name, call", CALLS, ids=[name for name, _ in CALLS])
def test_no_growth(name, call):
    caught(call) if name[:2] != "ok" else call()
    objects = arguments(call)
    for _ in range(50):  # warm caches and free lists
        run(call)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    growth = []  # two batches: a leak grows both, a one-time allocation (a new frame-stack chunk) only one
    tracemalloc.start()
    try:
        for _ in range(2):
            traced, heap = tracemalloc.get_traced_memory()[0], HEAP and heap_in_use()
            for _ in range(REPS // 2):
                run(call)
            gc.collect()
            growth.append((tracemalloc.get_traced_memory()[0] - traced, HEAP and heap_in_use() - heap))
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == refs
    # One leaked object or array per call would grow each batch by REPS / 2 times its size.
    assert min(g[0] for g in growth) < 4 * 1024 and min(g[1] for g in growth) < 4 * 1024, growth

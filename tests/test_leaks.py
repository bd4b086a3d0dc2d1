"""Every entry point, on success and on each error path, called thousands of
times: neither the process's memory nor the arguments' reference counts may
grow."""
import gc
import os
import sys
import tracemalloc

import pytest

from tesmerine import PhaseHVec, resonator_factorize

# Calls per case; scripts that run the suite under valgrind lower it.
REPS = int(os.environ.get("TESMERINE_LEAK_REPS", "2000"))
# Under ASan (quarantine) or valgrind the resident size is the tool's, and the
# tool itself checks the extension's allocations.
CHECK_RSS = not (os.environ.get("TESMERINE_SANITIZED") or os.environ.get("TESMERINE_VALGRIND"))


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom("index")


class BadIter:
    """A sequence whose iteration fails after one item and whose len() fails."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i == 0:
            return self.item
        raise Boom("getitem")


a = PhaseHVec.random(256, 16, 1)
b = PhaseHVec.random(256, 16, 2)
short = PhaseHVec.random(255, 16, 3)
other_n = PhaseHVec.random(256, 17, 4)
books = [[a, b], [b, a]]
big = 2**64

# (name, callable, args, kwargs, expected exception or None)
CASES = [
    ("random", PhaseHVec.random, (256, 16, 7), {}, None),
    ("random kw", PhaseHVec.random, (), {"seed": 7, "n": 16, "dim": 256}, None),
    ("random missing", PhaseHVec.random, (1,), {}, TypeError),
    ("random too many", PhaseHVec.random, (1, 2, 3, 4), {}, TypeError),
    ("random twice", PhaseHVec.random, (1, 2, 3), {"n": 2}, TypeError),
    ("random unexpected", PhaseHVec.random, (1, 2, 3), {"x": 2}, TypeError),
    ("random dim float", PhaseHVec.random, (4.0, 16, 0), {}, TypeError),
    ("random dim neg", PhaseHVec.random, (-1, 16, 0), {}, OverflowError),
    ("random dim big", PhaseHVec.random, (big, 16, 0), {}, OverflowError),
    ("random dim index", PhaseHVec.random, (BadIndex(), 16, 0), {}, Boom),
    ("random n range", PhaseHVec.random, (4, 2**32, 0), {}, OverflowError),
    ("random n i64", PhaseHVec.random, (4, 2**63, 0), {}, OverflowError),
    ("random n value", PhaseHVec.random, (4, 1, 0), {}, ValueError),
    ("random seed", PhaseHVec.random, (4, 16, None), {}, TypeError),
    ("random capacity", PhaseHVec.random, (2**64 - 1, 16, 0), {}, BaseException),
    ("bind", a.bind, (b,), {}, None),
    ("unbind kw", a.unbind, (), {"other": b}, None),
    ("similarity", a.similarity, (b,), {}, None),
    ("bind int", a.bind, (3,), {}, TypeError),
    ("unbind None", a.unbind, (None,), {}, TypeError),
    ("similarity mismatch", a.similarity, (short,), {}, ValueError),
    ("bind n mismatch", a.bind, (other_n,), {}, ValueError),
    ("bind missing", a.bind, (), {}, TypeError),
    ("bind twice", a.bind, (b,), {"other": b}, TypeError),
    ("bind unexpected", a.bind, (), {"x": b}, TypeError),
    ("bundle", PhaseHVec.bundle, ([a, b, a],), {}, None),
    ("bundle tuple", PhaseHVec.bundle, ((a, b),), {}, None),
    ("bundle empty", PhaseHVec.bundle, ([],), {}, ValueError),
    ("bundle str", PhaseHVec.bundle, ("ab",), {}, TypeError),
    ("bundle set", PhaseHVec.bundle, ({a},), {}, TypeError),
    ("bundle item", PhaseHVec.bundle, ([a, 1],), {}, TypeError),
    ("bundle iteration", PhaseHVec.bundle, (BadIter(a),), {}, Boom),
    ("bundle dim panic", PhaseHVec.bundle, ([a, short],), {}, BaseException),
    ("bundle n panic", PhaseHVec.bundle, ([a, other_n],), {}, BaseException),
    ("resonator", resonator_factorize, (a.bind(b), books), {"max_iter": 3}, None),
    ("resonator empty", resonator_factorize, (a, []), {}, None),
    ("resonator composite", resonator_factorize, (1, books), {}, TypeError),
    ("resonator str", resonator_factorize, (a, "ab"), {}, TypeError),
    ("resonator inner str", resonator_factorize, (a, ["ab"]), {}, TypeError),
    ("resonator not seq", resonator_factorize, (a, [{a}]), {}, TypeError),
    ("resonator item", resonator_factorize, (a, [[a, None]]), {}, TypeError),
    ("resonator iteration", resonator_factorize, (a, [BadIter(a)]), {}, Boom),
    ("resonator max_iter", resonator_factorize, (a, books), {"max_iter": None}, TypeError),
    ("resonator max_iter neg", resonator_factorize, (a, books, -1), {}, OverflowError),
    ("resonator short panic", resonator_factorize, (a, [[short]]), {}, BaseException),
    ("resonator long panic", resonator_factorize, (short, [[a]], 0), {}, BaseException),
    ("resonator too many", resonator_factorize, (a, books, 1, 2), {}, TypeError),
    ("phases", a.phases, (), {}, None),
    ("phases args", a.phases, (1,), {}, TypeError),
    ("dim", lambda: a.dim, (), {}, None),
    ("n", lambda: a.n, (), {}, None),
    ("repr", repr, (a,), {}, None),
    ("new", PhaseHVec, (), {}, TypeError),
]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(fn, args, kwargs, expected):
    if expected is None:
        fn(*args, **kwargs)
        return
    try:
        fn(*args, **kwargs)
    except expected as e:
        # A PanicException is a BaseException; nothing else may be.
        assert isinstance(e, Exception) or type(e).__name__ == "PanicException"
    else:
        raise AssertionError("no exception")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc for the resident size")
@pytest.mark.parametrize("name, fn, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_no_growth(name, fn, args, kwargs, expected):
    objects = [fn, *args, *kwargs.values()]
    objects += [item for arg in args if isinstance(arg, list) for item in arg]
    # Small ints and None are shared with the whole interpreter: their counts move anyway.
    objects = [o for o in objects if o is not None and not (isinstance(o, int) and -5 <= o <= 256)]
    for _ in range(50):  # warm caches and free lists
        call(fn, args, kwargs, expected)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        traced, rss = tracemalloc.get_traced_memory()[0], rss_bytes()
        for _ in range(REPS):
            call(fn, args, kwargs, expected)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
        rss_growth = rss_bytes() - rss
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == refs
    # A leak of one object or one 512-byte phase array per call would show
    # as REPS times that; allow only the noise of a few pages.
    assert traced_growth < 16 * 1024
    assert rss_growth < 256 * 1024 or not CHECK_RSS

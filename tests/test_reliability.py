# Hostile environments: many threads, a fork, a call back into the module or an import lock held while a
# once-per-process value is being made, interpreter exit with daemon threads inside calls, BaseExceptions from user
# code where ordinary errors are dropped, memory running out, signals during long calls, an instance made by a
# Python __new__. Whatever could hang or crash runs in a child process with a timeout (and a capped address space
# where it takes memory), so that a hang fails the test instead of stalling the suite or the machine.
import os
import random
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from conftest import (CAP_ADDRESS_SPACE, REF, SANITIZED, Hostile, Index, Loud, Seq, capped, child, expected_notes,
                      linux_only, outcome)

from tesmerine import PhaseHVec, resonator_factorize

# The start of the children below: wrong_type() raises the wrong-type error naming the Sequence type, which the
# first such error in a process imports. HOOK runs in the importing thread before that import.
WRONG_TYPE = r"""
import builtins, importlib.util, os, signal, sys, threading, time
real_import, hooked = builtins.__import__, []
def hook(name, *args, **kwargs):
    if name == "collections.abc" and not hooked:
        hooked.append(name)
        HOOK
    return real_import(name, *args, **kwargs)
builtins.__import__ = hook
from tesmerine import PhaseHVec
def wrong_type():
    try:
        PhaseHVec.bundle({1})
    except BaseException as e:
        return type(e).__name__, str(e)
"""
EXPECTED = ("TypeError", "'set' object is not an instance of 'Sequence'")
FORK_WHILE_MAKING = WRONG_TYPE.replace("HOOK", "time.sleep(1.5)") + r"""
maker = threading.Thread(target=lambda: print("maker", wrong_type(), flush=True))
maker.start()
time.sleep(0.5)  # the maker now sleeps inside the import, making the value
pid = os.fork()
if pid == 0:
    signal.alarm(10)  # a hang ends the child
    print("child", wrong_type(), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
maker.join()
"""
REENTRY = WRONG_TYPE.replace("HOOK", "print('inner', wrong_type(), flush=True)") + r"""
print("outer", wrong_type())
print("again", wrong_type())
"""
# Thread B holds the import lock (inside a sys.meta_path finder) and needs the Sequence type while the main thread
# is making it and waits for the import lock (where collections.abc is imported at start-up, no one needs the import
# lock: the two finish in either order).
IMPORT_LOCK = WRONG_TYPE.replace("HOOK", "pass") + r"""
inside, found = threading.Event(), []
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "no_such_module":
            inside.set()
            time.sleep(0.5)
            found.append(("B", wrong_type()))
sys.meta_path.insert(0, Finder())
b = threading.Thread(target=lambda: importlib.util.find_spec("no_such_module"))
b.start()
inside.wait()
found.append(("main", wrong_type()))
b.join()
print(*(" ".join(map(str, pair)) for pair in sorted(found)), sep="\n")
"""


@pytest.mark.parametrize("script, said", [  # whoever needs the value makes it: no one waits
    pytest.param(FORK_WHILE_MAKING, ["child", "maker"], marks=linux_only, id="fork while another thread makes it"),
    pytest.param(REENTRY, ["inner", "outer", "again"], id="a call from the making thread"),
    pytest.param(IMPORT_LOCK, ["B", "main"], id="another thread holding the import lock")])
def test_a_value_made_once_per_process(script, said):
    done = child("-W", "ignore::DeprecationWarning", "-c", script, timeout=60)
    assert (done.returncode, done.stdout.splitlines(), done.stderr) == (0, [f"{w} {EXPECTED}" for w in said], "")


SHARED, ODD = [PhaseHVec.random(64, 16, s) for s in range(6)], PhaseHVec.random(63, 16, 99)


def mixed_calls(seed, count=2000):  # on shared vectors, errors included; one in 50 a resonator, which reuses scratch
    rng, calls = random.Random(seed), []
    for i in range(count):
        a, b = rng.choice(SHARED), rng.choice(SHARED)  # an Index argument lets other threads run amid a call
        calls.append(rng.choice([
            (a.bind, b), (a.unbind, b), (a.similarity, b), (a.similarity, ODD), (PhaseHVec.bundle, [a, ODD]),
            (PhaseHVec.bundle, rng.choices(SHARED, k=rng.randrange(1, 5))), (a.bind, Index(1)),
            (PhaseHVec.random, 4, Index(rng.choice([1, 2**32, 16])), 0),
            (PhaseHVec.random, Index(rng.randrange(100)), 16, rng.getrandbits(64))]) if i % 50 else
            (resonator_factorize, a.bind(b), [SHARED[:rng.randrange(1, 4)], SHARED[3:]], rng.randrange(6)))
    return calls


def test_threads_give_the_serial_results():
    plans = [mixed_calls(seed) for seed in range(6)]
    serial, interval = [[outcome(*c) for c in calls] for calls in plans], sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with ThreadPoolExecutor(len(plans)) as pool:  # one thread per plan, all running at once
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
    (lambda: PhaseHVec.bundle([a, PhaseHVec.random(4, 16, 0)]), lambda: PhaseHVec.bundle({a}),
     lambda: a.bind(i))[i % 3]()
with concurrent.futures.ThreadPoolExecutor(48) as pool:
    futures = [pool.submit(first_use, i) for i in range(48)]
seen = [(type(e).__name__, str(e), getattr(e, "__notes__", [])) for e in (f.exception() for f in futures)]
first = sys.modules.pop("tesmerine")
import tesmerine as again  # a second module object shares the class, with a function of its own
classes = [t.__name__ for t in gc.get_objects() if isinstance(t, type)]
print(seen == seen[:3] * 16, [s[:2] for s in seen[:3]], again is not first, again.PhaseHVec is first.PhaseHVec,
      again.__all__ == first.__all__, again.resonator_factorize.__self__ is again,
      again.resonator_factorize is not first.resonator_factorize,
      sorted(name for name in classes if name in ("PanicException", "PhaseHVec")),
      sys.getrefcount(collections.abc.Sequence) - sequence_refs)  # imported once, kept once
"""


@pytest.mark.parametrize("attempt", range(8))  # a race shows in some attempts, not all
def test_first_use_from_many_threads(attempt):
    done = child("-c", FIRST_USE, timeout=120)
    mismatch = "assertion `left == right` failed: phase-vector dimension mismatch in bundle\n  left: 4\n right: 3"
    first = [("PanicException", mismatch), ("TypeError", "'set' object is not an instance of 'Sequence'"),
             ("TypeError", "'int' object is not an instance of 'PhaseHVec'")]
    assert (done.returncode, done.stderr, done.stdout) == (
        0, "", f"True {first} True True True True True ['PanicException', 'PhaseHVec'] 1\n")


# The interpreter exits while a daemon thread is inside a call: one that runs the user's __getitem__ (the thread is
# ended when it asks for the interpreter lock back), or one that needs a once-per-process value another thread is
# making. A race: twenty processes each, side by side.
AT_EXIT = {
    "in a call": WRONG_TYPE.replace("HOOK", "pass") + r"""
v = PhaseHVec.random(64, 16, 1)
class Slow:
    def __getitem__(self, i):
        time.sleep(0.001)
        return (v, v, v, v)[i]
def loop():
    while True:
        PhaseHVec.bundle(Slow())
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
""",
    "making a value": WRONG_TYPE.replace("HOOK", "time.sleep(0.5)") + r"""
for _ in range(2):
    threading.Thread(target=wrong_type, daemon=True).start()
    time.sleep(0.1)
time.sleep(0.1)
"""}


@pytest.mark.parametrize("where", AT_EXIT)
def test_exit_while_daemon_threads_are_inside_calls(where):
    # A thread ended mid-call leaves what it held (the interpreter's own state of the thread too), which LeakSanitizer
    # would report at exit.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    procs = [subprocess.Popen([sys.executable, "-c", AT_EXIT[where]], stderr=subprocess.PIPE, text=True, env=env)
             for _ in range(20)]
    assert [(proc.communicate(timeout=60)[1], proc.returncode) for proc in procs] == [("", 0)] * 20


V = PhaseHVec.random(4, 16, 1)
DROPPING = {  # where an ordinary error of user code is dropped: (call, the note's parameter, the message)
    "items' length": (lambda raised: PhaseHVec.bundle(Seq([V], raised)), "items", "from __len__"),
    "codebooks' length": (lambda raised: resonator_factorize(V, Seq([[V]], raised)), "codebooks", "from __len__"),
    "other's type name": (lambda raised: V.bind(Hostile("T", (), {"raised": raised})()), "other", "no name"),
    "the note": (lambda raised: PhaseHVec.random(4, 16, Index(Loud("bad value", raised))), None, "from add_note")}


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, GeneratorExit, type("Stop", (BaseException,), {})])
@pytest.mark.parametrize("where", DROPPING)
def test_base_exceptions_are_never_dropped(where, raised):
    call, param, message = DROPPING[where]
    with pytest.raises(raised) as info:
        call(raised)
    assert (info.value.args, getattr(info.value, "__notes__", [])) == ((message,), expected_notes(param))
    assert where != "the note" or info.value.__context__.args[0] == "bad value"


# First 2000 one-component entries whose resolutions all differ and lie near 65536, which tables of every phase of
# every resolution would take 16 bytes times the sum of the resolutions for. Then every entry point that can run out
# of memory meets the end of memory with its thread's first C++ exception: the thread enters the module once while
# memory is still to be had, then all the C allocator will give is taken (Python's own small-object pools keep what
# they have) and the call raises; in the main thread, then in a fresh thread each. Last, calls whose results cannot
# fit in memory; the module stays usable.
MEMORY = CAP_ADDRESS_SPACE + r"""
import ctypes, threading
cap(in_use() + 768 * 2**20)
from tesmerine import PhaseHVec, resonator_factorize
book = [PhaseHVec.random(1, 65536 - j, j) for j in range(2000)]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = resonator_factorize(PhaseHVec.random(1, 65536, 7), [book, book[::-1]], 5)
print(len(result), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 32 * 1024, flush=True)
def outcome(call):
    try:
        return call() and ("no error",)
    except BaseException as e:
        return type(e).__name__, str(e), getattr(e, "__notes__", [])
v = PhaseHVec.random(10**6, 65536, 1)
calls = {"random": lambda: PhaseHVec.random(10**6, 4, 0), "bind": lambda: v.bind(v), "unbind": lambda: v.unbind(v),
         "bundle": lambda: PhaseHVec.bundle([v]), "phases": v.phases,
         "resonator_factorize": lambda: resonator_factorize(v, [[v]])}
libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
pieces = (ctypes.c_void_p * 2**20)()
def run(name):
    v.dim  # the thread's first entry into the module
    size, count = 2**30, 0
    while size >= 16 and count < 2**20:
        pieces[count] = libc.malloc(size)
        count, size = (count + 1, size) if pieces[count] else (count, size // 2)
    result = outcome(calls[name])
    for i in range(count):
        libc.free(pieces[i])
    print(name, result[0], flush=True)
run("bundle")
for name in calls:
    thread = threading.Thread(target=run, args=(name,))
    thread.start()
    thread.join()
big = PhaseHVec.random(2**27, 65536, 1)  # 256 MiB of phases: fits, but nothing made from it does
for call in (lambda: PhaseHVec.random(2**31, 16, 0), lambda: PhaseHVec.random(2**62 - 1, 4, 0),
             lambda: PhaseHVec.bundle([big]), lambda: PhaseHVec.bundle([big] * 4),
             lambda: resonator_factorize(big, [[big]]), big.phases):
    print(*outcome(call), PhaseHVec.bundle([PhaseHVec.random(8, 16, 42)] * 3).phases(), big.dim, big.n, flush=True)
"""


@capped
def test_memory_running_out():
    done = child("-c", MEMORY, timeout=120)
    calls = ["bundle", "random", "bind", "unbind", "bundle", "phases", "resonator_factorize"]
    # Items are read in place, not copied, so no failure comes from converting `items` (none has a note).
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "".join(
        ["2 True\n"] + [f"{name} MemoryError\n" for name in calls] + [f"MemoryError  [] {REF} {2**27} 65536\n"] * 6))


# A large codebook (82 MB of phases) is read in place: copies of it laid out for the kernels would add their size.
LARGE_BOOK = r"""
import resource
from tesmerine import PhaseHVec, resonator_factorize
book = [PhaseHVec.random(1024, 256, j) for j in range(40000)]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
found = resonator_factorize(book[5].bind(book[7]), [book, book], 1)
print(len(found), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 20 * 1024)
"""


def test_a_large_codebook_is_not_copied():
    done = child("-c", LARGE_BOOK)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "2 True\n")


# Calls that run for seconds unless interrupted (bench/interrupt_latency.py measures the delays): 2000 sweeps of a
# resonator that never settles, a fold of 4 * 10^10 phases, the conversion of 4 * 10^7 items, and single passes over
# vectors of 2^25 to 2^31 phases. Each polls for signals, whose handlers run there (a handler that returns lets the
# call go on, and the other tests' long calls poll too: what polls leave unchanged, they check).
LONG_CALLS = {
    "resonator": "books = [[PhaseHVec.random(10000, 4, 1000 * f + j) for j in range(256)] for f in range(3)]\n"
                 "call = lambda: resonator_factorize(PhaseHVec.random(10000, 4, 7), books, 2000)",
    "bundle": "items = [PhaseHVec.random(100000, 256, 1)] * 400000\ncall = lambda: PhaseHVec.bundle(items)",
    "bundle conversion": "items = [PhaseHVec.random(1, 4, 1)] * 40_000_000\ncall = lambda: PhaseHVec.bundle(items)",
    "random": "call = lambda: PhaseHVec.random(2**31, 65536, 1)",
    "bind": "a = PhaseHVec.random(2**29, 65536, 1)\ncall = lambda: a.bind(a)",
    "similarity": "a, b = PhaseHVec.random(2**29, 65536, 1), PhaseHVec.random(2**29, 65536, 2)\n"
                  "call = lambda: a.similarity(b)",
    "phases": "v = PhaseHVec.random(2**25, 65536, 1)\ncall = v.phases"}
INTERRUPTED = r"""
import time
from tesmerine import PhaseHVec, resonator_factorize
SETUP
print("ready", flush=True)
try:
    call()
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="needs SIGINT")
@pytest.mark.parametrize("kind", LONG_CALLS)
def test_ctrl_c_ends_a_long_call(kind):  # within a second
    if kind in ("random", "bind") and SANITIZED:
        pytest.skip("under ASan, allocating gigabytes is itself seconds of work that cannot be interrupted")
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED.replace("SETUP", LONG_CALLS[kind])],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.3)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    word, when = out.split() if out.count(" ") == 1 else (out, "inf")
    assert (word, proc.returncode, err, float(when) - sent < 1.0) == ("interrupted", 0, "", True)


EMPTY_INSTANCE = r"""
from tesmerine import PhaseHVec, resonator_factorize
PhaseHVec.__new__ = lambda cls: object.__new__(cls)
e, v = PhaseHVec(), PhaseHVec.random(3, 16, 1)
shape = lambda x: (x.dim, x.n, x.phases())
for call in (lambda: (*shape(e), repr(e)), lambda: e.similarity(e), lambda: shape(e.bind(e)),
             lambda: shape(e.unbind(e)), lambda: shape(PhaseHVec.bundle([e, e])),
             lambda: resonator_factorize(e, [[e, e], []]), lambda: resonator_factorize(e, [[e]], 0), lambda: v.bind(e),
             lambda: e.similarity(v), lambda: PhaseHVec.bundle([e, v]), lambda: resonator_factorize(v, [[e]]),
             lambda: resonator_factorize(e, [[v]])):
    try:
        print(call())
    except BaseException as error:
        print(type(error).__name__, str(error).replace("\n", "|"))
"""


def test_an_instance_made_by_a_python_new_is_tolerated():  # as docs/guide.md says
    done = child("-c", EMPTY_INSTANCE, timeout=60)
    mismatch = "ValueError phase vectors differ in dimension or resolution"
    short = "PanicException index out of bounds: the len is 0 but the index is 0"
    lines = done.stdout.splitlines()
    assert (done.returncode, done.stderr, lines) == (0, "", [
        "(0, 0, [], 'PhaseHVec(dim=0, n=0)')", "1.0", *["(0, 0, [])"] * 3, "[(1, 0.0), (0, 0.0)]", "[(0, 0.0)]",
        mismatch, mismatch, "PanicException assertion `left == right` failed: phase-vector dimension mismatch in "
        "bundle|  left: 3| right: 0", short, short])
    guide = " ".join((Path(__file__).resolve().parent.parent / "docs" / "guide.md").read_text(encoding="utf-8").split())
    quotes = (f"`e.similarity(e)` is {lines[1]}", "instances of `dim` 0 whose `phases()` is `[]`",
              f"`resonator_factorize(e, [[e, e], []])` is `{lines[5]}`")
    assert [quote in guide for quote in quotes] == [True] * 3

# Hostile environments: a fork, a call back into the module or an import lock held while a
# once-per-process value is being made, interpreter exit with daemon threads inside calls, memory
# running out, codebooks mixing thousands of resolutions, BaseExceptions from user code where ordinary
# errors are dropped, and signals arriving during long calls. Everything that could hang or crash runs
# in a child process with a timeout, so a hang fails the test instead of stalling the suite.
import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import CAP_ADDRESS_SPACE, child, expected_notes
from tesmerine import PhaseHVec, resonator_factorize

NOT_SEQUENCE = "'set' object is not an instance of 'Sequence'"
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs fork, RLIMIT_AS and /proc")

# An __import__ hook that, the first time collections.abc is imported (to name the type in a wrong-type
# message), runs HOOK_BODY in the importing thread before the real import.
IMPORT_HOOK = r"""
import builtins, os, sys, threading, time
real_import, hooked = builtins.__import__, []
def hook(name, *args, **kwargs):
    if name == "collections.abc" and not hooked:
        hooked.append(name)
        HOOK_BODY
    return real_import(name, *args, **kwargs)
builtins.__import__ = hook
from tesmerine import PhaseHVec
def wrong_type():
    try:
        PhaseHVec.bundle({1})
    except BaseException as e:
        return type(e).__name__, str(e)
"""

FORK_WHILE_MAKING = IMPORT_HOOK.replace("HOOK_BODY", "time.sleep(1.5)") + r"""
maker = threading.Thread(target=lambda: print("maker", wrong_type(), flush=True))
maker.start()
time.sleep(0.5)  # the maker now sleeps inside the import, holding the one-time guard
pid = os.fork()
if pid == 0:
    print("child", wrong_type(), flush=True)
    os._exit(0)
deadline = time.monotonic() + 10
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        print("child hung", flush=True)
        break
    time.sleep(0.01)
maker.join()
"""

REENTRY = IMPORT_HOOK.replace("HOOK_BODY", "print('inner', wrong_type(), flush=True)") + r"""
print("outer", wrong_type())
print("again", wrong_type())
"""


@linux_only
def test_fork_while_another_thread_makes_a_value():
    done = child("-W", "ignore::DeprecationWarning", "-c", FORK_WHILE_MAKING, timeout=30)
    expected = ("TypeError", NOT_SEQUENCE)
    assert (done.returncode, done.stdout) == (0, f"child {expected}\nmaker {expected}\n"), done.stderr


def test_reentry_from_the_making_thread():  # the inner call makes the value itself
    done = child("-c", REENTRY, timeout=30)
    expected = ("TypeError", NOT_SEQUENCE)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"inner {expected}\nouter {expected}\nagain {expected}\n", "")


# Thread B holds the import lock (inside a sys.meta_path finder, or in a profiler that fires there) and
# needs the Sequence type while the main thread is making it and waits for the import lock.
IMPORT_LOCK = r"""
import sys, threading, time
from tesmerine import PhaseHVec
def wrong_type():
    try:
        PhaseHVec.bundle({1})
    except BaseException as e:
        return type(e).__name__, str(e)
inside = threading.Event()
def in_the_finder():  # B, holding the import lock; the main thread starts making the value meanwhile
    inside.set()
    time.sleep(0.5)
    print("B", wrong_type(), flush=True)
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "no_such_module" and HOW == "finder":
            in_the_finder()
def profiler(frame, event, arg):
    if event == "call" and frame.f_code.co_name == "find_spec" and frame.f_locals.get("name") == "no_such_module":
        sys.setprofile(None)
        in_the_finder()
sys.meta_path.insert(0, Finder())
def importer():
    if HOW == "profiler":
        sys.setprofile(profiler)
    try:
        import no_such_module
    except ImportError:
        pass
b = threading.Thread(target=importer)
b.start()
inside.wait()
print("main", wrong_type(), flush=True)
b.join()
"""


@pytest.mark.parametrize("how", ["finder", "profiler"])
def test_making_a_value_while_another_thread_holds_the_import_lock(how):
    done = child("-c", IMPORT_LOCK.replace("HOW", repr(how)), timeout=60)
    expected = ("TypeError", NOT_SEQUENCE)
    # In either order: where collections.abc is imported at start-up, no one needs the import lock.
    assert (done.returncode, sorted(done.stdout.splitlines()), done.stderr) == (0, [f"B {expected}", f"main {expected}"], "")


# The interpreter exits while a daemon thread is inside a call: one that runs the user's __getitem__
# (the thread is ended when it asks for the interpreter lock back), and one that needs a
# once-per-process value while another thread is making it.
AT_EXIT = {
    "in a call": r"""
import threading, time
from tesmerine import PhaseHVec
v = PhaseHVec.random(64, 16, 1)
class Slow:
    def __len__(self):
        return 4
    def __getitem__(self, i):
        if i >= 4:
            raise IndexError
        time.sleep(0.001)
        return v
def loop():
    while True:
        PhaseHVec.bundle(Slow())
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
""",
    "making a value": IMPORT_HOOK.replace("HOOK_BODY", "time.sleep(0.5)") + r"""
for _ in range(2):
    threading.Thread(target=wrong_type, daemon=True).start()
    time.sleep(0.1)
time.sleep(0.1)
""",
}


@pytest.mark.parametrize("where", AT_EXIT)
def test_exit_while_daemon_threads_are_inside_calls(where):
    # A thread ended mid-call leaves what it held (the interpreter's own state of the thread too), which
    # LeakSanitizer would report at exit.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    outcomes = [child("-c", AT_EXIT[where], timeout=60, env=env) for _ in range(20)]
    assert [(done.returncode, done.stderr) for done in outcomes] == [(0, "")] * 20


# Every entry point that can run out of memory meets the end of memory with its thread's first C++
# exception: the thread enters the module once while memory is still to be had, then the address space
# left and the C allocator's last pieces are taken (Python's own small-object pools keep what they
# have) and the call raises. First in a fresh process's main thread, then in a fresh thread each,
# under address-space caps from 150 MB to 2.5 GB.
OUT_OF_MEMORY = CAP_ADDRESS_SPACE + r"""
import ctypes, mmap, sys, threading
cap(int(sys.argv[1]) * 2**20)
from tesmerine import PhaseHVec, resonator_factorize
v = PhaseHVec.random(10**6, 65536, 1)
calls = {"random": lambda: PhaseHVec.random(10**6, 4, 0), "bind": lambda: v.bind(v), "unbind": lambda: v.unbind(v),
         "bundle": lambda: PhaseHVec.bundle([v]), "phases": v.phases,
         "resonator_factorize": lambda: resonator_factorize(v, [[v]])}
libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
pieces = (ctypes.c_void_p * 2**20)()
def exhaust():
    maps, size = [], 2**30
    while size >= 2**16:
        try:
            maps.append(mmap.mmap(-1, size))
        except (OSError, MemoryError):
            size //= 2
    count, size = 0, 2**16
    while size >= 16 and count < 2**20:
        piece = libc.malloc(size)
        if piece:
            pieces[count], count = piece, count + 1
        else:
            size //= 2
    return maps, count
def run(name):
    v.dim  # the thread's first entry into the module
    maps, count = exhaust()
    try:
        calls[name]()
        outcome = "no error"
    except BaseException as e:
        outcome = type(e).__name__
    for i in range(count):
        libc.free(pieces[i])
    del maps
    print(name, outcome, flush=True)
run(sys.argv[2])
for name in calls:
    thread = threading.Thread(target=run, args=(name,))
    thread.start()
    thread.join()
"""
CAPS = {150: "random", 300: "phases", 600: "bind", 1000: "unbind", 1600: "bundle", 2500: "resonator_factorize"}


@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
@linux_only
@pytest.mark.parametrize("megabytes", CAPS)
def test_memory_running_out_at_a_threads_first_exception(megabytes):
    done = child("-c", OUT_OF_MEMORY, megabytes, CAPS[megabytes], timeout=120)
    names = [CAPS[megabytes], "random", "bind", "unbind", "bundle", "phases", "resonator_factorize"]
    assert (done.returncode, done.stderr, done.stdout.split("\n")) == (
        0, "", [f"{name} MemoryError" for name in names] + [""])


# 2000 one-component entries whose resolutions all differ and lie near 65536, under an address-space
# cap: tables of every phase of every resolution would take 16 bytes times the sum of the resolutions.
MIXED_RESOLUTIONS = CAP_ADDRESS_SPACE + r"""
cap(in_use() + 256 * 2**20)
from tesmerine import PhaseHVec, resonator_factorize
book = [PhaseHVec.random(1, 65536 - j, j) for j in range(2000)]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = resonator_factorize(PhaseHVec.random(1, 65536, 7), [book, book[::-1]], 5)
print(len(result), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 32 * 1024)
"""


@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
@linux_only
def test_codebooks_mixing_thousands_of_resolutions():
    done = child("-c", MIXED_RESOLUTIONS, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "2 True\n", "")


class Hostile(type):  # a metaclass whose classes cannot tell their __qualname__
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise type.__getattribute__(cls, "raised")("no name")
        return type.__getattribute__(cls, name)


class Len:  # a sequence whose __len__ raises
    def __init__(self, items, raised):
        self.items, self.raised = items, raised

    def __len__(self):
        raise self.raised("from __len__")

    def __getitem__(self, i):
        return self.items[i]


class LoudIndex:  # __index__ raises an error whose add_note raises `raised`
    def __init__(self, raised):
        self.raised = raised

    def __index__(self):
        raised = self.raised

        class Loud(Exception):
            def add_note(self, note):
                raise raised("from add_note")
        raise Loud("bad value")


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, GeneratorExit, type("Stop", (BaseException,), {})])
def test_base_exceptions_are_never_dropped(raised):
    v = PhaseHVec.random(4, 16, 1)
    nameless = Hostile("Thing", (), {"raised": raised})()
    for call, param, message in [
        (lambda: PhaseHVec.bundle(Len([v], raised)), "items", "from __len__"),
        (lambda: resonator_factorize(v, Len([[v]], raised)), "codebooks", "from __len__"),
        (lambda: resonator_factorize(v, [[v], Len([v], raised)]), "codebooks", "from __len__"),
        (lambda: v.bind(nameless), "other", "no name"),
        (lambda: PhaseHVec.bundle([v, nameless]), "items", "no name"),
    ]:
        with pytest.raises(raised) as info:
            call()
        assert (info.value.args, getattr(info.value, "__notes__", [])) == ((message,), expected_notes(param))
    with pytest.raises(raised) as info:
        PhaseHVec.random(4, 16, LoudIndex(raised))
    assert info.value.args == ("from add_note",) and str(info.value.__context__) == "bad value"
    # Ordinary errors are still dropped there: the hint, the type's name, the note.
    assert PhaseHVec.bundle(Len([v], ValueError)).phases() == v.phases()
    assert resonator_factorize(v, Len([Len([v], ValueError)], ValueError), 0) == resonator_factorize(v, [[v]], 0)
    with pytest.raises(TypeError) as info:
        v.bind(Hostile("Thing", (), {"raised": ValueError})())
    assert str(info.value) == "'<failed to extract type name>' object is not an instance of 'PhaseHVec'"
    with pytest.raises(Exception) as info:
        PhaseHVec.random(4, 16, LoudIndex(ValueError))
    assert (type(info.value).__name__, str(info.value), getattr(info.value, "__notes__", [])) == ("Loud", "bad value", [])


# Calls that run for seconds unless interrupted: 2000 sweeps of a resonator that never settles, a fold
# of 4 * 10^10 phases, the conversion of 4 * 10^7 items, and single passes over vectors of 2^29 to 2^31
# phases (bench/interrupt_latency.py measures the delays).
LONG_CALLS = {
    "resonator": "books = [[PhaseHVec.random(10000, 4, 1000 * f + j) for j in range(256)] for f in range(3)]\n"
                 "call = lambda: resonator_factorize(PhaseHVec.random(10000, 4, 7), books, 2000)",
    "bundle": "items = [PhaseHVec.random(100000, 256, 1)] * 400000\ncall = lambda: PhaseHVec.bundle(items)",
    "bundle conversion": "items = [PhaseHVec.random(1, 4, 1)] * 40_000_000\ncall = lambda: PhaseHVec.bundle(items)",
    "random": "call = lambda: PhaseHVec.random(2**31, 65536, 1)",
    "bind": "a = PhaseHVec.random(2**29, 65536, 1)\ncall = lambda: a.bind(a)",
    "similarity": "a, b = PhaseHVec.random(2**29, 65536, 1), PhaseHVec.random(2**29, 65536, 2)\n"
                  "call = lambda: a.similarity(b)",
    "phases": "v = PhaseHVec.random(2**25, 65536, 1)\ncall = v.phases",
}
INTERRUPTED = r"""
import time
from tesmerine import PhaseHVec, resonator_factorize
SETUP
print("ready", flush=True)
try:
    result = call()
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="needs SIGINT")
@pytest.mark.parametrize("kind", LONG_CALLS)
def test_ctrl_c_ends_a_long_call(kind):
    if kind in ("random", "bind") and os.environ.get("TESMERINE_SANITIZED"):
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
    assert (word, proc.returncode, err) == ("interrupted", 0, "")
    assert float(when) - sent < 1.0


class Alarm(Exception):
    pass


def with_alarms(handler, call, repeat):  # call() while SIGALRM fires after 50 ms, and every ms after that if repeat
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.001 if repeat else 0)
    try:
        return call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_signal_handlers_during_long_calls():
    books = [[PhaseHVec.random(2000, 4, 1000 * f + j) for j in range(64)] for f in range(3)]
    composite, items = PhaseHVec.random(2000, 4, 0), [PhaseHVec.random(30000, 256, s) for s in range(4)] * 5000
    calls = lambda: (resonator_factorize(composite, books, 800), PhaseHVec.bundle(items).phases())  # noqa: E731
    expected, fired = calls(), []
    assert with_alarms(lambda *_: fired.append(1), calls, repeat=True) == expected and fired  # handlers that return
    # A handler that raises ends the call with its exception (the alarm comes once: nothing can
    # interrupt the clean-up).
    def alarm(*_):
        raise Alarm
    for call in (lambda: resonator_factorize(composite, books, 50000), lambda: PhaseHVec.bundle(items * 100)):  # 12 s and 9 s uninterrupted
        result, started = None, time.monotonic()
        with pytest.raises(Alarm):
            result = with_alarms(alarm, call, repeat=False)
        assert result is None and time.monotonic() - started < 1.0


EMPTY_INSTANCE = r"""
from tesmerine import PhaseHVec, resonator_factorize
PhaseHVec.__new__ = lambda cls: object.__new__(cls)
e, v = PhaseHVec(), PhaseHVec.random(3, 16, 1)
for call in (lambda: (e.dim, e.n, e.phases(), repr(e)), lambda: e.bind(e).phases(), lambda: e.unbind(e).n,
             lambda: e.similarity(e), lambda: PhaseHVec.bundle([e, e]).dim, lambda: resonator_factorize(e, [[e, e], []]),
             lambda: resonator_factorize(e, [[e]], 0), lambda: v.bind(e), lambda: e.similarity(v), lambda: PhaseHVec.bundle([e, v]),
             lambda: resonator_factorize(v, [[e]]), lambda: resonator_factorize(e, [[v]])):
    try:
        print(call())
    except BaseException as error:
        print(type(error).__name__, str(error).replace("\n", "|"))
"""


def test_an_instance_made_by_a_python_new_is_tolerated():
    done = child("-c", EMPTY_INSTANCE, timeout=60)
    mismatch = "phase vectors differ in dimension or resolution"
    assert (done.returncode, done.stderr, done.stdout.splitlines()) == (0, "", [
        "(0, 0, [], 'PhaseHVec(dim=0, n=0)')", "[]", "0", "1.0", "0", "[(1, 0.0), (0, 0.0)]", "[(0, 0.0)]",
        f"ValueError {mismatch}", f"ValueError {mismatch}",
        "PanicException assertion `left == right` failed: phase-vector dimension mismatch in bundle|  left: 3| right: 0",
        "PanicException index out of bounds: the len is 0 but the index is 0",
        "PanicException index out of bounds: the len is 0 but the index is 0"])

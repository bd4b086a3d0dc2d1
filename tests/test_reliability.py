# Hostile environments: a fork or a call back into the module while a once-per-process value is being
# made, codebooks mixing thousands of resolutions, BaseExceptions from user code where ordinary errors
# are dropped, and signals arriving during long calls. Everything that could hang runs in a child
# process with a timeout, so a hang fails the test instead of stalling the suite.
import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import child, expected_notes
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


def test_reentry_from_the_making_thread():
    done = child("-c", REENTRY, timeout=30)
    inner = ("RuntimeError", "tesmerine was called again by the same thread while it was making a "
             "once-per-process value (for example from an import hook or a profiler); that call cannot wait")
    expected = ("TypeError", NOT_SEQUENCE)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"inner {inner}\nouter {expected}\nagain {expected}\n", "")


# 2000 one-component entries whose resolutions all differ and lie near 65536, under an address-space
# cap: tables of every phase of every resolution would take 16 bytes times the sum of the resolutions.
MIXED_RESOLUTIONS = r"""
import resource
vm_size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm_size + 256 * 2**20, resource.RLIM_INFINITY))
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


# Calls that run for many seconds unless interrupted: 2000 sweeps of a resonator that never settles,
# and a fold of 4 * 10^10 phases.
LONG_CALLS = {
    "resonator": "books = [[PhaseHVec.random(10000, 4, 1000 * f + j) for j in range(256)] for f in range(3)]\n"
                 "call = lambda: resonator_factorize(PhaseHVec.random(10000, 4, 7), books, 2000)",
    "bundle": "items = [PhaseHVec.random(100000, 256, 1)] * 400000\ncall = lambda: PhaseHVec.bundle(items)",
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

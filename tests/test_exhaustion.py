# Memory running out, in child processes whose address space is capped, so that nothing here can exhaust the machine.
from conftest import CAP_ADDRESS_SPACE, REF, capped, child

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

"""How long Ctrl-C takes to end each kind of long call.

    python3 bench/interrupt_latency.py [--runs N] [--kinds resonator,bundle,...]

Each kind of call runs in a child process (the tesmerine on its path) at a
size that keeps it busy for seconds; SIGINT is sent from this process at a
known moment into the call, and the child notes when KeyboardInterrupt
reaches it (CLOCK_MONOTONIC is the same clock in both processes). Prints,
per kind, the delays of every run and the worst, in milliseconds.
"""
import argparse
import os
import signal
import subprocess
import sys
import time

# Setup (untimed), then `call`, which runs for seconds uninterrupted.
KINDS = {
    # Two factors over one codebook of 100 000 entries at D = 4096: the first
    # factor's dot products and superposition alone are 4 * 10^8 terms each.
    "resonator": "book = [PhaseHVec.random(4096, 256, j) for j in range(100_000)]\n"
                 "composite = PhaseHVec.random(4096, 256, 7)\n"
                 "call = lambda: resonator_factorize(composite, [book, book], 50)",
    # The conversion of 4 * 10^7 items, then their fold.
    "bundle-conversion": "items = [PhaseHVec.random(1, 4, 1)] * 40_000_000\ncall = lambda: PhaseHVec.bundle(items)",
    # A fold of 4 * 10^10 phases.
    "bundle-fold": "items = [PhaseHVec.random(100_000, 256, 1)] * 400_000\ncall = lambda: PhaseHVec.bundle(items)",
    "random": "call = lambda: PhaseHVec.random(2**31, 65536, 1)",
    "bind": "a = PhaseHVec.random(2**29, 65536, 1)\ncall = lambda: a.bind(a)",
    "unbind": "a = PhaseHVec.random(2**29, 65536, 1)\ncall = lambda: a.unbind(a)",
    "similarity": "a, b = PhaseHVec.random(2**30, 65536, 1), PhaseHVec.random(2**30, 65536, 2)\n"
                  "call = lambda: a.similarity(b)",
    "phases": "v = PhaseHVec.random(2**25, 65536, 1)\ncall = v.phases",
}

CHILD = r"""
import time
from tesmerine import PhaseHVec, resonator_factorize
SETUP
print("ready", flush=True)
started = time.monotonic()
try:
    call()
    print("finished", time.monotonic(), time.monotonic() - started, flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), time.monotonic() - started, flush=True)
"""


def one_run(kind, after):
    proc = subprocess.Popen([sys.executable, "-c", CHILD.replace("SETUP", KINDS[kind])], stdout=subprocess.PIPE,
                            text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(after)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        word, when, _ = proc.stdout.readline().split()
        proc.wait(timeout=600)
    finally:
        proc.kill()
        proc.wait()
    return word, (float(when) - sent) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--kinds", default=",".join(KINDS))
    args = parser.parse_args()
    print(f"tesmerine from {os.environ.get('PYTHONPATH', 'the environment')}, {sys.version.split()[0]}")
    for kind in args.kinds.split(","):
        # Signals at different moments into the call: 0.3 s, then every 0.07 s later (every 0.9 s for
        # the resonator, which goes through the preparation of its codebooks, its first estimates and
        # its sweeps).
        step = 0.9 if kind == "resonator" else 0.07
        runs = [one_run(kind, 0.3 + step * r) for r in range(args.runs)]
        words = {word for word, _ in runs}
        delays = " ".join(f"{delay:.1f}" for _, delay in runs)
        print(f"{kind:18} worst {max(d for _, d in runs):8.1f} ms   runs: {delays}   {'/'.join(sorted(words))}",
              flush=True)


if __name__ == "__main__":
    main()

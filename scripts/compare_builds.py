#!/usr/bin/env python3
"""Bit-for-bit comparison of two builds of tesmerine on many random inputs.

    python3 scripts/compare_builds.py OLD NEW [--cases N] [--kernels generic,avx2,avx512]

OLD and NEW are each a directory holding a tesmerine.abi3.so (run by this
interpreter), or an interpreter in which tesmerine is installed (for example
one that runs under an emulated processor). Every operation is run in a
separate interpreter per build on the same seeded inputs; phases are
compared as lists and floats through float.hex(). With --kernels the new
build (one made with -DTESMERINE_KERNELS_OVERRIDE=ON) is run once per named
kernel variant, each compared with the old build. --report-only prints the
comparison without failing.
"""
import argparse
import hashlib
import json
import os
import random
import subprocess
import sys

WORKER = r'''
import json, random, sys
from tesmerine import PhaseHVec, resonator_factorize

cases = int(sys.argv[1])
rng = random.Random(20240611)
N_EDGE = [2, 3, 4, 5, 7, 8, 16, 255, 256, 257, 360, 1000, 4096, 65535, 65536]

def pick_n():
    return rng.choice(N_EDGE) if rng.random() < 0.6 else rng.randint(2, 65536)

def pick_dim():
    return rng.choice([0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 255, 256, 257, 1000, 4099]) if rng.random() < 0.5 else rng.randint(0, 3000)

def seed():
    return rng.choice([0, 1, 2**64 - 1, 2**63]) if rng.random() < 0.1 else rng.getrandbits(64)

out = {}
def emit(kind, value):
    out.setdefault(kind, []).append(value)

for _ in range(cases):
    dim, n = pick_dim(), pick_n()
    a, b = PhaseHVec.random(dim, n, seed()), PhaseHVec.random(dim, n, seed())
    emit("random", a.phases())
    emit("bind", a.bind(b).phases())
    emit("unbind", a.unbind(b).phases())
    emit("similarity", a.similarity(b).hex())
    emit("similarity_self", a.similarity(a).hex())
    items = [PhaseHVec.random(dim, n, seed()) for _ in range(rng.choice([1, 2, 3, 10, 37]))]
    emit("bundle", PhaseHVec.bundle(items).phases())
    # Structured inputs: many halfway and cancelling sums.
    small = [PhaseHVec.random(dim, 4, seed()) for _ in range(rng.randint(1, 6))]
    emit("bundle_n4", PhaseHVec.bundle(small).phases())
    if rng.random() < 0.1:  # long lists, which take their own fold at small n
        n_small = rng.choice([2, 4, 16, 200, 255, 256])
        pool = [PhaseHVec.random(dim, n_small, seed()) for _ in range(4)]
        emit("bundle_many", PhaseHVec.bundle([rng.choice(pool) for _ in range(rng.choice([64, 100, 257, 300]))]).phases())

# Lists longer than 2^16 items, whose packed sums are unpacked between blocks.
for n_long in (2, 256, 65536):
    pool = [PhaseHVec.random(40, n_long, seed()) for _ in range(8)]
    emit("bundle_long", PhaseHVec.bundle([pool[rng.randrange(8)] for _ in range(140001)]).phases())

def resonator_case(dim, n, factors, entries, max_iter, mixed=False, noise=False):
    books = []
    for f in range(factors):
        m = entries if entries is not None else rng.randint(0, 20)
        book = []
        for j in range(m):
            nv = (n if not mixed or rng.random() < 0.5 else pick_n())
            book.append(PhaseHVec.random(dim, nv, seed()))
        books.append(book)
    composite = PhaseHVec.random(dim, n, seed())
    chosen = [b[rng.randrange(len(b))] for b in books if b and all(e.n == n for e in b)]
    if chosen and not noise:
        composite = chosen[0]
        for c in chosen[1:]:
            composite = composite.bind(c)
    res = resonator_factorize(composite, books, max_iter)
    emit("resonator", [(j, s.hex()) for j, s in res])

for _ in range(max(1, cases // 4)):
    dim = rng.choice([0, 1, 5, 8, 17, 64, 100, 257, 1000])
    resonator_case(dim, pick_n() if rng.random() < 0.5 else rng.choice([2, 3, 4, 16]),
                   rng.randint(0, 4), None, rng.choice([0, 1, 2, 3, 5, 8, 50]),
                   mixed=rng.random() < 0.3, noise=rng.random() < 0.3)
# The benchmark sizes, with a fixed number of sweeps and with the default.
for dim, n, factors, entries in [(1024, 256, 3, 16), (10000, 256, 3, 100), (1500, 2, 3, 64)]:
    for max_iter in (4, 50):
        resonator_case(dim, n, factors, entries, max_iter)
# Codebooks too large for every entry to go over a poll's worth of components at once, of 2 and of 16 positions.
for n in (2, 16):
    resonator_case(4096, n, 2, 1200, 3)

json.dump(out, sys.stdout)
'''


def run(build, cases, kernels=None):
    env = dict(os.environ)
    if os.path.isdir(build):
        env["PYTHONPATH"] = os.path.abspath(build)
        interpreter = sys.executable
    else:
        interpreter = build
    if kernels:
        env["TESMERINE_KERNELS"] = kernels
    done = subprocess.run([interpreter, "-c", WORKER, str(cases)], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{interpreter} ({build}) failed with status {done.returncode}:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--cases", type=int, default=400)
    parser.add_argument("--kernels", default="")
    parser.add_argument("--report-only", action="store_true")
    args = parser.parse_args()
    reference = run(args.old, args.cases)
    failures = 0
    for kernels in (args.kernels.split(",") if args.kernels else [None]):
        result = run(args.new, args.cases, kernels)
        label = kernels or "default"
        for kind, values in reference.items():
            other = result.get(kind, [])
            same = sum(1 for x, y in zip(values, other) if x == y)
            ok = same == len(values) == len(other)
            failures += not ok
            digest = hashlib.sha256(json.dumps(values).encode()).hexdigest()[:12]
            print(f"[{label:8}] {kind:16} {same}/{len(values)} identical  {'OK' if ok else 'DIFFER'}  sha256 {digest}")
    print("all identical" if failures == 0 else f"{failures} kinds differ")
    sys.exit(1 if failures and not args.report_only else 0)


if __name__ == "__main__":
    main()

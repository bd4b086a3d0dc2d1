"""How many similarities change with the C library's choice of cos.

    python3 bench/libm_variants.py dump OUT.json          # 300 similarities at D = 4096, n = 255
    python3 bench/libm_variants.py compare A.json B.json  # how many differ, and by how much

glibc carries FMA and non-FMA builds of cos, sin and atan2 and picks one by
processor when it loads, so the same module and the same glibc can give
different last bits on another processor. Run `dump` natively and under
another processor, for example `qemu-x86_64 -cpu Nehalem python3 ...` (no
FMA), or with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 (glibc 2.33 on),
then `compare`.
"""
import json
import sys

PAIRS, DIM, N = 300, 4096, 255


def dump(path):
    from tesmerine import PhaseHVec

    sims = [PhaseHVec.random(DIM, N, 2 * k).similarity(PhaseHVec.random(DIM, N, 2 * k + 1)).hex()
            for k in range(PAIRS)]
    with open(path, "w") as out:
        json.dump(sims, out)


def compare(path_a, path_b):
    a, b = (json.load(open(p)) for p in (path_a, path_b))
    differing = [(float.fromhex(x), float.fromhex(y)) for x, y in zip(a, b) if x != y]
    largest = max((abs(x - y) for x, y in differing), default=0.0)
    print(f"{len(differing)} of {len(a)} similarities differ; largest difference {largest:.3g}")


if __name__ == "__main__":
    {"dump": dump, "compare": compare}[sys.argv[1]](*sys.argv[2:])

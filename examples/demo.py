"""A tour of tesmerine: seeded phase vectors, binding, similarity, bundling
and factoring a bound composite back into its parts.

    python examples/demo.py
"""

import argparse
import sys

import tesmerine
from tesmerine import PhaseHVec

DIM, N = 1024, 256


def main(argv: list[str]) -> None:
    argparse.ArgumentParser(description="A tour of every tesmerine operation; takes no arguments.").parse_args(argv)
    print(tesmerine.__doc__)

    # Seeded vectors: the same (dim, n, seed) gives the same phases everywhere.
    role = PhaseHVec.random(DIM, N, seed=1)
    filler = PhaseHVec.random(DIM, N, seed=2)
    print(f"role   = {role!r}, first phases {role.phases()[:6]}")
    print(f"filler = {filler!r}, first phases {filler.phases()[:6]}")

    # Binding adds phases mod n; unbinding subtracts them again, exactly.
    pair = role.bind(filler)
    recovered = pair.unbind(role)
    print(f"bind then unbind gives the filler back: {recovered.phases() == filler.phases()}")

    # Similarity: 1.0 for identical vectors, near 0 for unrelated ones.
    print(f"similarity(filler, recovered) = {filler.similarity(recovered):+.6f}")
    print(f"similarity(role, filler)      = {role.similarity(filler):+.6f}")
    print(f"similarity(pair, filler)      = {pair.similarity(filler):+.6f}")

    # A bundle stays similar to each of its members, and not to outsiders.
    members = [PhaseHVec.random(DIM, N, seed) for seed in range(10, 15)]
    bundle = PhaseHVec.bundle(members)
    outsider = PhaseHVec.random(DIM, N, seed=99)
    for i, member in enumerate(members):
        print(f"similarity(bundle, member {i}) = {bundle.similarity(member):+.6f}")
    print(f"similarity(bundle, outsider) = {bundle.similarity(outsider):+.6f}")

    # Factor a composite colour * shape * position back into its parts.
    names = {
        "colour": ["red", "green", "blue", "yellow", "black", "white", "purple", "orange"],
        "shape": ["circle", "square", "triangle", "star", "hexagon", "cross", "ring", "arrow"],
        "position": ["top", "bottom", "left", "right", "centre", "corner", "edge", "far"],
    }
    codebooks = [
        [PhaseHVec.random(DIM, N, 1000 * f + j) for j in range(len(words))]
        for f, words in enumerate(names.values())
    ]
    chosen = [2, 3, 6]  # blue, star, edge
    composite = codebooks[0][chosen[0]].bind(codebooks[1][chosen[1]]).bind(codebooks[2][chosen[2]])
    result = tesmerine.resonator_factorize(composite, codebooks)
    print("factoring blue * star * edge:")
    for (factor, words), (index, sim) in zip(names.items(), result):
        print(f"  {factor:8s} -> {words[index]:8s} (index {index}, similarity {sim:.6f})")
    assert [index for index, _ in result] == chosen


if __name__ == "__main__":
    main(sys.argv[1:])

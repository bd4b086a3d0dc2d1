"""Scene factorization: recover colour, shape and position from one vector.

A scene is the binding colour*shape*position of one entry from each of three
codebooks. resonator_factorize searches the 8*8*8 = 512 combinations without
enumerating them and returns, per codebook, the index it settled on and the
similarity of that entry to its final estimate.

    python examples/scene.py                      # a few fixed scenes
    python examples/scene.py green star corner    # one scene of your choice
    python examples/scene.py --all                # all 512 scenes, summary only
"""

from __future__ import annotations

import itertools
import sys

from tesmerine import PhaseHVec, resonator_factorize

DIM, N = 1024, 64

FACTORS = {
    "colour": ["red", "green", "blue", "yellow", "black", "white", "purple", "orange"],
    "shape": ["circle", "square", "triangle", "star", "hexagon", "cross", "ring", "arrow"],
    "position": ["top", "bottom", "left", "right", "centre", "corner", "edge", "far"],
}

# Codebook f, entry j is the vector of seed 100*f + j.
CODEBOOKS = [
    [PhaseHVec.random(DIM, N, 100 * f + j) for j in range(len(words))]
    for f, words in enumerate(FACTORS.values())
]


def compose(names: list[str]) -> PhaseHVec:
    """The composite vector of one scene, e.g. ["blue", "star", "edge"]."""
    parts = [CODEBOOKS[f][words.index(name)] for f, (name, words) in enumerate(zip(names, FACTORS.values()))]
    composite = parts[0]
    for part in parts[1:]:
        composite = composite.bind(part)
    return composite


def factor(names: list[str], verbose: bool = True) -> bool:
    result = resonator_factorize(compose(names), CODEBOOKS)
    found = [words[index] for (index, _), words in zip(result, FACTORS.values())]
    if not verbose:
        return found == names
    print(f"scene {' * '.join(names)}:")
    for (factor_name, words), (index, similarity) in zip(FACTORS.items(), result):
        print(f"  {factor_name:8s} -> {words[index]:8s} index {index}  similarity {similarity:.4f}")
    print("  recovered" if found == names else f"  NOT recovered (got {' * '.join(found)})")
    return found == names


def main(argv: list[str]) -> int:
    if argv == ["--all"]:
        scenes = [list(names) for names in itertools.product(*FACTORS.values())]
        recovered = sum(factor(scene, verbose=False) for scene in scenes)
        print(f"{recovered} of {len(scenes)} scenes recovered")
        return 0
    if argv:
        if len(argv) != 3 or any(name not in words for name, words in zip(argv, FACTORS.values())):
            print("usage: scene.py COLOUR SHAPE POSITION, with names from:", file=sys.stderr)
            for factor_name, words in FACTORS.items():
                print(f"  {factor_name}: {' '.join(words)}", file=sys.stderr)
            return 2
        scenes = [argv]
    else:
        scenes = [["blue", "star", "edge"], ["red", "circle", "top"], ["orange", "arrow", "far"]]
    recovered = sum(factor(scene) for scene in scenes)
    print(f"{recovered} of {len(scenes)} scenes recovered")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

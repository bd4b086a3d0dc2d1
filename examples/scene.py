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

import argparse
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
    names = "; ".join(f"{factor_name}: {' '.join(words)}" for factor_name, words in FACTORS.items())
    parser = argparse.ArgumentParser(
        prog="scene.py", usage="%(prog)s [-h] [--all | COLOUR SHAPE POSITION]",
        description="Factor colour * shape * position scenes with resonator_factorize.", epilog=f"Names: {names}.")
    parser.add_argument("--all", action="store_true", help="factor all 512 scenes and print the count only")
    parser.add_argument("scene", nargs="*", metavar="NAME", help="a colour, a shape and a position")
    args = parser.parse_args(argv)
    if args.all:
        if args.scene:
            parser.error("--all takes no names")
        scenes = [list(names) for names in itertools.product(*FACTORS.values())]
        recovered = sum(factor(scene, verbose=False) for scene in scenes)
        print(f"{recovered} of {len(scenes)} scenes recovered")
        return 0
    if args.scene:
        if len(args.scene) != 3 or any(name not in words for name, words in zip(args.scene, FACTORS.values())):
            parser.error(f"a scene is three names, one of each kind: {names}")
        scenes = [args.scene]
    else:
        scenes = [["blue", "star", "edge"], ["red", "circle", "top"], ["orange", "arrow", "far"]]
    recovered = sum(factor(scene) for scene in scenes)
    print(f"{recovered} of {len(scenes)} scenes recovered")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

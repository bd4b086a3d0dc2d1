"""Deterministic, verifiable vector-symbolic (VSA) memory on a quantized-phase substrate."""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["__doc__", "PhaseHVec", "resonator_factorize"]

@final
class PhaseHVec:
    """A quantized-phase hypervector: `dim` phases in `Z_N`. Binding is phase-add mod N
    (not self-inverse), bundling is a deterministic integer fold, similarity is the
    mean cosine of phase differences."""

    @staticmethod
    def random(dim: SupportsIndex, n: SupportsIndex, seed: SupportsIndex) -> PhaseHVec:
        """A random phase vector of `dim` dimensions at resolution `n` (phase levels,
        2..=65536), deterministic in `seed`."""
    def bind(self, other: PhaseHVec) -> PhaseHVec:
        """Bind two vectors (phase-add mod N). Non-self-inverse; inverse is `unbind`."""
    def unbind(self, other: PhaseHVec) -> PhaseHVec:
        """Unbind (phase-sub mod N). `a.bind(b).unbind(b) == a`."""
    def similarity(self, other: PhaseHVec) -> float:
        """Similarity: mean cosine of phase differences, in [-1, 1]."""
    @staticmethod
    def bundle(items: Sequence[PhaseHVec]) -> PhaseHVec:
        """Deterministic superposition (bundle) of a list of phase vectors."""
    def phases(self) -> list[int]:
        """The raw phase indices as a list of ints in [0, n)."""
    @property
    def dim(self) -> int:
        """The number of phases."""
    @property
    def n(self) -> int:
        """The phase resolution: the number of phase levels, 2..=65536."""

def resonator_factorize(
    composite: PhaseHVec,
    codebooks: Sequence[Sequence[PhaseHVec]],
    max_iter: SupportsIndex = 50,
) -> list[tuple[int, float]]:
    """Factor a composite `bind(f0, f1, ...)` into one codebook index per factor via the
    deterministic resonator. Returns `(index, similarity)` for each factor."""

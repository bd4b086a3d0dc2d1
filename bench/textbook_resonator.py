"""A textbook resonator network in NumPy, the yardstick of bench/checked_figures.py.

The network of the literature on resonator networks, kept as plain as it is
written there: every factor's estimate is a vector of unit phasors (at n = 2,
of signs), started as the normalised superposition of its whole codebook;
sweeps update the factors one after another, each from the composite with the
other factors' newest estimates unbound, projected onto its codebook
(X X^H) and normalised component by component to unit magnitude; the readout
is the entry of largest |similarity|; and the network runs until no estimate
changes any more (or a sweep cap far above what converging runs need).

It is a model for measuring where a resonator network of this kind solves 99 %
of the problems, not a bit-exact implementation: its phases are continuous
(not snapped to the composite's lattice), and it computes in single precision
with NumPy's sums.
"""

from __future__ import annotations

from typing import Sequence

import numpy as np

TOLERANCE = 1e-9  # an estimate "no longer changes" when 1 - |<old, new>| / D is below this
CAP = 1000  # sweeps at most; converging runs need far fewer


def phasors(phases: np.ndarray, n: int) -> np.ndarray:
    """Unit phasors of integer phase indices at resolution n (real signs at n = 2), in single precision."""
    if n == 2:
        return (1.0 - 2.0 * phases).astype(np.float32)
    return np.exp(1j * (2 * np.pi / n) * phases.astype(np.float64)).astype(np.complex64)


def normalise(x: np.ndarray) -> np.ndarray:
    one = x.dtype.type(1)  # results in the arrays' own precision
    if np.isrealobj(x):
        return np.where(x >= 0, one, -one)
    magnitude = np.abs(x)
    return np.where(magnitude > 0, x / np.where(magnitude > 0, magnitude, 1), one)


def factorize(composite: np.ndarray, books: Sequence[np.ndarray], cap: int = CAP) -> tuple[list[int], int]:
    """(indices, sweeps run) for a composite and codebooks given as unit phasors (rows are entries)."""
    estimates = [normalise(book.sum(axis=0)) for book in books]
    sweeps = 0
    while sweeps < cap:
        sweeps += 1
        moved = 0.0
        for f, book in enumerate(books):
            unbound = composite.copy()
            for g, estimate in enumerate(estimates):
                if g != f:
                    unbound = unbound * np.conj(estimate)
            new = normalise((book.T @ (np.conj(book) @ unbound)))
            # A common rotation of all phases is no change: the factors' phases
            # are defined up to one rotation each (their sum is fixed).
            # The products are in single precision, this sum in double: its rounding stays far
            # below the tolerance.
            moved = max(moved, 1.0 - abs(np.vdot(estimates[f].astype(np.complex128), new)) / new.size)
            estimates[f] = new
        if moved <= TOLERANCE:
            break
    indices = [int(np.argmax(np.abs(np.conj(book) @ estimate))) for book, estimate in zip(books, estimates)]
    return indices, sweeps

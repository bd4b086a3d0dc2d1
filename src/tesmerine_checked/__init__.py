"""Checked factorization: resonator answers verified by rebuilding the composite, and repaired.

`resonator_factorize` returns, per codebook, an index and the similarity of
that entry to the factor's final estimate, which is not a confidence: the
network can stop in a wrong state. `factor_checked` returns only indices whose
binding is exactly the composite, or None:

1. It calls the resonator and rebuilds the composite from the answer.
2. On a wrong answer it keeps the factors that came back with a similarity of
   at least 0.5, unbinds them from the composite and factors the rest the same
   way; two remaining factors are found by exact search. With three codebooks
   it also tries each returned factor on its own as the right one.
3. If that fails too, it searches every combination exactly when that costs
   no more than what is left of its effort (a definitive answer), or else runs
   the network again with the codebooks in other orders, each a different run,
   while its effort lasts.

The exact search (`exact_search`) meets in the middle: the bindings of one
part of the codebooks go into a table keyed by their similarities to fixed
probe vectors, and the composite unbound by each binding of the other part is
looked up in it; a match is verified by rebuilding. It costs about
M^ceil(F/2) similarities for F codebooks of M entries, against about F * M
similarity-sized products per sweep of a resonator call, so it is cheap for
two factors and for small codebooks.

The effort is counted, not timed: the same arguments give the same answer and
do the same work on every call.
"""

from __future__ import annotations

import itertools
import math
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

from tesmerine import PhaseHVec, resonator_factorize

__all__ = ["exact_search", "factor_checked", "is_exact", "rebuild", "search_size"]

Codebooks = Sequence[Sequence[PhaseHVec]]

# A factor returned with at least this similarity is taken as right when peeling.
KEEP = 0.5
# The cost model, in fingerprints (one similarity to each probe) of the
# composite's resolution, per codebook entry: a resonator call that stops
# after a few sweeps, as most right answers do, costs about QUICK_CALL_COST;
# one that ends on a wrong answer has usually run most of its 50 sweeps and
# costs about CALL_COST, the unit of the effort. Above TABLE_RESOLUTION levels
# a similarity computes one cosine per component instead of looking it up,
# which makes a fingerprint SLOW_FINGERPRINT times dearer.
QUICK_CALL_COST = 8
CALL_COST = 40
TABLE_RESOLUTION = 4096
SLOW_FINGERPRINT = 20
# Seeds of the probe vectors; three probes below 8 levels, where a similarity
# takes few distinct values.
PROBE_SEEDS = (0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0)


def rebuild(codebooks: Codebooks, indices: Sequence[int]) -> PhaseHVec:
    """The binding of entry `indices[f]` of every codebook f (at least one codebook)."""
    if not codebooks or len(indices) != len(codebooks):
        raise ValueError("rebuild needs at least one codebook and one index per codebook")
    vector = codebooks[0][indices[0]]
    for book, index in zip(codebooks[1:], indices[1:]):
        vector = vector.bind(book[index])
    return vector


def is_exact(composite: PhaseHVec, codebooks: Codebooks, indices: Sequence[int]) -> bool:
    """Whether binding the chosen entries gives exactly `composite`, phase for phase."""
    vector = rebuild(codebooks, indices)
    # Equal vectors have similarity exactly 1.0; the phases settle it.
    return vector.similarity(composite) == 1.0 and vector.phases() == composite.phases()


def _is_identity(vector: PhaseHVec) -> bool:
    return not any(vector.phases())


def _product_count(books: Sequence[Sequence[PhaseHVec]]) -> int:
    return math.prod(len(book) for book in books)


def _split(books: Sequence[Sequence[PhaseHVec]]) -> int:
    """Where to cut the codebooks for the exact search: the fewest bindings on both sides together."""
    return min(range(len(books) + 1), key=lambda k: _product_count(books[:k]) + _product_count(books[k:]))


def search_size(codebooks: Codebooks) -> int:
    """The number of bindings `exact_search` fingerprints at most."""
    k = _split(codebooks)
    return _product_count(codebooks[:k]) + _product_count(codebooks[k:])


def _products(books: Sequence[Sequence[PhaseHVec]],
              identity: PhaseHVec) -> Iterator[Tuple[Tuple[int, ...], PhaseHVec]]:
    """(indices, binding) of every combination of one entry per codebook, the last codebook varying fastest."""
    if not books:
        yield (), identity
        return
    for head, vector in _products(books[:-1], identity):
        for j, entry in enumerate(books[-1]):
            yield head + (j,), vector.bind(entry)


def exact_search(composite: PhaseHVec, codebooks: Codebooks) -> Optional[List[int]]:
    """The indices of an exact factorization of `composite`, searched through every combination, or None.

    None means that no combination of entries binds to `composite`. The work
    is about `search_size(codebooks)` similarities to each of two or three
    probe vectors. All vectors must share the composite's dimension and
    resolution (else ValueError).
    """
    books = [list(book) for book in codebooks]
    _check_compatible(composite, books)
    return _search(composite, books)


def _search(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]]) -> Optional[List[int]]:
    if not books:
        return [] if _is_identity(composite) else None
    if not all(books):
        return None
    identity = composite.unbind(composite)
    count = 3 if composite.n < 8 else 2
    probes = [PhaseHVec.random(composite.dim, composite.n, seed) for seed in PROBE_SEEDS[:count]]

    def fingerprint(vector: PhaseHVec) -> Tuple[float, ...]:
        return tuple(vector.similarity(probe) for probe in probes)

    k = _split(books)
    first, second = books[:k], books[k:]
    # The side with fewer bindings goes into the table, the other is walked.
    table_first = _product_count(first) <= _product_count(second)
    table: Dict[Tuple[float, ...], List[Tuple[int, ...]]] = {}
    for indices, vector in _products(first if table_first else second, identity):
        table.setdefault(fingerprint(vector), []).append(indices)
    for indices, vector in _products(second if table_first else first, identity):
        for other in table.get(fingerprint(composite.unbind(vector)), ()):
            found = list(other + indices if table_first else indices + other)
            if is_exact(composite, books, found):
                return found
    return None


def _check_compatible(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]]) -> None:
    if any(entry.dim != composite.dim or entry.n != composite.n for book in books for entry in book):
        raise ValueError("phase vectors differ in dimension or resolution")


class _Effort:
    """What is left of the work allowed, in fingerprints."""

    def __init__(self, left: float) -> None:
        self.left = left

    def spend(self, amount: float) -> None:
        self.left -= amount


def _call_cost(books: Sequence[Sequence[PhaseHVec]], per_entry: int = CALL_COST) -> float:
    return float(per_entry * sum(len(book) for book in books))


def _search_cost(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]]) -> float:
    return float(search_size(books) * (SLOW_FINGERPRINT if composite.n > TABLE_RESOLUTION else 1))


def _solve(target: PhaseHVec, books: List[List[PhaseHVec]], max_iter: int, effort: _Effort) -> Optional[List[int]]:
    """One run of the network, checked; on a wrong answer the confident factors are peeled off."""
    search = _search_cost(target, books)
    if len(books) <= 2 or search <= _call_cost(books, QUICK_CALL_COST):
        effort.spend(search)
        return _search(target, books)
    result = resonator_factorize(target, books, max_iter)
    effort.spend(_call_cost(books))
    indices = [j for j, _ in result]
    if is_exact(target, books, indices):
        return indices
    kept = [f for f, (_, similarity) in enumerate(result) if similarity >= KEEP]
    tries = [kept] if 0 < len(kept) < len(books) else []
    if len(books) == 3:  # two factors left: any one right factor settles it
        by_similarity = sorted(range(3), key=lambda f: -result[f][1])
        tries += [[f] for f in by_similarity if [f] != kept]
    for peeled in tries:
        residual = target
        for f in peeled:
            residual = residual.unbind(books[f][indices[f]])
        rest = [f for f in range(len(books)) if f not in peeled]
        found = _solve(residual, [books[f] for f in rest], max_iter, effort)
        if found is not None:
            answer = list(indices)
            for f, j in zip(rest, found):
                answer[f] = j
            if is_exact(target, books, answer):
                return answer
    return None


def factor_checked(composite: PhaseHVec, codebooks: Codebooks, max_iter: int = 50,
                   effort: float = 8.0) -> Optional[List[int]]:
    """The indices of an exact factorization of `composite`, or None when none was found.

    Every answer is verified by rebuilding the composite from it, so an answer
    is never wrong; None after an exact search means that no combination of
    entries binds to `composite`, otherwise that none was found within the
    effort. `effort` bounds the work in resonator calls over all the codebooks
    (estimated by counting, not timing); `max_iter` is passed to every
    resonator call. All vectors must share the composite's dimension and
    resolution (else ValueError).
    """
    books = [list(book) for book in codebooks]
    _check_compatible(composite, books)
    if len(books) <= 2 or not all(books) or _search_cost(composite, books) <= _call_cost(books, QUICK_CALL_COST):
        return _search(composite, books)
    left = _Effort(effort * _call_cost(books))
    found = _solve(composite, books, max_iter, left)
    if found is not None:
        return found
    if _search_cost(composite, books) <= left.left:
        return _search(composite, books)
    for order in itertools.islice(itertools.permutations(range(len(books))), 1, None):
        if left.left < _call_cost(books):
            break
        found = _solve(composite, [books[f] for f in order], max_iter, left)
        if found is not None:
            answer = [0] * len(books)
            for position, f in enumerate(order):
                answer[f] = found[position]
            return answer
    return None

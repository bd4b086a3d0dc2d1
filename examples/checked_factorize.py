"""Factoring with a check: verify the resonator's answer by rebuilding it, and repair a wrong one.

resonator_factorize returns, per codebook, an index and the similarity of that
entry to the factor's final estimate: not a confidence. The check that settles
it is to bind the returned entries and compare with the composite: a right
answer rebuilds it exactly (similarity 1.0), a wrong one gives a similarity
near 0.

When the check fails, the factors that came back with a similarity near 1 are
almost always right. factor_checked keeps them, unbinds them from the
composite and searches the rest again: one remaining codebook directly by
similarity, two by a fresh resonator call and then, if that fails too, by
trying every entry of the first. If that does not give an exact answer
either, it starts again with the codebooks in another order, which is another
run of the network. Every answer is checked by rebuilding; None means no
exact factorization was found.

    python examples/checked_factorize.py        # 100 problems at D = 1500, n = 2, 3 factors of 79 entries
"""

from __future__ import annotations

import sys
from typing import Optional, Sequence

from tesmerine import PhaseHVec, resonator_factorize


def rebuild(books: Sequence[Sequence[PhaseHVec]], indices: Sequence[int]) -> PhaseHVec:
    """The binding of entry indices[f] of every codebook f."""
    vector = books[0][indices[0]]
    for book, index in zip(books[1:], indices[1:]):
        vector = vector.bind(book[index])
    return vector


def is_exact(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]], indices: Sequence[int]) -> bool:
    return rebuild(books, indices).phases() == composite.phases()


def best_entry(query: PhaseHVec, book: Sequence[PhaseHVec]) -> int:
    return max(range(len(book)), key=lambda j: book[j].similarity(query))


def search(residual: PhaseHVec, books: Sequence[Sequence[PhaseHVec]], max_iter: int) -> Optional[list[int]]:
    """The indices whose binding is exactly `residual`, or None if not found."""
    if len(books) == 1:
        found = [best_entry(residual, books[0])]
        return found if is_exact(residual, books, found) else None
    found = [j for j, _ in resonator_factorize(residual, books, max_iter)]
    if is_exact(residual, books, found):
        return found
    if len(books) == 2:  # every entry of the first codebook, the second read off by similarity
        for j, entry in enumerate(books[0]):
            k = best_entry(residual.unbind(entry), books[1])
            if is_exact(residual, books, [j, k]):
                return [j, k]
    return None


def attempt(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]], max_iter: int,
            keep: float) -> Optional[list[int]]:
    """One resonator call, checked; on a wrong answer the confident factors are kept and the rest searched."""
    result = resonator_factorize(composite, books, max_iter)
    indices = [j for j, _ in result]
    if is_exact(composite, books, indices):
        return indices
    kept = [f for f, (_, similarity) in enumerate(result) if similarity >= keep]
    rest = [f for f in range(len(books)) if f not in kept]
    if not kept or not rest:
        return None
    residual = composite
    for f in kept:
        residual = residual.unbind(books[f][indices[f]])
    found = search(residual, [books[f] for f in rest], max_iter)
    if found is None:
        return None
    for f, j in zip(rest, found):
        indices[f] = j
    return indices


def factor_checked(composite: PhaseHVec, books: Sequence[Sequence[PhaseHVec]], max_iter: int = 50,
                   keep: float = 0.5) -> Optional[list[int]]:
    """The indices of an exact factorization of `composite`, or None when none was found.

    Tries the codebooks in their own order, then in each rotation of it (the
    resonator updates the factors in codebook order, so each order is a
    different run); every answer is checked by rebuilding the composite.
    """
    count = len(books)
    for shift in range(max(count, 1)):
        order = [(f + shift) % count for f in range(count)]
        found = attempt(composite, [books[f] for f in order], max_iter, keep)
        if found is not None:
            indices = [0] * count
            for position, f in enumerate(order):
                indices[f] = found[position]
            return indices
    return None


def main() -> int:
    dim, n, m, factors, trials = 1500, 2, 79, 3, 100
    plain = checked = 0
    for p in range(trials):
        first = p * factors * m
        books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
        picked = PhaseHVec.random(factors, m, 2**63 + p).phases()
        composite = rebuild(books, picked)
        plain += [j for j, _ in resonator_factorize(composite, books)] == picked
        checked += factor_checked(composite, books) == picked
    print(f"D={dim} n={n} F={factors} M={m}: resonator_factorize alone {plain}/{trials}, "
          f"factor_checked {checked}/{trials}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

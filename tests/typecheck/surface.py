"""Checked by mypy --strict and pyright, never run: the stub's types for every call."""

from typing_extensions import assert_type

from tesmerine import PhaseHVec, resonator_factorize

a = PhaseHVec.random(64, 16, seed=1)
b = a.random(dim=64, n=16, seed=True)  # bool is an int; a static method through an instance
assert_type(a, PhaseHVec)
assert_type(a.bind(b), PhaseHVec)
assert_type(a.unbind(other=b), PhaseHVec)
assert_type(a.similarity(b), float)
assert_type(PhaseHVec.bundle((a, b)), PhaseHVec)
assert_type(PhaseHVec.bundle(items=[a]), PhaseHVec)
assert_type(a.phases(), list[int])
assert_type(a.dim, int)
assert_type(a.n, int)
assert_type(repr(a), str)
assert_type(resonator_factorize(a, [[a, b], (b,)]), list[tuple[int, float]])
assert_type(resonator_factorize(composite=a, codebooks=[], max_iter=0), list[tuple[int, float]])

# Misuse the checkers must refuse; each line would fail at run time too.
a.bind(3)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
a.dim = 5  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]
PhaseHVec.bundle(a)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
resonator_factorize(a, [a])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]


class Sub(PhaseHVec):  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
    pass

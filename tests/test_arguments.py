# Every error of every entry point (the tables are in conftest.py): parsing, conversion, core ValueErrors and
# PanicException.
import sys

import pytest
from conftest import ERRORS, PANICS, VEC, VEC2, Seq, caught, expected_notes, outcome

import tesmerine
from tesmerine import PhaseHVec, resonator_factorize


@pytest.mark.parametrize("row", ERRORS)
def test_error_type_message_and_note(row):
    expected, param, *calls = row
    want = (type(expected).__name__, str(expected), expected_notes(param))
    assert [outcome(call) for call in calls] == [want] * len(calls)


class Fresh(Seq):  # makes each vector as it is read, so that only the call itself holds it
    def __getitem__(self, i):
        return PhaseHVec.random(300, 16, super().__getitem__(i))


@pytest.mark.parametrize("length", [ValueError, -1, 0, 9, 2**40, sys.maxsize, 2**70])  # what __len__ claims
def test_length_is_only_a_hint_and_items_made_while_converting_stay_alive(length):
    made = [PhaseHVec.random(300, 16, i) for i in range(9)]
    expected = PhaseHVec.bundle(made).phases()
    assert PhaseHVec.bundle(Fresh(range(9), length)).phases() == PhaseHVec.bundle(tuple(made)).phases() == expected
    composite, books = made[2].bind(made[7]), [made[:5], made[5:]]
    fresh_books = Seq([Fresh(range(5), length), tuple(books[1])], length)
    assert resonator_factorize(composite, fresh_books, 6) == resonator_factorize(composite, books, 6)


def test_panic_exception_class():
    errors = [caught(call) for call, _ in PANICS]
    cls = type(errors[0])
    assert [type(e) for e in errors] == [cls] * len(PANICS)  # one class for every panic
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    assert [e.args for e in errors] == [(message,) for _, message in PANICS]
    assert "BaseException" in cls.__doc__ and cls not in vars(tesmerine).values()


@pytest.mark.parametrize("call, message", PANICS)
def test_panic_message_and_the_module_stays_usable(call, message):
    assert outcome(call) == ("PanicException", message, [])
    assert (PhaseHVec.bundle([VEC]).phases(), resonator_factorize(VEC, [[VEC2, VEC]])[0][0]) == (VEC.phases(), 1)

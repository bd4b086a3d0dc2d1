import os
import sys
from importlib.util import find_spec

import pytest
from conftest import REF, P

import tesmerine

# The low-level sub-interpreter module: _interpreters from 3.13 on, _xxsubinterpreters before.
interpreters = next((__import__(m) for m in ("_interpreters", "_xxsubinterpreters") if find_spec(m)), None)

ALL = ["__doc__", "PhaseHVec", "resonator_factorize"]
METHODS = [  # (name, __text_signature__, __doc__) in the order of the class's method table
    ("random", "(dim, n, seed)",
     "A random phase vector of `dim` dimensions at resolution `n` (phase levels,\n2..=65536), deterministic in "
     "`seed`."),
    ("bind", "($self, other)", "Bind two vectors (phase-add mod N). Non-self-inverse; inverse is `unbind`."),
    ("unbind", "($self, other)", "Unbind (phase-sub mod N). `a.bind(b).unbind(b) == a`."),
    ("similarity", "($self, other)", "Similarity: mean cosine of phase differences, in [-1, 1]."),
    ("bundle", "(items)", "Deterministic superposition (bundle) of a list of phase vectors."),
    ("phases", "($self)", "The raw phase indices as a list of ints in [0, n).")]


def test_module_and_class_attributes():
    doc = "Deterministic, verifiable vector-symbolic (VSA) memory on a quantized-phase substrate."
    assert (tesmerine.__doc__, len(doc), tesmerine.__all__, type(tesmerine.__all__)) == (doc, 86, ALL, list)
    assert [k for k in vars(tesmerine) if k in ALL] == ALL
    assert (P.__module__, P.__name__, P.__qualname__, P.__bases__) == ("builtins", "PhaseHVec", "PhaseHVec", (object,))
    assert P.__doc__ == ("A quantized-phase hypervector: `dim` phases in `Z_N`. Binding is phase-add mod N\n(not self-"
                         "inverse), bundling is a deterministic integer fold, similarity is the\nmean cosine of phase "
                         "differences.") and len(P.__doc__) == 194 and P.__text_signature__ is None
    # Nothing but the listed slots and tables: no comparison, hash, __init__, __str__, dict or weakref slot.
    names = [m[0] for m in METHODS]
    assert set(vars(P)) == {"__module__", "__doc__", "__new__", "__repr__", "dim", "n", *names}
    assert [k for k in vars(P) if k in names] == names and (P.__dictoffset__, P.__weakrefoffset__) == (0, 0)
    assert P.__flags__ & ((1 << 8) | (1 << 10) | (1 << 14)) == 0  # not immutable, not a base type, no GC
    for name, signature, doc in METHODS:
        assert (getattr(P, name).__text_signature__, getattr(P, name).__doc__) == (signature, doc), name
        assert isinstance(vars(P)[name], staticmethod) == (name in ("random", "bundle"))
    assert [(type(vars(P)[k]).__name__, vars(P)[k].__doc__) for k in ("dim", "n")] == [("getset_descriptor", None)] * 2
    f = tesmerine.resonator_factorize
    assert (f.__name__, f.__module__, f.__self__, f.__text_signature__) == (
        "resonator_factorize", "tesmerine", tesmerine, "(composite, codebooks, max_iter=50)")
    assert f.__doc__ == ("Factor a composite `bind(f0, f1, ...)` into one codebook index per factor via the\n"
                         "deterministic resonator. Returns `(index, similarity)` for each factor.")


def test_instances_are_closed_and_compare_by_identity():
    for call in (P, lambda: P(3, 4), lambda: P(dim=3), lambda: P.__new__(P, 3)):
        assert str(pytest.raises(TypeError, call).value) == "cannot create 'builtins.PhaseHVec' instances"
    a, b = P.random(5, 16, 1), P.random(5, 16, 2)
    for attr in ("dim", "n", "extra"):
        pytest.raises(AttributeError, setattr, a, attr, 5)
        pytest.raises(AttributeError, delattr, a, attr)
    pytest.raises(TypeError, a.phases, 1)
    c = a.bind(b).unbind(b)
    assert c.phases() == a.phases() and c != a and not (c == a) and a == a and hash(a) == object.__hash__(a)
    assert a.random(4, 8, 1).phases() == P.random(4, 8, 1).phases() and a.bundle([b]).phases() == b.phases()


@pytest.mark.skipif(interpreters is None, reason="no sub-interpreters in this interpreter")
def test_import_refused_in_a_subinterpreter(tmp_path):
    out = tmp_path / "outcome"
    source = (f"import sys\nsys.path.insert(0, {os.path.dirname(tesmerine.__file__)!r})\ntry:\n    import tesmerine\n"
              "    outcome = 'imported'\nexcept BaseException as exc:\n    outcome = f'{type(exc).__name__}: {exc}'\n"
              f"open({str(out)!r}, 'w').write(outcome)\n")
    for _ in range(2):  # a shared-GIL ("legacy") interpreter, so that the import reaches the module itself
        interp = interpreters.create("legacy") if hasattr(interpreters, "exec") else interpreters.create(isolated=False)
        (getattr(interpreters, "exec", None) or interpreters.run_string)(interp, source)
        interpreters.destroy(interp)
        kind, _, message = out.read_text().partition(": ")
        assert kind == "ImportError" and "tesmerine" in message and "interpreter" in message, message
    assert sys.modules["tesmerine"] is tesmerine and P.random(8, 16, 42).phases() == REF

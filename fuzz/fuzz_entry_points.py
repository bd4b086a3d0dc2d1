"""atheris harness: every entry point of tesmerine called with argument tuples
and keyword dictionaries built from the fuzz data. Every outcome must be a
well-formed result or one of the module's documented exceptions; anything
else (another exception type, a malformed result, a crash) is a finding.

    python fuzz/fuzz_entry_points.py -runs=1000000      # libFuzzer options
"""
import collections
import math
import re
import resource
import sys

import atheris

from tesmerine import PhaseHVec, resonator_factorize


class FuzzError(Exception):
    """Raised by the hostile argument objects below; passes through unchanged."""


class FuzzInterrupt(KeyboardInterrupt):
    pass


class FuzzExit(SystemExit):
    pass


class FuzzBase(BaseException):
    pass


# The BaseExceptions the hostile objects raise: none may be dropped, so a call
# during which one was raised must end with that very exception.
BASE_ERRORS = [FuzzInterrupt, FuzzExit, FuzzBase]
raised_base = []


def hostile_error(kind, where):
    error = kind(where)
    if not isinstance(error, Exception):
        raised_base.append(error)
    return error


class Nameless(type):
    """A metaclass whose classes raise when asked for their __qualname__."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise hostile_error(type.__getattribute__(cls, "error"), "__qualname__")
        return type.__getattribute__(cls, name)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise FuzzError("__index__")


class Seq:
    """A sequence over `items` whose __len__, __iter__ or __getitem__ can fail."""

    def __init__(self, items, fail):
        self.items, self.fail = items, fail

    def __len__(self):
        if self.fail == "len":
            raise FuzzError("__len__")
        if self.fail in BASE_ERRORS:
            raise hostile_error(self.fail, "__len__")
        return 2**62 if self.fail == "huge len" else len(self.items)

    def __getitem__(self, i):
        if self.fail == "getitem" and i == len(self.items) // 2:
            raise FuzzError("__getitem__")
        return self.items[i]

    def __iter__(self):
        if self.fail == "iter":
            raise FuzzError("__iter__")
        return iter(self.items) if self.fail != "getitem" else (self[i] for i in range(len(self.items) + 1))


PANIC = re.compile(
    r"capacity overflow|index out of bounds: the len is \d+ but the index is \d+|"
    r"assertion `left == right` failed: phase-vector (dimension|resolution) mismatch in bundle\n"
    r"  left: \d+\n right: \d+"
)
VALUE_ERRORS = {
    "phase vectors differ in dimension or resolution",
    "cannot bundle an empty list",
    "n (phase resolution) must be in 2..=65536",
}
PARAMS = {
    "random": ("dim", "n", "seed"),
    "bind": ("other",),
    "unbind": ("other",),
    "similarity": ("other",),
    "bundle": ("items",),
    "resonator_factorize": ("composite", "codebooks", "max_iter"),
    "unbound": ("other",),  # PhaseHVec.bind(receiver, other)
}
BOUNDARY = [0, 1, 2, 3, 15, 16, 17, 255, 256, 65535, 65536, 65537, 2**31 - 1, 2**31, 2**32 - 1, 2**32,
            2**62 - 1, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -2, -(2**63), -(2**64)]
POOL = [PhaseHVec.random(d, n, s) for d in (0, 1, 3, 8) for n in (2, 3, 16, 65536) for s in (1, 2)]
POOL_PHASES = [v.phases() for v in POOL]


def make_int(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeIntInRange(-3, 70)
    if kind == 1:
        return fdp.PickValueInList(BOUNDARY)
    if kind == 2:
        # Huge magnitudes only: middle-sized dims would allocate gigabytes.
        value = (1 << fdp.ConsumeIntInRange(62, 300)) + fdp.ConsumeIntInRange(-3, 3)
        return -value if fdp.ConsumeBool() else value
    if kind == 3:
        return fdp.ConsumeBool()
    return fdp.PickValueInList([Index(fdp.ConsumeIntInRange(0, 70)), Index(fdp.PickValueInList(BOUNDARY)),
                                Index("not an int"), BadIndex()])


family = (3, 16)  # the dim and n that most vectors of one input share


def make_vector(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.PickValueInList(POOL)
    dim, n = family if kind < 3 else (fdp.ConsumeIntInRange(0, 9), fdp.PickValueInList([2, 3, 5, 16, 360, 65536]))
    return PhaseHVec.random(dim, n, fdp.ConsumeIntInRange(0, 2**64 - 1))


def make_vectors(fdp, depth):
    items = [make_vector(fdp) if fdp.ConsumeIntInRange(0, 15) else make_value(fdp, depth + 1)
             for _ in range(fdp.ConsumeIntInRange(0, 5))]
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 9:
        return items
    if kind <= 11:
        return tuple(items)
    if kind == 12:
        return (x for x in items)
    if kind == 13:
        return set(items) if all(isinstance(x, PhaseHVec) for x in items) else frozenset()
    return Seq(items, fdp.PickValueInList(["len", "huge len", "getitem", "iter", None, *BASE_ERRORS]))


def make_value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 14 if depth < 2 else 7)
    if kind == 0:
        return make_int(fdp)
    if kind == 1:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.PickValueInList([math.nan, math.inf, -0.0])
    if kind == 2:
        return None
    if kind == 3:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 4))
    if kind == 4:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4))
    if kind <= 7:
        return make_vector(fdp)
    if kind <= 10:
        return make_vectors(fdp, depth)
    if kind == 11:
        return make_codebooks(fdp, depth)
    if kind == 12:
        return Nameless("Thing", (), {"error": fdp.PickValueInList([FuzzError, *BASE_ERRORS])})()
    return fdp.PickValueInList([PhaseHVec, object(), {}, range(3), b"", "", Seq([], "iter")])


def mixed_codebook(fdp):
    """Entries of the family's dim at many different resolutions."""
    return [PhaseHVec.random(family[0], fdp.ConsumeIntInRange(2, 65536), fdp.ConsumeIntInRange(0, 2**64 - 1))
            for _ in range(fdp.ConsumeIntInRange(1, 48))]


def make_codebooks(fdp, depth=0):
    return [mixed_codebook(fdp) if fdp.ConsumeIntInRange(0, 5) == 0 else make_vectors(fdp, depth + 1)
            for _ in range(fdp.ConsumeIntInRange(0, 3))]


def make_key(fdp, params):
    if params and fdp.ConsumeIntInRange(0, 4):
        return fdp.PickValueInList(list(params))
    return fdp.PickValueInList(["x", "", "dim ", "DIM", "other\0", "\udc80", fdp.ConsumeUnicode(3)])


def check_vector(v):
    assert type(v) is PhaseHVec, v
    phases = v.phases()
    assert len(phases) == v.dim and 2 <= v.n <= 65536 and all(0 <= p < v.n for p in phases), v
    assert repr(v) == f"PhaseHVec(dim={v.dim}, n={v.n})"


def check_result(name, result):
    if name in ("random", "bind", "unbind", "bundle"):
        check_vector(result)
    elif name == "similarity":
        assert type(result) is float and -1.000001 <= result <= 1.000001, result
    elif name == "resonator_factorize":
        assert type(result) is list, result
        for pair in result:
            assert type(pair) is tuple and len(pair) == 2 and type(pair[0]) is int and pair[0] >= 0, pair
            assert type(pair[1]) is float and (-1.000001 <= pair[1] <= 1.000001), pair
    elif name == "phases":
        assert type(result) is list


def check_error(name, error):
    kind = type(error)
    if kind.__name__ == "PanicException":
        assert kind.__module__ == "pyo3_runtime" and kind.__bases__ == (BaseException,), kind
        assert len(error.args) == 1 and PANIC.fullmatch(error.args[0]), error.args
    elif kind is ValueError:
        assert str(error) in VALUE_ERRORS, error
    elif kind not in (TypeError, OverflowError, MemoryError, FuzzError, *BASE_ERRORS):
        raise AssertionError(f"{name}: undocumented exception {kind.__name__}: {error}") from error
    for note in getattr(error, "__notes__", []):
        assert re.fullmatch(r"while processing '(\w+)'", note).group(1) in PARAMS.get(name, ()), note


def bounded_max_iter(value):
    raw = value.value if isinstance(value, Index) else value
    return raw % 200 if type(raw) is int and 200 <= raw < 2**64 else value


GOOD = {"dim": make_int, "n": make_int, "seed": make_int, "max_iter": make_int, "other": make_vector,
        "composite": make_vector, "items": lambda fdp: make_vectors(fdp, 1), "codebooks": make_codebooks}
ENTRY_POINTS = ["random", "random", "bind", "unbind", "similarity", "bundle", "bundle", "resonator_factorize",
                "resonator_factorize", "phases", "class", "unbound", "laws"]
inputs = 0
report_at = 0  # the -runs figure: libFuzzer ends the process without running exit handlers
outcomes = collections.Counter()


def check_laws(fdp):
    """The algebra's exact laws on vectors of one dim and n."""
    global family
    family = (fdp.ConsumeIntInRange(0, 40), fdp.PickValueInList([2, 3, 4, 16, 360, 65535, 65536]))
    outcomes["laws"] += 1
    a, b = make_vector(fdp), make_vector(fdp)
    if (a.dim, a.n) != (b.dim, b.n):
        return
    assert a.bind(b).unbind(b).phases() == a.phases()
    assert a.bind(b).phases() == b.bind(a).phases()
    assert PhaseHVec.bundle([a]).phases() == a.phases()
    items = [a, b] + [make_vector(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    items = [v for v in items if (v.dim, v.n) == (a.dim, a.n)]
    assert PhaseHVec.bundle(items).phases() == PhaseHVec.bundle(items[::-1]).phases()
    assert a.similarity(a) == 1.0 and a.similarity(b) == b.similarity(a)
    seed, longer = fdp.ConsumeIntInRange(0, 2**64 - 1), fdp.ConsumeIntInRange(0, 64)
    assert PhaseHVec.random(longer, a.n, seed).phases()[: a.dim] == PhaseHVec.random(a.dim, a.n, seed).phases()[:longer]


def test_one_input(data):
    global inputs
    fdp = atheris.FuzzedDataProvider(data)
    name = fdp.PickValueInList(ENTRY_POINTS)
    if name == "laws":
        check_laws(fdp)
    else:
        call_entry_point(fdp, name)
    inputs += 1
    if inputs % 250000 == 0 or inputs == report_at:
        print(f"fuzzed inputs: {inputs}; outcomes: {dict(outcomes.most_common())}", file=sys.stderr, flush=True)
    if inputs % 65536 == 0:
        assert [v.phases() for v in POOL] == POOL_PHASES, "an argument vector changed"


def call_entry_point(fdp, name):
    global family
    params = PARAMS.get(name, ())
    family = (fdp.ConsumeIntInRange(0, 40), fdp.PickValueInList([2, 3, 4, 16, 360, 65535, 65536]))
    if fdp.ConsumeIntInRange(0, 3):
        # Mostly arguments of the right kinds, split between position and keyword.
        values = [GOOD.get(p, make_value)(fdp) if fdp.ConsumeIntInRange(0, 7) else make_value(fdp) for p in params]
        split = fdp.ConsumeIntInRange(0, len(values))
        args, kwargs = values[:split], dict(zip(params[split:], values[split:]))
        if fdp.ConsumeIntInRange(0, 7) == 0:
            kwargs[make_key(fdp, params)] = make_value(fdp)
        if kwargs and fdp.ConsumeIntInRange(0, 7) == 0:
            kwargs.popitem()
    else:
        args = [make_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        kwargs = {make_key(fdp, params): make_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if name == "resonator_factorize":
        # Bound the sweeps: a valid max_iter in the billions is only slow, not interesting.
        args = [bounded_max_iter(x) if i == 2 else x for i, x in enumerate(args)]
        if "max_iter" in kwargs:
            kwargs["max_iter"] = bounded_max_iter(kwargs["max_iter"])
    receiver = make_vector(fdp)
    if name == "unbound":  # the method through the class: the receiver is checked by the interpreter
        args.insert(0, receiver if fdp.ConsumeIntInRange(0, 3) else make_value(fdp))
    fn = {"random": PhaseHVec.random, "bundle": PhaseHVec.bundle, "resonator_factorize": resonator_factorize,
          "class": PhaseHVec, "unbound": PhaseHVec.bind}.get(name) or getattr(receiver, name)
    raised_base.clear()
    try:
        result = fn(*args, **kwargs)
    except BaseException as error:  # noqa: B036 -- PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)) and not isinstance(error, (FuzzInterrupt, FuzzExit)):
            raise
        check_error(name, error)
        assert not raised_base or error is raised_base[0], f"{name}: {raised_base[0]!r} was dropped for {error!r}"
        outcomes[type(error).__name__] += 1
    else:
        assert not raised_base, f"{name}: {raised_base[0]!r} was dropped"
        check_result(name, result)
        outcomes["result"] += 1


def main():
    # Refuse allocations beyond ~1 GiB more than the process has now, so a
    # huge dim fails fast with MemoryError instead of exhausting the machine.
    with open("/proc/self/status") as f:
        vm_size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size + 2**30, resource.RLIM_INFINITY))
    atheris.instrument_func(make_value)
    for fn in (check_error, check_result, check_vector, check_laws):
        atheris.instrument_func(fn)
    global report_at
    runs = [int(arg.split("=", 1)[1]) for arg in sys.argv if arg.startswith("-runs=")]
    report_at = runs[-1] if runs else 0
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

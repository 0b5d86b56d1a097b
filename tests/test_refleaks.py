"""Reference and memory leaks, hunted on the debug interpreter (tools/check-refleaks).

Every case of the call table runs for a few rounds; around the calls of
each round the total reference count, the number of allocated interpreter
memory blocks and the bytes in use by malloc are read. As with CPython's own
-R hunting, the first rounds warm up caches and a case leaks when every later
round moves a counter up: a leak of one reference per call shows in every
round, while the noise of caches and free lists does not repeat.
"""

import contextlib
import ctypes
import gc
import sys
import warnings

import pytest

from cases import build_cases, perform, staged

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("reference counts need the debug interpreter: run tools/check-refleaks", allow_module_level=True)

pytestmark = pytest.mark.refleaks

WARMUP_ROUNDS = 5
MEASURED_ROUNDS = 6
# Calls made before the rounds, as a multiple of a round (caches, specialised
# bytecode and free lists settle within a few hundred calls).
WARMUP_BURST = 10


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def malloc_bytes_in_use():
    # The module's own C++ allocations (strings, vectors) go through malloc
    # and are invisible to the interpreter's counters.
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


class Counters:
    """The three counters, read into a list made once, so that keeping a
    reading allocates no more objects than the reading it replaces."""

    def __init__(self):
        self.values = [0, 0, 0]

    def read(self):
        gc.collect()
        values = self.values
        values[0] = sys.gettotalrefcount()
        values[1] = sys.getallocatedblocks()
        values[2] = malloc_bytes_in_use()


COUNTER_NAMES = ("references", "memory blocks", "malloc bytes")


def calls_per_round(case):
    if "waits" in case.tags:
        return 1  # each call sits out kill's one-second grace period
    return {"plain": 30, "process": 15, "child": 2}[case.kind]


def hunt(case):
    """Counter deltas of the measured rounds, one list per round, or a
    description of a call that did not end as the table says.

    Each round prepares its calls first (children are started then) and
    counts only across the module calls themselves."""
    calls = calls_per_round(case)
    deltas = [[0] * len(COUNTER_NAMES) for _ in range(WARMUP_ROUNDS + MEASURED_ROUNDS)]
    before, after = Counters(), Counters()
    # Everything alive now is left out of the collections between readings,
    # which then only walk what the rounds made.
    gc.collect()
    gc.freeze()
    try:
        return _rounds(case, calls, deltas, before, after)
    finally:
        gc.unfreeze()


def perform_all(function, prepared):
    # A function of its own, so that no loop variable outlives the calls and
    # holds on to something the next reading would miss.
    for call in prepared:
        problem = perform(function, call)
        if problem is not None:
            return problem
    return None


def _rounds(case, calls, deltas, before, after):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if case.kind != "child":
            with contextlib.ExitStack() as stack:
                prepared = [stack.enter_context(case.call()) for _ in range(calls * WARMUP_BURST)]
                with case.around():
                    problem = perform_all(case.function, prepared)
            if problem is not None:
                return problem
        for row in deltas:
            with contextlib.ExitStack() as stack:
                prepared = [stack.enter_context(case.call()) for _ in range(calls)]
                with case.around():
                    before.read()
                    problem = perform_all(case.function, prepared)
                    after.read()
                if problem is not None:
                    return problem
            for i in range(len(row)):
                row[i] = after.values[i] - before.values[i]
    return deltas[-MEASURED_ROUNDS:]


def leaking_counters(rounds):
    return [name for i, name in enumerate(COUNTER_NAMES) if all(r[i] >= 1 for r in rounds)]


@pytest.fixture(scope="module")
def stage():
    with staged() as stage:
        yield stage


def case_names():
    # The table is built again under the fixture's stage; names do not depend on ports.
    with staged() as stage:
        return [case.name for case in build_cases(stage)]


@pytest.mark.parametrize("name", case_names())
def test_no_leak(stage, name):
    case = next(c for c in build_cases(stage) if c.name == name)
    rounds = hunt(case)
    assert not isinstance(rounds, str), f"the call did not take its path: {rounds}"
    leaks = leaking_counters(rounds)
    assert not leaks, f"{', '.join(leaks)} grow every round: deltas per round {rounds}"

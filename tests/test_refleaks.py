"""Reference and memory leaks, hunted on the debug interpreter (tools/check-refleaks).

Every case of the call table runs for a few rounds; after each round the
total reference count, the number of allocated interpreter memory blocks and
the bytes in use by malloc are read. As with CPython's own -R hunting, the
first rounds warm up caches and a case leaks when every later round moves a
counter up: a leak of one reference per call shows in every round, while the
noise of caches and free lists does not repeat.
"""

import ctypes
import gc
import sys
import warnings

import pytest

from cases import build_cases, staged

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("reference counts need the debug interpreter: run tools/check-refleaks", allow_module_level=True)

pytestmark = pytest.mark.refleaks

WARMUP_ROUNDS = 3
MEASURED_ROUNDS = 5


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


def counters():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks(), malloc_bytes_in_use()


COUNTER_NAMES = ("references", "memory blocks", "malloc bytes")


def calls_per_round(case):
    if "waits" in case.tags:
        return 1  # each call sits out kill's one-second grace period
    return {"plain": 30, "process": 15, "child": 2}[case.kind]


def hunt(case):
    """Counter deltas of the measured rounds, one list per round, or a
    description of a call that did not end as the table says."""
    calls = calls_per_round(case)
    rounds = WARMUP_ROUNDS + MEASURED_ROUNDS
    # Made up front and filled with (mostly small, cached) ints, so that
    # keeping the results allocates nothing while the counters are read.
    deltas = [[0] * len(COUNTER_NAMES) for _ in range(rounds)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        before = counters()
        for row in deltas:
            with case.around():
                for _ in range(calls):
                    problem = case.run_once()
                    if problem is not None:
                        return problem
            after = counters()
            for i in range(len(row)):
                row[i] = after[i] - before[i]
            before = after
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

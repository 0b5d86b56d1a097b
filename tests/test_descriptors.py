"""Descriptor leaks: ten thousand calls of each function, spread over every
path of the call table (tests/cases.py), leave this process's descriptor
table as it was."""

import os

import pytest

from cases import FUNCTIONS, PACKAGE_FUNCTIONS, TABLE_FUNCTIONS, build_cases, staged

pytestmark = [pytest.mark.descriptors, pytest.mark.slow]

CALLS_PER_FUNCTION = 10_000
REAL_KILLS = 12


def open_descriptors():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the listing's own descriptor, closed by now
    return fds


@pytest.fixture(scope="module")
def stage():
    with staged() as stage:
        yield stage


def run_calls(cases, total):
    """Runs `total` calls spread evenly over the cases; returns the mismatches."""
    problems = []
    for index, case in enumerate(cases):
        share = total // len(cases) + (1 if index < total % len(cases) else 0)
        with case.around():
            for _ in range(share):
                problem = case.run_once()
                if problem is not None:
                    problems.append(f"{case.name}: {problem}")
                    break
    return problems


@pytest.mark.parametrize("function", FUNCTIONS + TABLE_FUNCTIONS + PACKAGE_FUNCTIONS)
def test_many_calls_leave_the_descriptor_table_unchanged(stage, function):
    cases = [case for case in build_cases(stage) if case.function == function and case.kind != "child"]
    assert len(cases) > 5
    assert not run_calls(cases, len(cases))  # warm-up: lazy imports, caches
    before = open_descriptors()
    problems = run_calls(cases, CALLS_PER_FUNCTION)
    after = open_descriptors()
    assert not problems
    assert after == before


def test_real_kills_leave_the_descriptor_table_unchanged(stage):
    cases = [case for case in build_cases(stage) if case.function == "kill" and case.kind == "child"
             and "waits" not in case.tags]
    assert not run_calls(cases, len(cases))
    before = open_descriptors()
    problems = run_calls(cases, REAL_KILLS)
    after = open_descriptors()
    assert not problems
    assert after == before

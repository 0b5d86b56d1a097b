"""Arbitrary arguments for every parameter of every function, each call
checked against the model of binding and conversion in tests/argmodel.py:
the same exception (type, message, notes) or a result that fits the
converted values.

Calls stay cheap and harmless: integers that convert to a port are mostly 0
or a reserved free port. When an accepted call would reach kill or
wait_until_free with any other port, its second argument is swapped for one
that is refused, so that the port's conversion is still checked and nothing
is signalled or waited for.
"""

import os
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import argmodel
from argmodel import ABSENT, Accepted, Refused
from cases import FUNCTIONS, NoteRefused, Outer, numpy_like_bool
from scenarios import reserved_free_ports
from vantle import _lib

pytestmark = pytest.mark.properties

# tools/check-asan asks for fewer: the sanitizer makes every example slow.
EXAMPLES = int(os.environ.get("VANTLE_PROPERTY_EXAMPLES", "300"))
# The deadline is the clock's seconds plus the time-out, which must stay
# below 2**63. A time-out of 2**63 or more always overflows; with a clock
# reading far below 2**40 seconds, one below 2**63 - 2**40 never does.
SURELY_OVERFLOWS = 2**63
NEVER_OVERFLOWS = 2**63 - 2**40


@pytest.fixture(scope="module")
def free():
    # Port 1 is reserved too where that is allowed: True converts to it, and
    # every port a call may probe is then one that nobody else is using.
    with reserved_free_ports(1, also=[1]) as (port, _):
        yield port


# --- Objects that exercise the conversions ---------------------------------

class IntSub(int):
    """An int subclass whose own hooks must not be consulted."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass must not be called")

    def __lt__(self, other):
        raise AssertionError("comparison of an int subclass must not be called")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IndexRaises:
    def __init__(self, kind, message):
        self.kind, self.message = kind, message

    def __index__(self):
        raise self.kind(self.message)

    def __repr__(self):
        return f"IndexRaises({self.kind.__name__}, {self.message!r})"


class PresetNotes(Exception):
    """Comes with a __notes__ that is not a list, so add_note fails."""

    def __init__(self, *args):
        super().__init__(*args)
        self.__notes__ = ("preset",)


class Fatal(BaseException):
    pass


class Sequence:
    """A sequence by __getitem__ alone: yields `items`, then fails with `error`
    (or ends), with an optional __len__ answer or failure."""

    def __init__(self, items, error=None, length=None):
        self.items, self.error, self.length = items, error, length

    def __getitem__(self, i):
        if i < len(self.items):
            return self.items[i]
        if self.error is not None:
            raise self.error[0](self.error[1])
        raise IndexError(i)

    def __repr__(self):
        return f"Sequence({self.items!r}, {self.error!r}, {self.length!r})"


class SequenceWithLen(Sequence):
    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return self.length


class IterRaises(Sequence):
    """A sequence whose __iter__ fails before yielding anything."""

    def __iter__(self):
        raise self.error[0](self.error[1])


class Keyword(str):
    """A keyword name of a str subclass, optionally with its own str()."""

    def __new__(cls, text, shown=None):
        self = super().__new__(cls, text)
        self.shown = shown
        return self

    def __str__(self):
        if self.shown is None:
            return str.__str__(self)
        if isinstance(self.shown, type):
            raise self.shown("no str for this keyword")
        return self.shown

    def __repr__(self):
        return f"Keyword({str.__repr__(self)}, {self.shown!r})"


class Weird:
    """A type whose __module__ is not a str."""
    __module__ = 5


EXCEPTIONS = st.sampled_from([ValueError, TypeError, OverflowError, LookupError, NoteRefused, PresetNotes, Fatal])


def port_integers(free):
    """Integers that are no port, and the only ports calls may probe: 0, the
    reserved free port and port 1 (reserved as well, when root)."""
    return st.one_of(
        st.sampled_from([0, free, 0, free, 1]),
        st.integers(max_value=-1),
        st.integers(min_value=65536),
        st.sampled_from([65536, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 10**30]),
    )


def ranges(free):
    # Each either fails to convert before any lookup, or holds only ports
    # from port_integers: a range over real ports would probe them all.
    return st.sampled_from([range(0), range(0, 1), range(free, free + 1), range(-1, 1), range(65535, 65537),
                            range(0, 65537), range(0, 2)])


def numpy_integers(integers):
    kinds = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]

    def make(kind, value):
        info = np.iinfo(kind)
        return kind(min(max(value, int(info.min)), int(info.max)))

    return st.builds(make, st.sampled_from(kinds), integers)


def leaves(free):
    integers = port_integers(free)
    # Bytes are sequences of ports to scan: only 0 and 1.
    small_bytes = st.lists(st.sampled_from([0, 1]), max_size=3).map(bytes)
    timeouts = st.sampled_from([0, 1, True, 30, NEVER_OVERFLOWS - 1, 2**63 - 1, SURELY_OVERFLOWS, 2**64 - 1])
    plain = st.one_of(
        integers, timeouts, st.booleans(), st.none(),
        st.builds(IntSub, integers),
        numpy_integers(integers),
        st.sampled_from([np.True_, np.False_, np.float64(1.0), np.array(0), np.array(70000), np.array([0, 1])]),
        st.builds(Index, st.one_of(integers, st.booleans(), st.text(max_size=2), st.none(), st.floats(),
                                   st.builds(IntSub, integers), numpy_integers(integers))),
        st.builds(IndexRaises, EXCEPTIONS, st.text(max_size=5)),
        st.floats(), st.text(max_size=4), st.builds(Keyword, st.text(max_size=3)), small_bytes,
        st.builds(bytearray, small_bytes),
        st.builds(memoryview, small_bytes),
        st.sampled_from([Outer.Inner(), Weird(), object(), {}, set(), frozenset(), (x for x in [0]), iter([0])]),
        st.builds(numpy_like_bool, st.sampled_from([None, lambda self: True, lambda self: False,
                                                    lambda self: 1, lambda self: 1 / 0])),
    )
    return plain


def objects(free):
    def extend(children):
        items = st.lists(children, max_size=4)
        return st.one_of(
            items, st.builds(tuple, items),
            ranges(free),
            st.builds(dict, st.dictionaries(st.integers(0, 3), children, max_size=2)),
            st.builds(Sequence, items, st.none() | st.tuples(EXCEPTIONS, st.text(max_size=3))),
            st.builds(SequenceWithLen, items, st.none() | st.tuples(EXCEPTIONS, st.text(max_size=3)),
                      st.sampled_from([0, 1, sys.maxsize, RuntimeError, Fatal])),
            st.builds(lambda xs: np.array(xs, dtype=np.int64), st.lists(st.sampled_from([-1, 0, 1, free]), max_size=3)),
        )
    return st.recursive(leaves(free), extend, max_leaves=6)


@st.composite
def weighted(draw, *choices):
    """One of the strategies, picked with the given weights: (weight, strategy), ..."""
    pick = draw(st.integers(0, sum(w for w, _ in choices) - 1))
    for weight, strategy in choices:
        if pick < weight:
            return draw(strategy)
        pick -= weight
    raise AssertionError("unreachable")


def port_like(free):
    """Objects the port conversion is likely to accept, or nearly so."""
    integers = port_integers(free)
    return weighted((6, integers), (1, st.booleans()), (1, st.builds(IntSub, integers)), (1, numpy_integers(integers)),
                    (1, st.builds(Index, integers)), (1, st.builds(IndexRaises, EXCEPTIONS, st.text(max_size=3))))


def parameter_values(free):
    """For each parameter, mostly values near what it takes, else anything."""
    anything = objects(free)
    ports = port_like(free)
    port_lists = st.lists(ports, max_size=4)
    forces = st.one_of(st.booleans(), st.sampled_from([np.True_, np.False_]),
                       st.builds(numpy_like_bool, st.sampled_from([None, lambda self: True, lambda self: 1,
                                                                   lambda self: 1 / 0])))
    timeouts = st.one_of(st.sampled_from([0, 1, True, 30, NEVER_OVERFLOWS - 1, SURELY_OVERFLOWS, 2**63 - 1,
                                          2**64 - 1, 2**64, -1]),
                         st.builds(Index, st.sampled_from([0, 2**64 - 1, 2**64, -1])), ports)
    failure = st.tuples(EXCEPTIONS, st.text(max_size=3))
    sequences = st.one_of(port_lists, st.builds(tuple, port_lists), st.builds(Sequence, port_lists, failure),
                          st.builds(IterRaises, port_lists, failure),
                          st.builds(SequenceWithLen, port_lists, st.none() | failure,
                                    st.sampled_from([0, 7, sys.maxsize, RuntimeError])),
                          st.builds(bytes, st.lists(st.sampled_from([0, 1]), max_size=2)),
                          ranges(free))
    near = {"port": ports, "preferred": st.none() | ports, "timeout": timeouts, "force": forces, "ports": sequences}
    return anything, {name: weighted((3, strategy), (1, anything)) for name, strategy in near.items()}


JUNK_KEYWORDS = ["prot", "Port", "port ", "timeout_", "pört", "\ud800", "", "ports", "port", "force", "timeout",
                 "preferred"]


@st.composite
def calls(draw, function, free):
    """(args, kwargs): mostly calls that bind, with now and then one that
    does not (extra positionals, unknown or repeated keywords)."""
    anything, values = parameter_values(free)
    names = argmodel.PARAMETERS[function][0]
    positional = draw(st.integers(0, len(names)))
    args = [draw(values[name]) for name in names[:positional]]
    keywords = {}
    for name in names[positional:]:
        if draw(st.integers(0, 3)) > 0:
            keywords[name] = draw(values[name])
    if draw(st.integers(0, 9)) == 0:
        args.append(draw(anything))
    if draw(st.integers(0, 5)) == 0:
        text = draw(st.sampled_from(JUNK_KEYWORDS))
        shown = draw(st.sampled_from([None, None, "shown", TypeError, 7]))
        keyword = Keyword(text, shown) if shown is not None or draw(st.booleans()) else text
        if keyword not in keywords:
            keywords[keyword] = draw(anything)
    order = draw(st.permutations(list(keywords)))
    return tuple(args), {k: keywords[k] for k in order}


# --- Checking one call ------------------------------------------------------

def observed(function, args, kwargs):
    try:
        return "returned", getattr(_lib, function)(*args, **kwargs)
    except BaseException as error:
        return "raised", error


def make_harmless(function, args, kwargs, accepted, free):
    """For an accepted call that would act on a port other than 0 or `free`,
    the same call with its second argument refused; else the call itself."""
    if function not in ("kill", "wait_until_free") or accepted.values["port"] in (0, free):
        return args, kwargs
    second = {"kill": ("force", Outer.Inner()), "wait_until_free": ("timeout", -1)}[function]
    args, kwargs = list(args), dict(kwargs)
    if len(args) > 1:
        args[1] = second[1]
    else:
        matching = [k for k in kwargs if str.encode(k, "utf-8", "replace") == second[0].encode()]
        kwargs[matching[0] if matching else second[0]] = second[1]
    return tuple(args), kwargs


def is_info(value):
    return type(value) is dict and set(value) == {"pid", "name", "cmd"}


def expected_result(function, values, free, result):
    """None when `result` fits the converted values, else why not."""
    port = values.get("port")
    if function == "is_available":
        ok = result is (False if port == 0 else True) if port in (0, free) else type(result) is bool
    elif function == "find_free":
        preferred = values["preferred"]
        ok = type(result) is int and 1 <= result <= 65535 and (preferred != free or result == free)
    elif function == "wait_until_free":
        ok = result is (port != 0)
    elif function == "get_info":
        ok = result is None if port in (0, free) else (result is None or is_info(result))
    elif function == "kill":
        ok = result is True
    else:
        ports = values["ports"]
        ok = type(result) is dict and set(result) == set(ports) and all(
            (result[p] is None) if p in (0, free) else (result[p] is None or is_info(result[p]))
            for p in ports)
    return None if ok else f"returned {result!r}"


def check_call(function, args, kwargs, free):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        expected = argmodel.evaluate(function, args, kwargs)
        if isinstance(expected, Accepted):
            harmless = make_harmless(function, args, kwargs, expected, free)
            if harmless != (args, kwargs):
                args, kwargs = harmless
                expected = argmodel.evaluate(function, args, kwargs)
                assert isinstance(expected, Refused), "the swapped-in argument must be refused"
        how, outcome = observed(function, args, kwargs)

    event("refused: " + expected.kind.__name__ if isinstance(expected, Refused) else "accepted")
    if isinstance(expected, Refused):
        assert how == "raised", f"{function}{args}{kwargs}: returned {outcome!r}, expected {expected}"
        notes = getattr(outcome, "__notes__", None)
        got = Refused(type(outcome), str(outcome), list(notes) if isinstance(notes, list) else notes)
        assert got == expected, f"{function}{args}{kwargs}"
        return

    values = expected.values
    timeout = values.get("timeout", ABSENT)
    if function == "wait_until_free" and values["port"] != 0 and timeout is not ABSENT and timeout >= NEVER_OVERFLOWS:
        if timeout >= SURELY_OVERFLOWS or how == "raised":
            assert how == "raised" and type(outcome).__name__ == "PanicException" and str(outcome) == (
                "overflow when adding duration to instant"), f"{function}{args}{kwargs}: {how} {outcome!r}"
            return
    assert how == "returned", f"{function}{args}{kwargs}: raised {type(outcome).__name__}: {outcome}"
    values = {k: v for k, v in values.items() if v is not ABSENT}
    values.setdefault("preferred", None)
    problem = expected_result(function, values, free, outcome)
    assert problem is None, f"{function}{args}{kwargs}: {problem}"


@pytest.mark.parametrize("function", FUNCTIONS)
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                        HealthCheck.too_slow])
@given(data=st.data())
def test_calls_match_the_model(function, free, data):
    args, kwargs = data.draw(calls(function, free), label="call")
    check_call(function, args, kwargs, free)

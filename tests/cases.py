"""One table of calls that covers every function of vantle._lib and of the
machine view, vantle._table, on its success paths and on each of its failure
paths, with the outcome each call must have.

The leak hunt, the descriptor check and the thread stress all run this table,
so a path added here is checked by all of them.
"""

import contextlib
import operator
import os
import signal
import sys
import time
import warnings
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import vantle
from vantle import _lib, _table
from conftest import listening, unused_port
from scenarios import (NOBODY, ListenerChild, exhausted_descriptors, orphan_port, reserved_free_port,
                       without_kill_capability)

FUNCTIONS = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan"]
TABLE_FUNCTIONS = ["listeners", "holders", "holders_by_port", "signal_holders", "listening", "reserve"]
# Written in Python over the native modules.
PACKAGE_FUNCTIONS = ["wait_until_listening"]
MODULES = dict.fromkeys(FUNCTIONS, _lib) | dict.fromkeys(TABLE_FUNCTIONS, _table) | dict.fromkeys(PACKAGE_FUNCTIONS,
                                                                                                 vantle)

OUT_OF_RANGE = "out of range integral type conversion attempted"
NO_FREE_PORT = "Could not find a free port"
DEADLINE_OVERFLOW = "overflow when adding duration to instant"
TABLE_UNREADABLE = "Could not read the socket table (no descriptor left, or neither netlink nor /proc can be used)"


def could_not_free(port):
    return f"Could not free port {port}: no matching process was found or it did not exit"


def permission_denied(port):
    return f"Permission denied to kill the process(es) using port {port} (try running with elevated privileges)"


# --- Arguments that take the module down a particular path ----------------

class Outer:
    class Inner:
        pass


class IndexRaises:
    def __index__(self):
        raise ValueError("no index here")


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class NoteRefused(LookupError):
    """An exception that will not take a note: the module must raise it as it is."""

    def add_note(self, note):
        raise RuntimeError("no notes here")


class IndexRefusesNote:
    def __index__(self):
        raise NoteRefused("index refused")


class BadIter:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise KeyError(i)

    def __iter__(self):
        raise RuntimeError("cannot iterate")


class BadLen:
    """A sequence whose length fails; it is still iterated (items 0, 0)."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return 0
        raise IndexError(i)


class HugeLen:
    """Claims a length far beyond what anyone could reserve; holds one 0."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i < 1:
            return 0
        raise IndexError(i)


class FailsMidway:
    """Iterates 0, then fails on the second item."""

    def __getitem__(self, i):
        if i == 0:
            return 0
        raise ArithmeticError("item 1 broke")


def numpy_like_bool(truth):
    """A type that the boolean conversion takes for numpy's boolean scalar
    (module "numpy", name "bool_"): `truth` is its __bool__, or None for a
    type without one."""
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = truth
    return type("bool_", (), namespace)()


def interpreter_refusal(convert, value):
    """The interpreter's own TypeError text for convert(value), such as an
    __index__ or __bool__ that returns the wrong type: its wording differs
    between Python versions."""
    try:
        convert(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{convert.__name__} accepted {value!r}")


def _raise_bool(self):
    raise ZeroDivisionError("truth broke")


# --- Outcomes --------------------------------------------------------------

class Outcome:
    def check(self, result=None, error=None):
        """None when the call ended as expected, else what went wrong."""
        raise NotImplementedError


@dataclass
class Returns(Outcome):
    value: object

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected {self.value!r}"
        if type(result) is not type(self.value) or result != self.value:
            return f"returned {result!r}, expected {self.value!r}"
        return None


@dataclass
class ReturnsPort(Outcome):
    other_than: int = 0

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected a port"
        if type(result) is not int or not 1 <= result <= 65535 or result == self.other_than:
            return f"returned {result!r}, expected a port other than {self.other_than}"
        return None


def own_info_matches(info):
    return (type(info) is dict and set(info) == {"pid", "name", "cmd"} and info["pid"] == os.getpid()
            and type(info["name"]) is str and info["name"] and type(info["cmd"]) is str)


@dataclass
class ReturnsOwnInfo(Outcome):
    """get_info of a port this very process listens on."""

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected this process's info"
        return None if own_info_matches(result) else f"returned {result!r}, expected this process's info"


@dataclass
class ReturnsScan(Outcome):
    """scan's answer: for each key, None, or "self" for this process's info."""
    expected: dict

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected {self.expected!r}"
        if type(result) is not dict or set(result) != set(self.expected):
            return f"returned {result!r}, expected keys {sorted(self.expected)}"
        for port, want in self.expected.items():
            got = result[port]
            if type(port) is not int or (got is not None if want is None else not own_info_matches(got)):
                return f"returned {result!r} for {port}, expected {want!r}"
        return None


@dataclass
class ReturnsOwnHolding(Outcome):
    """listeners() or holders() of a port this very process alone listens on;
    with `port`, holders_by_port() of it alone."""
    port: int | None = None

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected this process as the only holder"
        if self.port is not None:
            if type(result) is not dict or list(result) != [self.port]:
                return f"returned {result!r}, expected holders of {self.port} alone"
            result = result[self.port]
        if type(result) is not list or len(result) != 1 or type(result[0]) is not dict:
            return f"returned {result!r}, expected one entry"
        entry = result[0]
        pids = [process["pid"] for process in entry["processes"]] if "processes" in entry else [entry["pid"]]
        return None if pids == [os.getpid()] else f"returned {result!r}, expected this process alone"


@dataclass
class ReturnsListening(Outcome):
    """listening(): a listener on each of `addresses`, in that order."""
    addresses: list

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected listeners on {self.addresses}"
        if (type(result) is not list or any(type(entry) is not tuple or len(entry) != 3 for entry in result)
                or [entry[0] for entry in result] != self.addresses
                or any(type(entry[1]) is not bool or type(entry[2]) is not int for entry in result)):
            return f"returned {result!r}, expected (address, v6only, identity) on {self.addresses}"


@dataclass
class ReturnsClaims(Outcome):
    """_table.reserve's (claims, port, in_ephemeral_range), whose claims it
    closes: `count` descriptors and the first of as many ports."""
    count: int = 1
    other_than: int = 0

    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected {self.count} claims"
        claims, port, inside = result if type(result) is tuple and len(result) == 3 else ([], None, None)
        for fd in claims:
            os.close(fd)
        if (len(claims) != self.count or type(port) is not int or not 1024 <= port <= 65536 - self.count
                or port == self.other_than or type(inside) is not bool):
            return f"returned {result!r}, expected {self.count} claims and a port other than {self.other_than}"
        return None


@dataclass
class ReturnsList(Outcome):
    def check(self, result=None, error=None):
        if error is not None:
            return f"raised {type(error).__name__}: {error}, expected a list"
        return None if type(result) is list else f"returned {result!r}, expected a list"


@contextlib.contextmanager
def without_table_warning():
    """The machine view warns when it cannot read the process table."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


@dataclass
class Raises(Outcome):
    kind: type
    message: str
    note: str | None = None

    def check(self, result=None, error=None):
        if error is None:
            return f"returned {result!r}, expected {self.kind.__name__}: {self.message}"
        notes = getattr(error, "__notes__", None)
        wanted_notes = [self.note] if self.note else None
        if type(error) is not self.kind or str(error) != self.message or notes != wanted_notes:
            return (f"raised {type(error).__name__}: {error} (notes {notes}), "
                    f"expected {self.kind.__name__}: {self.message} (notes {wanted_notes})")
        if isinstance(error, OSError) and (error.errno, error.strerror, error.filename) != (None, None, None):
            return f"raised {error!r} with errno {error.errno}, expected a message only"
        return None


@dataclass
class RaisesPanic(Outcome):
    message: str

    def check(self, result=None, error=None):
        if error is None:
            return f"returned {result!r}, expected PanicException: {self.message}"
        if (type(error).__name__ != "PanicException" or isinstance(error, Exception)
                or not isinstance(error, BaseException) or str(error) != self.message):
            return f"raised {type(error).__name__}: {error}, expected PanicException: {self.message}"
        return None


# --- The table -------------------------------------------------------------

@dataclass
class Call:
    args: tuple
    kwargs: dict
    outcome: Outcome
    # Entered around the module call alone.
    during: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext


@dataclass
class Case:
    name: str
    function: str
    # Makes one call: a context manager that yields a Call and cleans up after it.
    call: Callable[[], contextlib.AbstractContextManager]
    # Entered around a batch of calls (for conditions of the whole process).
    around: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext
    # "plain": any thread may run it at any time; "process": changes the whole
    # process (descriptor limit); "child": starts a process per call.
    kind: str = "plain"
    tags: set = field(default_factory=set)

    def run_once(self):
        """Makes the call; returns None or a description of the mismatch."""
        with self.call() as call:
            return perform(self.function, call)


def perform(function, call):
    try:
        with call.during():
            result = getattr(MODULES[function], function)(*call.args, **call.kwargs)
    except BaseException as error:  # PanicException derives from BaseException
        return call.outcome.check(error=error)
    return call.outcome.check(result=result)


def fixed(*args, outcome, **kwargs):
    @contextlib.contextmanager
    def make():
        yield Call(args, kwargs, outcome)
    return make


def computed(make_call):
    """A call whose arguments are found anew each time (make_call() -> Call)."""
    @contextlib.contextmanager
    def make():
        yield make_call()
    return make


@dataclass
class Stage:
    """The ports a table is built on. `free` must stay free and `busy` must be
    listened on by this process for as long as the table is used."""
    free: int
    busy: int
    # A port nothing was listening on when the stage was set; used only
    # where no call can reach an owner (descriptor table full).
    unowned: int
    # A port nobody owns; recreated well before its TIME_WAIT runs out.
    _orphan: tuple = (0, -1e9)

    def pin_orphan(self):
        """Makes an orphaned port that orphan() keeps answering (for runs
        shorter than the minute the port stays orphaned)."""
        self._orphan = (orphan_port(), float("inf"))

    def orphan(self):
        port, made = self._orphan
        if time.monotonic() - made > 30:
            self._orphan = (orphan_port(), time.monotonic())
        return self._orphan[0]


@contextlib.contextmanager
def staged():
    """A stage for the table: a reserved free port and a port this process
    listens on, both held until the block ends."""
    with reserved_free_port() as free, listening() as (_, busy):
        yield Stage(free=free, busy=busy, unowned=unused_port())


def binding_cases(function):
    """Calls that fail to bind, each with its exact TypeError."""
    shapes = {
        "is_available": [((1, 2), {}, "is_available() takes 1 positional arguments but 2 were given"),
                         ((), {"prot": 1}, "is_available() got an unexpected keyword argument 'prot'"),
                         ((1,), {"port": 1}, "is_available() got multiple values for argument 'port'"),
                         ((), {}, "is_available() missing 1 required positional argument: 'port'")],
        "find_free": [((1, 2), {}, "find_free() takes from 0 to 1 positional arguments but 2 were given"),
                      ((), {"port": 1}, "find_free() got an unexpected keyword argument 'port'"),
                      ((None,), {"preferred": None}, "find_free() got multiple values for argument 'preferred'")],
        "wait_until_free": [((1, 2, 3), {}, "wait_until_free() takes from 1 to 2 positional arguments but 3 were given"),
                            ((0,), {"time": 5}, "wait_until_free() got an unexpected keyword argument 'time'"),
                            ((0, 1), {"timeout": 1}, "wait_until_free() got multiple values for argument 'timeout'"),
                            ((), {"timeout": 1}, "wait_until_free() missing 1 required positional argument: 'port'")],
        "get_info": [((1, 2, 3), {}, "get_info() takes 1 positional arguments but 3 were given"),
                     ((), {"\ud800": 1}, "get_info() got an unexpected keyword argument '\ud800'"),
                     ((0,), {"port": 0}, "get_info() got multiple values for argument 'port'"),
                     ((), {}, "get_info() missing 1 required positional argument: 'port'")],
        "kill": [((0, True, 3), {}, "kill() takes from 1 to 2 positional arguments but 3 were given"),
                 ((), {"port": 0, "nope": 2, "also": 3}, "kill() got an unexpected keyword argument 'nope'"),
                 ((0, True), {"force": False}, "kill() got multiple values for argument 'force'"),
                 ((), {"force": True}, "kill() missing 1 required positional argument: 'port'")],
        "reserve": [((1, 2, 3), {}, "reserve() takes from 0 to 2 positional arguments but 3 were given"),
                    ((), {"prefered": 1}, "reserve() got an unexpected keyword argument 'prefered'"),
                    ((None,), {"preferred": None}, "reserve() got multiple values for argument 'preferred'"),
                    ((None, 1), {"count": 1}, "reserve() got multiple values for argument 'count'")],
        "scan": [(([], []), {}, "scan() takes 1 positional arguments but 2 were given"),
                 (([],), {"port": []}, "scan() got an unexpected keyword argument 'port'"),
                 (([],), {"ports": []}, "scan() got multiple values for argument 'ports'"),
                 ((), {}, "scan() missing 1 required positional argument: 'ports'")],
    }
    return [Case(f"{function}: binding: {message.encode('utf-8', 'backslashreplace').decode()}", function, fixed(*args, **kwargs, outcome=Raises(TypeError, message)),
                 tags={"binding"})
            for args, kwargs, message in shapes[function]]


def port_conversion_failures(note):
    """(label, argument, outcome) for port values the conversion refuses."""
    return [
        ("65536", 65536, Raises(OverflowError, OUT_OF_RANGE, note)),
        ("-1", -1, Raises(OverflowError, OUT_OF_RANGE, note)),
        ("2**70", 2**70, Raises(OverflowError, "Python int too large to convert to C long", note)),
        ("float", 8000.0, Raises(TypeError, "'float' object cannot be interpreted as an integer", note)),
        ("None", None, Raises(TypeError, "'NoneType' object cannot be interpreted as an integer", note)),
        ("__index__ raises", IndexRaises(), Raises(ValueError, "no index here", note)),
        ("__index__ returns str", IndexReturns("x"), Raises(TypeError, interpreter_refusal(operator.index, IndexReturns("x")), note)),
        ("__index__ out of range", IndexReturns(70000), Raises(OverflowError, OUT_OF_RANGE, note)),
        ("note refused", IndexRefusesNote(), Raises(NoteRefused, "index refused")),
    ]


def build_cases(stage):
    """The whole table on the given stage."""
    free, busy = stage.free, stage.busy
    cases = []

    def add(function, name, call, **kw):
        cases.append(Case(f"{function}: {name}", function, call, **kw))

    def port_failures(function, extra=()):
        for label, value, outcome in port_conversion_failures("while processing 'port'"):
            add(function, f"port {label}", fixed(value, *extra, outcome=outcome), tags={"conversion"})

    # is_available
    cases += binding_cases("is_available")
    port_failures("is_available")
    add("is_available", "port 0", fixed(0, outcome=Returns(False)))
    add("is_available", "free port", fixed(free, outcome=Returns(True)))
    add("is_available", "free port by keyword", fixed(port=free, outcome=Returns(True)))
    add("is_available", "busy port", fixed(busy, outcome=Returns(False)))
    add("is_available", "orphaned port", computed(lambda: Call((stage.orphan(),), {}, Returns(False))))
    add("is_available", "no descriptors left", fixed(free, outcome=Returns(False)),
        around=exhausted_descriptors, kind="process")

    # find_free
    cases += binding_cases("find_free")
    for label, value, outcome in port_conversion_failures("while processing 'preferred'"):
        if value is not None:
            add("find_free", f"preferred {label}", fixed(value, outcome=outcome), tags={"conversion"})
    add("find_free", "no preference", fixed(outcome=ReturnsPort()))
    add("find_free", "preferred None", fixed(None, outcome=ReturnsPort()))
    add("find_free", "preferred 0", fixed(preferred=0, outcome=ReturnsPort()))
    add("find_free", "preferred free", fixed(free, outcome=Returns(free)))
    add("find_free", "preferred busy", fixed(busy, outcome=ReturnsPort(other_than=busy)))
    add("find_free", "no descriptors left", fixed(outcome=Raises(OSError, NO_FREE_PORT)),
        around=exhausted_descriptors, kind="process")

    # wait_until_free
    cases += binding_cases("wait_until_free")
    port_failures("wait_until_free")
    seconds_failures = [
        ("-1", -1, Raises(OverflowError, "can't convert negative int to unsigned")),
        ("2**64", 2**64, Raises(OverflowError, "int too big to convert")),
        ("float", 1.5, Raises(TypeError, "'float' object cannot be interpreted as an integer")),
        ("None", None, Raises(TypeError, "'NoneType' object cannot be interpreted as an integer")),
        ("__index__ raises", IndexRaises(), Raises(ValueError, "no index here")),
        ("__index__ negative", IndexReturns(-1), Raises(OverflowError, "can't convert negative int to unsigned")),
    ]
    for label, value, raises in seconds_failures:
        raises.note = "while processing 'timeout'"
        add("wait_until_free", f"timeout {label}", fixed(free, timeout=value, outcome=raises), tags={"conversion"})
    add("wait_until_free", "bad port reported before bad timeout",
        fixed(-1, -1, outcome=Raises(OverflowError, OUT_OF_RANGE, "while processing 'port'")), tags={"conversion"})
    add("wait_until_free", "port 0", fixed(0, outcome=Returns(False)))
    add("wait_until_free", "port 0, longest timeout", fixed(0, 2**64 - 1, outcome=Returns(False)))
    add("wait_until_free", "free port", fixed(free, outcome=Returns(True)))
    add("wait_until_free", "free port, timeout 0", fixed(port=free, timeout=0, outcome=Returns(True)))
    add("wait_until_free", "free port, timeout True", fixed(free, True, outcome=Returns(True)))
    add("wait_until_free", "busy port, timeout 0", fixed(busy, 0, outcome=Returns(False)))
    add("wait_until_free", "orphaned port, timeout 0",
        computed(lambda: Call((stage.orphan(), 0), {}, Returns(False))))
    add("wait_until_free", "deadline overflow", fixed(free, 2**64 - 1, outcome=RaisesPanic(DEADLINE_OVERFLOW)))
    add("wait_until_free", "deadline overflow, index timeout",
        fixed(free, IndexReturns(2**64 - 1), outcome=RaisesPanic(DEADLINE_OVERFLOW)))
    add("wait_until_free", "no descriptors left, timeout 0", fixed(free, 0, outcome=Returns(False)),
        around=exhausted_descriptors, kind="process")

    # get_info
    cases += binding_cases("get_info")
    port_failures("get_info")
    add("get_info", "port 0", fixed(0, outcome=Returns(None)))
    add("get_info", "free port", fixed(free, outcome=Returns(None)))
    add("get_info", "busy port", fixed(busy, outcome=ReturnsOwnInfo()))
    add("get_info", "busy port by keyword", fixed(port=busy, outcome=ReturnsOwnInfo()))
    add("get_info", "orphaned port", computed(lambda: Call((stage.orphan(),), {}, Returns(None))))
    add("get_info", "no descriptors left", fixed(busy, outcome=Returns(None)),
        around=exhausted_descriptors, kind="process")

    # kill
    cases += binding_cases("kill")
    port_failures("kill", extra=(False,))
    force_note = "while processing 'force'"
    force_failures = [
        ("1", 1, Raises(TypeError, "'int' object is not an instance of 'bool'", force_note)),
        ("None", None, Raises(TypeError, "'None' is not an instance of 'bool'", force_note)),
        ("str", "yes", Raises(TypeError, "'str' object is not an instance of 'bool'", force_note)),
        ("numpy int", np.int64(1), Raises(TypeError, "'int64' object is not an instance of 'bool'", force_note)),
        ("nested class", Outer.Inner(), Raises(TypeError, "'Outer.Inner' object is not an instance of 'bool'",
                                               force_note)),
        ("numpy-like bool whose truth raises", numpy_like_bool(_raise_bool),
         Raises(ZeroDivisionError, "truth broke", force_note)),
        ("numpy-like bool whose truth is not a bool", numpy_like_bool(lambda self: 1),
         Raises(TypeError, interpreter_refusal(bool, numpy_like_bool(lambda self: 1)), force_note)),
        ("numpy-like bool without truth", numpy_like_bool(None),
         Raises(TypeError, "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
                force_note)),
    ]
    for label, value, raises in force_failures:
        add("kill", f"force {label}", fixed(0, force=value, outcome=raises), tags={"conversion"})
    add("kill", "bad port reported before bad force",
        fixed(-1, 1, outcome=Raises(OverflowError, OUT_OF_RANGE, "while processing 'port'")), tags={"conversion"})
    add("kill", "port 0", fixed(0, outcome=Returns(True)))
    add("kill", "port 0, force", fixed(0, True, outcome=Returns(True)))
    add("kill", "port 0, numpy True", fixed(0, force=np.True_, outcome=Returns(True)))
    add("kill", "port 0, numpy False", fixed(0, np.False_, outcome=Returns(True)))
    add("kill", "port 0, numpy-like True", fixed(0, numpy_like_bool(lambda self: True), outcome=Returns(True)))
    add("kill", "free port", fixed(free, outcome=Returns(True)))
    add("kill", "free port, force", fixed(port=free, force=True, outcome=Returns(True)))
    add("kill", "orphaned port",
        computed(lambda: (lambda p: Call((p,), {}, Raises(OSError, could_not_free(p))))(stage.orphan())))
    add("kill", "no descriptors left", fixed(stage.unowned, outcome=Raises(OSError, could_not_free(stage.unowned))),
        around=exhausted_descriptors, kind="process")
    add("kill", "owner ends on SIGTERM", child_call(), kind="child", tags={"slow"})
    add("kill", "owner ends on SIGKILL", child_call(force=True), kind="child", tags={"slow"})
    add("kill", "owner ignores SIGTERM", child_call(ignore_term=True), kind="child", tags={"slow", "waits"})
    add("kill", "owner refuses the signal", child_call(user=NOBODY), kind="child", tags={"slow"})

    # scan
    cases += binding_cases("scan")
    for label, value, raises in sequence_failures():
        add("scan", label, fixed(value, outcome=raises), tags={"conversion"})
    add("scan", "generator", computed(lambda: Call(((p for p in [0]),), {}, Raises(
        TypeError, "'generator' object is not an instance of 'Sequence'", "while processing 'ports'"))),
        tags={"conversion"})
    add("scan", "empty list", fixed([], outcome=Returns({})))
    add("scan", "empty bytes by keyword", fixed(ports=b"", outcome=Returns({})))
    add("scan", "failing length", fixed(BadLen(), outcome=Returns({0: None})))
    add("scan", "huge length", fixed(HugeLen(), outcome=Returns({0: None})))
    add("scan", "range", fixed(range(0, 1), outcome=Returns({0: None})))
    add("scan", "bytearray", fixed(bytearray(1), outcome=Returns({0: None})))
    add("scan", "numpy array", fixed(np.array([0, free], dtype=np.uint16), outcome=Returns({0: None, free: None})))
    add("scan", "duplicates", fixed((free, free, 0), outcome=Returns({free: None, 0: None})))
    add("scan", "mixed", computed(lambda: (lambda o: Call(([0, free, busy, o],), {}, ReturnsScan(
        {0: None, free: None, busy: "self", o: None})))(stage.orphan())))
    add("scan", "no descriptors left", fixed([busy, free], outcome=Returns({busy: None, free: None})),
        around=exhausted_descriptors, kind="process")

    # The machine view. signal_holders would signal whoever holds a port (the
    # child reserving the free one, this process for the busy one): the
    # command line's kill tests it on holders of its own.
    for label, value, raises in sequence_failures():
        if value is not None:
            add("listeners", label, fixed(value, outcome=raises), tags={"conversion"})
    port_failures("holders")
    port_failures("signal_holders")
    add("listeners", "every port", fixed(outcome=ReturnsList()))
    add("listeners", "None", fixed(None, outcome=ReturnsList()))
    add("listeners", "free port", fixed([free, 0], outcome=Returns([])))
    add("listeners", "busy port", fixed(ports=[busy, free], outcome=ReturnsOwnHolding()))
    for label, value, raises in sequence_failures():
        add("holders_by_port", label, fixed(value, outcome=raises), tags={"conversion"})
    for function, parameter, choices in [("listeners", "protocol", "'tcp' or 'udp'"),
                                         ("holders_by_port", "side", "'local' or 'remote'")]:
        note = f"while processing '{parameter}'"
        for label, value, raises in [
            ("unknown", "sctp", Raises(ValueError, f"{parameter} must be {choices}, not 'sctp'", note)),
            ("other case", "UDP", Raises(ValueError, f"{parameter} must be {choices}, not 'UDP'", note)),
            ("bytes", b"tcp", Raises(TypeError, "'bytes' object is not an instance of 'str'", note)),
            ("None", None, Raises(TypeError, "'None' is not an instance of 'str'", note)),
        ]:
            add(function, f"{parameter} {label}", fixed([0], **{parameter: value}, outcome=raises),
                tags={"conversion"})
    add("listeners", "bad ports reported before bad protocol",
        fixed("8000", "sctp", outcome=Raises(TypeError, "Can't extract `str` to `Vec`", "while processing 'ports'")),
        tags={"conversion"})
    add("listeners", "udp, every port", fixed(protocol="udp", outcome=ReturnsList()))
    # Only TCP listens: the busy port has no UDP socket.
    add("listeners", "udp, busy port", fixed([busy, free], "udp", outcome=Returns([])))
    add("holders_by_port", "empty", fixed([], outcome=Returns({})))
    add("holders_by_port", "port 0, remote", fixed([0, 0], side="remote", outcome=Returns({})))
    add("holders_by_port", "busy port", fixed([busy, 0, busy], "local", outcome=ReturnsOwnHolding(port=busy)))
    # The free port's holder is bound only: nothing is connected to it.
    add("holders_by_port", "free port, remote", fixed(ports=[free], side="remote", outcome=Returns({})))
    add("holders", "port 0", fixed(0, outcome=Returns([])))
    # The free port is held, bound only, by the child that reserves it.
    add("holders", "free port", fixed(free, outcome=ReturnsList()))
    add("holders", "busy port", fixed(port=busy, outcome=ReturnsOwnHolding()))
    add("signal_holders", "port 0", fixed(0, 9, outcome=Returns([])))
    add("signal_holders", "port 0, signal 0", fixed(0, signal=IndexReturns(0), outcome=Returns([])))
    add("signal_holders", "port 0, addresses", fixed(0, addresses=["127.0.0.2", "::"], outcome=Returns([])))
    for label, value, raises in [
        ("str", "127.0.0.2", Raises(TypeError, "Can't extract `str` to `Vec`", "while processing 'addresses'")),
        ("item not a str", ["::1", 1], Raises(TypeError, "'int' object is not an instance of 'str'",
                                              "while processing 'addresses'")),
    ]:
        add("signal_holders", f"addresses {label}", fixed(0, 15, value, outcome=raises), tags={"conversion"})
    # A bad signal is refused before any lookup, for a held port too: True
    # (force, to an older caller) would otherwise be SIGHUP.
    signal_note = "while processing 'signal'"
    for label, value, raises in [
        ("True", True, Raises(TypeError, "signal must be a signal number, not bool", signal_note)),
        ("float", 15.0, Raises(TypeError, "'float' object cannot be interpreted as an integer", signal_note)),
        *[(str(value), value, Raises(ValueError, "signal must be 0 or a signal number of this system "
                                     f"(1-{signal.NSIG - 1}), not {value}", signal_note))
          for value in (-1, signal.NSIG, 2**70) + ((32,) if 32 not in signal.valid_signals() else ())],
    ]:
        add("signal_holders", f"signal {label}", fixed(busy, value, outcome=raises), tags={"conversion"})
    # reserve: the claims are closed by the outcome's check.
    cases += binding_cases("reserve")
    for label, value, outcome in port_conversion_failures("while processing 'preferred'"):
        if value is not None:
            add("reserve", f"preferred {label}", fixed(value, outcome=outcome), tags={"conversion"})
    count_note = "while processing 'count'"
    for label, value, raises in [
        ("0", 0, Raises(ValueError, "count must be from 1 to 1000, not 0", count_note)),
        ("1001", 1001, Raises(ValueError, "count must be from 1 to 1000, not 1001", count_note)),
        ("-1", -1, Raises(ValueError, "count must be from 1 to 1000, not -1", count_note)),
        ("2**70", 2**70, Raises(ValueError, f"count must be from 1 to 1000, not {2**70}", count_note)),
        ("float", 1.0, Raises(TypeError, "'float' object cannot be interpreted as an integer", count_note)),
        ("None", None, Raises(TypeError, "'NoneType' object cannot be interpreted as an integer", count_note)),
        ("__index__ raises", IndexRaises(), Raises(ValueError, "no index here", count_note)),
        ("note refused", IndexRefusesNote(), Raises(NoteRefused, "index refused")),
    ]:
        add("reserve", f"count {label}", fixed(count=value, outcome=raises), tags={"conversion"})
    add("reserve", "bad preferred reported before bad count",
        fixed(-1, 0, outcome=Raises(OverflowError, OUT_OF_RANGE, "while processing 'preferred'")), tags={"conversion"})
    add("reserve", "no preference", fixed(outcome=ReturnsClaims()))
    add("reserve", "preferred None, count True", fixed(None, True, outcome=ReturnsClaims()))
    add("reserve", "preferred 0", fixed(preferred=0, outcome=ReturnsClaims()))
    add("reserve", "preferred busy", fixed(busy, outcome=ReturnsClaims(other_than=busy)))
    add("reserve", "three ports", fixed(count=IndexReturns(3), outcome=ReturnsClaims(count=3)))
    add("reserve", "no descriptors left",
        fixed(outcome=Raises(OSError, "Could not reserve a port: no file descriptor left")),
        around=exhausted_descriptors, kind="process")
    for function, args, nothing in [("listeners", ([busy],), []), ("holders", (busy,), []),
                                    ("holders_by_port", ([busy],), {})]:
        add(function, "no descriptors left", lambda args=args, nothing=nothing: contextlib.nullcontext(
            Call(args, {}, Returns(nothing), without_table_warning)), around=exhausted_descriptors, kind="process")
    port_failures("listening")
    add("listening", "port 0", fixed(0, outcome=Returns([])))
    # The free port is held, bound only, by the child that reserves it.
    add("listening", "free port", fixed(free, outcome=Returns([])))
    add("listening", "busy port", fixed(port=busy, outcome=ReturnsListening(["127.0.0.1"])))
    add("listening", "no descriptors left", fixed(busy, outcome=Raises(OSError, TABLE_UNREADABLE)),
        around=exhausted_descriptors, kind="process")

    # wait_until_listening: the conversions of the six functions, floats
    # allowed for the time-out, checked before anything is waited for.
    port_failures("wait_until_listening")
    timeout_failures = [*seconds_failures[:2], *seconds_failures[3:], (
        "-0.5", -0.5, Raises(OverflowError, "can't convert negative float to unsigned")), (
        "inf", float("inf"), Raises(OverflowError, "float too big to convert")), (
        "nan", float("nan"), Raises(ValueError, "cannot convert float NaN to a time-out"))]
    for label, value, raises in timeout_failures:
        raises.note = "while processing 'timeout'"
        add("wait_until_listening", f"timeout {label}", fixed(busy, timeout=value, outcome=raises),
            tags={"conversion"})
    address_note = "while processing 'address'"
    for label, value, raises in [
        ("bytes", b"127.0.0.1", Raises(TypeError, "'bytes' object is not an instance of 'str'", address_note)),
        ("IPv6 without brackets", "::1", Raises(
            ValueError, "not an address: '::1'; use 127.0.0.1, [::1] or localhost", address_note)),
        ("pid", "x", Raises(TypeError, "'str' object cannot be interpreted as an integer", "while processing 'pid'")),
        ("pid 0", 0, Raises(OverflowError, OUT_OF_RANGE, "while processing 'pid'")),
    ]:
        keyword = "pid" if label.startswith("pid") else "address"
        add("wait_until_listening", f"{keyword} {label}", fixed(busy, 0, **{keyword: value}, outcome=raises),
            tags={"conversion"})
    add("wait_until_listening", "bad port reported before bad timeout",
        fixed(-1, -1, outcome=Raises(OverflowError, OUT_OF_RANGE, "while processing 'port'")), tags={"conversion"})
    add("wait_until_listening", "port 0", fixed(0, 5, outcome=Returns(False)))
    add("wait_until_listening", "busy port", fixed(busy, outcome=Returns(True)))
    add("wait_until_listening", "busy port, localhost, server running",
        fixed(busy, 0.0, "localhost", os.getpid(), outcome=Returns(True)))
    add("wait_until_listening", "busy port, elsewhere", fixed(busy, timeout=0, address="127.0.0.2",
                                                              outcome=Returns(False)))
    add("wait_until_listening", "free port, server running", fixed(free, 0.01, pid=os.getpid(),
                                                                   outcome=Returns(False)))
    add("wait_until_listening", "no descriptors left", fixed(busy, outcome=Raises(OSError, TABLE_UNREADABLE)),
        around=exhausted_descriptors, kind="process")
    return cases


def sequence_failures():
    """(label, argument, outcome) for port sequences the conversion refuses."""
    note = "while processing 'ports'"
    return [
        ("str", "8000", Raises(TypeError, "Can't extract `str` to `Vec`", note)),
        ("int", 8000, Raises(TypeError, "'int' object is not an instance of 'Sequence'", note)),
        ("None", None, Raises(TypeError, "'None' is not an instance of 'Sequence'", note)),
        ("set", {0}, Raises(TypeError, "'set' object is not an instance of 'Sequence'", note)),
        ("dict", {0: 0}, Raises(TypeError, "'dict' object is not an instance of 'Sequence'", note)),
        ("nested class", Outer.Inner(), Raises(TypeError, "'Outer.Inner' object is not an instance of 'Sequence'",
                                               note)),
        ("item out of range", [0, 70000], Raises(OverflowError, OUT_OF_RANGE, note)),
        ("item not an integer", [0, "x"], Raises(TypeError, "'str' object cannot be interpreted as an integer", note)),
        ("item's __index__ raises", (0, IndexRaises()), Raises(ValueError, "no index here", note)),
        ("item refuses the note", [IndexRefusesNote()], Raises(NoteRefused, "index refused")),
        ("__iter__ raises", BadIter(), Raises(RuntimeError, "cannot iterate", note)),
        ("iteration fails midway", FailsMidway(), Raises(ArithmeticError, "item 1 broke", note)),
    ]


def child_call(force=None, ignore_term=False, user=None):
    """kill on the port of a child started for this one call."""
    @contextlib.contextmanager
    def make():
        with ListenerChild(ignore_term=ignore_term, user=user) as child:
            if user is not None:
                outcome = Raises(PermissionError, permission_denied(child.port))
            elif ignore_term:
                outcome = Raises(OSError, could_not_free(child.port))
            else:
                outcome = Returns(True)
            kwargs = {} if force is None else {"force": force}
            # Only the call itself goes without CAP_KILL: reaping the child
            # afterwards needs it back.
            yield Call((child.port,), kwargs, outcome,
                       without_kill_capability if user is not None else contextlib.nullcontext)
    return make

"""Waiting for a server to listen: the checks of the arguments, the look at
the port and the poll schedule, shared by wait_until_listening, its asyncio
twin in vantle.aio and the command line's `wait --listening`.

The waiting loops are Python's own, so that Ctrl-C ends them at the next
pause and the coroutines can share every step but the sleep; each look is
one read of the socket table (vantle._table.listening, about 0.05 ms, the
interpreter lock released), which makes a pause of a few milliseconds
affordable.
"""

import math
from _operator import index  # the C module: importing operator costs the command a noticeable share of its start-up
import os
import select
import time

from . import _lib, _table
from ._ports import PortError, address_literal, covers

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from types import TracebackType
    from typing import Self, SupportsIndex

# The pause between two looks starts at FIRST_STEP and grows by STEP_GROWTH
# after each look that finds nothing, up to LAST_STEP: a server that is up
# within a few milliseconds is seen at once, and a long wait costs one read
# of the socket table every LAST_STEP (about 1% of a core).
FIRST_STEP = 0.002
LAST_STEP = 0.005
STEP_GROWTH = 1.25
# A pause lasts at least this many times the processor time of the look
# before it, so that a wait never takes much more than 5% of a core, even
# where a look costs far more than a read of the socket table (macOS, where
# it walks the process table; the /proc/net fallback on a machine with very
# many sockets). Processor time, not the clock's: a look that merely waited
# for a busy processor does not stretch the pause.
PAUSE_PER_LOOK = 20

OUT_OF_RANGE = "out of range integral type conversion attempted"


def listen_steps() -> "Iterator[float]":
    """The pauses between the looks of a wait for a listener, in seconds."""
    step = FIRST_STEP
    while True:
        yield step
        step = min(step * STEP_GROWTH, LAST_STEP)


# ---- Arguments, with the conversions and messages of the six functions ----

def noted[E: BaseException](error: E, parameter: str) -> E:
    """The error with the note the native conversions add."""
    error.add_note(f"while processing '{parameter}'")
    return error


def port_number(port: object) -> int:
    """The port, converted by the native conversion of the six functions, so
    that the messages and notes are theirs. It runs inside a read of the
    socket table, which changes nothing."""
    _table.listening(port)  # type: ignore[arg-type]  # refused with the module's own messages
    return index(port)  # type: ignore[arg-type]  # accepted above


def seconds(timeout: object, fractions: bool) -> float:
    """A time-out as wait_until_free takes it, 0 to 2**64 - 1 whole seconds,
    converted by wait_until_free itself so that the messages are its own (it
    answers at once for port 0, converting the time-out and probing nothing);
    with `fractions`, a float as well: finite, not negative, below 2**64."""
    if fractions and isinstance(timeout, float):
        if math.isnan(timeout):
            raise noted(ValueError("cannot convert float NaN to a time-out"), "timeout")
        if timeout < 0:
            raise noted(OverflowError("can't convert negative float to unsigned"), "timeout")
        if timeout >= 2.0**64:
            raise noted(OverflowError("float too big to convert"), "timeout")
        return timeout
    _lib.wait_until_free(0, timeout)  # type: ignore[arg-type]  # refused with its own messages
    return float(index(timeout))  # type: ignore[arg-type]  # accepted above


def wanted_addresses(address: object) -> frozenset[str] | None:
    """The addresses a listener must take connections on, from the forms
    `vantle who` accepts before a port: 127.0.0.1, [::1], localhost (both of
    those), any other IPv4 address or bracketed IPv6 one. None: any."""
    if address is None:
        return None
    if not isinstance(address, str):
        raise noted(TypeError(f"'{type(address).__qualname__}' object is not an instance of 'str'"), "address")
    try:
        return address_literal(address, address)
    except PortError as error:
        raise noted(ValueError(str(error)), "address") from None


def process_id(pid: object) -> int | None:
    if pid is None:
        return None
    try:
        value = index(pid)  # type: ignore[arg-type]  # refused with the interpreter's message
    except TypeError as error:
        raise noted(error, "pid") from None
    if not 0 < value < 2**31:
        raise noted(OverflowError(OUT_OF_RANGE), "pid")
    return value


# ---- The look ----

def covering(port: int, wanted: frozenset[str] | None) -> list[tuple[str, int]]:
    """(address, identity) of the listeners on `port` that cover `wanted`."""
    return [(address, identity) for address, v6only, identity in _table.listening(port)
            if covers(address, v6only, wanted)]


def listening_on(port: int, wanted: frozenset[str] | None) -> list[str]:
    """The local addresses of the sockets listening on `port` that take
    connections on `wanted` (None: any address), each once; a socket counts
    only when two reads in a row find it. A bind test (is_available,
    wait_until_free) holds a listener for a few microseconds, which one read
    may catch but the next no longer finds; a server's listener stays. The
    reads leave out this process's own bind tests; one of another process
    that loses the processor half-way can still be taken for a server."""
    first = covering(port, wanted)
    if not first:
        return []
    return list(dict.fromkeys(address for address, identity in covering(port, wanted) if (address, identity) in first))


class ExitWatch:
    """The end of the process being waited for: through a pidfd where there
    is one (it reads ready once the process has exited, a zombie too), else
    by asking with signal 0 at each look, which takes a zombie for running.
    A pid that names no process at the start counts as ended."""

    def __init__(self, pid: int) -> None:
        self.pid, self.fd, self.ended = pid, -1, False
        try:
            self.fd = os.pidfd_open(pid)  # close-on-exec, as pidfds always are
        except ProcessLookupError:
            self.ended = True
        except (AttributeError, OSError):
            pass  # no pidfds here (not Linux, a kernel before 5.3) or no descriptor left

    def wait(self, seconds: float) -> bool:
        """True once the process has ended; waits up to `seconds` for that."""
        if self.ended:
            return True
        if self.fd >= 0:
            poller = select.poll()
            poller.register(self.fd, select.POLLIN)
            self.ended = bool(poller.poll(math.ceil(seconds * 1000)))
            return self.ended
        try:
            os.kill(self.pid, 0)
        except ProcessLookupError:
            self.ended = True
            return True
        except PermissionError:
            pass  # another user's: running
        time.sleep(seconds)
        return False

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class ListenWait:
    """One wait for a listener, for the blocking function and the coroutine
    alike: every argument is checked first, then look() until it decides,
    with a pause() between looks."""

    def __init__(self, port: object, timeout: object, address: object, pid: object) -> None:
        self.port = port_number(port)
        limit = seconds(timeout, fractions=True)
        self.wanted = wanted_addresses(address)
        server = process_id(pid)
        self.deadline = time.monotonic() + limit
        self.steps = listen_steps()
        self.look_took = 0.0
        self.exit = None if server is None or self.port == 0 else ExitWatch(server)

    def __enter__(self) -> "Self":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: "TracebackType | None") -> None:
        if self.exit is not None:
            self.exit.close()

    def look(self) -> bool | None:
        """True when a listener is there; False once the server has exited or
        the deadline has passed; None: look again after a pause. The clock is
        read first, so a listener found by the look that follows the deadline
        still counts (a time-out of 0 makes one look)."""
        if self.port == 0:  # nothing listens there: binding it only asks for a port
            return False
        start, start_cpu = time.monotonic(), time.thread_time()
        if listening_on(self.port, self.wanted):
            return True
        self.look_took = time.thread_time() - start_cpu
        if start >= self.deadline or (self.exit is not None and self.exit.wait(0)):
            return False
        return None

    def pause(self) -> float:
        """The next pause: one step (or PAUSE_PER_LOOK times the last look),
        ending at the deadline at the latest."""
        step = max(next(self.steps), PAUSE_PER_LOOK * self.look_took)
        return max(0.0, min(step, self.deadline - time.monotonic()))

    def sleep(self) -> None:
        """Sleeps for the next pause, waking as soon as the server exits."""
        if self.exit is not None:
            self.exit.wait(self.pause())
        else:
            time.sleep(self.pause())


def wait_until_listening(port: "SupportsIndex", timeout: "float | SupportsIndex" = 30, address: str | None = None,
                         pid: "SupportsIndex | None" = None) -> bool:
    """Wait until a TCP socket listens on the port.

    Args:
        port: the port, as the other functions take it.
        timeout: the most seconds to wait (default 30); a float or an int,
            not negative. 0 looks once.
        address: None for any local address, or the address a listener must
            take connections on, in the forms `vantle who` accepts:
            "127.0.0.1", "[::1]", "localhost" (either of those), another local
            IPv4 address or bracketed IPv6 one. A listener on the wildcard
            covers its family ("::" IPv4 as well, unless it is IPv6-only).
        pid: the server being waited for: when it exits (or has exited, or
            never existed: a pid that names no process cannot be told from one
            that already ended), the answer is False at once, so that a server
            that fails at start-up costs no time-out. A zombie counts as ended.

    Returns:
        True as soon as something listens, False at the deadline, when the
        server exited, or for port 0. Listening is not being ready: a server
        may listen before it serves (a proxy before its backend is up).

    Raises:
        TypeError, OverflowError: a bad port (as the other functions say it),
            time-out or pid, before anything is waited for.
        ValueError: a time-out that is NaN, an address in no accepted form.
        OSError: the socket table cannot be read (no descriptor left).

    The port is looked at every 2 ms at first, then every 5 ms: a new
    listener is seen within about that, at about 1% of a core. The
    interpreter lock is released during each look, and Ctrl-C ends the wait
    at the next pause.
    """
    with ListenWait(port, timeout, address, pid) as wait:
        while (done := wait.look()) is None:
            wait.sleep()
        return done

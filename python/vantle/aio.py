"""vantle for asyncio: wait_until_free, wait_until_listening and kill as
coroutines that never block the event loop, with the results and errors of
the blocking functions, and cancelled within one poll step.

The waits look at the port with the same native calls as the blocking
functions (a probe of a few microseconds, a read of the socket table of
about 0.05 ms), made on the loop's own thread, and sleep with asyncio.sleep
between the looks. kill runs its lookup and signals in a worker thread.
"""

import asyncio
import signal
import time

from . import _lib, _table
from ._wait import ListenWait, port_number, seconds

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import SupportsIndex

__all__ = ["wait_until_free", "wait_until_listening", "kill"]

# The poll steps of the blocking functions: wait_until_free probes every
# 100 ms; kill every 50 ms for one second after its signals.
FREE_STEP = 0.1
KILL_STEP = 0.05
KILL_GRACE = 1.0


async def poll_until_free(port: int, limit: float, step: float, probe_after_deadline: bool) -> bool:
    """Probes the port until it is free (True) or `limit` seconds have
    passed (False), as the native poller does: the first probe at once, the
    later ones on a grid of `step` from the start (a step missed altogether is
    not made up for), and with `probe_after_deadline` one last probe once the
    deadline has passed."""
    start = time.monotonic()
    deadline = start + limit
    taken = 0
    while True:
        now = time.monotonic()
        if now >= deadline:
            return probe_after_deadline and _lib.is_available(port)
        if _lib.is_available(port):
            return True
        taken = max(taken + 1, int((now - start) // step) + 1)
        await asyncio.sleep(max(0.0, min(start + taken * step, deadline) - time.monotonic()))


async def wait_until_free(port: "SupportsIndex", timeout: "SupportsIndex" = 30) -> bool:
    """vantle.wait_until_free as a coroutine: the same probe every 100 ms, the
    same last probe after the deadline, the same arguments and errors. One
    difference: a time-out too large for the native clock (2**64 - 1) makes
    the blocking function raise PanicException, and this one wait for ever."""
    number = port_number(port)
    limit = seconds(timeout, fractions=False)
    if number == 0:  # binding port 0 would only ask the system for a port
        return False
    return await poll_until_free(number, limit, FREE_STEP, probe_after_deadline=True)


async def wait_until_listening(port: "SupportsIndex", timeout: "float | SupportsIndex" = 30,
                               address: str | None = None, pid: "SupportsIndex | None" = None) -> bool:
    """vantle.wait_until_listening as a coroutine: the same looks, pauses,
    arguments and answers. The server's exit is noticed at the next look (a
    few milliseconds) rather than at once."""
    with ListenWait(port, timeout, address, pid) as wait:
        while (done := wait.look()) is None:
            await asyncio.sleep(wait.pause())
        return done


def could_not_free(port: int) -> OSError:
    return OSError(f"Could not free port {port}: no matching process was found or it did not exit")


async def kill(port: "SupportsIndex", force: bool = False) -> bool:
    """vantle.kill as a coroutine, built from the same parts: a free port (or
    port 0) answers True at once; otherwise every process holding a socket on
    the port is looked up once and signalled (SIGTERM, or SIGKILL with force)
    only while its start time still matches the lookup's, in a worker thread;
    then the port is probed every 50 ms for one second.

    Returns True once the port is free. Raises OSError when no holder can be
    seen or the port is still in use after the second, PermissionError when
    every holder refused the signal, with vantle.kill's messages; bad
    arguments raise as there, before anything is probed or signalled.

    It sees the port free up to 50 ms later than vantle.kill, which wakes on
    the holders' exit. Cancelled while the signals go out, it lets them go
    out (a few milliseconds) and drops the answer.
    """
    number = port_number(port)
    _lib.kill(0, force)  # converts force with kill's own messages; port 0 is free at once
    if number == 0 or _lib.is_available(number):
        return True
    found = await asyncio.to_thread(_table.signal_holders, number, signal.SIGKILL if force else signal.SIGTERM)
    outcomes = [holder["signal"] for holder in found if holder["pid"] is not None]
    if not outcomes:
        raise could_not_free(number)
    if "refused" in outcomes and not any(outcome in ("signalled", "gone") for outcome in outcomes):
        raise PermissionError(f"Permission denied to kill the process(es) using port {number} "
                              "(try running with elevated privileges)")
    if await poll_until_free(number, KILL_GRACE, KILL_STEP, probe_after_deadline=False):
        return True
    raise could_not_free(number)

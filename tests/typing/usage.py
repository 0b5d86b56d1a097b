"""Type-checked by mypy against the package's stubs (tools/check-types)."""

from typing import Literal, TYPE_CHECKING, assert_type

import numpy as np

import vantle
import vantle.aio
from vantle import ProcessInfo

if TYPE_CHECKING:
    from vantle._lib import _PanicException

assert_type(vantle.is_available(8000), bool)
assert_type(vantle.is_available(np.uint16(8000)), bool)
assert_type(vantle.find_free(), int)
assert_type(vantle.find_free(None), int)
assert_type(vantle.find_free(preferred=8000), int)
assert_type(vantle.wait_until_free(8000, timeout=1), bool)
assert_type(vantle.kill(8000, force=True), bool)
assert_type(vantle.wait_until_listening(8000, 1.5, "localhost", pid=1234), bool)
assert_type(vantle.wait_until_listening(np.uint16(8000), timeout=2), bool)


async def coroutines() -> None:
    assert_type(await vantle.aio.wait_until_free(8000, 5), bool)
    assert_type(await vantle.aio.wait_until_listening(8000, 0.5, address="[::1]"), bool)
    assert_type(await vantle.aio.kill(8000, force=True), bool)


info = vantle.get_info(8000)
assert_type(info, ProcessInfo | None)
if info is not None:
    assert_type(info["pid"], int)
    assert_type(info["name"], str)
    assert_type(info["cmd"], str)

table = vantle.scan([8000, 8001])
assert_type(table, dict[int, ProcessInfo | None])
vantle.scan(range(8000, 8010))
vantle.scan((80, 443))
vantle.scan(b"P")
assert_type(vantle.__version__, str)

for listener in vantle.listeners(range(8000, 8010)):
    assert_type(listener["address"], str)
    for process in listener["processes"]:
        assert_type(process["user"], str | None)
for holder in vantle.holders(8000):
    assert_type(holder["pid"], int | None)
    assert_type(holder["sockets"][0]["protocol"], Literal["tcp", "udp"])
    assert_type(holder["sockets"][0]["peer_port"], int | None)
assert_type(vantle.listeners(None, protocol="udp"), list[vantle.Listener])

with vantle.reserve() as reserved_port:
    assert_type(reserved_port, int)
reservation = vantle.reserve(8000, count=2)
assert_type(reservation, vantle.Reservation)
assert_type(reservation.ports, range)
assert_type(reservation.in_ephemeral_range, bool)
reservation.release()


def panic_message(error: "_PanicException") -> str:
    return str(error)

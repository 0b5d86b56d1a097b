"""The machine view: listening sockets and port holders on every local address."""

from collections.abc import Sequence
from typing import Final, Literal, SupportsIndex

from ._types import Holder as Holder, Listener as Listener, Process as Process, Socket as Socket

__version__: Final[str]
__all__: Final[list[str]]

class SignalledHolder(Holder):
    signal: Literal["signalled", "gone", "refused", "failed"] | None
    """What sending the signal came to; None for the invisible."""

def listeners(ports: Sequence[SupportsIndex] | bytes | bytearray | None = None) -> list[Listener]:
    """Every TCP socket listening on any local address, by port and address.

    Raises:
        TypeError: ports is a str or not a sequence.
        OverflowError: a port outside 0-65535.
    """

def holders(port: SupportsIndex) -> list[Holder]:
    """Every process holding an internet socket on the port, on any local address."""

def signal_holders(port: SupportsIndex, force: bool = False,
                   addresses: Sequence[str] | None = None) -> list[SignalledHolder]:
    """holders(port), each visible holder sent SIGTERM (SIGKILL with force) while it
    is still the process found; with addresses, only the sockets on those local
    addresses (as the dicts write them) and their holders."""

def reserve(preferred: SupportsIndex | None = None, count: SupportsIndex = 1) -> tuple[list[int], int, bool]:
    """Claims count consecutive ports among vantle's reservations: (the claims'
    descriptors, one per port, the caller's to close; the first port; whether the
    ports lie in the ephemeral range). vantle.reserve wraps it in a Reservation.

    Raises:
        OSError: no port could be claimed (errno is None).
        ValueError: count outside 1-1000, or a bad VANTLE_RESERVE_PORTS.
        TypeError, OverflowError: a bad preferred port.
    """

"""The machine view: listening sockets and port holders on every local address."""

from collections.abc import Sequence
from typing import Final, Literal, SupportsIndex

from ._types import Holder as Holder, Listener as Listener, Process as Process, Socket as Socket

__version__: Final[str]
__all__: Final[list[str]]

class SignalledHolder(Holder):
    signal: Literal["signalled", "gone", "refused", "failed"] | None
    """What sending the signal came to; None for the invisible."""

def listeners(ports: Sequence[SupportsIndex] | bytes | bytearray | None = None,
              protocol: Literal["tcp", "udp"] = "tcp") -> list[Listener]:
    """Every TCP socket listening on any local address, by port and address; with
    protocol "udp", every UDP socket bound there and not connected to a peer (what
    `ss -lun` lists, state NONE).

    Raises:
        TypeError: ports is a str or not a sequence; protocol is not a str.
        OverflowError: a port outside 0-65535.
        ValueError: protocol is neither "tcp" nor "udp".
    """

def holders(port: SupportsIndex) -> list[Holder]:
    """Every process holding an internet socket on the port, on any local address."""

def holders_by_port(ports: Sequence[SupportsIndex] | bytes | bytearray,
                    side: Literal["local", "remote"] = "local") -> dict[int, list[Holder]]:
    """holders() of each of the ports, from one read of the socket table and one
    walk: a dict from each port that something holds to its holders. With side
    "remote", the ports are the peers': each port's holders are the processes
    connected to it (its clients, TCP in any state and connected UDP), each with
    its sockets to it (peer_port the port).

    Raises:
        TypeError: ports is a str or not a sequence; side is not a str.
        OverflowError: a port outside 0-65535.
        ValueError: side is neither "local" nor "remote".
    """

def listening(port: SupportsIndex) -> list[tuple[str, bool | None, int]]:
    """The TCP sockets listening on the port, on any local address, from one read
    of the socket table (a walk of the processes on macOS, which has none):
    (address as the dicts write it, v6only as the dicts give it, an identity
    that stays the same for the life of the socket), IPv4 first; the module's
    own bind tests are left out.

    Raises:
        TypeError, OverflowError: a bad port.
        OSError: the socket table could not be read (no descriptor left).
    """

def signal_holders(port: SupportsIndex, signal: SupportsIndex = 15,
                   addresses: Sequence[str] | None = None, udp: bool = True) -> list[SignalledHolder]:
    """holders(port), each visible holder sent the signal (SIGTERM by default)
    while it is still the process found; signal 0 sends nothing and finds out
    whether each holder may be signalled ("signalled" then says it may). With
    addresses, only the sockets on those local addresses (as the dicts write
    them) and their holders; with udp False, only TCP sockets and their holders.

    Raises:
        ValueError: signal is not 0 or a signal of this system.
        TypeError: signal is a bool or not an integer.
    """

def reserve(preferred: SupportsIndex | None = None, count: SupportsIndex = 1) -> tuple[list[int], int, bool]:
    """Claims count consecutive ports among vantle's reservations: (the claims'
    descriptors, one per port, the caller's to close; the first port; whether the
    ports lie in the ephemeral range). vantle.reserve wraps it in a Reservation.

    Raises:
        OSError: no port could be claimed (errno is None).
        ValueError: count outside 1-1000, or a bad VANTLE_RESERVE_PORTS.
        TypeError, OverflowError: a bad preferred port.
    """

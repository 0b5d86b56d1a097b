"""The machine view: listening sockets and port holders on every local address."""

from collections.abc import Sequence
from typing import Final, Literal, SupportsIndex, TypedDict

__version__: Final[str]
__all__: Final[list[str]]

class Process(TypedDict):
    """A process holding a socket."""

    pid: int
    ppid: int
    uid: int
    """The process's real user."""
    user: str | None
    """The name of that user; None when it has none."""
    name: str
    cmd: str

class Socket(TypedDict):
    """An internet socket, as the kernel's socket table shows it."""

    protocol: Literal["tcp", "udp"]
    state: str
    """LISTEN, ESTABLISHED, ... as ss names TCP states; UNCONN or ESTABLISHED for UDP."""
    address: str
    """The local address: "127.0.0.1", "::1", "0.0.0.0", "::"."""
    port: int
    uid: int
    """The socket's owner."""
    user: str | None

class Listener(Socket):
    """A listening TCP socket with every visible process holding it, newest first;
    processes is empty when none can be seen (another user's, without privileges)."""

    processes: list[Process]

class Holder(TypedDict):
    """A process holding sockets on a port; pid, ppid, name and cmd are None for the
    sockets of user uid that no visible process holds."""

    pid: int | None
    ppid: int | None
    uid: int
    user: str | None
    name: str | None
    cmd: str | None
    sockets: list[Socket]

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

def signal_holders(port: SupportsIndex, force: bool = False) -> list[SignalledHolder]:
    """holders(port), each visible holder sent SIGTERM (SIGKILL with force) while it
    is still the process found."""

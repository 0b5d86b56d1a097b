"""Check, find, wait for, inspect and free local TCP ports."""

from typing import TYPE_CHECKING, Literal, TypedDict

from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free
from ._table import holders, listeners

if TYPE_CHECKING:
    from ._lib import ProcessInfo
    from ._table import Holder, Listener, Process, Socket
else:
    # The stubs declare these for type checkers; at run time they are plain dicts.
    class ProcessInfo(TypedDict):
        """The process listening on a port."""

        pid: int
        name: str
        cmd: str

    class Process(TypedDict):
        """A process holding a socket (the stub of vantle._table says more)."""

        pid: int
        ppid: int
        uid: int
        user: str | None
        name: str
        cmd: str

    class Socket(TypedDict):
        """An internet socket on some local address."""

        protocol: Literal["tcp", "udp"]
        state: str
        address: str
        port: int
        uid: int
        user: str | None

    class Listener(Socket):
        """A listening TCP socket and the processes holding it."""

        processes: list[Process]

    class Holder(TypedDict):
        """A process holding sockets on a port (pid None: not visible)."""

        pid: int | None
        ppid: int | None
        uid: int
        user: str | None
        name: str | None
        cmd: str | None
        sockets: list[Socket]

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "listeners", "holders",
           "__version__", "ProcessInfo", "Process", "Socket", "Listener", "Holder"]

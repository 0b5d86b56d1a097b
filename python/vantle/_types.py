"""The dicts the functions return, as classes at run time: the stubs declare
them for type checkers, and `from vantle import ProcessInfo` finds them here
(loaded on first use, so that importing vantle does not import typing)."""

from typing import Literal, TypedDict


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

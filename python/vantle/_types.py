"""The dicts the functions return, as classes: the stubs of vantle._lib and
vantle._table take them from here, and `from vantle import ProcessInfo` finds
them here at run time (loaded on first use, so that importing vantle does not
import typing)."""

from typing import Literal, TypedDict


class ProcessInfo(TypedDict):
    """The process listening on a port."""

    pid: int
    name: str
    cmd: str
    """The full command line on Linux, the executable path on macOS."""


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
    """The command line; bytes that are not UTF-8 are shown as \\xNN."""


class Socket(TypedDict):
    """An internet socket, as the kernel's socket table shows it."""

    protocol: Literal["tcp", "udp"]
    state: str
    """The state as psutil names it: LISTEN, ESTABLISHED, SYN_SENT, SYN_RECV,
    FIN_WAIT1, FIN_WAIT2, TIME_WAIT, CLOSE, CLOSE_WAIT, LAST_ACK, CLOSING; for
    UDP, ESTABLISHED (connected to a peer) or NONE."""
    address: str
    """The local address: "127.0.0.1", "::1", "0.0.0.0", "::"."""
    port: int
    peer_address: str | None
    """The address of the peer the socket is connected to; None without one
    (a listener, a UDP socket not connected)."""
    peer_port: int | None
    """The peer's port; None without a peer."""
    v6only: bool | None
    """True for an IPv6 socket that takes IPv6 connections only (IPV6_V6ONLY);
    False for IPv4 sockets and dual-stack IPv6 ones; None where the socket
    table does not tell (read from /proc/net, or on macOS)."""
    uid: int
    """The socket's owner."""
    user: str | None


class Listener(Socket):
    """A listening TCP socket (or a UDP socket bound and not connected) with every
    visible process holding it, newest first; processes is empty when none can be
    seen (another user's, without privileges)."""

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

"""What any user may learn about the sockets on a port, for the command line.

On Linux the socket tables of /proc/net name each socket's user, address,
state and inode without privileges (the holders come from vantle._table).
Where /proc does not exist (macOS) every answer here is empty: the command
then shows what the native functions tell.
"""

import functools
import os
import pwd
import socket
import sys
from collections.abc import Collection, Iterator
from typing import NamedTuple

PROC = "/proc"
TCP_LISTEN = 0x0A
# Bit 10 of the effective capability mask: binding ports below the
# unprivileged start.
CAP_NET_BIND_SERVICE = 10

# (file, protocol, address family) of the tables read.
TABLES = (
    ("tcp", "tcp", socket.AF_INET),
    ("tcp6", "tcp", socket.AF_INET6),
    ("udp", "udp", socket.AF_INET),
    ("udp6", "udp", socket.AF_INET6),
)


class Socket(NamedTuple):
    protocol: str  # "tcp" or "udp"
    address: str  # "127.0.0.1:8080", "[::1]:8080"
    listening: bool
    uid: int
    inode: int  # 0 when no descriptor holds it (TIME_WAIT)


def decode_address(hex_address: str, family: int) -> str:
    """The kernel prints the address as 32-bit words in host byte order."""
    raw = b"".join(int(hex_address[i:i + 8], 16).to_bytes(4, sys.byteorder)
                   for i in range(0, len(hex_address), 8))
    return socket.inet_ntop(family, raw)


def parse_table(text: str, protocol: str, family: int, ports: Collection[int]) -> Iterator[tuple[int, Socket]]:
    """(port, socket) for the lines of one /proc/net table whose local port
    is wanted: "sl local remote st queues timer retrnsmt uid timeout inode"."""
    for line in text.splitlines()[1:]:
        fields = line.split()
        if len(fields) < 10:
            continue
        hex_address, _, hex_port = fields[1].partition(":")
        port = int(hex_port, 16)
        if port not in ports:
            continue
        address = decode_address(hex_address, family)
        shown = f"[{address}]:{port}" if family == socket.AF_INET6 else f"{address}:{port}"
        listening = protocol == "tcp" and int(fields[3], 16) == TCP_LISTEN
        yield port, Socket(protocol, shown, listening, int(fields[7]), int(fields[9]))


def sockets_on(ports: Collection[int]) -> dict[int, list[Socket]]:
    """The TCP and UDP sockets of this network namespace on each port."""
    found: dict[int, list[Socket]] = {port: [] for port in ports}
    for name, protocol, family in TABLES:
        try:
            with open(f"{PROC}/net/{name}", encoding="ascii") as table:
                text = table.read()
        except OSError:
            continue
        for port, entry in parse_table(text, protocol, family, found.keys()):
            found[port].append(entry)
    return found


def read_text(path: str) -> str | None:
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "backslashreplace")
    except OSError:
        return None


def user_name(uid: int) -> str:
    """The login name of a uid, or the number when it has none."""
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def shown() -> bool:
    """Whether the system shows sockets this way at all (not on macOS)."""
    return os.path.isdir(f"{PROC}/net")


@functools.cache
def unprivileged_port_start() -> int | None:
    """The lowest port any user may bind, where the system says (Linux)."""
    text = read_text(f"{PROC}/sys/net/ipv4/ip_unprivileged_port_start")
    return int(text) if text and text.strip().isdigit() else None


@functools.cache
def may_bind_privileged_ports() -> bool:
    status = read_text(f"{PROC}/self/status") or ""
    for line in status.splitlines():
        if line.startswith("CapEff:"):
            return bool(int(line.split()[1], 16) >> CAP_NET_BIND_SERVICE & 1)
    return os.geteuid() == 0


def needs_privilege(port: int) -> bool:
    """True when this process may not bind the port for lack of privilege."""
    start = unprivileged_port_start()
    return start is not None and port < start and not may_bind_privileged_ports()

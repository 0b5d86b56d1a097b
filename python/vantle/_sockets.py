"""What any user may learn about the sockets on a port, for the command line.

On Linux the socket tables of /proc/net name each socket's user, address,
state and inode without privileges (the holders come from vantle._table).
Where /proc does not exist (macOS) every answer here is empty: the command
then shows what the native functions tell.
"""

import os
import pwd
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Collection, Iterator

PROC = "/proc"
TCP_LISTEN = 0x0A
# Bit 10 of the effective capability mask: binding ports below the
# unprivileged start.
CAP_NET_BIND_SERVICE = 10

# (file, protocol, IPv6) of the tables read.
TABLES = (
    ("tcp", "tcp", False),
    ("tcp6", "tcp", True),
    ("udp", "udp", False),
    ("udp6", "udp", True),
)


class Socket:
    __slots__ = ("protocol", "address", "listening", "uid", "inode")

    def __init__(self, protocol: str, address: str, listening: bool, uid: int, inode: int) -> None:
        self.protocol = protocol  # "tcp" or "udp"
        self.address = address  # "127.0.0.1:8080", "[::1]:8080"
        self.listening = listening
        self.uid = uid
        self.inode = inode  # 0 when no descriptor holds it (TIME_WAIT)


def decode_address(hex_address: str, ipv6: bool) -> str:
    """The kernel prints the address as 32-bit words in host byte order."""
    import socket  # only for ports in use

    raw = b"".join(int(hex_address[i:i + 8], 16).to_bytes(4, sys.byteorder)
                   for i in range(0, len(hex_address), 8))
    return socket.inet_ntop(socket.AF_INET6 if ipv6 else socket.AF_INET, raw)


def parse_table(text: str, protocol: str, ipv6: bool, ports: "Collection[int]") -> "Iterator[tuple[int, Socket]]":
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
        address = decode_address(hex_address, ipv6)
        shown = f"[{address}]:{port}" if ipv6 else f"{address}:{port}"
        listening = protocol == "tcp" and int(fields[3], 16) == TCP_LISTEN
        yield port, Socket(protocol, shown, listening, int(fields[7]), int(fields[9]))


def sockets_on(ports: "Collection[int]") -> dict[int, list[Socket]]:
    """The TCP and UDP sockets of this network namespace on each port."""
    found: dict[int, list[Socket]] = {port: [] for port in ports}
    for name, protocol, ipv6 in TABLES:
        try:
            with open(f"{PROC}/net/{name}", encoding="ascii") as table:
                text = table.read()
        except OSError:
            continue
        for port, entry in parse_table(text, protocol, ipv6, found.keys()):
            found[port].append(entry)
    return found


def read_text(path: str) -> str | None:
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "backslashreplace")
    except OSError:
        return None


def user_name(uid: int) -> str | None:
    """The login name of a uid; None when it has none."""
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return None


def process_uid(pid: int) -> int | None:
    """A process's real user (the first Uid of its status), where /proc shows it."""
    for line in (read_text(f"{PROC}/{pid}/status") or "").splitlines():
        if line.startswith("Uid:"):
            return int(line.split()[1])
    return None


def unprivileged_port_start() -> int | None:
    """The lowest port any user may bind, where the system says (Linux)."""
    text = read_text(f"{PROC}/sys/net/ipv4/ip_unprivileged_port_start")
    return int(text) if text and text.strip().isdigit() else None


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

"""The holders of a port (vantle._table's dicts) as the commands show them:
their addresses, users and JSON records, narrowed to the addresses asked for."""

from ._ports import covers
from ._report import JsonObject

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from ._arguments import Arguments
    from ._table import Holder, Listener, Process, Socket


def endpoint(socket: "Socket") -> str:
    """"127.0.0.1:8080", "[::1]:8080"."""
    return address_port(socket["address"], socket["port"])


def address_port(address: str, port: int) -> str:
    return f"[{address}]:{port}" if ":" in address else f"{address}:{port}"


def listening(holder: "Holder") -> list[str]:
    return [endpoint(s) for s in holder["sockets"] if s["protocol"] == "tcp" and s["state"] == "LISTEN"]


def kind(socket: "Socket") -> str:
    """"tcp established", "udp": the protocol, and the state where it has one."""
    return socket["protocol"] if socket["state"] == "NONE" else f"{socket['protocol']} {socket['state'].lower()}"


def connection(socket: "Socket") -> str:
    """"127.0.0.1:51234->127.0.0.1:8080 (tcp established)": a socket, its peer
    and its kind."""
    peer = address_port(socket["peer_address"] or "-", socket["peer_port"] or 0)
    return f"{endpoint(socket)}->{peer} ({kind(socket)})"


def process_user(holder: "Holder") -> str:
    """The owner of a holder: the process's user (the socket's for one not visible)."""
    return holder["user"] or str(holder["uid"])


def socket_words(holder: "Holder") -> list[str]:
    """Each socket of a holder, "127.0.0.1:8080 (tcp listen)", each once."""
    return list(dict.fromkeys(f"{endpoint(s)} ({kind(s)})" for s in holder["sockets"]))


def held_at(holder: "Holder") -> str:
    """Where a holder listens; for one that does not, its sockets and their kinds."""
    return ",".join(listening(holder) or socket_words(holder)) or "-"


def with_sockets[H: "Holder"](holders: "list[H]", keep: "Callable[[Socket], bool]") -> "list[H]":
    """The holders with a socket that `keep` accepts, each with those sockets only."""
    kept = []
    for holder in holders:
        sockets = [s for s in holder["sockets"] if keep(s)]
        if sockets:
            kept.append({**holder, "sockets": sockets})
    return kept  # type: ignore[return-value]  # the same TypedDict, fewer sockets


def narrowed[H: "Holder"](holders: "list[H]", wanted: "frozenset[str] | None") -> "list[H]":
    """The holders with a socket taking connections on the wanted addresses,
    each with those sockets only."""
    if wanted is None:
        return holders
    return with_sockets(holders, lambda s: covers(s["address"], s["v6only"], wanted))


def connected_to[H: "Holder"](holders: "list[H]", wanted: "frozenset[str] | None") -> "list[H]":
    """The holders with a socket whose peer is on the wanted addresses, each
    with those sockets only."""
    if wanted is None:
        return holders
    # A peer is never a wildcard: only its own address (or its IPv4-mapped
    # form) matches.
    return with_sockets(holders, lambda s: covers(s["peer_address"] or "", True, wanted))


def where(wanted: "frozenset[str] | None") -> str:
    return "" if wanted is None else " on " + ",".join(sorted(wanted))


def holder_record(holder: "Holder") -> JsonObject:
    """A holder in JSON: the process and its user, and its sockets with theirs."""
    return {"pid": holder["pid"], "ppid": holder["ppid"], "name": holder["name"], "cmd": holder["cmd"],
            "user": holder["user"], "uid": holder["uid"], "addresses": listening(holder),
            "sockets": [dict(s) for s in holder["sockets"]]}


class Selection:
    """The processes that --user, --pid and --name keep: each option given
    keeps those it names (any of its list), and together they keep those
    that every one given keeps."""

    def __init__(self, args: "Arguments") -> None:
        self.users, self.pids, self.names = args.user, args.pid, args.name

    def __bool__(self) -> bool:
        return (self.users, self.pids, self.names) != (None, None, None)

    def keeps(self, process: "Process | Holder") -> bool:
        return self.picks(process["pid"], process["uid"], process["name"])

    def picks(self, pid: int | None, uid: int, name: str | None) -> bool:
        """Whether a process is selected; of sockets that no visible process
        holds (pid None), only their user is known."""
        if self.users is not None and uid not in self.users:
            return False
        if pid is None:
            return self.pids is None and self.names is None
        return ((self.pids is None or pid in self.pids) and
                (self.names is None or (name or "").startswith(tuple(self.names))))

    def listener(self, entry: "Listener") -> "Listener | None":
        """The listener with its selected processes only; None when it has none."""
        if not entry["processes"]:
            return entry if self.picks(None, entry["uid"], None) else None
        processes = [p for p in entry["processes"] if self.keeps(p)]
        return {**entry, "processes": processes} if processes else None

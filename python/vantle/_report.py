"""The state of a port as the command reports it: the native answers joined
with what the system shows any user (see _sockets), in words and as JSON."""

import os

from . import _lib, _sockets
from ._sockets import Socket

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

    from ._lib import ProcessInfo

JsonObject = dict[str, object]

RUN_WITH_PRIVILEGES = "run with privileges, e.g. sudo"


def unseen(user: str | None) -> str:
    """A process holding a socket of `user` that the walk did not find: for
    a caller without privileges, what would show it; root sees every process
    of its pid namespace, so for root the process is outside it (a container's,
    or the host's from inside a chroot) or its descriptors cannot be read."""
    if os.geteuid() != 0:
        return f"a process of user {user} that you cannot see ({RUN_WITH_PRIVILEGES})"
    return (f"a process of user {user} that is not visible even with privileges "
            "(outside this pid namespace, or its descriptors cannot be read)")


def user_name(uid: int | None) -> str | None:
    return None if uid is None else _sockets.user_name(uid)


def listening_addresses(sockets: "Iterable[Socket]") -> list[str]:
    return [entry.address for entry in sockets if entry.listening]


class PortState:
    """A port on localhost: free (and bindable by this process, now), or its
    first listener when visible, and the TCP and UDP sockets on it where the
    system shows them."""

    __slots__ = ("port", "free", "bindable", "owner", "sockets", "owner_uid")

    def __init__(self, port: int, free: bool, bindable: bool, owner: "ProcessInfo | None",
                 sockets: list[Socket]) -> None:
        self.port, self.free, self.bindable, self.owner, self.sockets = port, free, bindable, owner, sockets
        # The process's real user, as the machine view gives it.
        self.owner_uid = None if owner is None else _sockets.process_uid(owner["pid"])

    @property
    def uid(self) -> int | None:
        """The user of the socket keeping the port busy: a listener's first."""
        if self.free:
            return None
        held = [entry for entry in self.sockets if entry.protocol == "tcp" and entry.inode]
        chosen = next((entry for entry in held if entry.listening), held[0] if held else None)
        return None if chosen is None else chosen.uid

    @property
    def user_uid(self) -> int | None:
        """Who is shown as USER: the owner process's user, the socket's when
        the process is not visible."""
        return self.owner_uid if self.owner_uid is not None else self.uid

    @property
    def user(self) -> str | None:
        """The name of user_uid, or its number when it has none."""
        uid = self.user_uid
        return None if uid is None else user_name(uid) or str(uid)

    @property
    def addresses(self) -> list[str]:
        return listening_addresses(self.sockets)

    @property
    def hidden(self) -> bool:
        """In use by another user's process that this one may not see."""
        return self.owner is None and self.uid is not None and self.uid != os.geteuid()

    def words(self) -> str:
        """The state in a few words, after the port number."""
        if self.free and self.bindable:
            return "free"
        if self.free:
            return (f"free, but only a privileged user may bind it "
                    f"(ports below {_sockets.unprivileged_port_start()})")
        if self.owner:
            of_user = "" if self.user is None else f", user {self.user}"
            return f"in use by {self.owner['name']} (pid {self.owner['pid']}{of_user})"
        if self.hidden:
            return f"in use by {unseen(self.user)}"
        # Held by a socket that does not listen (bound only, or a connection):
        # the machine view names whoever holds it.
        return f"in use, no listening process found (vantle who --all {self.port} names its holders)"

    def to_json(self) -> JsonObject:
        owner: JsonObject | None = None
        if self.owner is not None:
            owner = {**self.owner, "uid": self.owner_uid, "user": user_name(self.owner_uid)}
        return {
            "port": self.port,
            "state": "free" if self.free else "in_use",
            "bindable": self.bindable,
            "owner": owner,
            "user": user_name(self.uid),
            "uid": self.uid,
            "addresses": self.addresses,
        }


def free_port(port: int) -> PortState:
    """A port this process has just seen it could bind."""
    return PortState(port, True, True, None, [])


def describe(ports: "Sequence[int]", sockets: "dict[int, list[Socket]] | None" = None) -> list[PortState]:
    """The state of each port, in the order given; `sockets` are those on
    each port when the caller has them already (read from /proc otherwise)."""
    owners = _lib.scan(ports)
    if sockets is None:
        sockets = _sockets.sockets_on(ports)
    states = []
    for port in ports:
        owner, found = owners[port], sockets[port]
        free = owner is None and _lib.is_available(port)
        bindable = free
        if not free and owner is None and not any(entry.protocol == "tcp" and entry.inode for entry in found):
            # No socket holds it: a refused bind is then the caller's lack of privilege.
            free = _sockets.needs_privilege(port)
        states.append(PortState(port, free, bindable, owner, found))
    return states

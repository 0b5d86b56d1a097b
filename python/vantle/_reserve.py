"""Reserved ports: vantle.reserve() and the Reservation it returns."""

import os
from _warnings import warn  # warnings.warn itself, without importing the warnings module

from . import _table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import TracebackType
    from typing import SupportsIndex


class Reservation:
    """Ports claimed among vantle's reservations on this machine, until
    release() or the end of the process (see reserve()).

    port is the first port; ports all of them (count consecutive ports);
    in_ephemeral_range is True when no port outside the kernel's ephemeral
    range could be had, so the ports were drawn from inside it, where the
    kernel may also hand them to a program's bind(0) or connect(). As a
    context manager it gives the port and releases the claims on exit.
    """

    __slots__ = ("port", "count", "in_ephemeral_range", "_claims")

    port: int
    count: int
    in_ephemeral_range: bool

    def __init__(self, claims: "list[int]", port: int, in_ephemeral_range: bool) -> None:
        self._claims = claims
        self.port = port
        self.count = len(claims)
        self.in_ephemeral_range = in_ephemeral_range

    @property
    def ports(self) -> range:
        return range(self.port, self.port + self.count)

    @property
    def released(self) -> bool:
        return not self._claims

    def release(self) -> None:
        """Lets the ports go: closes the claims' descriptors. Again: nothing.
        A forked child keeps its copies of the claims until it closes them
        (release() there, or its end)."""
        claims = self._claims
        while claims:
            try:
                fd = claims.pop()  # one pop per descriptor, even from threads racing here
            except IndexError:
                return
            os.close(fd)

    def __enter__(self) -> int:
        return self.port

    def __exit__(self, kind: "type[BaseException] | None", error: "BaseException | None",
                 traceback: "TracebackType | None") -> None:
        self.release()

    def __del__(self) -> None:
        if getattr(self, "_claims", None):
            warn(f"unreleased {self!r}", ResourceWarning, source=self)
            self.release()

    def __repr__(self) -> str:
        ports = str(self.port) if self.count == 1 else f"{self.port}-{self.port + self.count - 1}"
        state = " released" if self.released else ""
        inside = " in the ephemeral range" if self.in_ephemeral_range else ""
        return f"<vantle.Reservation of port{'s' * (self.count > 1)} {ports}{inside}{state}>"


if TYPE_CHECKING:
    def reserve(preferred: "SupportsIndex | None" = None, count: "SupportsIndex" = 1) -> Reservation: ...
else:
    def reserve(*args, **kwargs):
        """A port no one else will be handed, held until release() or the end of
        the process.

        Returns a Reservation: .port, and with count=N the first of N
        consecutive ports (.ports), all claimed. While it is held:

        - no other reservation on this machine (network namespace), of any
          process or user, is handed the port; the claim goes with the
          process, however it ends;
        - the port lies at or above 1024 and outside the kernel's ephemeral
          range, so no program's bind(0) or connect() is handed it (unless
          .in_ephemeral_range: nothing outside it could be had);
        - when handed out, a server could bind it on 0.0.0.0 and [::] without
          SO_REUSEADDR; the claim holds no TCP socket, so the caller's server
          (or its child) binds it as usual.

        preferred: that port (that run) when it meets all of the above,
        another one otherwise. Each port costs one file descriptor until
        release. VANTLE_RESERVE_PORTS=LOW-HIGH narrows where ports are drawn.

            with vantle.reserve() as port:
                start_server(port)

        Raises:
            OSError: no port could be claimed.
            ValueError: count outside 1-1000, or a bad VANTLE_RESERVE_PORTS.
            TypeError, OverflowError: a bad preferred port (as find_free).
        """
        claims, port, in_ephemeral_range = _table.reserve(*args, **kwargs)
        return Reservation(claims, port, in_ephemeral_range)

    # inspect.signature(reserve) reads the native function's: (preferred=None, count=1).
    reserve.__wrapped__ = _table.reserve

"""pytest fixtures that hand tests reserved TCP ports.

pytest loads this module in every suite run where vantle is installed (the
`pytest11` entry point named `vantle`; `-p no:vantle` leaves it out), so it
imports nothing but pytest: the native modules load when a fixture first
reserves a port.

A reservation holds its port against every other reservation on the
machine, in any process (pytest-xdist's workers among them), until the
fixture that made it ends.
"""

from contextlib import ExitStack

import pytest

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator


class PortReserver:
    """Reserves a port at each call and returns it; with `count`, that many
    consecutive ports, and returns the first. With `preferred`, that port
    when it can be reserved. Every port stays reserved until the fixture
    that made this reserver ends."""

    def __init__(self, stack: ExitStack) -> None:
        self._stack = stack

    def __call__(self, preferred: int | None = None, count: int = 1) -> int:
        from . import reserve

        return self._stack.enter_context(reserve(preferred, count=count))


def _reserver() -> Iterator[PortReserver]:
    with ExitStack() as stack:
        yield PortReserver(stack)


@pytest.fixture
def reserve_port() -> Iterator[PortReserver]:
    """Reserves a port at each call, `reserve_port(count=3)` three consecutive
    ones (the first returned); all are released when the test ends."""
    yield from _reserver()


@pytest.fixture(scope="session")
def session_reserve_port() -> Iterator[PortReserver]:
    """`reserve_port` for fixtures of any scope: its ports stay reserved until
    the test session (an xdist worker's share of it) ends."""
    yield from _reserver()


@pytest.fixture
def reserved_port(reserve_port: PortReserver) -> int:
    """A TCP port reserved for this test, released when it ends: no other
    reservation on the machine is handed it meanwhile, and a server can bind
    it on localhost without SO_REUSEADDR."""
    return reserve_port()

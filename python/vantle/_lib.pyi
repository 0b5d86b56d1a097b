"""Python module for port management."""

from collections.abc import Sequence
from typing import Final, SupportsIndex

from ._types import ProcessInfo as ProcessInfo

__version__: Final[str]
__all__: Final[list[str]]

# The type of PanicException, raised when the native code fails internally.
# It is not an attribute of the module at run time (each interpreter makes
# its own type), so this stub names it only privately, for annotations:
#
#     if TYPE_CHECKING:
#         from vantle._lib import _PanicException
#
# To catch it, catch BaseException and check
# ``type(e).__name__ == "PanicException"``.
class _PanicException(BaseException): ...

def is_available(port: SupportsIndex) -> bool:
    """Check if a port is available on localhost.

    Raises:
        TypeError: port is not an integer.
        OverflowError: port is outside 0-65535.
    """

def find_free(preferred: SupportsIndex | None = None) -> int:
    """Find a free port on localhost, the preferred one when it is free.

    Raises:
        OSError: no free port could be found (errno is None).
        TypeError, OverflowError: a bad preferred port.
    """

def wait_until_free(port: SupportsIndex, timeout: SupportsIndex = 30) -> bool:
    """Wait for a port to become free; False when the time-out passed first.

    Raises:
        TypeError, OverflowError: a bad port or time-out (whole seconds).
        PanicException: the time-out cannot be represented as a deadline.
    """

def get_info(port: SupportsIndex) -> ProcessInfo | None:
    """Get information about the process listening on a port, or None."""

def scan(ports: Sequence[SupportsIndex] | bytes | bytearray) -> dict[int, ProcessInfo | None]:
    """get_info for many ports at once, keyed by port.

    Raises:
        TypeError: ports is a str or not a sequence.
    """

def kill(port: SupportsIndex, force: bool = False) -> bool:
    """Kill the process(es) using a port; True once the port is free.

    force takes a bool (a numpy boolean is accepted too), never an int.

    Raises:
        PermissionError: every holder refused the signal (errno is None).
        OSError: no holder was found, or the port stayed in use for a second.
    """

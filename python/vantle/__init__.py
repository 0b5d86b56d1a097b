"""Check, find, wait for, inspect and free local TCP ports."""

from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free
from ._reserve import Reservation, reserve
from ._table import holders, listeners

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._types import Holder, Listener, Process, ProcessInfo, Socket
else:
    # At run time the answers are plain dicts, and these classes are built
    # only when asked for, since building them imports typing, which the
    # command line does without.
    _TYPES = ("ProcessInfo", "Process", "Socket", "Listener", "Holder")

    def __getattr__(name):
        if name in _TYPES:
            from . import _types
            value = getattr(_types, name)
            globals()[name] = value
            return value
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__():
        return sorted({*globals(), *_TYPES})

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "listeners", "holders",
           "reserve", "Reservation", "__version__", "ProcessInfo", "Process", "Socket", "Listener", "Holder"]

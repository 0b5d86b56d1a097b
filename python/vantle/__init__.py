"""Check, find, wait for, inspect and free local TCP ports."""

from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free
from ._reserve import Reservation, reserve
from ._table import holders, listeners

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._types import Holder, Listener, Process, ProcessInfo, Socket
    from ._wait import wait_until_listening
else:
    # At run time the answers are plain dicts, and these classes are built
    # only when asked for, since building them imports typing, which the
    # command line does without; wait_until_listening is loaded when first
    # asked for too, sparing the commands that never wait its import.
    _LAZY = dict.fromkeys(("ProcessInfo", "Process", "Socket", "Listener", "Holder"), "_types") | {
        "wait_until_listening": "_wait"}

    def __getattr__(name):
        if name in _LAZY:
            if _LAZY[name] == "_wait":
                from . import _wait as module
            else:
                from . import _types as module
            value = getattr(module, name)
            globals()[name] = value
            return value
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__():
        return sorted({*globals(), *_LAZY})

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "wait_until_listening",
           "listeners", "holders", "reserve", "Reservation", "__version__", "ProcessInfo", "Process", "Socket",
           "Listener", "Holder"]

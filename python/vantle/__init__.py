"""Check, find, wait for, inspect and free local TCP ports."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free
    from ._reserve import Reservation, reserve
    from ._table import holders, listeners
    from ._types import Holder, Listener, Process, ProcessInfo, Socket
    from ._wait import wait_until_listening
else:
    # Each name is imported from its home module when first asked for. The
    # pytest plugin (a submodule, so importing it runs this file) is loaded
    # by every suite in an environment that has vantle, and must not load
    # the native modules there; the answers' TypedDict classes import typing,
    # and wait_until_listening imports operator, which the command line does
    # without where it does not wait.
    _HOMES = (dict.fromkeys(("__version__", "find_free", "get_info", "is_available", "kill", "scan",
                             "wait_until_free"), "_lib")
              | dict.fromkeys(("reserve", "Reservation"), "_reserve")
              | dict.fromkeys(("holders", "listeners"), "_table")
              | dict.fromkeys(("ProcessInfo", "Process", "Socket", "Listener", "Holder"), "_types")
              | {"wait_until_listening": "_wait"})

    def __getattr__(name):
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(__import__(f"{__name__}.{home}", fromlist=(name,)), name)
        globals()[name] = value
        return value

    def __dir__():
        return sorted({*globals(), *_HOMES})

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "wait_until_listening",
           "listeners", "holders", "reserve", "Reservation", "__version__", "ProcessInfo", "Process", "Socket",
           "Listener", "Holder"]

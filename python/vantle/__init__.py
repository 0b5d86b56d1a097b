"""Check, find, wait for, inspect and free local TCP ports."""

from typing import TYPE_CHECKING, TypedDict

from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free

if TYPE_CHECKING:
    from ._lib import ProcessInfo
else:
    class ProcessInfo(TypedDict):
        """The process listening on a port (the stub of vantle._lib declares it for type checkers)."""

        pid: int
        name: str
        cmd: str

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "__version__", "ProcessInfo"]

"""Check, find, wait for, inspect and free local TCP ports."""

from ._lib import __version__, find_free, get_info, is_available, kill, scan, wait_until_free

__all__ = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan", "__version__"]

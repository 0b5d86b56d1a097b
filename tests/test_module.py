"""The module as Python sees it: attributes, signatures, docstrings, exception types."""

import importlib
import inspect
import sys

import pytest

import vantle
from vantle import _lib

FUNCTIONS = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan"]

SIGNATURES = {
    "is_available": "(port)",
    "find_free": "(preferred=None)",
    "wait_until_free": "(port, timeout=30)",
    "get_info": "(port)",
    "kill": "(port, force=False)",
    "scan": "(ports)",
}

DOCS = {
    "is_available": "Check if a port is available on localhost.\n\nArgs:\n    port: Port number to check (1-65535)\n\n"
    "Returns:\n    True if port is available, False if in use\n\nExample:\n    >>> import vantle\n"
    "    >>> vantle.is_available(8000)\n    True",
    "wait_until_free": "Wait for a port to become free.\n\nArgs:\n    port: Port number to wait for\n"
    "    timeout: Maximum seconds to wait (default: 30)\n\nReturns:\n    True if port became free, False if timeout "
    "reached\n\nExample:\n    >>> vantle.wait_until_free(5432, timeout=30)\n    True",
    "kill": "Kill the process(es) using a port.\n\nArgs:\n    port: Port number\n    force: If True, use SIGKILL "
    "(SIGTERM if False). Default: False.\n           On Windows the process is always terminated forcefully.\n\n"
    "Returns:\n    True if the port became free (or was already free)\n\nRaises:\n    PermissionError: If "
    "insufficient permissions\n    OSError: If kill failed for another reason\n\nExample:\n    >>> vantle.kill(8000)"
    "\n    True\n    >>> vantle.kill(8000, force=True)\n    True",
    "scan": "Scan multiple ports and return info for each.\n\nArgs:\n    ports: List of port numbers\n\nReturns:\n"
    "    Dict mapping port numbers to process info (or None if free)\n\nExample:\n    >>> vantle.scan([8000, 8001, "
    "5432])\n    {8000: {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}, 8001: None, 5432: None}",
    "get_info": "Get information about the process using a port.\n\nArgs:\n    port: Port number to investigate\n\n"
    "Returns:\n    Dict with pid, name, and cmd keys, or None if the port is free\n    (or its owner is not visible "
    "to us, e.g. it belongs to another user).\n\nNote:\n    `cmd` is the full command line on Linux, the executable "
    "path on\n    macOS, and the executable name on Windows.\n\nExample:\n    >>> vantle.get_info(8000)\n"
    "    {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}\n    >>> vantle.get_info(9999)\n    None",
    "find_free": "Find a free port on localhost.\n\nArgs:\n    preferred: Optional preferred port number. If provided "
    "and free, returns it.\n               If occupied, returns a different free port.\n\nReturns:\n    A free "
    "port number\n\nRaises:\n    OSError: If no free port could be found\n\nNote:\n    The returned port can be "
    "taken by another process between this check\n    and when you actually bind to it (TOCTOU). Prefer binding to "
    "port 0\n    and letting the OS pick if you need a race-free reservation.\n\nExample:\n    >>> port = "
    "vantle.find_free(8000)\n    >>> port = vantle.find_free()  # Any free port",
}


class TestSurface:
    def test_module_attributes(self):
        assert _lib.__doc__ == "Python module for port management."
        assert _lib.__version__ == "0.1.0"
        assert _lib.__all__ == FUNCTIONS + ["__version__"]
        assert vantle.__all__ == _lib.__all__ + ["ProcessInfo"]
        assert vantle.__version__ == "0.1.0"
        assert not hasattr(_lib, "PanicException")

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_function_objects(self, name):
        function = getattr(_lib, name)
        assert getattr(vantle, name) is function
        assert function.__name__ == name
        assert function.__module__ == "vantle._lib"
        assert str(inspect.signature(function)) == SIGNATURES[name]
        assert function.__doc__ == DOCS[name]

    def test_only_init_function_is_exported(self):
        import subprocess

        out = subprocess.run(["nm", "-D", "--defined-only", _lib.__file__], capture_output=True, text=True)
        if out.returncode != 0:
            pytest.skip("nm is not available")
        symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
        assert symbols == ["PyInit__lib"]

    def test_extension_file_name(self):
        import sysconfig

        assert _lib.__file__.endswith("/vantle/_lib" + sysconfig.get_config_var("EXT_SUFFIX"))

    def test_reimport_builds_a_fresh_module(self):
        # Each import runs start-up again on a new module object.
        saved = sys.modules.pop("vantle._lib")
        try:
            again = importlib.import_module("vantle._lib")
            assert again is not saved
            assert again.__all__ == FUNCTIONS + ["__version__"]
            assert again.is_available(0) is False
        finally:
            sys.modules["vantle._lib"] = saved


class TestPanicException:
    def raise_panic(self):
        # The one internal failure a caller can provoke: a deadline that
        # cannot be represented.
        _lib.wait_until_free(1, timeout=2**64 - 1)

    def test_type_and_message(self):
        with pytest.raises(BaseException) as info:
            self.raise_panic()
        panic = type(info.value)
        assert panic.__name__ == "PanicException"
        assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
        assert panic.__module__ != "vantle._lib"
        assert info.value.args == ("overflow when adding duration to instant",)
        assert "fails internally" in panic.__doc__

    def test_not_caught_by_except_exception(self):
        caught_by = None
        try:
            try:
                self.raise_panic()
            except Exception:
                caught_by = "Exception"
        except BaseException:
            caught_by = "BaseException"
        assert caught_by == "BaseException"

    def test_one_type_for_every_panic(self):
        types = set()
        for _ in range(3):
            try:
                self.raise_panic()
            except BaseException as e:
                types.add(type(e))
        assert len(types) == 1

"""The module as Python sees it: attributes, signatures, docstrings, exception types."""

import importlib
import inspect
import json
import sys

import pytest

import vantle
from conftest import run_python
from vantle import _lib, _table

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
        assert vantle.__all__ == FUNCTIONS + ["wait_until_listening", "listeners", "holders", "reserve", "Reservation",
                                              "__version__", "ProcessInfo", "Process", "Socket", "Listener", "Holder"]
        assert _table.__all__ == ["listeners", "holders", "holders_by_port", "signal_holders", "listening", "reserve",
                                  "__version__"]
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


# A hook that calls the module while the module itself imports: the first
# conversion of a non-sequence imports collections.abc.
REENTRANT_IMPORT = """
    import builtins
    from vantle import _lib

    plain_import, inner = builtins.__import__, []

    def hook(*args, **kwargs):
        if not inner:
            inner.append(None)
            try:
                _lib.scan(0)
            except TypeError as error:
                inner.append(str(error))
        return plain_import(*args, **kwargs)

    builtins.__import__ = hook
    try:
        _lib.scan(0)
    except TypeError as error:
        print(error)
    print(inner[1])
"""

# Every function and a PanicException, many times over, in two interpreters
# with GILs of their own running at once; each reports what it saw.
IN_TWO_INTERPRETERS = """
    import json, socket, threading
    from concurrent import interpreters
    import vantle
    from vantle import _lib

    CALLS = '''
    import os
    from vantle import _lib

    answers, panics = set(), set()
    for _ in range(200):
        answers.add((_lib.is_available(free), 1 <= _lib.find_free() <= 65535, _lib.wait_until_free(free, 0),
                     _lib.get_info(busy)["pid"] == os.getpid(), _lib.scan([busy, free])[free], _lib.kill(free)))
        try:
            _lib.wait_until_free(free, timeout=2**64 - 1)
        except BaseException as error:
            panics.add(type(error))
    (panic,) = panics
    reports.put(repr((sorted(answers), panic.__name__, panic.__module__, id(panic))))
    '''

    def panic_type():
        try:
            _lib.wait_until_free(1, timeout=2**64 - 1)
        except BaseException as error:
            return type(error)

    # A reserved port stays free for the 400 calls: outside the ephemeral
    # range, no outgoing connection of another process is handed it.
    with socket.socket() as listener, vantle.reserve() as free:
        listener.bind(("127.0.0.1", 0)); listener.listen()
        main_panic = panic_type()
        reports = interpreters.create_queue()
        subs = [interpreters.create() for _ in range(2)]
        failures = []

        def run(interpreter):
            try:
                interpreter.exec(CALLS)
            except BaseException as error:
                failures.append(str(error))

        for interpreter in subs:
            interpreter.prepare_main(reports=reports, free=free, busy=listener.getsockname()[1])
        threads = [threading.Thread(target=run, args=(interpreter,)) for interpreter in subs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seen = [reports.get(timeout=1) for _ in range(2 - len(failures))]
        for interpreter in subs:
            interpreter.close()
        print(json.dumps(dict(failures=failures, seen=seen, main_panic=id(main_panic),
                              main_panic_kept=panic_type() is main_panic)))
"""


class TestInterpreters:
    def test_import_hook_calling_the_module_does_not_hang(self):
        message = "'int' object is not an instance of 'Sequence'"
        assert run_python(REENTRANT_IMPORT, timeout=20).stdout.splitlines() == [message, message]

    def test_two_interpreters_at_once(self):
        report = json.loads(run_python(IN_TWO_INTERPRETERS, timeout=120).stdout)
        assert report["failures"] == []
        seen = [eval(text) for text in report["seen"]]
        answers = [[(True, True, True, True, None, True)], "PanicException", "vantle.native"]
        assert [list(entry[:3]) for entry in seen] == [answers, answers]
        # Each interpreter raised a type of its own, and the main one kept its.
        assert len({entry[3] for entry in seen} | {report["main_panic"]}) == 3
        assert report["main_panic_kept"]

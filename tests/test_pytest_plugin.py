"""The pytest plugin, as suites use it: example suites run by pytest in
folders of their own, in this process or in a child, and under xdist."""

import importlib.util

import pytest

# A server on each port it is handed: a plain bind, no SO_REUSEADDR.
LISTEN = """
import socket

def listen(port):
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen()
    return s
"""


class TestLoading:
    SUITE = LISTEN + """
import sys

def test_plugin_loaded_without_native_modules(request):
    assert request.config.pluginmanager.has_plugin("vantle")
    assert not {"vantle._lib", "vantle._table"} & set(sys.modules)

def test_port(reserved_port):
    listen(reserved_port).close()
"""

    @pytest.mark.parametrize("args, autoload, outcomes", [
        ((), True, {"passed": 2}),
        (("-p", "no:vantle"), True, {"failed": 1, "errors": 1}),
        (("-p", "vantle"), False, {"passed": 2}),
    ], ids=["installed", "turned-off", "named-without-autoload"])
    def test_entry_point(self, pytester, monkeypatch, args, autoload, outcomes):
        if not autoload:
            monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        pytester.makepyfile(self.SUITE)
        result = pytester.runpytest_subprocess("-p", "no:cacheprovider", *args)
        result.assert_outcomes(**outcomes)
        if "errors" in outcomes:
            result.stdout.fnmatch_lines(["*fixture 'reserved_port' not found*"])


class TestFixtures:
    def test_lifetimes(self, pytester):
        """Function-scoped ports are free for reservations again after their
        test; the session factory's are held until the session ends."""
        pytester.makepyfile(LISTEN + """
import pytest
import vantle

taken = {}

@pytest.fixture(scope="session")
def server_port(session_reserve_port):
    return session_reserve_port()

def test_take(reserved_port, reserve_port, server_port):
    first = reserve_port(count=3)
    ports = [reserved_port, first, first + 1, first + 2, reserve_port(), server_port]
    assert len(set(ports)) == len(ports)
    servers = [listen(port) for port in ports]
    for server in servers:
        server.close()
    taken.update(function=ports[:-1], session=server_port)

def test_released(server_port):
    assert server_port == taken["session"]
    for port in taken["function"]:
        with vantle.reserve(port) as again:
            assert again == port
    with vantle.reserve(server_port) as other:
        assert other != server_port
""")
        pytester.runpytest("-p", "no:cacheprovider").assert_outcomes(passed=2)

    def test_xdist_workers_never_share_a_port(self, pytester):
        """200 tests on four workers, each keeping a listener on its port
        until its worker ends: all bind, on 200 distinct ports."""
        if importlib.util.find_spec("xdist") is None:
            pytest.skip("pytest-xdist is not installed")
        record = pytester.path / "taken"
        pytester.makepyfile(LISTEN + f"""
import os
import pytest

servers = []

@pytest.mark.parametrize("i", range(200))
def test_serve(i, reserved_port):
    servers.append(listen(reserved_port))
    with open({str(record)!r}, "a") as f:
        f.write(f"{{reserved_port}} {{os.getpid()}}\\n")
""")
        result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-n", "4")
        result.assert_outcomes(passed=200)
        lines = [line.split() for line in record.read_text().splitlines()]
        assert len(lines) == 200
        assert len({port for port, _ in lines}) == 200
        assert len({pid for _, pid in lines}) == 4

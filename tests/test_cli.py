"""The vantle command, run as a subprocess against real listeners."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import listening, unused_port

SERVER = """
import signal, socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
print(s.getsockname()[1], flush=True)
signal.pause()
"""


def vantle(*args, timeout=30):
    return subprocess.run([sys.executable, "-m", "vantle", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def server():
    """A child process listening on a port; yields (process, port)."""
    child = subprocess.Popen([sys.executable, "-c", SERVER], stdout=subprocess.PIPE, text=True)
    try:
        port = int(child.stdout.readline())
        yield child, port
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdout.close()


class TestCheckAndFree:
    def test_check_free_and_busy(self):
        free = unused_port()
        ok = vantle("check", free)
        assert (ok.returncode, ok.stdout) == (0, f"{free} free\n")
        with listening() as (_, busy):
            mixed = vantle("check", free, busy)
        assert mixed.returncode == 1
        assert mixed.stdout.splitlines() == [f"{free} free", f"{busy} in use"]

    def test_free_prints_a_bindable_port(self):
        result = vantle("free")
        assert result.returncode == 0
        port = int(result.stdout)
        with listening(port=port):
            pass

    def test_free_keeps_a_free_preferred_port(self):
        preferred = unused_port()
        assert vantle("free", "--preferred", preferred).stdout.strip() == str(preferred)

    def test_installed_command(self):
        script = shutil.which("vantle", path=os.path.dirname(sys.executable))
        if not script:
            pytest.skip("no vantle script next to this interpreter")
        result = subprocess.run([script, "free"], capture_output=True, text=True, timeout=30)
        assert result.returncode == 0 and int(result.stdout) > 0


class TestWait:
    def test_wait_on_free_port(self):
        port = unused_port()
        result = vantle("wait", port, "--timeout", 0)
        assert (result.returncode, result.stdout) == (0, f"{port} free\n")

    def test_wait_times_out(self):
        with listening() as (_, port):
            result = vantle("wait", port, "--timeout", 0)
        assert result.returncode == 1
        assert result.stdout == f"{port} still in use after 0 s\n"


class TestWhoAndScan:
    def test_who_names_the_listener(self, server):
        child, port = server
        result = vantle("who", port)
        assert result.returncode == 0
        header, row = result.stdout.splitlines()
        assert header.split() == ["PORT", "PID", "NAME", "COMMAND"]
        assert row.split()[:2] == [str(port), str(child.pid)]
        assert "signal.pause()" in row  # the full command line

    def test_who_json_and_missing_owner(self, server):
        child, port = server
        free = unused_port()
        result = vantle("who", "--json", f"{port},{free}")
        assert result.returncode == 1  # one port has no listener
        answer = json.loads(result.stdout)
        assert answer[str(free)] is None
        assert answer[str(port)]["pid"] == child.pid
        assert set(answer[str(port)]) == {"pid", "name", "cmd"}

    def test_who_marks_free_ports(self):
        free = unused_port()
        result = vantle("who", free)
        assert result.returncode == 1
        assert result.stdout.splitlines()[1].split() == [str(free), "-", "free"]

    def test_scan_range(self, server):
        child, port = server
        low, high = max(1, port - 2), min(65535, port + 2)
        result = vantle("scan", f"{low}-{high}")
        assert result.returncode == 0
        rows = [line.split() for line in result.stdout.splitlines()[1:]]
        assert [str(port), str(child.pid)] in [row[:2] for row in rows]

        every = json.loads(vantle("scan", "--json", f"{low}-{high}").stdout)
        assert sorted(map(int, every)) == list(range(low, high + 1))
        assert every[str(port)]["pid"] == child.pid

    def test_scan_nothing_listening(self):
        free = unused_port()
        result = vantle("scan", free)
        assert (result.returncode, result.stdout) == (0, "no listening process found\n")
        listed = vantle("scan", "--all", free)
        assert listed.stdout.splitlines()[1].split() == [str(free), "-", "free"]


class TestKill:
    def test_kill_frees_the_port(self, server):
        child, port = server
        result = vantle("kill", port)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.startswith(f"{port} freed (was ")
        assert f"pid {child.pid})" in result.stdout
        assert child.wait(timeout=10) == 0

    def test_kill_force_and_free_port(self, server):
        child, port = server
        free = unused_port()
        result = vantle("kill", "--force", port, free)
        assert result.returncode == 0
        assert result.stdout.splitlines()[1] == f"{free} freed"
        assert child.wait(timeout=10) == -signal.SIGKILL

    def test_kill_reports_failure(self):
        # A listener that ignores SIGTERM keeps its port through the grace period.
        code = SERVER.replace("lambda *a: sys.exit(0)", "signal.SIG_IGN")
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        try:
            port = int(child.stdout.readline())
            started = time.monotonic()
            result = vantle("kill", port)
            assert result.returncode == 1
            assert result.stdout == (f"{port} not freed: Could not free port {port}: "
                                     "no matching process was found or it did not exit\n")
            assert time.monotonic() - started >= 0.9
            assert child.poll() is None
        finally:
            child.kill()
            child.wait()
            child.stdout.close()


class TestUsage:
    @pytest.mark.parametrize("args, message", [
        (["check", "0"], "port out of range (1-65535): '0'"),
        (["check", "70000"], "port out of range (1-65535): '70000'"),
        (["check", "http"], "not a port number: 'http'"),
        (["scan", "9000-8000"], "range runs backwards: '9000-8000'"),
        (["scan", "80,,81"], "empty item in port list: '80,,81'"),
        (["wait", "80", "--timeout", "-1"], "--timeout must not be negative"),
    ])
    def test_bad_ports_are_usage_errors(self, args, message):
        result = vantle(*args)
        assert result.returncode == 2
        assert message in result.stderr
        assert "Traceback" not in result.stderr

    @pytest.mark.parametrize("command", ["check", "free", "wait", "who", "scan", "kill"])
    def test_help(self, command):
        result = vantle(command, "--help")
        assert result.returncode == 0
        assert "exit status: 0 success" in result.stdout

    def test_no_command(self):
        assert vantle().returncode == 2

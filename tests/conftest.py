"""Shared helpers: ports taken from the system, real listeners, subprocesses."""

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

# Runs example suites in folders of their own (the tests of the pytest plugin).
pytest_plugins = ["pytester"]


def unused_port(kind=socket.SOCK_STREAM):
    """A port the system just handed out on 127.0.0.1 and that is closed again."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_socket_on_tcp_free_port():
    """A UDP socket bound on 127.0.0.1 at a port that TCP has free too, so
    that ambient TCP traffic on the machine cannot make it look busy."""
    while True:
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("127.0.0.1", 0))
        try:
            with socket.socket() as tcp:
                tcp.bind(("127.0.0.1", udp.getsockname()[1]))
            return udp
        except OSError:
            udp.close()


def has_ipv6_loopback():
    """Whether a socket can be bound on ::1 here."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@contextlib.contextmanager
def listening(host="127.0.0.1", port=0, family=None, dual_stack=False):
    """A TCP listener in this process; yields (socket, port)."""
    family = family or (socket.AF_INET6 if ":" in host else socket.AF_INET)
    s = socket.socket(family, socket.SOCK_STREAM)
    try:
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0 if dual_stack else 1)
        s.bind((host, port))
        s.listen()
        yield s, s.getsockname()[1]
    finally:
        s.close()


@contextlib.contextmanager
def probing(port):
    """Another thread testing `port` with is_available until the block ends.
    (The native module is imported here, not at the top: the plugin's tests
    check that loading vantle alone loads nothing native.)"""
    from vantle import _lib

    stop = threading.Event()

    def probe():
        while not stop.is_set():
            _lib.is_available(port)

    prober = threading.Thread(target=probe)
    prober.start()
    try:
        yield
    finally:
        stop.set()
        prober.join()


def run_python(code, timeout=60, check=True, prefix=(), **kwargs):
    """Runs code in a fresh interpreter (same environment), behind the command
    `prefix` if one is given, and returns the result."""
    result = subprocess.run(
        [*prefix, sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, **kwargs,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def run_in_own_network(setup, code):
    """Runs code in a fresh interpreter inside a network namespace of its own,
    with its loopback up and the shell command `setup` run first (as root:
    the tests that need it are skipped otherwise). Returns its stdout."""
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        pytest.skip("needs root, unshare and ip for a network namespace")
    script = f'ip link set lo up && {setup} && exec "$0" "$@"'
    return run_python(code, prefix=["unshare", "--net", "--", "sh", "-c", script]).stdout


@pytest.fixture
def port():
    return unused_port()

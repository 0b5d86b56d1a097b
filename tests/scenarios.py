"""Port situations and processes that the hardening checks call the module on.

Each helper leaves the machine as it found it: sockets are closed, every
child is started here and reaped here.
"""

import contextlib
import ctypes
import os
import resource
import socket
import subprocess
import sys

from conftest import listening

# A child that listens on 127.0.0.1, prints its port and then waits for its
# stdin to close, so that it also goes away when the test process dies.
LISTENER_CHILD = r"""
import signal, socket, sys
if sys.argv[1] == "ignore-term":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
print(s.getsockname()[1], flush=True)
sys.stdin.read()
"""

NOBODY = 65534

# Holds ports for the test process: binds each port it is given (0 for one
# the system picks) with address reuse, without listening; prints them (or
# "-" for one it could not bind) and waits for its stdin to close.
RESERVING_CHILD = r"""
import socket, sys
held, ports = [], []
for wanted in sys.argv[1:]:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", int(wanted)))
    except OSError:
        ports.append("-")
        continue
    held.append(s)
    ports.append(str(s.getsockname()[1]))
print(" ".join(ports), flush=True)
sys.stdin.read()
"""


@contextlib.contextmanager
def reserved_free_ports(count, also=()):
    """`count` ports that the bind test sees as free and that nobody else can
    take, and the ports of `also` where they could be held too (None where
    not).

    The sockets holding them asked for address reuse and do not listen, so a
    probe that also asks for reuse can bind and listen there, while an
    ordinary bind by another process fails. Ports the checks call the module
    on must stay free for a whole run; an ephemeral port that was merely free
    a moment ago could be handed to someone else meanwhile.

    A child holds them, not this process: should a probe ever find such a
    port in use, kill would signal its holder, which must then be a process
    the tests started.
    """
    process = subprocess.Popen(
        [os.path.realpath(sys.executable), "-I", "-S", "-c", RESERVING_CHILD] + ["0"] * count + [str(p) for p in also],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    try:
        ports = [None if p == "-" else int(p) for p in process.stdout.readline().split()]
        if len(ports) != count + len(also) or None in ports[:count]:
            raise RuntimeError(f"could not reserve ports: {ports}")
        yield ports
    finally:
        process.stdin.close()
        process.stdout.close()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def reserved_free_port():
    """One port as reserved_free_ports() holds them."""
    with reserved_free_ports(1) as (port,):
        yield port


def orphan_port():
    """A port that is in use while no process holds it: the server side of a
    closed connection lingers in TIME_WAIT (for about a minute) and keeps any
    listener off the port. kill and get_info find no owner there."""
    with listening() as (server, port):
        client = socket.create_connection(("127.0.0.1", port))
        accepted, _ = server.accept()
        accepted.close()
        client.recv(1)
        client.close()
    return port


class ListenerChild:
    """A child process listening on a port of its own."""

    def __init__(self, ignore_term=False, user=None):
        kwargs = {}
        if user is not None:
            kwargs = dict(user=user, group=user, extra_groups=[], cwd="/")
        self.process = subprocess.Popen(
            [os.path.realpath(sys.executable), "-I", "-S", "-c", LISTENER_CHILD,
             "ignore-term" if ignore_term else "default"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, **kwargs,
        )
        try:
            self.port = int(self.process.stdout.readline())
        except BaseException:
            self.close()
            raise

    @property
    def pid(self):
        return self.process.pid

    def close(self):
        """Ends the child if it is still there and reaps it; returns its status."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.stdin.close()
        self.process.stdout.close()
        return self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]


_CAP_VERSION_3 = 0x20080522
_CAP_KILL = 5
_libc = ctypes.CDLL(None, use_errno=True)


def _capabilities(call, data):
    header = _CapHeader(_CAP_VERSION_3, 0)
    if call(ctypes.byref(header), data) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


@contextlib.contextmanager
def without_kill_capability():
    """Runs the block with CAP_KILL out of this thread's effective set, so
    that signalling another user's process fails with EPERM even as root.
    Capabilities belong to a thread on Linux; other threads keep theirs."""
    data = (_CapData * 2)()
    _capabilities(_libc.capget, data)
    saved = data[0].effective
    data[0].effective = saved & ~(1 << _CAP_KILL)
    _capabilities(_libc.capset, data)
    try:
        yield
    finally:
        data[0].effective = saved
        _capabilities(_libc.capset, data)


@contextlib.contextmanager
def exhausted_descriptors(spare=0):
    """Lowers the descriptor limit and fills the table, leaving `spare`
    descriptors that can still be opened. Everything is undone on exit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 64, hard))
    fillers = []
    try:
        while True:
            try:
                fillers.append(os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC))
            except OSError:
                break
        for _ in range(spare):
            os.close(fillers.pop())
        yield
    finally:
        for fd in fillers:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

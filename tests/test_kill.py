"""kill against real processes: which holders are signalled, with which
signal, what the call answers, and that a pid handed on is left alone.

Every process here is started by the test and reaped by it."""

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from vantle import _lib
from conftest import has_ipv6_loopback, udp_socket_on_tcp_free_port

COULD_NOT_FREE = "Could not free port {}: no matching process was found or it did not exit"
PERMISSION_DENIED = "Permission denied to kill the process(es) using port {} (try running with elevated privileges)"

# argv: port (0 for any), then any of: "ignore" to ignore SIGTERM,
# "ipv6-only" to listen on ::1 alone, "bad-name" to take a process name that
# is not UTF-8.
TCP_LISTENER = """
import ctypes, signal, socket, sys, time
flags = sys.argv[2:]
if "ignore" in flags:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
if "bad-name" in flags:
    PR_SET_NAME = 15
    assert ctypes.CDLL(None).prctl(PR_SET_NAME, b"\\xff\\xfe-holder", 0, 0, 0) == 0
if "ipv6-only" in flags:
    s = socket.socket(socket.AF_INET6); s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.bind(("::1", int(sys.argv[1])))
else:
    s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
print(s.getsockname()[1], flush=True)
while True: time.sleep(60)
"""

# argv: port. Echoes datagrams, so a reply proves it is still alive.
UDP_ECHO = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", int(sys.argv[1])))
print(s.getsockname()[1], flush=True)
while True:
    data, peer = s.recvfrom(64); s.sendto(data, peer)
"""

# The parent and its forked child share one listener. On SIGTERM the parent
# waits for the child and exits with the number of the signal that ended it.
SHARED_BY_FORK = """
import os, signal, socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
child = os.fork()
if child == 0:
    while True: time.sleep(60)
def on_term(*_):
    s.close()
    _, status = os.waitpid(child, 0)
    os._exit(os.WTERMSIG(status) if os.WIFSIGNALED(status) else 100)
signal.signal(signal.SIGTERM, on_term)
print(s.getsockname()[1], child, flush=True)
while True: time.sleep(60)
"""

# Exits 60 ms after SIGTERM, printing when (CLOCK_MONOTONIC, as the test reads it).
SLOW_EXIT = """
import os, signal, socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
def on_term(*_):
    time.sleep(0.06)
    os.write(1, f"{time.monotonic()}\\n".encode())  # print() may be busy in the main thread
    os._exit(0)
signal.signal(signal.SIGTERM, on_term)
print(s.getsockname()[1], flush=True)
while True: time.sleep(60)
"""

# Keeps only an accepted connection: the listener (without SO_REUSEADDR, so
# the connection keeps the port from being bound) is closed after the accept.
ACCEPTED_ONLY = """
import socket, struct, time
listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen()
print(listener.getsockname()[1], flush=True)
conn, _ = listener.accept()
# Closed with a reset, so nothing lingers on the port once the process ends.
conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
listener.close()
print("accepted", flush=True)
while True: time.sleep(60)
"""

# argv: port. Reports the outcome of kill as JSON.
CALLER = """
import json, sys, time
from vantle import _lib
start = time.monotonic()
try:
    outcome = {"result": _lib.kill(int(sys.argv[1]))}
except OSError as e:
    outcome = {"type": type(e).__name__, "message": str(e), "errno": e.errno}
outcome["elapsed"] = time.monotonic() - start
print(json.dumps(outcome))
"""


class Child:
    """A Python child of this test; killed (if still running) and reaped on exit."""

    def __init__(self, code, *args, prefix=()):
        self.proc = subprocess.Popen([*prefix, sys.executable, "-c", code, *map(str, args)],
                                     stdout=subprocess.PIPE, text=True)

    def line(self):
        text = self.proc.stdout.readline()
        assert text, f"child ended early with status {self.proc.wait()}"
        return text.split()

    def status(self, timeout=5):
        return self.proc.wait(timeout=timeout)

    def alive(self):
        """Still running a moment from now. A signal sent before the call
        would have ended it by then, even one that is not yet delivered."""
        try:
            self.proc.wait(timeout=0.2)
        except subprocess.TimeoutExpired:
            return True
        return False

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()


def listener(*args, **kwargs):
    """A child listening on TCP, and its port."""
    child = Child(TCP_LISTENER, *args, **kwargs)
    try:
        return child, int(child.line()[0])
    except BaseException:
        child.__exit__()
        raise


def echoes(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(b"ping", ("127.0.0.1", port))
        return s.recvfrom(64)[0] == b"ping"


def timed_kill(*args, **kwargs):
    start = time.monotonic()
    try:
        return _lib.kill(*args, **kwargs), time.monotonic() - start
    except OSError as e:
        e.elapsed = time.monotonic() - start
        raise


def assert_could_not_free(excinfo, port):
    assert type(excinfo.value) is OSError
    assert str(excinfo.value) == COULD_NOT_FREE.format(port)
    assert excinfo.value.errno is None and excinfo.value.strerror is None


class TestArguments:
    # Port 0 and the conversions on their own are covered in test_arguments.py.
    @pytest.mark.parametrize("force, message", [
        (1, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
    ])
    def test_rejected_force_signals_nothing(self, force, message):
        child, port = listener(0)
        with child:
            with pytest.raises(TypeError) as excinfo:
                _lib.kill(port, force=force)
            assert str(excinfo.value) == message
            assert excinfo.value.__notes__ == ["while processing 'force'"]
            assert child.alive() and not _lib.is_available(port)

    @pytest.mark.parametrize("force, signal_number", [(np.True_, signal.SIGKILL), (np.False_, signal.SIGTERM)])
    def test_numpy_boolean_chooses_the_signal(self, force, signal_number):
        child, port = listener(0)
        with child:
            assert _lib.kill(port, force) is True
            assert child.status() == -signal_number


class TestSignalledOwners:
    def test_owner_exiting_on_sigterm(self):
        child, port = listener(0)
        with child:
            result, elapsed = timed_kill(port)
            assert result is True
            assert child.status() == -signal.SIGTERM
            # Freed by a probe, well before the grace period ran out.
            assert elapsed < 0.9
            assert _lib.is_available(port)

    def test_wait_ends_when_the_owner_exits(self):
        # The owner takes 60 ms to exit: a wait that only slept through its
        # 50 ms intervals would return about 40 ms after the exit.
        lags = []
        for _ in range(3):
            with Child(SLOW_EXIT) as child:
                port = int(child.line()[0])
                assert _lib.kill(port) is True
                returned = time.monotonic()
                lags.append(returned - float(child.line()[0]))
        assert min(lags) < 0.02, lags

    def test_owner_ignoring_sigterm_is_not_escalated(self):
        child, port = listener(0, "ignore")
        with child:
            with pytest.raises(OSError) as excinfo:
                timed_kill(port)
            assert_could_not_free(excinfo, port)
            assert 0.9 <= excinfo.value.elapsed < 5
            assert child.alive() and not _lib.is_available(port)

    def test_force_sends_sigkill(self):
        child, port = listener(0, "ignore")
        with child:
            assert _lib.kill(port, force=True) is True
            assert child.status() == -signal.SIGKILL

    @pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback")
    def test_owner_listening_on_ipv6_loopback_only(self):
        # A server on [::1] alone holds "localhost" at that port: the port is
        # not free, and its holder is seen and signalled.
        child, port = listener(0, "ipv6-only")
        with child:
            assert not _lib.is_available(port)
            assert _lib.get_info(port)["pid"] == child.proc.pid
            assert _lib.kill(port) is True
            assert child.status() == -signal.SIGTERM

    def test_owner_whose_name_is_not_utf8(self):
        # get_info leaves such a process out, but kill signals pids, not names.
        child, port = listener(0, "bad-name")
        with child:
            assert _lib.get_info(port) is None
            assert _lib.kill(port) is True
            assert child.status() == -signal.SIGTERM

    def test_parent_and_forked_child_sharing_a_listener(self):
        parent = Child(SHARED_BY_FORK)
        with parent:
            port, grandchild = map(int, parent.line())
            try:
                assert _lib.kill(port) is True
                # 15: the parent ran its SIGTERM handler and saw its child end by SIGTERM.
                assert parent.status() == signal.SIGTERM
            finally:
                with contextlib.suppress(ProcessLookupError):
                    if parent.proc.poll() is None:
                        os.kill(grandchild, signal.SIGKILL)

    def test_tcp_listener_and_udp_holder_of_the_same_port(self):
        tcp, port = listener(0)
        with tcp, Child(UDP_ECHO, port) as udp:
            udp.line()
            assert _lib.kill(port) is True
            assert tcp.status() == -signal.SIGTERM
            assert udp.status() == -signal.SIGTERM

    def test_holder_of_an_accepted_connection_only(self):
        with Child(ACCEPTED_ONLY) as server:
            port = int(server.line()[0])
            with socket.create_connection(("127.0.0.1", port)):
                assert server.line() == ["accepted"]
                assert not _lib.is_available(port)
                assert _lib.kill(port) is True
                assert server.status() == -signal.SIGTERM

    def test_caller_holding_the_port_signals_itself(self):
        code = textwrap.dedent("""
            import socket
            from vantle import _lib
            s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
            _lib.kill(s.getsockname()[1])
            print("survived")
        """)
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert result.returncode == -signal.SIGTERM
        assert result.stdout == ""

    def test_other_threads_run_during_the_wait(self):
        child, port = listener(0, "ignore")
        ticks = 0
        stop = threading.Event()

        def tick():
            nonlocal ticks
            while not stop.wait(0.01):
                ticks += 1

        thread = threading.Thread(target=tick)
        thread.start()
        try:
            with child:
                before = ticks
                with pytest.raises(OSError):
                    _lib.kill(port)
                during = ticks - before
        finally:
            stop.set()
            thread.join()
        # About a hundred in one second; none if the lock were held.
        assert during >= 10


class TestNothingSignalled:
    def test_udp_socket_does_not_keep_the_port_in_use(self):
        with udp_socket_on_tcp_free_port() as probe:
            port = probe.getsockname()[1]
        with Child(UDP_ECHO, port) as udp:
            udp.line()
            assert _lib.is_available(port)
            assert _lib.kill(port) is True
            assert echoes(port)


def drop_to(uid, caps=()):
    """A setpriv prefix running a command as `uid`, with only `caps`."""
    wanted = ",".join(["-all", *(f"+{cap}" for cap in caps)])
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups",
            f"--inh-caps={wanted}", f"--ambient-caps={wanted}", f"--bounding-set={wanted}"]


OWNER_UID, CALLER_UID = 40001, 40002
# Enough to read another user's /proc/PID/fd, not to signal the process.
READ_ANY_PROCESS = ("dac_read_search", "sys_ptrace")


def kill_as(uid, port, caps=()):
    result = subprocess.run([*drop_to(uid, caps), sys.executable, "-c", CALLER, str(port)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root and setpriv")
class TestOtherUsers:
    def test_owner_that_cannot_be_seen(self):
        child, port = listener(0, prefix=drop_to(OWNER_UID))
        with child:
            outcome = kill_as(CALLER_UID, port)
            assert outcome["type"] == "OSError"
            assert outcome["message"] == COULD_NOT_FREE.format(port)
            assert outcome["errno"] is None
            # No owner: no wait.
            assert outcome["elapsed"] < 0.5
            assert child.alive()

    def test_every_owner_refusing(self):
        child, port = listener(0, prefix=drop_to(OWNER_UID))
        with child:
            outcome = kill_as(CALLER_UID, port, READ_ANY_PROCESS)
            assert outcome["type"] == "PermissionError"
            assert outcome["message"] == PERMISSION_DENIED.format(port)
            assert outcome["errno"] is None
            assert outcome["elapsed"] < 0.5
            assert child.alive()

    def test_one_refusing_and_one_signalled_owner(self):
        refusing, port = listener(0, prefix=drop_to(OWNER_UID))
        with refusing, Child(UDP_ECHO, port, prefix=drop_to(CALLER_UID)) as signalled:
            signalled.line()
            outcome = kill_as(CALLER_UID, port, READ_ANY_PROCESS)
            # Not a PermissionError: one owner was signalled; the other keeps the port.
            assert outcome["type"] == "OSError"
            assert outcome["message"] == COULD_NOT_FREE.format(port)
            assert 0.9 <= outcome["elapsed"] < 5
            assert signalled.status() == -signal.SIGTERM
            assert refusing.alive()


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("strace") or not shutil.which("unshare"),
                    reason="needs root, strace and unshare")
class TestTraced:
    """Runs kill under strace: to count its probes, to take pidfds away, and
    to hold it between the lookup and the signal while the owner's pid passes
    to another process, which must not be signalled."""

    # With a second holder that exits at once, its exit ends a sleep early:
    # that probe comes early but counts among the twenty.
    @pytest.mark.parametrize("exiting_holder", [False, True], ids=["one-holder", "early-wake"])
    def test_probes_stop_at_the_deadline(self, exiting_holder, tmp_path):
        log = tmp_path / "strace.log"
        child, port = listener(0, "ignore")
        with child, contextlib.ExitStack() as stack:
            if exiting_holder:
                stack.enter_context(Child(UDP_ECHO, port)).line()
            result = subprocess.run(
                ["strace", "-qq", "-o", str(log), "-e", "trace=bind,pidfd_send_signal",
                 sys.executable, "-c", CALLER, str(port)],
                capture_output=True, text=True, timeout=60)
            assert json.loads(result.stdout)["type"] == "OSError", result.stderr
        calls = log.read_text().splitlines()
        signalled = next(i for i, call in enumerate(calls) if call.startswith("pidfd_send_signal("))
        probes = [call for call in calls[signalled:] if f"sin_port=htons({port})" in call]
        # One probe right after the signal, then one after each 50 ms sleep
        # while the deadline, a second after the signal, has not come.
        assert 10 < len(probes) <= 20, len(probes)

    # Holds kill at pidfd_open for 1.5 s, and for the fallback path fails it too.
    @pytest.mark.parametrize("injection", ["delay_enter=1500000", "error=ENOSYS:delay_enter=1500000"],
                             ids=["pidfd", "without-pidfd"])
    def test_successor_of_a_reused_pid_is_left_alone(self, injection, tmp_path):
        scenario = os.path.join(os.path.dirname(__file__), "pid_reuse_scenario.py")
        result = subprocess.run(
            ["unshare", "--pid", "--fork", "--mount-proc", "--propagation", "unchanged",
             sys.executable, scenario, injection, str(tmp_path / "strace.log")],
            capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        # The scenario did what it set out to do...
        assert report["reused"] and report["distinct_start"] and report["stalled"], report
        if injection.startswith("error"):
            assert "ENOSYS" in report["log"] and "INJECTED" in report["log"], report["log"]
        # ...and kill left the newcomer alone. The old owner is gone, so the
        # port is free and the call succeeds.
        assert report["caller"] == "True", report
        assert report["b_alive"]
        assert report["b_status"] == -signal.SIGKILL

    def test_without_pidfds_owners_are_still_signalled(self, tmp_path):
        log = tmp_path / "strace.log"
        child, port = listener(0)
        with child:
            result = subprocess.run(
                ["strace", "-qq", "-o", str(log), "-e", "trace=pidfd_open", "-e", "inject=pidfd_open:error=ENOSYS",
                 sys.executable, "-c", CALLER, str(port)],
                capture_output=True, text=True, timeout=60)
            assert result.returncode == 0, result.stderr
            assert json.loads(result.stdout)["result"] is True
            assert "INJECTED" in log.read_text()
            assert child.status() == -signal.SIGTERM

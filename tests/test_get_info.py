"""get_info and scan against real listeners in this and other processes."""

import os
import shutil
import socket
import subprocess
import sys
import threading

import pytest

from vantle import _lib
from conftest import listening, run_python, unused_port

HOLDER = """
import os, signal, socket, sys
kind = sys.argv[1]
if kind == "udp":
    sys.path.insert(0, sys.argv[2])
    from conftest import udp_socket_on_tcp_free_port
    s = udp_socket_on_tcp_free_port()
elif kind == "ipv6":
    s = socket.socket(socket.AF_INET6); s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.bind(("::1", 0)); s.listen()
else:
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0)); s.listen()
if kind.startswith("name="):
    import ctypes
    ctypes.CDLL(None).prctl(15, bytes.fromhex(kind[5:]), 0, 0, 0)
pids = [os.getpid()]
if kind == "fork":
    child = os.fork()
    if child == 0:
        signal.pause()
    pids.append(child)
print(s.getsockname()[1], *pids, flush=True)
sys.stdin.read()
"""


class Holder:
    """A child process holding a socket; stops when the test closes its stdin."""

    def __init__(self, kind="tcp", executable=sys.executable, **popen):
        self.process = subprocess.Popen([executable, "-c", HOLDER, kind, os.path.dirname(__file__)],
                                        stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, **popen)
        port, *pids = self.process.stdout.readline().split()
        self.port, self.pids = int(port), [int(p) for p in pids]

    def close(self):
        for pid in self.pids[1:]:  # a forked grandchild is ours to stop
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.process.stdin.close()
        self.process.wait(timeout=10)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class TestGetInfo:
    def test_own_ipv4_listener(self):
        with listening() as (_, port):
            info = _lib.get_info(port)
        assert info == {"pid": os.getpid(), "name": info["name"], "cmd": info["cmd"]}
        assert list(info) == ["pid", "name", "cmd"]
        with open("/proc/self/cmdline", "rb") as f:
            assert info["cmd"] == " ".join(a.decode() for a in f.read().split(b"\0") if a)

    def test_dual_stack_listener(self):
        with listening("::", dual_stack=True) as (_, port):
            assert _lib.get_info(port)["pid"] == os.getpid()

    def test_ipv4_and_ipv6_in_one_process(self):
        with listening() as (_, port):
            try:
                with listening("::1", port=port):
                    assert _lib.get_info(port)["pid"] == os.getpid()
                    assert _lib.scan([port])[port]["pid"] == os.getpid()
            except OSError as e:
                pytest.skip(f"no IPv6 loopback: {e}")

    def test_other_process(self):
        with Holder() as holder:
            info = _lib.get_info(holder.port)
            assert info["pid"] == holder.process.pid
            assert info["name"] == os.path.basename(sys.executable)[:15] or \
                os.path.basename(sys.executable).startswith(info["name"])
            assert info["cmd"].startswith(sys.executable + " -c ")
            assert info["cmd"].endswith(" tcp " + os.path.dirname(__file__))
        assert _lib.get_info(holder.port) is None

    def test_shared_socket_reports_newest_pid(self):
        with Holder("fork") as holder:
            parent, child = holder.pids
            assert _lib.get_info(holder.port)["pid"] == max(parent, child)

    def test_udp_only_port_has_no_listener(self):
        with Holder("udp") as holder:
            assert _lib.get_info(holder.port) is None

    def test_free_and_zero_ports(self):
        assert _lib.get_info(unused_port()) is None
        assert _lib.get_info(0) is None

    def test_bound_but_not_listening_has_no_listener(self, port):
        with socket.socket() as s:
            s.bind(("127.0.0.1", port))
            assert _lib.is_available(port) is False
            assert _lib.get_info(port) is None

    @pytest.mark.parametrize("name, kept, reported", [
        # Not UTF-8: the holder is left out.
        (b"bad\xff\xfename", b"bad\xff\xfename", None),
        # Valid, but the kernel kept 15 bytes and cut the eighth letter in two.
        ("серверприложения".encode(), "серверп".encode() + b"\xd1", "серверп"),
    ], ids=["not-utf8", "cut-by-the-kernel"])
    def test_names_as_the_kernel_keeps_them(self, name, kept, reported):
        with Holder("name=" + name.hex()) as holder:
            with open(f"/proc/{holder.process.pid}/comm", "rb") as f:
                assert f.read().rstrip(b"\n") == kept
            info = _lib.get_info(holder.port)
            assert (info and info["name"]) == reported
            assert _lib.scan([holder.port])[holder.port] == info

    def test_own_probes_are_never_the_owner(self):
        # While one thread probes, its listener on 127.0.0.1 stays open as ::1
        # is tried; a lookup in another thread must not take it for the
        # holder, which listens on ::1 only and is older than the caller.
        with Holder("ipv6") as holder:
            seen = run_python(f"""
                import collections, os, threading
                from vantle import _lib
                def probe():
                    for _ in range(3000):
                        _lib.is_available({holder.port})
                prober = threading.Thread(target=probe)
                prober.start()
                owners = collections.Counter()
                while prober.is_alive():
                    info = _lib.get_info({holder.port})
                    owners["self" if info and info["pid"] == os.getpid() else "holder" if info else None] += 1
                prober.join()
                print(owners["self"], owners["holder"])
            """).stdout.split()
        assert seen[0] == "0" and int(seen[1]) > 0, seen

    def test_truncated_name_is_extended(self, tmp_path):
        long_name = tmp_path / "a-rather-long-server-name"
        os.symlink(sys.executable, long_name)
        with Holder(executable=str(long_name)) as holder:
            with open(f"/proc/{holder.process.pid}/comm") as f:
                assert f.read().strip() == "a-rather-long-s"
            assert _lib.get_info(holder.port)["name"] == "a-rather-long-server-name"

    def test_other_users_listener_is_invisible_without_privilege(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            pytest.skip("needs root and setpriv to run two unprivileged users")

        def become_owner():
            os.setgroups([])
            os.setgid(40001)
            os.setuid(40001)

        with Holder(preexec_fn=become_owner) as holder:
            as_other_user = subprocess.run(
                ["setpriv", "--reuid=40002", "--regid=40002", "--clear-groups", "--inh-caps=-all",
                 sys.executable, "-c", f"import vantle; print(vantle.get_info({holder.port}))"],
                capture_output=True, text=True, timeout=30)
            assert as_other_user.stdout.strip() == "None", as_other_user.stderr
            assert _lib.get_info(holder.port)["pid"] == holder.process.pid  # root sees it

    def test_threads_agree(self):
        with Holder() as holder:
            answers = []

            def ask():
                answers.extend(_lib.get_info(holder.port)["pid"] for _ in range(20))

            threads = [threading.Thread(target=ask) for _ in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
            assert answers == [holder.process.pid] * 160


class TestScan:
    def test_busy_free_duplicate_and_zero(self):
        with Holder() as holder, listening() as (_, mine):
            free = unused_port()
            ports = [holder.port, free, mine, holder.port, 0]
            result = _lib.scan(ports)
            assert list(result) == [holder.port, free, mine, 0]
            assert result[holder.port]["pid"] == holder.process.pid
            assert result[mine]["pid"] == os.getpid()
            assert result[free] is None and result[0] is None
            for port in (holder.port, free, mine, 0):
                assert result[port] == _lib.get_info(port)

    def test_values_are_separate_dicts(self):
        with listening() as (_, a), listening() as (_, b):
            result = _lib.scan((a, b))
            assert result[a] == result[b] and result[a] is not result[b]

    def test_sequence_kinds(self):
        with listening() as (_, port):
            expected = {port: _lib.get_info(port)}
            assert _lib.scan((port,)) == expected
            assert _lib.scan(range(port, port + 1)) == expected
            assert _lib.scan(bytes([0])) == {0: None}
            assert _lib.scan([]) == {}

    def test_refused_before_any_lookup(self):
        with pytest.raises(OverflowError) as info:
            _lib.scan([unused_port(), 70000])
        assert info.value.__notes__ == ["while processing 'ports'"]

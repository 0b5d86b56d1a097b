"""The bind test, through is_available, against real sockets."""

import errno
import os
import socket
import threading

import pytest

from vantle import _lib
from conftest import (has_ipv6_loopback, listening, probing, run_in_own_network, run_python,
                      udp_socket_on_tcp_free_port, unused_port)


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


class TestFreeAndBusy:
    def test_free_port(self, port):
        assert _lib.is_available(port) is True
        assert _lib.is_available(port=port) is True

    def test_port_zero_is_never_free(self):
        before = open_fd_count()
        assert _lib.is_available(0) is False
        assert open_fd_count() == before

    # Localhost is both loopback addresses: a listener on either one alone,
    # or on the IPv6 wildcard with IPV6_V6ONLY, takes the port.
    @pytest.mark.parametrize("host, dual_stack", [
        ("127.0.0.1", False), ("0.0.0.0", False), ("::", True),
        pytest.param("::1", False, marks=pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback")),
        pytest.param("::", False, marks=pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback")),
    ])
    def test_listener_makes_port_busy(self, host, dual_stack):
        with listening(host, dual_stack=dual_stack) as (_, port):
            assert _lib.is_available(port) is False
        assert _lib.is_available(port) is True

    def test_host_without_ipv6_loopback_is_judged_on_ipv4_alone(self):
        out = run_in_own_network("echo 1 > /proc/sys/net/ipv6/conf/lo/disable_ipv6", """
            import socket
            from vantle import _lib
            with socket.socket(socket.AF_INET6) as s:
                try:
                    s.bind(("::1", 0))
                    raise SystemExit("::1 is still there")
                except OSError:
                    pass
            with socket.socket() as listener:
                listener.bind(("127.0.0.1", 0)); listener.listen()
                with socket.socket() as s:
                    s.bind(("127.0.0.1", 0)); free = s.getsockname()[1]
                print(_lib.is_available(free), _lib.is_available(listener.getsockname()[1]))
        """)
        assert out.split() == ["True", "False"]

    def test_bound_but_not_listening_socket_blocks(self, port):
        with socket.socket() as s:
            s.bind(("127.0.0.1", port))
            assert _lib.is_available(port) is False

    def test_udp_socket_does_not_block(self):
        with udp_socket_on_tcp_free_port() as s:
            assert _lib.is_available(s.getsockname()[1]) is True

    @staticmethod
    def leave_time_wait(reuse):
        """Closes a served connection server-side first, so the server's end
        lingers in TIME_WAIT on the port after the listener is gone."""
        with listening() as (server, port):
            client = socket.create_connection(("127.0.0.1", port))
            accepted, _ = server.accept()
            if reuse:
                accepted.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            accepted.close()
            client.recv(1)  # the server's FIN has arrived
            client.close()
        return port

    def test_time_wait_of_a_reusable_socket_does_not_block(self):
        # The probe sets SO_REUSEADDR, as servers do, so a lingering
        # connection of a server that did the same leaves the port bindable.
        assert _lib.is_available(self.leave_time_wait(reuse=True)) is True

    def test_time_wait_of_a_plain_socket_blocks(self):
        # Linux lets a bind pass a TIME_WAIT only when both sockets asked for
        # address reuse; no server could listen here now, so it is not free.
        assert _lib.is_available(self.leave_time_wait(reuse=False)) is False

    def test_privileged_port_without_permission_is_busy(self):
        # Binding below 1024 needs privilege; a refused bind reads as "in use".
        code = """
            import os, vantle
            os.setgid(65534); os.setuid(65534)
            print(vantle.is_available(1))
        """
        if os.geteuid() != 0:
            pytest.skip("needs root to drop to an unprivileged user")
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            if int(f.read()) <= 1:
                pytest.skip("unprivileged users may bind low ports here")
        assert run_python(code).stdout.strip() == "False"

    def test_extreme_ports(self):
        assert _lib.is_available(65535) in (True, False)
        assert _lib.is_available(True) in (True, False)  # port 1


class TestResources:
    def test_repeated_probes_leak_no_descriptor(self, port):
        before = open_fd_count()
        for _ in range(2000):
            assert _lib.is_available(port) is True
        assert open_fd_count() == before

    def test_descriptor_exhaustion_answers_not_free(self):
        code = """
            import resource, socket, vantle._lib  # loaded before the descriptor table fills
            free = socket.socket(); free.bind(("127.0.0.1", 0)); port = free.getsockname()[1]; free.close()
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
            held = []
            try:
                while True:
                    held.append(open("/dev/null"))
            except OSError:
                pass
            print(vantle.is_available(port), vantle.is_available(port))
            held.pop().close(); held.pop().close()  # one socket per loopback address
            print(vantle.is_available(port))
        """
        assert run_python(code).stdout.split() == ["False", "False", "True"]

    def test_probe_socket_is_close_on_exec(self, port):
        # A probe racing a fork+exec in another thread must not leak its
        # socket into the child; the socket is made close-on-exec at birth.
        seen_inherited = []
        with probing(port):
            for _ in range(30):
                out = run_python("import os; print(len(os.listdir('/proc/self/fd')))", close_fds=False)
                seen_inherited.append(int(out.stdout))
        baseline = min(seen_inherited)
        assert max(seen_inherited) == baseline


class TestThreads:
    def test_many_threads_agree(self):
        with listening() as (_, busy):
            free = unused_port()
            results = []

            def worker():
                results.append([(_lib.is_available(busy), _lib.is_available(free)) for _ in range(200)])

            threads = [threading.Thread(target=worker) for _ in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        assert all(pair == (False, True) for run in results for pair in run)

"""find_free: the preferred port when it is free, otherwise one the system assigns."""

import json
import os
import socket

import pytest

import vantle
from conftest import listening, run_in_own_network, run_python, unused_port


def ephemeral_range():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = map(int, f.read().split())
    return range(low, high + 1)


def assert_bindable(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", port))
        s.listen()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


class TestSystemAssigned:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: vantle.find_free(),
            lambda: vantle.find_free(None),
            lambda: vantle.find_free(0),
            lambda: vantle.find_free(preferred=None),
            lambda: vantle.find_free(preferred=0),
            lambda: vantle.find_free(False),
        ],
        ids=["no-argument", "None", "zero", "keyword-None", "keyword-zero", "False"],
    )
    def test_returns_a_bindable_port_from_the_ephemeral_range(self, call):
        port = call()
        assert type(port) is int
        assert port in ephemeral_range()
        assert_bindable(port)

    def test_passes_over_an_assigned_port_taken_on_ipv6_loopback(self):
        # Two ports to assign; the one the system prefers is held on ::1.
        out = run_in_own_network("echo 40000 40001 > /proc/sys/net/ipv4/ip_local_port_range", """
            import socket
            import vantle
            with socket.socket(socket.AF_INET6) as held:
                held.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                held.bind(("::1", 40001)); held.listen()
                print(*(vantle.find_free() for _ in range(10)))
        """)
        assert out.split() == ["40000"] * 10

    def test_leaves_no_descriptor_open(self):
        with listening() as (_, busy):
            before = open_descriptors()
            for _ in range(200):
                vantle.find_free()
                vantle.find_free(busy)
            assert open_descriptors() == before


class TestPreferred:
    def test_free_preferred_port_is_returned_as_is(self):
        port = unused_port()
        assert vantle.find_free(port) == port
        assert vantle.find_free(preferred=port) == port

    def test_busy_preferred_port_gives_another_bindable_port(self):
        with listening() as (_, busy):
            port = vantle.find_free(busy)
            assert port != busy
            assert port in ephemeral_range()
            assert_bindable(port)

    def test_preferred_port_taken_on_the_wildcard_address_counts_as_busy(self):
        with listening(host="0.0.0.0") as (_, busy):
            assert vantle.find_free(preferred=busy) != busy


class FailingIndex:
    def __index__(self):
        raise ValueError("from __index__")


class TestArguments:
    @pytest.mark.parametrize(
        "preferred, error, message",
        [
            (70000, OverflowError, "out of range integral type conversion attempted"),
            (-1, OverflowError, "out of range integral type conversion attempted"),
            (65536, OverflowError, "out of range integral type conversion attempted"),
            (2**70, OverflowError, None),
            (8000.0, TypeError, None),
            ("8000", TypeError, None),
            (FailingIndex(), ValueError, "from __index__"),
        ],
    )
    def test_conversion_failure_names_preferred(self, preferred, error, message):
        with pytest.raises(error) as caught:
            vantle.find_free(preferred)
        assert type(caught.value) is error
        if message is not None:
            assert str(caught.value) == message
        assert caught.value.__notes__ == ["while processing 'preferred'"]


def test_descriptor_table_full_raises_oserror_without_errno():
    # Run in a child: filling the descriptor table would upset pytest itself.
    result = run_python(
        """
        import json, os, resource, socket
        import vantle._lib  # loaded before the descriptor table fills

        free = socket.socket()
        free.bind(("127.0.0.1", 0))
        preferred = free.getsockname()[1]
        free.close()

        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        held = []
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass

        outcomes = []
        for args in [(), (preferred,)]:
            try:
                outcomes.append({"returned": vantle.find_free(*args)})
            except BaseException as e:
                outcomes.append({"type": type(e).__name__, "str": str(e), "args": list(e.args),
                                 "errno": e.errno, "strerror": e.strerror})
        for fd in held:
            os.close(fd)
        outcomes.append({"after": vantle.find_free(preferred)})
        print(json.dumps({"preferred": preferred, "outcomes": outcomes}))
        """
    )
    report = json.loads(result.stdout)
    failure = {"type": "OSError", "str": "Could not find a free port", "args": ["Could not find a free port"],
               "errno": None, "strerror": None}
    # With no descriptor left, a free preferred port cannot be probed either.
    assert report["outcomes"] == [failure, failure, {"after": report["preferred"]}]

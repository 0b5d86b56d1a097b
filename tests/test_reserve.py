"""vantle.reserve(): ports no other reservation is handed, outside the
kernel's ephemeral range, bindable by a plain server, held until release or
the holder's end."""

import contextlib
import gc
import os
import random
import socket
import subprocess
import sys

import pytest

import vantle
from conftest import has_ipv6_loopback, listening, run_in_own_network

# Reserves, prints the first port, and holds it until stdin closes.
HOLDER = r"""
import sys, vantle
reservation = vantle.reserve(count=int(sys.argv[1]))
print(reservation.port, flush=True)
sys.stdin.read()
"""

WINDOW = "VANTLE_RESERVE_PORTS"


def ephemeral_range():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = map(int, f.read().split())
    return range(low, high + 1)


def is_service_port(port):
    try:
        socket.getservbyport(port, "tcp")
        return True
    except OSError:
        return False


def plain_binds(port):
    """Whether a server binds the port now on 0.0.0.0 and [::], without SO_REUSEADDR."""
    families = [(socket.AF_INET, "0.0.0.0")] + [(socket.AF_INET6, "::")] * has_ipv6_loopback()
    try:
        for family, address in families:
            with socket.socket(family, socket.SOCK_STREAM) as s:
                s.bind((address, port))
        return True
    except OSError:
        return False


def quiet_window(size):
    """`size` consecutive ports outside the ephemeral range, none a service
    port, each bindable now: a window where the tests' reservations are alone."""
    ephemeral = ephemeral_range()
    for _ in range(100):
        first = random.randrange(20000, 30000)
        window = range(first, first + size)
        if all(p not in ephemeral and not is_service_port(p) and plain_binds(p) for p in window):
            return window
    pytest.skip("no quiet window of ports outside the ephemeral range")


@contextlib.contextmanager
def holders(count, env, ports_each=1):
    """`count` processes, each holding a reservation; yields their first ports."""
    children = [subprocess.Popen([sys.executable, "-c", HOLDER, str(ports_each)], env=env, text=True,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE) for _ in range(count)]
    try:
        yield [int(child.stdout.readline() or -1) for child in children]
    finally:
        for child in children:
            child.stdin.close()
            child.wait()
            child.stdout.close()


def test_concurrent_processes_never_share_a_port():
    # 32 holders in 40 ports: without the claims, random draws would meet.
    window = quiet_window(40)
    env = dict(os.environ, **{WINDOW: f"{window[0]}-{window[-1]}"})
    with holders(32, env) as ports:
        assert sorted(set(ports)) == sorted(ports)
        assert set(ports) <= set(window)


def test_a_killed_holders_claim_goes_with_it(monkeypatch):
    (port,) = quiet_window(1)
    monkeypatch.setenv(WINDOW, f"{port}-{port}")
    child = subprocess.Popen([sys.executable, "-c", HOLDER, "1"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert int(child.stdout.readline()) == port
        with pytest.raises(OSError) as refused:
            vantle.reserve()
        assert str(refused.value) == f"Could not reserve a port: every port of {port}-{port} is claimed or in use"
    finally:
        child.kill()
        child.wait()
        child.stdin.close()
        child.stdout.close()
    with vantle.reserve() as again:
        assert again == port


def test_skips_ports_where_a_plain_bind_fails(monkeypatch):
    remnant, elsewhere, free = quiet_window(3)
    # The end of a connection that its server (with SO_REUSEADDR, as servers
    # have it) closed first stays in TIME_WAIT.
    with socket.create_server(("127.0.0.1", remnant), reuse_port=False) as server:
        client = socket.create_connection(("127.0.0.1", remnant))
        accepted, _ = server.accept()
        accepted.close()
        client.recv(1)
        client.close()
    monkeypatch.setenv(WINDOW, f"{remnant}-{free}")
    with listening("127.0.0.2", elsewhere):
        assert vantle.is_available(remnant) and vantle.is_available(elsewhere)  # stricter, on purpose
        for _ in range(12):  # each draw starts at a random port of the three
            with vantle.reserve() as port:
                assert port == free
                assert plain_binds(port)  # the claim holds no TCP socket


def test_consecutive_ports(monkeypatch):
    window = quiet_window(4)
    monkeypatch.setenv(WINDOW, f"{window[0]}-{window[-1]}")
    with vantle.reserve(count=3) as first:
        assert first in (window[0], window[1])
        # The one port left, then none.
        with vantle.reserve() as last:
            assert last in window and last not in range(first, first + 3)
            with pytest.raises(OSError):
                vantle.reserve()
    # A run cut by a claim is no run; the claims of the attempt are let go.
    middle = vantle.reserve(preferred=window[1])
    assert middle.port == window[1]
    with pytest.raises(OSError) as refused:
        vantle.reserve(count=3)
    assert str(refused.value) == (f"Could not reserve 3 consecutive ports: every run of 3 in "
                                  f"{window[0]}-{window[-1]} has a port claimed or in use")
    middle.release()
    whole = vantle.reserve(count=4)
    assert (whole.port, whole.count, whole.ports) == (window[0], 4, window)
    whole.release()


def test_reservation_object(monkeypatch):
    (port,) = quiet_window(1)
    monkeypatch.setenv(WINDOW, f"{port}-{port}")
    reservation = vantle.reserve()
    assert (reservation.port, reservation.count, reservation.in_ephemeral_range) == (port, 1, False)
    assert not reservation.released
    reservation.release()
    reservation.release()
    assert reservation.released
    # One left to the collector is released by it, with a warning.
    with pytest.warns(ResourceWarning, match=f"unreleased <vantle.Reservation of port {port}>"):
        vantle.reserve()
        gc.collect()
    with vantle.reserve() as again:
        assert again == port


NAMESPACE_DRAW = r"""
import vantle
held = [vantle.reserve()]
while not held[-1].in_ephemeral_range:
    held.append(vantle.reserve())
print(*[r.port for r in held])
"""


def test_ephemeral_ports_only_when_none_outside_is_left():
    # A namespace whose kernel hands out 1100-65535 by itself, and keeps
    # 1030-1039 for programs that bind them.
    setup = ("echo '1100 65535' > /proc/sys/net/ipv4/ip_local_port_range && "
             "echo 1030-1039 > /proc/sys/net/ipv4/ip_local_reserved_ports")
    *outside, fallback = map(int, run_in_own_network(setup, NAMESPACE_DRAW).split())
    expected = {p for p in range(1024, 1100) if p not in range(1030, 1040) and not is_service_port(p)}
    assert sorted(outside) == sorted(expected)
    assert fallback >= 1100 and not is_service_port(fallback)


@pytest.mark.parametrize("value", ["80-90", "1000-2000", "9000-8000", "8000-70000", "x", "1024-", " 2000"])
def test_a_bad_window_is_refused(monkeypatch, value):
    monkeypatch.setenv(WINDOW, value)
    with pytest.raises(ValueError) as refused:
        vantle.reserve()
    assert str(refused.value) == (f"{WINDOW} must be LOW-HIGH (or one port), with 1024 <= LOW <= HIGH <= 65535, "
                                  f"not {value!r}")


# Closes the descriptors behind which reserve() keeps the kernel's settings
# (as a program that closes what it does not know of would) and opens a file
# that reads as another range under the same numbers.
FOREIGN_DESCRIPTORS = r"""
import os, sys, vantle
vantle.reserve().release()
kept = [fd for fd in map(int, os.listdir("/proc/self/fd"))
        if os.path.realpath(f"/proc/self/fd/{fd}").startswith("/proc/sys/net/")]
for fd in kept:
    os.close(fd)
assert sorted(os.open(sys.argv[1], os.O_RDONLY) for _ in kept) == sorted(kept)
print(len(kept), vantle.reserve().in_ephemeral_range)
"""


def test_settings_are_read_anew_when_their_descriptors_were_taken(tmp_path):
    fake = tmp_path / "range"
    fake.write_text("1024 65535\n")
    result = subprocess.run([sys.executable, "-c", FOREIGN_DESCRIPTORS, str(fake)], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (0, "2 False\n"), result.stderr

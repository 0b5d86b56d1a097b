"""The machine view (vantle.listeners, vantle.holders) and the commands built
on it (ls, who, kill), against listeners on addresses besides localhost."""

import contextlib
import json
import os
import pwd
import signal
import socket
import subprocess
import sys

import pytest

import vantle
from conftest import probing, run_in_own_network, unused_port
from test_cli import vantle as run_vantle
from test_kill import CALLER_UID, OWNER_UID, drop_to

# argv: address, port (0: any), and "nobody" to drop root for nobody after
# listening, or "fork" [N] to share the socket with N workers (1 by default)
# that last as long as the listener. Exits on SIGTERM.
LISTENER = """
import os, signal, socket, sys, time
address, port = sys.argv[1], int(sys.argv[2])
s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
s.bind((address, port)); s.listen()
if sys.argv[3:] == ["nobody"]:
    os.setgroups([]); os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534)
for _ in range(int((sys.argv[4:] or [1])[0]) if sys.argv[3:4] == ["fork"] else 0):
    if os.fork() == 0:
        parent = os.getppid()
        for _ in range(1200):
            if os.getppid() != parent:
                break
            time.sleep(0.05)
        os._exit(0)
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
print(s.getsockname()[1], flush=True)
signal.pause()
"""


@contextlib.contextmanager
def listeners_on(*addresses, port=0, then=()):
    """One child per address listening there; yields (port, children)."""
    children = []
    try:
        for address in addresses:
            child = subprocess.Popen([sys.executable, "-c", LISTENER, address, str(port), *then],
                                     stdout=subprocess.PIPE, text=True)
            children.append(child)
            port = int(child.stdout.readline())
        yield port, children
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
            child.wait()
            child.stdout.close()


def test_listener_beyond_localhost_is_seen_and_freed():
    with listeners_on("127.0.0.2") as (port, [child]):
        [entry] = vantle.listeners([port])
        assert (entry["address"], entry["port"], [(p["pid"], p["ppid"]) for p in entry["processes"]]) == \
            ("127.0.0.2", port, [(child.pid, os.getpid())])
        assert vantle.is_available(port)  # localhost is free: the six functions keep their meaning

        who = run_vantle("who", port)
        assert who.returncode == 0, who.stderr
        assert f"127.0.0.2:{port}" in who.stdout and str(child.pid) in who.stdout
        assert f"{port} is free on localhost, but held on 127.0.0.2:{port} by python (pid {child.pid})" in who.stdout

        # An address narrows who and kill to what takes connections there.
        elsewhere = run_vantle("who", f"127.0.0.3:{port}")
        assert (elsewhere.returncode, elsewhere.stdout.splitlines()[1].split()) == \
            (1, [str(port), "-", "-", "-", "-", "free", "on", "127.0.0.3"])
        spared = run_vantle("kill", f"127.0.0.3:{port}")
        assert (spared.returncode, spared.stdout) == (0, f"{port} was already free on 127.0.0.3\n")
        assert child.poll() is None

        killed = run_vantle("kill", f"127.0.0.2:{port}")
        assert (killed.returncode, killed.stderr) == (0, ""), killed.stderr
        assert killed.stdout == f"{port} freed, was held by python (pid {child.pid})\n"
        assert child.wait(timeout=10) == 0
        assert vantle.listeners([port]) == []


def test_a_listener_and_its_worker_are_noted_once():
    with listeners_on("127.0.0.2", then=["fork"]) as (port, [child]):
        holders = vantle.holders(port)
        pids = ", ".join(str(h["pid"]) for h in holders)
        who = run_vantle("who", port)
    assert (len(holders), who.stdout.splitlines()[-1]) == \
        (2, f"{port} is free on localhost, but held on 127.0.0.2:{port} by python (pids {pids})")


def test_a_server_and_its_workers_are_one_row_unless_expanded():
    with listeners_on("127.0.0.2", then=["fork", "4"]) as (port, [child]):
        [entry] = vantle.listeners([port])
        workers = {p["pid"] for p in entry["processes"]} - {child.pid}
        collapsed = run_vantle("ls", port).stdout.splitlines()[1:]
        expanded = run_vantle("ls", "--expand", port).stdout.splitlines()[1:]
    assert len(workers) == 4
    assert [row.split()[:5] for row in collapsed] == [[str(port), "127.0.0.2", str(child.pid), "+4", "workers"]]
    assert sorted(int(row.split()[2]) for row in expanded) == sorted({child.pid} | workers)


def test_a_command_line_that_is_not_utf8_is_shown_escaped():
    with listeners_on("127.0.0.1", then=[b"caf\xe9"]) as (port, [child]):
        [entry] = vantle.listeners([port])
        [holder] = vantle.holders(port)
        listed = run_vantle("ls", port)
        info = vantle.get_info(port)
    assert entry["processes"][0]["cmd"].endswith(" 0 caf\\xe9") and holder["cmd"] == entry["processes"][0]["cmd"]
    assert listed.stdout.splitlines()[1].endswith(" 0 caf\\xe9")
    assert (info["pid"], info["cmd"]) == (child.pid, "")  # the six functions keep their contract


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make the socket before becoming nobody")
def test_user_is_the_process_owner_not_the_socket_owner():
    nobody = pwd.getpwuid(65534).pw_name
    with listeners_on("127.0.0.1", then=["nobody"]) as (port, [child]):
        [entry] = vantle.listeners([port])
        [process] = entry["processes"]
        assert (entry["uid"], process["pid"], process["uid"], process["user"]) == (0, child.pid, 65534, nobody)
        who = run_vantle("who", port)
        assert who.stdout.splitlines()[1].split()[:3] == [str(port), str(child.pid), nobody]
        checked = run_vantle("check", port)
        assert checked.stdout.endswith(f"(pid {child.pid}, user {nobody})\n")
        [state] = json.loads(run_vantle("scan", "--json", port).stdout)
        assert (state["uid"], state["owner"]["uid"], state["owner"]["user"]) == (0, 65534, nobody)
        record = json.loads(run_vantle("kill", "--json", port).stdout)[0]
        assert (record["outcome"], record["uid"], record["holders"][0]["user"]) == ("freed", 0, nobody)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make the socket before becoming nobody")
def test_user_pid_and_name_select_processes():
    nobody = pwd.getpwuid(65534).pw_name
    with listeners_on("127.0.0.1", then=["nobody"]) as (port, [theirs]), \
            listeners_on("127.0.0.2", port=port) as (_, [ours]):
        both = {theirs.pid, ours.pid}
        for options, selected in [(["--user", nobody], {theirs.pid}), (["--user", f"65534,{os.geteuid()}"], both),
                                  (["--pid", str(ours.pid)], {ours.pid}), (["--name", "pyth"], both),
                                  (["--name", "pythons"], set()), (["--user", nobody, "--pid", str(ours.pid)], set())]:
            listed = json.loads(run_vantle("ls", "--json", *options, port).stdout)
            [who] = json.loads(run_vantle("who", "--json", "--all", *options, port).stdout)
            assert {p["pid"] for entry in listed for p in entry["processes"]} == selected, options
            assert {h["pid"] for h in who["holders"]} == selected, options


@pytest.mark.skipif(os.geteuid() != 0 or not os.path.exists("/usr/bin/setpriv"), reason="needs root and setpriv")
def test_invisible_holder_is_reported_as_such():
    owner = subprocess.Popen([*drop_to(OWNER_UID), sys.executable, "-c", LISTENER, "127.0.0.2", "0"],
                             stdout=subprocess.PIPE, text=True)
    try:
        port = int(owner.stdout.readline())
        listed = run_vantle("ls", "--json", port, prefix=drop_to(CALLER_UID))
        assert json.loads(listed.stdout) == [
            {"port": port, "address": "127.0.0.2", "uid": OWNER_UID, "user": None, "processes": []}]
        # A user with no name: null, with the uid beside it, wherever it is shown.
        [who] = json.loads(run_vantle("who", "--json", "--all", port, prefix=drop_to(CALLER_UID)).stdout)
        assert (who["holders"][0]["user"], who["holders"][0]["uid"]) == (None, OWNER_UID)
        killed = run_vantle("kill", port, prefix=drop_to(CALLER_UID))
        assert killed.returncode == 1
        assert killed.stderr == (f"{port} not freed: in use by a process of user {OWNER_UID} that you cannot see "
                                 "(run with privileges, e.g. sudo)\n")
        assert "--force" not in killed.stderr
        assert owner.poll() is None
    finally:
        owner.kill()
        owner.wait()
        owner.stdout.close()


def test_ls_json_lists_every_address():
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    with listeners_on("127.0.0.1", "127.0.0.2", "::1") as (port, children):
        result = run_vantle("ls", "--json", port)
    assert result.returncode == 0, result.stderr
    found = {(entry["address"], tuple(p["pid"] for p in entry["processes"])) for entry in json.loads(result.stdout)}
    assert found == {("127.0.0.1", (children[0].pid,)), ("127.0.0.2", (children[1].pid,)),
                     ("::1", (children[2].pid,))}


def test_the_callers_probes_are_never_its_holdings():
    # is_available() makes its test listeners through vantle._lib; the view
    # of vantle._table must know them as the caller's own, not as a holder.
    port = unused_port()
    with probing(port):
        named = [entry for _ in range(1500) for entry in vantle.holders(port) if entry["pid"] == os.getpid()]
        named += [entry for _ in range(200) for entry in vantle.listeners([port]) if entry["processes"]]
    assert named == []


RECEIVER = """
import array, signal, socket, sys
channel = socket.socket(fileno=int(sys.argv[1]))
message, ancillary, _, _ = channel.recvmsg(1, socket.CMSG_SPACE(4))
held = socket.socket(fileno=array.array("i", ancillary[0][2])[0])
print("received", flush=True)
signal.pause()
"""

FORKING_SENDER = """
import os, signal, socket, sys
channel = socket.socket(fileno=int(sys.argv[1]))
if os.fork() == 0:
    listener = socket.create_server(("127.0.0.1", 0))
    socket.send_fds(channel, [b"x"], [listener.fileno()])
    print(listener.getsockname()[1], flush=True)
    signal.pause()
os.wait()
"""


def test_listing_names_a_holder_older_than_every_parent():
    # A listener made by a grandchild and passed to a process started before
    # the grandchild's parent: a walk from the newest process down meets
    # the maker and its parent before the receiver, and must go on to it.
    ends = socket.socketpair()
    children = []
    try:
        receiver = subprocess.Popen([sys.executable, "-c", RECEIVER, str(ends[0].fileno())],
                                    pass_fds=[ends[0].fileno()], stdout=subprocess.PIPE, text=True)
        children.append(receiver)
        sender = subprocess.Popen([sys.executable, "-c", FORKING_SENDER, str(ends[1].fileno())],
                                  pass_fds=[ends[1].fileno()], stdout=subprocess.PIPE, text=True,
                                  start_new_session=True)
        children.append(sender)
        port = int(sender.stdout.readline())
        assert receiver.stdout.readline() == "received\n"
        assert receiver.pid < sender.pid
        [entry] = vantle.listeners([port])
        assert receiver.pid in [process["pid"] for process in entry["processes"]]
        assert receiver.pid in [holder["pid"] for holder in vantle.holders(port)]
    finally:
        for end in ends:
            end.close()
        with contextlib.suppress(ProcessLookupError):
            os.killpg(children[-1].pid, signal.SIGKILL)
        for child in children:
            child.kill()
            child.wait()
            child.stdout.close()


V6ONLY_LISTENER = """
import signal, socket, sys
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, int(sys.argv[1]))
s.bind(("::", 0)); s.listen()
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
print(s.getsockname()[1], flush=True)
signal.pause()
"""


@pytest.mark.skipif(not socket.has_ipv6, reason="no IPv6")
@pytest.mark.parametrize("v6only", [True, False])
def test_an_ipv6_only_wildcard_does_not_take_ipv4(v6only):
    child = subprocess.Popen([sys.executable, "-c", V6ONLY_LISTENER, str(int(v6only))],
                             stdout=subprocess.PIPE, text=True)
    try:
        port = int(child.stdout.readline())
        [entry] = vantle.listeners([port])
        assert (entry["address"], entry["v6only"]) == ("::", v6only)
        assert (run_vantle("who", f"127.0.0.1:{port}").returncode == 0) is not v6only
        assert run_vantle("who", f"[::1]:{port}").returncode == 0
        spared = run_vantle("kill", f"127.0.0.2:{port}")
        assert (spared.returncode, child.poll() is None) == ((0, True) if v6only else (0, False)), spared.stdout
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


def test_an_ipv4_mapped_address_names_the_ipv4_socket():
    with listeners_on("127.0.0.1") as (port, [child]):
        who = run_vantle("who", f"[::ffff:127.0.0.1]:{port}")
        assert who.returncode == 0 and str(child.pid) in who.stdout, who.stdout


def test_a_link_local_listener_is_named_with_its_interface():
    answer = run_in_own_network("ip link add vantle0 type veth peer name vantle1 && ip link set vantle0 up && "
                                "ip addr add fe80::1/64 dev vantle0 nodad", """
        import socket, subprocess, sys, vantle
        listener = socket.socket(socket.AF_INET6)
        listener.bind(("fe80::1", 0, 0, socket.if_nametoindex("vantle0")))
        listener.listen()
        port = listener.getsockname()[1]
        [entry] = vantle.listeners([port])
        who = subprocess.run([sys.executable, "-m", "vantle", "who", f"[fe80::1%vantle0]:{port}"],
                             capture_output=True, text=True)
        print(entry["address"], who.returncode, f"[fe80::1%vantle0]:{port}" in who.stdout)
    """)
    assert answer.split() == ["fe80::1%vantle0", "0", "True"]

"""The vantle command, run as a subprocess against real listeners."""

import contextlib
import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from vantle import _lib
from vantle import holders, reserve
from vantle._arguments import COMMANDS
from conftest import listening, unused_port
from scenarios import ListenerChild
from test_reserve import WINDOW, quiet_window
from test_kill import CALLER_UID, OWNER_UID, READ_ANY_PROCESS, drop_to

# argv: "fork" to share the listener with a forked worker, which SIGTERM ends.
SERVER = """
import os, signal, socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
workers = []
if sys.argv[1:] == ["fork"]:
    workers.append(os.fork())
    if workers[0] == 0:
        signal.pause()
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
print(s.getsockname()[1], *workers, flush=True)
signal.pause()
"""

# On SIGTERM, forks a successor that keeps the listener, prints its pid and
# exits: a graceful hand-off.
HANDING_OFF = """
import os, signal, socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
def hand_off(*_):
    successor = os.fork()
    if successor == 0:
        time.sleep(60)
        os._exit(0)
    print(successor, flush=True)
    os._exit(0)
signal.signal(signal.SIGTERM, hand_off)
print(s.getsockname()[1], flush=True)
signal.pause()
"""

# Stops gracefully on SIGQUIT (exit status 3), as nginx does; ignores SIGTERM.
QUIT_STOPS = """
import signal, socket, sys
signal.signal(signal.SIGTERM, signal.SIG_IGN)
signal.signal(signal.SIGQUIT, lambda *a: sys.exit(3))
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True)
signal.pause()
"""

TWO_PORTS = """
import signal, socket
held = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
print(*(s.getsockname()[1] for s in held), flush=True)
signal.pause()
"""

UDP_HOLDER = """
import signal, socket
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("0.0.0.0", 0))
print(u.getsockname()[1], flush=True)
signal.pause()
"""

# Every port record of --json carries these keys.
STATE_KEYS = {"port", "state", "bindable", "owner", "user", "uid", "addresses"}
NOT_VISIBLE = "in use by a process of user {} that you cannot see (run with privileges, e.g. sudo)"


def command(*args, prefix=()):
    return [*prefix, sys.executable, "-m", "vantle", *map(str, args)]


def vantle(*args, timeout=30, prefix=()):
    return subprocess.run(command(*args, prefix=prefix), capture_output=True, text=True, timeout=timeout)


@contextlib.contextmanager
def serving(*flags):
    """A child listening on a port; yields (process, port, pids of its forked workers)."""
    child = subprocess.Popen([sys.executable, "-c", SERVER, *flags], stdout=subprocess.PIPE, text=True)
    workers = []
    try:
        port, *workers = map(int, child.stdout.readline().split())
        yield child, port, workers
    finally:
        for pid in workers:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdout.close()


@pytest.fixture
def server():
    with serving() as (child, port, _):
        yield child, port


def process_name(pid):
    with open(f"/proc/{pid}/comm") as f:
        return f.read().strip()


def matches(actual, expected):
    """Expected dicts name only the keys that matter; lists match item by item;
    a type stands for any value of that type."""
    if isinstance(expected, type):
        return isinstance(actual, expected)
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(k in actual and matches(actual[k], v) for k, v in expected.items())
    if isinstance(expected, list):
        return isinstance(actual, list) and len(actual) == len(expected) and all(map(matches, actual, expected))
    return actual == expected


class TestCheckAndFree:
    def test_check_free_and_busy(self):
        free = unused_port()
        ok = vantle("check", free)
        assert (ok.returncode, ok.stdout) == (0, f"{free} free\n")
        with listening() as (_, busy):
            mixed = vantle("check", free, busy)
        assert mixed.returncode == 1
        first, second = mixed.stdout.splitlines()
        assert first == f"{free} free"
        assert second.startswith(f"{busy} in use by ") and f"(pid {os.getpid()}, user " in second

    def test_free_prints_a_bindable_port(self):
        result = vantle("free")
        assert result.returncode == 0
        port = int(result.stdout)
        with listening(port=port):
            pass

    def test_free_keeps_a_free_preferred_port(self):
        preferred = unused_port()
        assert vantle("free", "--preferred", f":{preferred}").stdout.strip() == str(preferred)

    def test_installed_command(self):
        script = shutil.which("vantle", path=os.path.dirname(sys.executable))
        if not script:
            pytest.skip("no vantle script next to this interpreter")
        result = subprocess.run([script, "free"], capture_output=True, text=True, timeout=30)
        assert result.returncode == 0 and int(result.stdout) > 0


# Run by `vantle reserve`: its port and the argument given as "{port}",
# whether a reservation in its window was refused (the window is all
# claimed by the command holding it), and a status of its own.
RESERVED_STEP = """
import os, sys, vantle
try:
    vantle.reserve().release()
    held = "free"
except OSError:
    held = "held"
print(os.environ["PORT"], sys.argv[1], held)
sys.exit(7)
"""


class TestReserve:
    def test_runs_the_command_with_the_port_held(self, monkeypatch):
        window = quiet_window(2)
        monkeypatch.setenv(WINDOW, f"{window[0]}-{window[1]}")
        result = vantle("reserve", "--count", "2", "--", sys.executable, "-c", RESERVED_STEP, "at:{port}")
        assert (result.returncode, result.stdout) == (7, f"{window[0]} at:{window[0]} held\n")
        with reserve(count=2) as first:  # let go when the command ended
            assert first == window[0]

    @pytest.mark.parametrize("argv, status, message", [
        (["sh", "-c", "kill -TERM $$"], 128 + signal.SIGTERM, ""),
        (["sh", "-c", "kill -PIPE $$"], 128 + signal.SIGPIPE, ""),  # not ignored, as Python's own SIGPIPE is
        (["no-such-command-here"], 127, "vantle: cannot run 'no-such-command-here': No such file or directory\n"),
    ])
    def test_statuses(self, argv, status, message):
        result = vantle("reserve", "--", *argv)
        assert (result.returncode, result.stderr) == (status, message)


# argv: seconds to wait, then the port to listen on; exits on SIGTERM.
LATE_SERVER = """
import signal, socket, sys, time
time.sleep(float(sys.argv[1]))
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[2]))); s.listen()
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
signal.pause()
"""


class TestWait:
    def test_wait_on_free_ports(self):
        ports = unused_port(), unused_port()
        result = vantle("wait", *ports, "--timeout", 0)
        assert (result.returncode, result.stdout) == (0, f"{ports[0]} free\n{ports[1]} free\n")

    def test_wait_times_out(self):
        with listening() as (_, port):
            started = time.monotonic()
            result = vantle("wait", unused_port(), port, "--timeout", 0.5)
            assert time.monotonic() - started >= 0.5
        assert (result.returncode, result.stdout) == (1, "")
        # Only the message: stderr is no terminal, so no countdown.
        assert result.stderr.startswith(f"vantle: timed out after 0.5 s: {port} in use by ")
        assert result.stderr.count("\n") == 1 and "\r" not in result.stderr
        with listening() as (_, port):
            answer = json.loads(vantle("wait", "--json", unused_port(), port, "--timeout", 0.5).stdout)
        # Each port's own wait: the free one's at once.
        assert answer[0]["waited"] < 0.25 <= 0.5 <= answer[1]["waited"]

    @pytest.mark.parametrize("delay, timeout, status", [(1, 20, 0), (None, 0.3, 1)])
    def test_wait_listening(self, delay, timeout, status):
        """A script that starts a server and waits for it (None: no server)."""
        port, other = unused_port(), unused_port()
        with contextlib.ExitStack() as stack:
            if delay is not None:
                for waited in (port, other):
                    server = stack.enter_context(subprocess.Popen([sys.executable, "-c", LATE_SERVER, str(delay),
                                                                   str(waited)]))
                    stack.callback(server.kill)
            started = time.monotonic()
            result = vantle("wait", "--listening", port, f"localhost:{other}", "--timeout", timeout)
            elapsed = time.monotonic() - started
        assert result.returncode == status, result.stderr
        if status == 0:
            assert result.stdout == f"{port} listening on 127.0.0.1:{port}\n{other} listening on 127.0.0.1:{other}\n"
            assert elapsed >= delay
        else:
            assert result.stderr == (f"vantle: timed out after {timeout} s: nothing listens on {port}, "
                                     f"{other} on 127.0.0.1,::1\n")


    def test_wait_is_for_what_was_asked(self):
        # A UDP socket or a bound TCP socket does not listen; a listener on
        # 127.0.0.1 leaves the port free on 127.0.0.2.
        with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_DGRAM)) as udp, \
                contextlib.closing(socket.socket()) as bound, listening() as (_, port):
            udp.bind(("127.0.0.1", 0))
            bound.bind(("127.0.0.1", 0))
            waited = vantle("wait", "--listening", udp.getsockname()[1], bound.getsockname()[1], "--timeout", 0)
            elsewhere = vantle("wait", f"127.0.0.2:{port}", "--timeout", 0)
        assert waited.returncode == 1, waited.stdout
        assert (elsewhere.returncode, elsewhere.stdout) == (0, f"{port} free on 127.0.0.2\n")


class TestWhoAndScan:
    def test_who_names_the_listener(self, server):
        child, port = server
        result = vantle("who", port)
        assert result.returncode == 0
        header, row = result.stdout.splitlines()
        assert header.split() == ["PORT", "PID", "USER", "ADDRESS", "NAME", "COMMAND"]
        user = pwd.getpwuid(os.geteuid()).pw_name
        assert row.split()[:4] == [str(port), str(child.pid), user, f"127.0.0.1:{port}"]
        assert "signal.pause()" in row  # the full command line

    def test_who_over_every_port_names_the_listener(self, server):
        # One read of the socket table and one walk for the whole range.
        child, port = server
        result = vantle("who", "--json", "1-65535", timeout=60)
        records = {record["port"]: record for record in json.loads(result.stdout)}
        assert len(records) == 65535
        assert records[port]["owner"]["pid"] == child.pid

    def test_a_holder_that_does_not_listen_is_named(self):
        with contextlib.closing(socket.socket()) as bound:
            bound.bind(("127.0.0.1", 0))
            port = bound.getsockname()[1]
            who = vantle("who", port)
            checked = vantle("check", port)
        assert who.returncode == 1
        user = pwd.getpwuid(os.geteuid()).pw_name
        assert who.stdout.splitlines()[1].split()[:6] == [str(port), str(os.getpid()), user, f"127.0.0.1:{port}",
                                                          "(tcp", "close)"]
        assert checked.stdout == (f"{port} in use, no listening process found "
                                  f"(vantle who --all {port} names its holders)\n")

    @pytest.mark.parametrize("listing", ["ls", "who"])
    def test_rows_fit_the_terminal(self, listing):
        # An interpreter under a long path, as a virtual environment's: its
        # directories give way to its name and first arguments.
        program = "/opt/" + "a-long-directory/" * 4 + "bin/python3"
        with subprocess.Popen([program, "-c", SERVER], executable=sys.executable, stdout=subprocess.PIPE,
                              text=True) as child:
            terminal, stdout = os.openpty()
            try:
                port = child.stdout.readline().split()[0]
                shown = subprocess.Popen(command(listing, port), stdout=stdout, env={**os.environ, "COLUMNS": "80"})
                os.close(stdout)
                output = read_terminal(terminal).decode()
                assert shown.wait(timeout=30) == 0
            finally:
                child.kill()
                os.close(terminal)
        [row] = [line for line in output.splitlines() if line.startswith(port)]
        assert len(row) <= 80 and row.endswith("...") and " .../python3 -c \\nimport os, " in row, row

    def test_who_marks_free_ports(self):
        free = unused_port()
        result = vantle("who", free)
        assert result.returncode == 1
        assert result.stdout.splitlines()[1].split() == [str(free), "-", "-", "-", "-", "free"]

    def test_scan_range(self, server):
        child, port = server
        low, high = max(1, port - 2), min(65535, port + 2)
        result = vantle("scan", f"{low}-{high}")
        assert result.returncode == 0
        rows = [line.split() for line in result.stdout.splitlines()[1:]]
        assert [str(port), str(child.pid)] in [row[:2] for row in rows]

        every = json.loads(vantle("scan", "--all", "--json", f"{low}-{high}").stdout)
        assert [record["port"] for record in every] == list(range(low, high + 1))

    def test_scan_nothing_listening(self):
        free = unused_port()
        result = vantle("scan", free)
        assert (result.returncode, result.stdout) == (0, "every port is free\n")
        listed = vantle("scan", "--all", free)
        assert listed.stdout.splitlines()[1].split() == [str(free), "-", "-", "-", "-", "free"]


class TestKill:
    def test_kill_frees_the_port(self, server):
        child, port = server
        result = vantle("kill", port)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout == f"{port} freed, was held by {process_name(child.pid)} (pid {child.pid})\n"
        assert child.wait(timeout=10) == 0

    def test_kill_of_two_ports_one_holder(self):
        # The second port is freed by the first one's kill: freed, not already free.
        with subprocess.Popen([sys.executable, "-c", TWO_PORTS], stdout=subprocess.PIPE, text=True) as child:
            try:
                first, second = child.stdout.readline().split()
                name = process_name(child.pid)
                result = vantle("kill", first, second)
            finally:
                child.kill()
        assert (result.returncode, result.stdout.splitlines()) == (0, [
            f"{first} freed, was held by {name} (pid {child.pid})",
            f"{second} freed, was held by {name} (pid {child.pid}), signalled for {first}",
            "2 ports: 2 freed, 0 already free"])

    def test_kill_force_and_free_port(self, server):
        child, port = server
        free = unused_port()
        result = vantle("kill", "--force", port, free)
        assert result.returncode == 0
        # Several ports: a line per port that was held, then the count.
        assert result.stdout == (f"{port} freed, was held by {process_name(child.pid)} (pid {child.pid})\n"
                                 "2 ports: 1 freed, 1 already free\n")
        assert child.wait(timeout=10) == -signal.SIGKILL

    @pytest.mark.parametrize("chosen, sent", [([], "SIGTERM"), (["--signal", "stop"], "SIGSTOP")])
    def test_kill_reports_failure(self, chosen, sent):
        # A listener that ignores SIGTERM keeps its port through the grace
        # period; one stopped keeps it too, and the message names the signal.
        with ListenerChild(ignore_term=True) as holder:
            started = time.monotonic()
            result = vantle("kill", *chosen, holder.port)
            assert (result.returncode, result.stdout) == (1, "")
            port, pid = holder.port, holder.pid
            assert result.stderr == (f"{port} not freed: {process_name(pid)} (pid {pid}) still holds it after "
                                     f"{sent}; to send SIGKILL: vantle kill --force {port}\n")
            assert time.monotonic() - started >= 0.9
            assert holder.process.poll() is None

    @pytest.mark.parametrize("spelling", ["QUIT", "sigquit", "3"])
    def test_kill_signal_stops_a_server_that_ignores_sigterm(self, spelling):
        with subprocess.Popen([sys.executable, "-c", QUIT_STOPS], stdout=subprocess.PIPE, text=True) as server:
            try:
                port = int(server.stdout.readline())
                result = vantle("kill", "--signal", spelling, "--json", port)
                [record] = json.loads(result.stdout)
                assert (result.returncode, record["outcome"], record["signal"]) == (0, "freed", "SIGQUIT")
                assert server.wait(timeout=10) == 3
                assert _lib.is_available(port)
            finally:
                server.kill()

    def test_kill_dry_run_signals_nothing(self):
        # Both holders die of SIGINT (KeyboardInterrupt), as they would of
        # any signal sent by mistake.
        with serving("fork") as (child, port, [worker]):
            free, name, user = unused_port(), process_name(child.pid), pwd.getpwuid(os.geteuid()).pw_name
            result = vantle("kill", "--dry-run", "--signal", "int", port, free)
            with pytest.raises(subprocess.TimeoutExpired):
                child.wait(timeout=0.3)
            os.kill(worker, 0)
        socket_words = [f"127.0.0.1:{port}", "(tcp", "listen)"]
        assert result.returncode == 1, result.stderr  # nothing holds the free port
        assert [line.split()[:7] for line in result.stdout.splitlines()] == [
            ["PORT", "PID", "USER", "SIGNAL", "SOCKETS", "NAME", "COMMAND"],
            [str(port), str(worker), user, "SIGINT", *socket_words],
            [str(port), str(child.pid), user, "SIGINT", *socket_words],
            [str(free), "-", "-", "-", "-", "-", "nothing"],
            ["dry", "run,", "nothing", "signalled:", "SIGINT", "would", "go"]]
        assert result.stdout.splitlines()[1].split()[7:9] == [name, sys.executable]  # the name, then the command

    @pytest.mark.parametrize("grace", [None, 0.3])
    def test_kill_follows_a_successor(self, grace):
        # The holder hands the port to a child it forks on SIGTERM: kill waits
        # out its time on the newcomer, names it, and --grace ends it.
        server = subprocess.Popen([sys.executable, "-c", HANDING_OFF], stdout=subprocess.PIPE, text=True)
        successor = None
        try:
            port = int(server.stdout.readline())
            name = process_name(server.pid)
            started = time.monotonic()
            result = vantle("kill", *(["--grace", grace] if grace else []), "--json", port)
            successor = int(server.stdout.readline())
            [record] = json.loads(result.stdout)
            was, now = f"{name} (pid {server.pid})", f"{name} (pid {successor})"
            if grace is None:
                assert (result.returncode, record["outcome"]) == (1, "still_in_use")
                assert record["message"] == (f"{port} not freed: {now} holds it now, taken over after SIGTERM to "
                                             f"{was}; to send SIGKILL: vantle kill --force {port}")
                assert time.monotonic() - started >= 0.9
            else:
                assert (result.returncode, record["outcome"], record["sigkill"]) == (0, "freed", [successor])
                assert record["message"] == f"{port} freed, was held by {was}, {now}; SIGKILL after 0.3 s: {now}"
        finally:
            if successor is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(successor, signal.SIGKILL)
            server.kill()
            server.wait()
            server.stdout.close()

    def test_kill_leaves_udp_alone_unless_asked(self):
        holder = subprocess.Popen([sys.executable, "-c", UDP_HOLDER], stdout=subprocess.PIPE, text=True)
        try:
            port = int(holder.stdout.readline())
            assert [s["state"] for h in holders(port) for s in h["sockets"]] == ["NONE"]
            for target in (f"127.0.0.2:{port}", port):
                spared = vantle("kill", target)
                assert (spared.returncode, holder.poll()) == (0, None), spared.stdout
            killed = vantle("kill", "--udp", port)
            assert killed.returncode == 0, killed.stderr
            assert killed.stdout == \
                f"{port} freed, was held by {process_name(holder.pid)} (pid {holder.pid}, not listening: udp)\n"
            assert holder.wait(timeout=10) == -signal.SIGTERM
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()

    def test_kill_grace_then_sigkill(self):
        with ListenerChild(ignore_term=True) as holder:
            started = time.monotonic()
            result = vantle("kill", "--grace", 0.5, holder.port)
            assert (result.returncode, result.stderr) == (0, ""), result.stderr
            held_by = f"{process_name(holder.pid)} (pid {holder.pid})"
            assert result.stdout == f"{holder.port} freed, was held by {held_by}; SIGKILL after 0.5 s: {held_by}\n"
            assert time.monotonic() - started >= 0.5
            assert holder.process.wait(timeout=10) == -signal.SIGKILL


class TestJson:
    @pytest.mark.parametrize("args, holder, status, expected", [
        (["check"], None, 0, lambda f: [{"port": f.port, "state": "free", "bindable": True, "owner": None,
                                         "user": None, "uid": None, "addresses": []}]),
        (["check"], "", 1, lambda f: [{"state": "in_use", "bindable": False, "owner": {"pid": f.pid},
                                       "user": f.user, "uid": f.uid, "addresses": [f.address]}]),
        (["who", "--all"], "fork", 0, lambda f: [{"owner": {"pid": f.workers[0]}, "addresses": [f.address], "holders": [
            {"pid": f.workers[0], "user": f.user, "addresses": [f.address]},
            {"pid": f.pid, "user": f.user, "addresses": [f.address]}]}]),
        (["scan"], None, 0, lambda f: []),
        (["scan", "--all"], None, 0, lambda f: [{"port": f.port, "state": "free"}]),
        (["wait", "--timeout", 0], "", 1, lambda f: {"state": "in_use", "owner": {"pid": f.pid}, "waited": float}),
        (["free"], None, 0, lambda f: {"state": "free", "bindable": True}),
        (["kill"], None, 0, lambda f: [{"port": f.port, "outcome": "already_free", "holders": []}]),
        (["kill"], "fork", 0, lambda f: [{"outcome": "freed", "holders": [{"pid": f.workers[0]}, {"pid": f.pid}]}]),
        (["kill", "--dry-run"], "fork", 0, lambda f: [{"outcome": "dry_run", "signal": "SIGTERM", "holders": [
            {"pid": f.workers[0], "signal": "would_signal"}, {"pid": f.pid, "signal": "would_signal"}]}]),
        (["kill", "--dry-run"], None, 1, lambda f: [{"outcome": "already_free", "signal": None, "holders": []}]),
    ])
    def test_states(self, args, holder, status, expected):
        with contextlib.ExitStack() as stack:
            if holder is None:
                facts = SimpleNamespace(port=unused_port())
            else:
                child, port, workers = stack.enter_context(serving(*filter(None, [holder])))
                facts = SimpleNamespace(port=port, pid=child.pid, workers=workers, uid=os.geteuid(),
                                        user=pwd.getpwuid(os.geteuid()).pw_name, address=f"127.0.0.1:{port}")
            ports = [] if args == ["free"] else [facts.port]
            result = vantle(*args, "--json", *ports)
        assert (result.returncode, result.stderr) == (status, ""), result.stderr
        answer = json.loads(result.stdout)
        assert matches(answer, expected(facts)), answer
        records = answer if isinstance(answer, list) else [answer]
        assert all(STATE_KEYS <= set(record) for record in records if "state" in record)


# Loads a completion script, then completes the line given last (as typed,
# the cursor at its end) with `vantle` standing for $PYTHON's module.
COMPLETE = {
    "bash": """
eval "$("$LOADER" -m vantle completion bash)"
vantle() { "$PYTHON" -m vantle "$@"; }
read -ra COMP_WORDS <<< "$1"
[[ $1 == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_vantle
printf '%s\\n' "${COMPREPLY[@]}"
""",
    "fish": """
$LOADER -m vantle completion fish | source
function vantle; $PYTHON -m vantle $argv; end
complete -C "$argv[-1]" | string replace -r '\\t.*' ''
""",
}


def completions(shell, line, python=sys.executable):
    if not shutil.which(shell):
        pytest.skip(f"no {shell} here")
    result = subprocess.run([shell, "-c", COMPLETE[shell], shell, line], capture_output=True, text=True,
                            timeout=60, env={**os.environ, "LOADER": sys.executable, "PYTHON": python})
    assert result.stderr == ""
    return [word for word in result.stdout.splitlines() if word]


class TestCompletion:
    @pytest.mark.parametrize("shell", ["bash", "zsh", "fish"])
    def test_scripts_parse(self, shell):
        if not shutil.which(shell):
            pytest.skip(f"no {shell} here")
        script = vantle("completion", shell)
        assert script.returncode == 0
        subprocess.run([shell, "-n"], input=script.stdout, text=True, check=True, timeout=30)

    @pytest.mark.parametrize("shell", ["bash", "fish"])
    @pytest.mark.parametrize("name", COMMANDS)
    def test_every_option_of_the_command_table(self, shell, name):
        expected = {"--help", *COMMANDS[name].flags, *COMMANDS[name].options}
        assert set(completions(shell, f"vantle {name} --")) == expected

    @pytest.mark.parametrize("shell", ["bash", "fish"])
    @pytest.mark.parametrize("line, expected", [
        ("vantle ", {"check", "free", "wait", "who", "scan", "ls", "kill", "reserve", "completion", "help"}),
        ("vantle completion ", {"bash", "zsh", "fish"}),
        ("vantle who ", {"PORT"}),
        ("vantle kill --json 1,", {"1,PORT"}),
        ("vantle ls [::1]:", {"[::1]:PORT"}),
        ("vantle wait --timeout ", set()),  # a value, not a port
        ("vantle ls --user roo", {"root"}),
        ("vantle reserve --count 2 ech", {"echo"}),
        ("vantle reserve -- ech", {"echo"}),
    ])
    def test_completes(self, shell, line, expected):
        with listening() as (_, port):
            found = set(completions(shell, line.replace("PORT", str(port))))
        expected = {word.replace("PORT", str(port)) for word in expected}
        assert expected <= found if expected else found == set()

    def test_a_failing_vantle_stays_out_of_the_prompt(self):
        assert completions("bash", "vantle who ", python="no-such-python") == []


class TestSignalsAndPipes:
    @pytest.mark.parametrize("args, countdown", [
        (["wait", "{port}", "--timeout", "30"], b"waiting for port {port}: "),
        (["kill", "{port}"], b"freeing port {port}: "),
        # A port that comes up leaves the count.
        (["wait", "--listening", "{port}", "{free}"], b"waiting for 1 of 2 ports: "),
    ])
    def test_ctrl_c_ends_the_wait(self, args, countdown):
        terminal, stderr = os.openpty()
        with ListenerChild(ignore_term=True) as holder:
            facts = {"port": holder.port, "free": unused_port()}
            child = subprocess.Popen(command(*(arg.format(**facts) for arg in args)),
                                     stdout=subprocess.PIPE, stderr=stderr)
            os.close(stderr)
            try:
                # The countdown shows on a terminal once the wait has begun.
                shown = read_terminal(terminal, until=countdown.replace(b"{port}", str(holder.port).encode()))
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                status = child.wait(timeout=30)
                elapsed = time.monotonic() - sent
                shown += read_terminal(terminal)
            finally:
                if child.poll() is None:
                    child.kill()
                child.wait()
                child.stdout.close()
                os.close(terminal)
            # 1, not 130, had kill run to its end: the holder ignores SIGTERM.
            assert status == 130
            assert elapsed < 1  # the main thread takes the signal within a 0.1 s slice
            assert b"Traceback" not in shown
            assert holder.process.poll() is None

    @pytest.mark.parametrize("args", [
        ["scan", "--all", "1-65535"],
        ["scan", "--all", "--json", "1-65535"],
        ["check", "1-65535"],
    ])
    def test_closed_pipe_ends_quietly(self, args):
        # Far more output than a pipe holds, so the writer meets the closed end.
        child = subprocess.Popen(command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdout.readline()
        child.stdout.close()
        stderr = child.stderr.read()
        child.stderr.close()
        # 141 = 128 + SIGPIPE: what a shell shows for a writer ended by a closed pipe.
        assert (child.wait(timeout=60), stderr) == (141, b"")

    def test_a_closed_stdout_does_not_stop_the_work(self, server):
        child, port = server
        closed = ["sh", "-c", 'exec "$@" >&-', "sh"]
        result = subprocess.run([*closed, *command("kill", port)], capture_output=True, text=True, timeout=30)
        assert (result.returncode, child.wait(timeout=10)) == (74, 0), result.stderr
        mistyped = subprocess.run([*closed, *command("lss")], capture_output=True, text=True, timeout=30)
        assert mistyped.returncode == 2

    @pytest.mark.parametrize("args, redirect, reason", [
        (["who", "{port}"], ">&-", "standard output is closed"),
        (["who", "{port}"], ">/dev/full", "No space left on device"),
        (["ls", "--json"], ">/dev/full", "No space left on device"),
        (["--help"], ">/dev/full", "No space left on device"),
    ])
    def test_output_refused(self, args, redirect, reason):
        argv = [arg.format(port=unused_port()) for arg in args]
        result = subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", *command(*argv)],
                                capture_output=True, text=True, timeout=30)
        assert (result.returncode, result.stderr) == (74, f"vantle: cannot write the answer: {reason}\n")


def read_terminal(fd, until=None, timeout=20):
    """What a child wrote to the terminal: until `until` appears, or until it
    is closed; raises after `timeout` seconds of neither."""
    data, deadline = b"", time.monotonic() + timeout
    while until is None or until not in data:
        if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
            raise AssertionError(f"terminal output so far: {data!r}")
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: every writer closed the terminal
            break
        if not chunk:
            break
        data += chunk
    return data


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root and setpriv")
class TestUnprivilegedCaller:
    @pytest.mark.parametrize("args, caps, status, stdout, stderr", [
        (["check", "{low}"], (), 1,
         lambda f: [f"{f.low} free, but only a privileged user may bind it (ports below {f.start})"], ""),
        (["check", "{other}"], (), 1, lambda f: [f"{f.other} " + NOT_VISIBLE.format(OWNER_UID)], ""),
        (["who", "{other}"], (), 1, lambda f: [
            "PORT PID USER ADDRESS NAME COMMAND",
            f"{f.other} - {OWNER_UID} 127.0.0.1:{f.other} - " + NOT_VISIBLE.format(OWNER_UID)], ""),
        (["check", "--json", "{low}", "{other}"], (), 1, lambda f: [
            {"port": f.low, "state": "free", "bindable": False, "owner": None, "user": None},
            {"port": f.other, "state": "in_use", "bindable": False, "owner": None, "user": None,
             "uid": OWNER_UID, "addresses": [f"127.0.0.1:{f.other}"]}], ""),
        (["kill", "{low}"], (), 0,
         lambda f: [f"{f.low} was already free, but only a privileged user may bind it (ports below {f.start})"], ""),
        (["kill", "{other}"], (), 1, lambda f: [],
         lambda f: f"{f.other} not freed: " + NOT_VISIBLE.format(OWNER_UID) + "\n"),
        (["kill", "{other}"], READ_ANY_PROCESS, 1, lambda f: [],
         lambda f: (f"{f.other} not freed: permission denied to signal {f.name} (pid {f.pid}, user {OWNER_UID}); "
                    "run with privileges, e.g. sudo\n")),
        (["kill", "--json", "{other}"], READ_ANY_PROCESS, 1, lambda f: [
            {"port": f.other, "outcome": "permission_denied", "holders": [{"pid": f.pid}], "uid": OWNER_UID}], ""),
        (["kill", "--dry-run", "--json", "{other}"], READ_ANY_PROCESS, 1, lambda f: [
            {"port": f.other, "outcome": "permission_denied", "signal": "SIGTERM",
             "holders": [{"pid": f.pid, "signal": "refused"}]}], ""),
    ])
    def test_sees_what_it_may(self, args, caps, status, stdout, stderr):
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            start = int(f.read())
        low = next((port for port in range(start - 1, 0, -1) if _lib.is_available(port)), None)
        if low is None:
            pytest.skip("no privileged port is free here")
        with ListenerChild(user=OWNER_UID) as other:
            facts = SimpleNamespace(low=low, start=start, other=other.port, pid=other.pid,
                                    name=process_name(other.pid))
            result = vantle(*(arg.format(**vars(facts)) for arg in args),
                            prefix=drop_to(CALLER_UID, caps))
            assert other.process.poll() is None
        assert result.returncode == status, result.stderr
        expected = stdout(facts)
        if "--json" in args:
            assert matches(json.loads(result.stdout), expected)
        else:
            assert [" ".join(line.split()) for line in result.stdout.splitlines()] == expected
        assert result.stderr == (stderr(facts) if callable(stderr) else stderr)


class TestUsage:
    @pytest.mark.parametrize("forms, ports", [
        ([":8080"], [8080]),
        (["8080/tcp"], [8080]),
        (["3000-3002"], [3000, 3001, 3002]),
        (["80,:443", "443/tcp", "80"], [80, 443]),
        (["127.0.0.1:8080", "[::1]:8081,localhost:8082"], [8080, 8081, 8082]),
    ])
    def test_port_forms(self, forms, ports):
        result = vantle("check", "--json", *forms)
        assert [record["port"] for record in json.loads(result.stdout)] == ports

    @pytest.mark.parametrize("args, message", [
        (["check", "0"], "port out of range (1-65535): '0'"),
        (["check", "70000"], "port out of range (1-65535): '70000'"),
        (["check", "http"], "not a port: 'http'; use 8080, :8080, 8080/tcp, 3000-3010"),
        (["check", "53/udp"], "not a port: '53/udp' (only TCP ports are handled)"),
        (["check", "::80"], "not a port: '::80'"),
        (["check", "80:"], "not a port: '80:'"),
        (["scan", "9000-8000"], "range runs backwards: '9000-8000'"),
        (["scan", "80,,81"], "empty item in port list: '80,,81'"),
        (["free", "--preferred", "80-81"], "one port expected: '80-81'"),
        (["who", "example.com:80"], "not an address: 'example.com' in 'example.com:80'"),
        (["check", "127.0.0.2:80"], "'127.0.0.2:80': this command answers for localhost"),
        (["kill", "::1:80"], "an IPv6 address goes in brackets, as in [::1]:8080"),
        (["wait", "80", "--timeout", "-1"], "vantle wait: error: argument --timeout: must be 0 to 2147483647 seconds"),
        (["wait", "80", "--timeout", str(2**64)], "argument --timeout: must be 0 to 2147483647 seconds"),
        (["wait", "80", "--timeout", "nan"], "argument --timeout: must be 0 to 2147483647 seconds: 'nan'"),
        (["kill", "--force", "--grace", "1", "80"], "argument --grace: not allowed with argument --force"),
        (["kill", "--force", "--signal", "HUP", "80"], "argument --signal: not allowed with argument --force"),
        (["kill", "--signal", "TERMINATE", "80"], "argument --signal: not a signal of this system: 'TERMINATE'"),
        (["kill", "--signal", "0", "80"], "argument --signal: signal 0 sends nothing"),
        (["wh", "80"], "invalid choice: 'wh', maybe you meant 'who'?"),
        (["ls", "--jsn"], "vantle ls: error: unrecognized arguments: --jsn, maybe you meant '--json'?"),
        (["wait", "80", "--timout", "3"], "vantle wait: error: unrecognized arguments: --timout 3, maybe you meant "
                                          "'--timeout'?"),
        (["reserve", "--count", "0", "--", "true"], "argument --count: not a count of ports (1-1000): '0'"),
        (["reserve", "--count", "2"], "the following arguments are required: CMD ARG..."),
        (["ls", "--user", "no-such-user"], "vantle ls: error: argument --user: no such user: 'no-such-user'"),
        (["who", "--pid", "1,x", "80"], "vantle who: error: argument --pid: not a process id: 'x'"),
        (["completion"], "one of the arguments SHELL --listening is required"),
        (["completion", "bash", "--listening"], "argument --listening: not allowed with argument SHELL"),
    ])
    def test_usage_errors(self, args, message):
        result = vantle(*args)
        assert result.returncode == 2
        assert message in result.stderr
        assert "Traceback" not in result.stderr

    @pytest.mark.parametrize("argv", [[command, "--help"] for command in ["check", "free", "wait", "who", "scan",
                                                                         "ls", "kill"]] + [["help", "kill"]])
    def test_help(self, argv):
        result = vantle(*argv)
        assert result.returncode == 0
        assert "\nexit status:\n  0    success" in result.stdout
        assert re.search(r"\n  --json +print ", result.stdout)  # what the document holds

    @pytest.mark.parametrize("argv, status", [([], 2), (["help"], 0), (["--help"], 0)])
    def test_no_command_prints_help(self, argv, status):
        result = vantle(*argv)
        assert result.returncode == status
        assert result.stdout.startswith("usage: vantle ") and "\nexit status:\n" in result.stdout

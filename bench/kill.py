"""kill on a listener that exits promptly on SIGTERM, against the idioms
users reach for: `fuser -k -TERM PORT/tcp` then polling a bind until the port
is free, and psutil's net_connections plus Process.terminate() then the same
polling. The idioms poll every 10 ms, finer than kill's 50 ms, in their
favour.

Every run signals a fresh listener started by this benchmark. The listener
writes the monotonic clock when its SIGTERM handler runs, just before it
exits, so each run gives two times: from the call to its return, and from
the owner's exit to the return (how soon the caller learns the port is free).
The floor is os.kill on the known pid and waitpid: the owner's own exit,
with no lookup and no probing."""

import os
import signal
import socket
import statistics
import subprocess
import sys
import time

import psutil

import vantle
from harness import Case, Ratio, print_cases

OWNER = """
import os, signal, socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
def on_term(*_):
    os.write(1, b"%d\\n" % time.monotonic_ns())
    os._exit(0)
signal.signal(signal.SIGTERM, on_term)
print(s.getsockname()[1], flush=True)
while True: time.sleep(60)
"""

IDIOM_POLL_SECONDS = 0.01
EXIT_GOAL_NS = 10e6


def bindable(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            s.listen()
            return True
        except OSError:
            return False


def poll_until_bindable(port, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not bindable(port):
        if time.monotonic() > deadline:
            raise RuntimeError(f"port {port} still in use")
        time.sleep(IDIOM_POLL_SECONDS)


def with_vantle(owner, port):
    assert vantle.kill(port) is True


def with_fuser(owner, port):
    subprocess.run(["fuser", "-k", "-TERM", f"{port}/tcp"], check=True, capture_output=True)
    poll_until_bindable(port)


def with_psutil(owner, port):
    for connection in psutil.net_connections(kind="inet"):
        if connection.laddr and connection.laddr.port == port and connection.pid:
            psutil.Process(connection.pid).terminate()
    poll_until_bindable(port)


def floor(owner, port):
    owner.send_signal(signal.SIGTERM)
    owner.wait()


CONTENDERS = {
    "vantle.kill": with_vantle,
    "fuser -k + bind polling": with_fuser,
    "psutil + bind polling": with_psutil,
    "floor: os.kill(pid) + waitpid": floor,
}


def one_run(release):
    """(call to return, owner's exit to return) in ns, for one fresh owner."""
    owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE)
    try:
        port = int(owner.stdout.readline())
        start = time.monotonic_ns()
        release(owner, port)
        end = time.monotonic_ns()
        exited = int(owner.stdout.readline())
        if owner.wait(timeout=5) != 0:
            raise RuntimeError("the owner did not exit through its SIGTERM handler")
        return end - start, end - exited
    finally:
        if owner.poll() is None:
            owner.kill()
            owner.wait()
        owner.stdout.close()


class ExitGoal:
    """A limit on vantle's own median, in the shape print_cases expects."""

    def line(self, medians):
        value = medians["vantle.kill"]
        verdict = "met" if value <= EXIT_GOAL_NS else "MISSED"
        return (f"goal: vantle.kill returns {value / 1e6:.2f} ms after the owner's exit, "
                f"at most {EXIT_GOAL_NS / 1e6:.0f} ms: {verdict}")


def run(rounds):
    names = list(CONTENDERS)
    totals = {name: [] for name in names}
    after_exit = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            total, late = one_run(CONTENDERS[name])
            totals[name].append(total)
            after_exit[name].append(late)
    medians_total = {name: statistics.median(values) for name, values in totals.items()}
    medians_late = {name: statistics.median(values) for name, values in after_exit.items()}
    print_cases("kill", [
        Case("time from the call to its return (owner exits on SIGTERM)", "vantle.kill", medians_total, [
            Ratio("fuser idiom / vantle", "fuser -k + bind polling", "vantle.kill", at_least=1.0),
            Ratio("psutil idiom / vantle", "psutil + bind polling", "vantle.kill", at_least=1.0),
            Ratio("vantle / floor (lookup, probes and the wait)", "vantle.kill", "floor: os.kill(pid) + waitpid"),
        ]),
        Case("time from the owner's exit to the return", "vantle.kill", medians_late, [ExitGoal()]),
    ], rounds)


if __name__ == "__main__":
    run(int(sys.argv[1]) if len(sys.argv) > 1 else 15)

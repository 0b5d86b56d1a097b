"""How soon a wait for a server notices that it listens, and what the wait
costs meanwhile.

A server process binds a port and calls listen() at a random moment 0-200
ms after the waiter started waiting; it stamps the moment listen() returned
with the monotonic clock, which every process of the machine shares. The
waiter stamps the moment its wait returned. Two waiters take turns, trial
by trial: `vantle.wait_until_listening`, and the loop a harness would write
by hand, connect() every 100 ms until it succeeds. Then the CPU that each
spends waiting 2 s for a port nobody listens on, as a share of one core
(the waiting thread's CPU time, kernel time included).

    python bench/run.py wait_listening
    python bench/run.py wait_listening --trials 400
"""

import random
import socket
import statistics
import subprocess
import sys
import time

import vantle
from vantle import _table

WAIT = "vantle.wait_until_listening"
WAIT_PID = "vantle.wait_until_listening(pid=...)"
CONNECT = "connect() every 100 ms"

# Reads "PORT DELAY" lines: closes the previous listener, binds PORT on
# 127.0.0.1, sleeps DELAY seconds, listens, and prints the monotonic time
# right after listen() returned.
SERVER = r"""
import socket, sys, time
listener = None
for line in sys.stdin:
    port, delay = line.split()
    if listener is not None:
        listener.close()
    listener = socket.socket()
    listener.bind(("127.0.0.1", int(port)))
    time.sleep(float(delay))
    listener.listen()
    print(time.monotonic(), flush=True)
"""


def add_arguments(group):
    group.add_argument("--trials", type=int, default=200, help="trials per waiter (default: 200)")


def connect_loop(port, timeout):
    """The hand-written wait: connect every 100 ms until it works."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.1)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def latencies(server, waiters, trials):
    """Milliseconds from listen() to each waiter's return, trial by trial in
    turn, each trial with a fresh port and a fresh random delay."""
    delays = random.Random(trials)
    results = {name: [] for name in waiters}
    for trial in range(trials):
        for name, wait in waiters.items():
            port = vantle.find_free()
            server.stdin.write(f"{port} {delays.uniform(0, 0.2):.4f}\n")
            server.stdin.flush()
            if not wait(port, 5):
                raise RuntimeError(f"{name} did not see the server on {port}")
            returned = time.monotonic()
            listened = float(server.stdout.readline())
            results[name].append((returned - listened) * 1e3)
    return results


def core_share(wait, seconds=2.0):
    """CPU time of this thread while `wait` waits `seconds` on a port nobody
    listens on, as a percentage of one core."""
    port = vantle.find_free()
    start_cpu, start = time.thread_time(), time.monotonic()
    wait(port, seconds)
    return (time.thread_time() - start_cpu) / (time.monotonic() - start) * 100


def look_cost(port, calls=2000):
    """Microseconds per look: one read of the socket table."""
    start = time.perf_counter()
    for _ in range(calls):
        _table.listening(port)
    return (time.perf_counter() - start) / calls * 1e6


def run(rounds, options=None):
    trials = options.trials if options is not None else 200
    server = subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    # Waits on the server's pidfd between its looks, as a harness that
    # started the server would ask it to.
    with_pid = lambda port, timeout: vantle.wait_until_listening(port, timeout, pid=server.pid)  # noqa: E731
    waiters = {WAIT: vantle.wait_until_listening, WAIT_PID: with_pid, CONNECT: connect_loop}
    try:
        found = latencies(server, waiters, trials)
        cpu = {name: statistics.median(core_share(wait) for _ in range(3)) for name, wait in waiters.items()}
        look = statistics.median(look_cost(vantle.find_free()) for _ in range(5))
    finally:
        server.stdin.close()
        server.wait()

    width = max(map(len, waiters))
    print(f"== wait_listening: {trials} trials per waiter in turn; listen() at a random moment 0-200 ms into the wait")
    print(f"\nfrom listen() to the wait's return, ms; CPU while waiting 2 s (median of 3), % of one core")
    print(f"  {'waiter':<{width}}  {'median':>7}  {'p99':>7}  {'max':>7}  {'CPU':>6}")
    for name, values in found.items():
        print(f"  {name:<{width}}  {statistics.median(values):>7.2f}  {percentile(values, 0.99):>7.2f}  "
              f"{max(values):>7.2f}  {cpu[name]:>5.2f}%")
    print(f"  one look (a read of the socket table, no listener): {look:.1f} us")
    wait_median, wait_p99 = statistics.median(found[WAIT]), percentile(found[WAIT], 0.99)
    for text, value, limit in [("median", wait_median, 5.0), ("99th percentile", wait_p99, 10.0)]:
        print(f"  goal: {WAIT} {text} = {value:.2f} ms, at most {limit:.0f} ms: {'met' if value <= limit else 'MISSED'}")
    for name in (WAIT, WAIT_PID):
        print(f"  goal: {name} CPU while waiting = {cpu[name]:.2f}% of a core, at most 5%: "
              f"{'met' if cpu[name] <= 5 else 'MISSED'}")
    print(f"  note: {CONNECT} median / {WAIT} median = {statistics.median(found[CONNECT]) / wait_median:.1f}")
    print()

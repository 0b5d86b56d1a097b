"""How often a port that a method hands out is taken by someone else before
its user binds it.

Sixteen processes each take a port by one method, again and again: sleep
2 ms (a server starting), bind it on 127.0.0.1 without SO_REUSEADDR and
listen, hold it 3 ms, close it (and release it, for reserve()). Meanwhile a
load process opens and closes about 2,000 outgoing loopback connections a
second, for each of which the system picks a local port itself. Every bind
refused with EADDRINUSE is a collision.

As root, each method runs in a network namespace of its own: the same fresh
port table for every method, and the host's left alone (ephemeral-port-
reserve leaves a TIME_WAIT socket on every port it hands out, thousands a
second). Otherwise all run on the host's network, one after the other.

    python bench/collisions.py                  100,000 takes per method
    python bench/collisions.py --takes 5000     a quick look
    python bench/run.py collisions              as a section of run.py

reserve()'s cost per call is set against find_free()'s in the same run,
interleaved as in the other sections, with no load.
"""

import argparse
import errno
import importlib.util
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import time

from harness import Case, Ratio, interleaved_medians, print_cases, python_batch

WORKERS = 16
DEFAULT_TAKES = 100_000
DEFAULT_LOAD = 2000   # outgoing connections a second
START_DELAY = 0.002   # between taking a port and binding it
HOLD = 0.003          # how long the listener stays open
LOAD_DESTINATIONS = 4  # listeners the load connects to, to spread its port needs
WARM_UP = 2.0         # seconds of load before the takes start
HELD_AT_ONCE = 256    # reservations the cost comparison holds at most


# The methods. Each builds, inside a worker, a function that takes one port
# and returns it with what releases it (None when nothing does).

def take_bind_zero():
    def take():
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1], None
    return take


def take_find_free():
    import vantle
    return lambda: (vantle.find_free(), None)


def take_portpicker():
    os.environ.pop("PORTSERVER_ADDRESS", None)  # without its port server
    import portpicker
    return lambda: (portpicker.pick_unused_port(), None)


def take_ephemeral_port_reserve():
    import ephemeral_port_reserve
    return lambda: (ephemeral_port_reserve.reserve("127.0.0.1"), None)


def take_reserve():
    import vantle

    def take():
        reservation = vantle.reserve()
        return reservation.port, reservation.release
    return take


METHODS = {
    "bind0": ("bind(0) then close", take_bind_zero),
    "find_free": ("vantle.find_free()", take_find_free),
    "portpicker": ("portpicker.pick_unused_port()", take_portpicker),
    "ephemeral": ("ephemeral_port_reserve.reserve()", take_ephemeral_port_reserve),
    "reserve": ("vantle.reserve()", take_reserve),
}


def worker(method, takes):
    """One of the sixteen: says it is ready, waits for the start, then takes
    `takes` ports and prints its counts as JSON."""
    take = METHODS[method][1]()
    counts = {"takes": 0, "eaddrinuse": 0, "take_failed": 0, "other": 0}
    print("ready", flush=True)
    if not sys.stdin.readline():
        return  # the run was called off
    for _ in range(takes):
        try:
            port, release = take()
        except OSError:
            counts["take_failed"] += 1
            continue
        counts["takes"] += 1
        time.sleep(START_DELAY)
        try:
            with socket.socket() as server:
                server.bind(("127.0.0.1", port))
                server.listen()
                time.sleep(HOLD)
        except OSError as error:
            counts["eaddrinuse" if error.errno == errno.EADDRINUSE else "other"] += 1
        if release:
            release()
    print(json.dumps(counts), flush=True)


def load(rate):
    """Opens and closes `rate` outgoing loopback connections a second, the
    client closing first, until its input closes; prints how many it made
    and how many failed."""
    servers = [socket.create_server(("127.0.0.1", 0), backlog=256) for _ in range(LOAD_DESTINATIONS)]
    addresses = [server.getsockname() for server in servers]
    made = failed = 0
    tick = 0.01
    per_tick = max(1, round(rate * tick))
    next_tick = time.monotonic()
    while not select.select([sys.stdin], [], [], 0)[0]:
        for i in range(per_tick):
            try:
                client = socket.create_connection(addresses[i % LOAD_DESTINATIONS])
                accepted, _ = servers[i % LOAD_DESTINATIONS].accept()
                client.close()
                accepted.close()
                made += 1
            except OSError:
                failed += 1
        next_tick += tick
        time.sleep(max(0.0, next_tick - time.monotonic()))
    print(json.dumps({"made": made, "failed": failed}), flush=True)


def script(*args):
    return [sys.executable, os.path.abspath(__file__), *map(str, args)]


def method_run(method, takes, rate):
    """One method's run, in this process's network: the load, then the
    workers, started together. Prints the counts summed, as JSON."""
    load_started = time.monotonic()
    loader = subprocess.Popen(script("load", rate), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    workers = []
    try:
        time.sleep(WARM_UP)
        share = -(-takes // WORKERS)
        workers = [subprocess.Popen(script("worker", method, share), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    text=True) for _ in range(WORKERS)]
        for process in workers:
            if process.stdout.readline().strip() != "ready":
                raise RuntimeError(f"a worker for {method} did not start")
        started = time.monotonic()
        for process in workers:
            process.stdin.write("go\n")
            process.stdin.flush()
        totals = {}
        for process in workers:
            for key, value in json.loads(process.stdout.readline()).items():
                totals[key] = totals.get(key, 0) + value
        elapsed = time.monotonic() - started
    finally:
        # A closed input ends a worker that waits to start, and the load.
        for process in [*workers, loader]:
            process.stdin.close()
        for process in workers:
            process.wait()
    load_counts = json.loads(loader.stdout.readline())
    loader.wait()
    load_seconds = time.monotonic() - load_started
    totals |= {"seconds": elapsed, "load_made": load_counts["made"], "load_failed": load_counts["failed"],
               "load_seconds": load_seconds}
    print(json.dumps(totals), flush=True)


def own_network_prefix(host_network):
    """The command prefix that runs a method in a network namespace of its
    own with its loopback up, or none when that is not possible here."""
    if host_network or os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        return []
    return ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$0" "$@"']


def available(method):
    """None when the method can run here, otherwise the reason why not.
    ephemeral-port-reserve is on PyPI only: it is installed when missing."""
    if method == "ephemeral" and importlib.util.find_spec("ephemeral_port_reserve") is None:
        installed = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "ephemeral-port-reserve"],
                                   capture_output=True, text=True)
        if installed.returncode != 0:
            return "pip could not install ephemeral-port-reserve: " + installed.stderr.strip()[-300:]
    if method == "reserve":
        import vantle
        if not hasattr(vantle, "reserve"):
            return "this vantle has no reserve()"
    return None


def costs(rounds):
    """find_free() and reserve() per call, interleaved, with no load."""
    import vantle

    def reserve_and_release(n):
        start = time.perf_counter_ns()
        for _ in range(n):
            vantle.reserve().release()
        return (time.perf_counter_ns() - start) / n

    def reserve_only(n):
        # Released while the clock stops, every HELD_AT_ONCE ports: each
        # holds a descriptor.
        elapsed = 0
        for chunk in range(0, n, HELD_AT_ONCE):
            start = time.perf_counter_ns()
            held = [vantle.reserve() for _ in range(min(HELD_AT_ONCE, n - chunk))]
            elapsed += time.perf_counter_ns() - start
            for reservation in held:
                reservation.release()
        return elapsed / n

    contenders = {"vantle.find_free()": python_batch(vantle.find_free),
                  "vantle.reserve()": reserve_only,
                  "vantle.reserve() + release()": reserve_and_release}
    medians = interleaved_medians(contenders, rounds)
    print_cases("collisions, cost per call", [Case(
        "a port for the caller, no load", "vantle.find_free()", medians,
        [Ratio("reserve() / find_free()", "vantle.reserve()", "vantle.find_free()", at_most=2.0),
         Ratio("(reserve() + release()) / find_free()", "vantle.reserve() + release()", "vantle.find_free()")])],
        rounds)


def add_arguments(group):
    group.add_argument("--takes", type=int, default=DEFAULT_TAKES,
                       help=f"ports taken per method, by {WORKERS} processes together (default: {DEFAULT_TAKES})")
    group.add_argument("--load", type=int, default=DEFAULT_LOAD,
                       help=f"outgoing loopback connections a second beside the takes (default: {DEFAULT_LOAD})")
    group.add_argument("--methods", default=",".join(METHODS),
                       help="comma-separated, of: " + ", ".join(METHODS) + " (default: all)")
    group.add_argument("--host-network", action="store_true",
                       help="run on the host's network even where a namespace of its own is possible")


def run(rounds, options):
    methods = [name for name in options.methods.split(",") if name]
    unknown = [name for name in methods if name not in METHODS]
    if unknown:
        raise SystemExit("collisions: unknown method: " + ", ".join(unknown))
    prefix = own_network_prefix(options.host_network)
    where = "each method in a network namespace of its own" if prefix else "on the host's network"
    print(f"== collisions: {WORKERS} processes, {options.takes} takes per method, {options.load} loopback "
          f"connections a second beside them, {where}", flush=True)
    results = {}
    for method in methods:
        reason = available(method)
        if reason:
            print(f"  {METHODS[method][0]}: left out, {reason}", flush=True)
            continue
        out = subprocess.run(prefix + script("method", method, options.takes, options.load),
                             stdout=subprocess.PIPE, text=True, check=True)
        results[method] = json.loads(out.stdout.splitlines()[-1])
        print(f"  {METHODS[method][0]}: done in {results[method]['seconds']:.1f} s", flush=True)
    print_collisions(results)
    if "reserve" in methods and "find_free" in methods and "reserve" in results:
        costs(rounds)


def print_collisions(results):
    """A row per method: the ports it handed out, the binds refused with
    EADDRINUSE among them, the takes that got no port at all (the method
    raised) and the binds refused otherwise."""
    width = max([len(METHODS[m][0]) for m in results] + [6])
    print(f"\n  {'method':<{width}}  {'ports':>7}  {'EADDRINUSE':>10}  {'rate':>8}  {'no port':>7}  {'other':>5}  "
          f"{'takes/s':>7}  {'load/s':>6}")
    for method, r in results.items():
        rate = r["eaddrinuse"] / r["takes"] if r["takes"] else 0.0
        print(f"  {METHODS[method][0]:<{width}}  {r['takes']:>7}  {r['eaddrinuse']:>10}  {rate:>8.3%}  "
              f"{r['take_failed']:>7}  {r['other']:>5}  {(r['takes'] + r['take_failed']) / r['seconds']:>7.0f}  "
              f"{r['load_made'] / r['load_seconds']:>6.0f}")
    if "reserve" in results:
        r = results["reserve"]
        clean = r["eaddrinuse"] == 0 and r["other"] == 0 and r["take_failed"] == 0
        print(f"  goal: vantle.reserve() collisions = {r['eaddrinuse']} (no port {r['take_failed']}, other "
              f"{r['other']}), exactly 0: {'met' if clean else 'MISSED'}")
    print()


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "worker":
        return worker(argv[1], int(argv[2]))
    if argv and argv[0] == "load":
        return load(int(argv[1]))
    if argv and argv[0] == "method":
        return method_run(argv[1], int(argv[2]), int(argv[3]))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds of the cost comparison")
    add_arguments(parser)
    options = parser.parse_args(argv)
    run(options.rounds, options)


if __name__ == "__main__":
    main()

"""All six functions called from eight threads at once, on free, busy and
invalid ports: no crash, no deadlock, and each answer the same as the one a
single thread got. And while one thread waits inside wait_until_free or
kill, the others keep running."""

import contextlib
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from cases import ReturnsPort, Stage, build_cases, perform
from conftest import listening, unused_port
from scenarios import ListenerChild, reserved_free_ports
from vantle import _lib

pytestmark = [pytest.mark.threads, pytest.mark.slow]

THREADS = 8
STRESS_SECONDS = 3
JOIN_TIMEOUT = 60
TESTS = os.path.dirname(os.path.abspath(__file__))


def answer(case, call):
    """What a call gave, in a form that can be compared between runs."""
    try:
        result = getattr(_lib, case.function)(*call.args, **call.kwargs)
    except BaseException as error:
        return ("raised", type(error), str(error), getattr(error, "__notes__", None))
    if isinstance(call.outcome, ReturnsPort):
        return ("returned", "a port" if call.outcome.check(result=result) is None else result)
    return ("returned", result)


def run_threads(targets):
    """Runs each target in a thread; returns the names of those still
    running after the time-out (a deadlock, or a call that never returns)."""
    threads = [threading.Thread(target=target, daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    return [thread.name for thread in threads if thread.is_alive()]


def stress():
    """Eight threads cycling through the call table; returns what they saw."""
    with listening() as (_, busy), contextlib.ExitStack() as stack:
        # Each thread probes a reserved free port of its own.
        free_ports = stack.enter_context(reserved_free_ports(THREADS))
        stages = [Stage(free=free, busy=busy, unowned=unused_port()) for free in free_ports]
        for stage in stages:
            stage.pin_orphan()  # one orphaned port for the whole run
        tables = [[case for case in build_cases(stage) if case.kind == "plain"] for stage in stages]

        # The single-threaded answers first.
        expected = []
        for table in tables:
            answers = []
            for case in table:
                with case.call() as call:
                    problem = perform(case.function, call)
                    assert problem is None, f"{case.name}: {problem}"
                    answers.append(answer(case, call))
            expected.append(answers)

        children = [stack.enter_context(ListenerChild()) for _ in range(THREADS)]
        stop = threading.Event()
        mismatches, calls_made, kills = [], [0] * THREADS, [None] * THREADS

        def worker(index):
            kills[index] = _lib.kill(children[index].port)
            table, answers = tables[index], expected[index]
            while not stop.is_set():
                for case, wanted in zip(table, answers):
                    with case.call() as call:
                        got = answer(case, call)
                    calls_made[index] += 1
                    if got != wanted and len(mismatches) < 20:
                        mismatches.append(f"{case.name}: {got} instead of {wanted}")

        timer = threading.Timer(STRESS_SECONDS, stop.set)
        timer.start()
        try:
            stuck = run_threads([lambda i=i: worker(i) for i in range(THREADS)])
        finally:
            timer.cancel()
        statuses = [child.close() for child in children]
    return dict(stuck=stuck, mismatches=mismatches, kills=kills, statuses=statuses, calls=calls_made)


# The stress runs in a network namespace of its own where that is allowed
# (as root): its reserved free ports are probed some hundred thousand times,
# and on a shared machine any other process that probes or binds random
# ports could otherwise take one of them for a moment.
STRESS = f"""
import json, sys
sys.path.insert(0, {TESTS!r})
import test_threads
print(json.dumps(test_threads.stress()))
"""


def test_eight_threads_agree_with_one():
    command = [sys.executable, "-c", STRESS]
    if os.geteuid() == 0:
        command = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$0" "$@"'] + command
    run = subprocess.run(command, capture_output=True, text=True, timeout=JOIN_TIMEOUT * 2)
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout)
    assert not seen["stuck"], f"threads still running after {JOIN_TIMEOUT} s"
    assert not seen["mismatches"]
    assert seen["kills"] == [True] * THREADS
    assert seen["statuses"] == [-15] * THREADS  # each child ended by the SIGTERM it was sent
    assert all(count > 0 for count in seen["calls"]), seen["calls"]


def test_threads_probing_one_free_port_all_find_it_free():
    # Each probe holds the port for a moment; probes of one port inside the
    # process take turns, so none of them sees another's listener.
    with reserved_free_ports(1) as (port,):
        answers = [[] for _ in range(4)]

        def worker(index):
            answers[index] = [_lib.wait_until_free(port, 0) for _ in range(2000)]

        assert not run_threads([lambda i=i: worker(i) for i in range(4)])
    assert [run.count(True) for run in answers] == [2000] * 4


def progress_during(blocking_call, margin):
    """Runs blocking_call in one thread while another calls is_available in a
    loop; returns (its result, number of calls the other thread completed
    well inside the blocking call: more than `margin` seconds after it
    started and before it ended)."""
    finish_times, bounds, results = [], [], []
    done = threading.Event()

    def blocking():
        start = time.monotonic()
        try:
            results.append(blocking_call())
        except BaseException as error:
            results.append(error)
        bounds.extend([start, time.monotonic()])
        done.set()

    def other():
        while not done.is_set():
            _lib.is_available(port)
            finish_times.append(time.monotonic())

    with reserved_free_ports(1) as (port,):
        assert not run_threads([blocking, other])
    start, end = bounds
    return results[0], sum(1 for t in finish_times if start + margin < t < end - margin)


def test_other_threads_run_while_one_waits_in_wait_until_free():
    with listening() as (_, busy):
        result, progress = progress_during(lambda: _lib.wait_until_free(busy, 2), margin=0.5)
    assert result is False
    # Had the wait kept the interpreter lock, nothing could finish in between.
    assert progress > 0


def test_other_threads_run_while_one_waits_in_kill():
    with ListenerChild(ignore_term=True) as child:
        result, progress = progress_during(lambda: _lib.kill(child.port), margin=0.3)
        alive = child.process.poll() is None
    assert isinstance(result, OSError) and str(result) == (
        f"Could not free port {child.port}: no matching process was found or it did not exit")
    assert alive  # it ignored SIGTERM and was not sent anything stronger
    assert progress > 0


def test_other_threads_run_while_one_scans():
    # scan probes every port and walks the process table without the lock.
    result, progress = progress_during(lambda: _lib.scan(range(1, 65536)), margin=0.05)
    assert len(result) == 65535
    assert progress > 0


FORK_DURING_PROBES = """
import os, socket, threading, time, warnings
from vantle import _lib
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
stop = threading.Event()

def scanning():
    while not stop.is_set():
        _lib.scan(range(20000, 24000))

threading.Thread(target=scanning, daemon=True).start()
children = []
for _ in range(20):
    time.sleep(0.005)
    pid = os.fork()
    if pid == 0:
        # This program opens no listener: any the child has is a probe's.
        inherited = 0
        for name in os.listdir("/proc/self/fd"):
            try:
                with socket.socket(fileno=os.dup(int(name))) as held:
                    inherited += held.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN)
            except OSError:
                pass
        for port in range(30000, 30064):  # one port in each turn of the probe
            _lib.is_available(port)
        os._exit(3 if inherited else 0)
    children.append(pid)
deadline = time.monotonic() + 20
hung = with_listeners = 0
for pid in children:
    while (reaped := os.waitpid(pid, os.WNOHANG)) == (0, 0):
        if time.monotonic() > deadline:
            hung += 1
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            break
        time.sleep(0.01)
    with_listeners += reaped[1] == 3 << 8
stop.set()
print(hung, with_listeners)
"""


def test_children_forked_while_other_threads_probe_can_probe():
    # A probe turn held by another thread at the fork must not stay taken in
    # the child, nor may the child inherit a listener of a probe under way.
    result = subprocess.run([sys.executable, "-c", FORK_DURING_PROBES], capture_output=True, text=True,
                            timeout=JOIN_TIMEOUT)
    assert result.stdout.split() == ["0", "0"], result.stderr


def test_many_kills_at_once():
    """Several threads freeing ports at the same moment, each its own."""
    children = [ListenerChild() for _ in range(THREADS)]
    results = [None] * THREADS
    try:
        barrier = threading.Barrier(THREADS)

        def worker(index):
            barrier.wait()
            results[index] = _lib.kill(children[index].port, force=bool(index % 2))

        stuck = run_threads([lambda i=i: worker(i) for i in range(THREADS)])
    finally:
        statuses = [child.close() for child in children]
    assert not stuck
    assert results == [True] * THREADS
    assert statuses == [-9 if i % 2 else -15 for i in range(THREADS)]

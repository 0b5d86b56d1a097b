"""wait_until_listening and the coroutines of vantle.aio, against real
servers in child processes. The argument rules are rows of tests/cases.py.

Times are bounded loosely: the machine running the tests may be busy.
"""

import asyncio
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import vantle
import vantle.aio
from cases import build_cases, staged
from conftest import unused_port
from scenarios import ListenerChild

# Binds HOST:PORT at once, then after DELAY seconds listens there (or, with
# "crash", exits with status 3 without listening); "ready" on stdout once bound.
SERVER = r"""
import socket, sys, time
host, port, delay, then = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
s.bind((host, port))
print("ready", flush=True)
time.sleep(delay)
if then == "crash":
    sys.exit(3)
s.listen()
time.sleep(60)
"""


def start_server(host, port, delay, then="listen"):
    server = subprocess.Popen([sys.executable, "-I", "-S", "-c", SERVER, host, str(port), str(delay), then],
                              stdout=subprocess.PIPE, text=True)
    assert server.stdout.readline() == "ready\n"
    return server


def stop(server):
    server.kill()
    server.stdout.close()
    return server.wait()


def timed(call):
    start = time.monotonic()
    answer = call()
    return answer, time.monotonic() - start


class TestWaitUntilListening:
    # The server binds at once and listens only after 0.3 s: the bound socket
    # must not count, the listener must, where it covers the address asked for.
    @pytest.mark.parametrize("host, address, seen", [
        ("127.0.0.2", None, True),
        ("127.0.0.2", "127.0.0.2", True),
        ("127.0.0.2", "localhost", False),
        ("0.0.0.0", "127.0.0.1", True),
        ("127.0.0.1", "[::1]", False),
    ])
    def test_sees_the_listener_that_covers_the_address(self, host, address, seen):
        port = unused_port()
        server = start_server(host, port, 0.3)
        try:
            answer, elapsed = timed(lambda: vantle.wait_until_listening(port, 1.5 if seen else 1.0, address,
                                                                        pid=server.pid))
        finally:
            stop(server)
        assert answer is seen
        if seen:
            assert 0.3 <= elapsed < 1.3
        else:
            assert 1.0 <= elapsed < 3.0

    @pytest.mark.parametrize("end", ["exits while waited for", "zombie", "reaped"])
    def test_false_at_once_when_the_server_has_exited(self, end):
        port = unused_port()
        server = start_server("127.0.0.1", port, 0.3 if end == "exits while waited for" else 0, "crash")
        if end == "zombie":
            os.waitid(os.P_PID, server.pid, os.WEXITED | os.WNOWAIT)  # exited, not yet reaped
        elif end == "reaped":
            server.wait()
        try:
            answer, elapsed = timed(lambda: vantle.wait_until_listening(port, timeout=30, pid=server.pid))
        finally:
            status = stop(server)
        assert answer is False
        assert status == 3
        assert elapsed < (1.5 if end == "exits while waited for" else 1.0)

    @pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(), reason="needs the interpreter lock")
    def test_bind_tests_of_this_process_are_not_listeners(self):
        # Another thread tests the port over and over. Each test holds a
        # listener for some microseconds with the interpreter lock held, so a
        # read that finds one is followed, once the lock is back, by a read
        # that no longer does.
        port = unused_port()
        stop = threading.Event()
        prober = threading.Thread(target=lambda: [vantle.is_available(port) for _ in iter(stop.is_set, True)])
        prober.start()
        try:
            answer = vantle.wait_until_listening(port, timeout=1.0)
        finally:
            stop.set()
            prober.join()
        assert answer is False

    def test_ctrl_c_ends_the_wait(self):
        waiter = subprocess.Popen(
            [sys.executable, "-c", f"import vantle\nprint('waiting', flush=True)\nvantle.wait_until_listening("
                                   f"{unused_port()}, timeout=30)"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert waiter.stdout.readline() == "waiting\n"
        time.sleep(0.2)
        start = time.monotonic()
        waiter.send_signal(signal.SIGINT)
        _, errors = waiter.communicate(timeout=30)
        assert waiter.returncode != 0
        assert "KeyboardInterrupt" in errors
        assert time.monotonic() - start < 1.0


class TestCoroutines:
    def test_the_coroutines_answer_as_the_blocking_functions(self):
        """Every call of the table to kill and wait_until_free, made to the
        coroutine: the same result or the same exception (type, message,
        notes). Left out: a time-out the native clock cannot hold (a panic
        there, a wait for ever here) and a full descriptor table (the event
        loop needs descriptors of its own)."""
        twins = {"kill": vantle.aio.kill, "wait_until_free": vantle.aio.wait_until_free}
        problems = []
        with staged() as stage:
            cases = [case for case in build_cases(stage) if case.function in twins and case.kind != "process"
                     and "deadline overflow" not in case.name]
            assert len(cases) > 40
            for case in cases:
                with case.call() as call:
                    # The worker thread kill signals from is made in this
                    # thread and takes its capabilities along.
                    with call.during():
                        try:
                            result = asyncio.run(twins[case.function](*call.args, **call.kwargs))
                        except Exception as error:
                            problem = call.outcome.check(error=error)
                        else:
                            problem = call.outcome.check(result=result)
                if problem is not None:
                    problems.append(f"{case.name}: {problem}")
        assert not problems

    def test_waits_leave_the_loop_free_and_end_when_cancelled(self):
        async def scenario(free, busy, stubborn):
            ticks = 0

            async def tick():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            ticker = asyncio.create_task(tick())
            waits = [asyncio.create_task(vantle.aio.wait_until_listening(free, 30)),
                     asyncio.create_task(vantle.aio.wait_until_free(busy, 30)),
                     asyncio.create_task(vantle.aio.kill(stubborn))]
            await asyncio.sleep(0.5)
            ticked = ticks
            start = time.monotonic()
            for wait in waits:
                wait.cancel()
            ended = await asyncio.gather(*waits, return_exceptions=True)
            ticker.cancel()
            return ticked, [type(outcome) for outcome in ended], time.monotonic() - start

        with ListenerChild() as busy, ListenerChild(ignore_term=True) as stubborn:
            ticked, ended, cancelling = asyncio.run(scenario(unused_port(), busy.port, stubborn.port))
        # Ticks every 10 ms for 0.5 s: about 50 on an idle machine; a loop that
        # one of the waits blocked would barely tick at all.
        assert ticked >= 20
        assert ended == [asyncio.CancelledError] * 3
        assert cancelling < 0.2

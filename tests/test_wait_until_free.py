"""wait_until_free: polls the bind test until the port is free or the time-out passes.

Times are bounded loosely: the machine running the tests may be busy.
"""

import threading
import time

import pytest

import vantle
from conftest import listening, run_python

# Shorter than one poll interval: a call that returns within it did not sleep.
NO_SLEEP = 0.09


def fastest_of_three(call):
    """The shortest of three runs and the answers, so one stall cannot fail a test."""
    answers, times = [], []
    for _ in range(3):
        start = time.monotonic()
        answers.append(call())
        times.append(time.monotonic() - start)
    return answers, min(times)


def timed(call):
    start = time.monotonic()
    answer = call()
    return answer, time.monotonic() - start


class TestAnswers:
    @pytest.mark.parametrize("timeout", [30, 0])
    def test_free_port_is_true_without_sleeping(self, port, timeout):
        # With no time at all, the one probe after the deadline still answers.
        answers, elapsed = fastest_of_three(lambda: vantle.wait_until_free(port, timeout))
        assert answers == [True] * 3
        assert elapsed < NO_SLEEP

    def test_zero_timeout_on_busy_port_is_false_without_sleeping(self):
        with listening() as (_, busy):
            answers, elapsed = fastest_of_three(lambda: vantle.wait_until_free(busy, timeout=0))
        assert answers == [False] * 3
        assert elapsed < NO_SLEEP

    @pytest.mark.parametrize("timeout", [0, 30, 2**64 - 1])
    def test_port_zero_is_false_at_once(self, timeout):
        # Port 0 is answered before the deadline is computed, so even a
        # time-out that cannot be added to the clock is not an error.
        answers, elapsed = fastest_of_three(lambda: vantle.wait_until_free(0, timeout=timeout))
        assert answers == [False] * 3
        assert elapsed < NO_SLEEP

    def test_port_released_half_way_is_true_soon_after(self):
        with listening() as (listener, busy):
            released = []

            def release():
                time.sleep(0.5)
                listener.close()
                released.append(time.monotonic())

            closer = threading.Thread(target=release)
            start = time.monotonic()
            closer.start()
            answer = vantle.wait_until_free(busy, timeout=10)
            end = time.monotonic()
            closer.join()
        assert answer is True
        assert end - start >= 0.5
        assert end - released[0] < 1.0

    @pytest.mark.parametrize("timeout", [1, True], ids=["one", "True"])
    def test_port_that_stays_busy_is_false_after_the_timeout(self, timeout):
        with listening() as (_, busy):
            answer, elapsed = timed(lambda: vantle.wait_until_free(busy, timeout))
        assert answer is False
        assert 1.0 <= elapsed < 5.0

    def test_signals_during_the_wait_do_not_cut_it_short(self):
        # A timer fires every 10 ms: each sleep is interrupted many times and
        # must go on for its remainder. Run in a child so a sleep that started
        # over from scratch each time (and never ended) cannot hang the suite.
        result = run_python(
            """
            import signal, socket, time
            import vantle

            fired = 0
            def count(signum, frame):
                global fired
                fired += 1

            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            listener.listen()
            signal.signal(signal.SIGALRM, count)
            signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
            start = time.monotonic()
            answer = vantle.wait_until_free(listener.getsockname()[1], timeout=1)
            elapsed = time.monotonic() - start
            signal.setitimer(signal.ITIMER_REAL, 0)
            print(answer, elapsed, fired)
            """,
            timeout=30,
        )
        answer, elapsed, fired = result.stdout.split()
        assert answer == "False"
        assert 1.0 <= float(elapsed) < 5.0
        assert int(fired) > 0


class Index:
    def __index__(self):
        return 1


class TestArguments:
    def test_object_with_index_is_a_timeout(self, port):
        assert vantle.wait_until_free(port, Index()) is True

    @pytest.mark.parametrize(
        "port, timeout, error, note",
        [
            (0, -1, OverflowError, "timeout"),
            (1, 2**64, OverflowError, "timeout"),
            (1, 1.5, TypeError, "timeout"),
            (1, None, TypeError, "timeout"),
            (1, "1", TypeError, "timeout"),
            (-1, None, OverflowError, "port"),
            (65536, 1, OverflowError, "port"),
        ],
    )
    def test_conversion_failure_names_the_argument(self, port, timeout, error, note):
        with pytest.raises(error) as caught:
            vantle.wait_until_free(port, timeout=timeout)
        assert type(caught.value) is error
        assert caught.value.__notes__ == [f"while processing '{note}'"]

    @pytest.mark.parametrize("timeout", [2**64 - 1, 2**63])
    def test_deadline_beyond_the_clock_panics_without_waiting(self, timeout):
        with listening() as (_, busy):
            start = time.monotonic()
            try:
                vantle.wait_until_free(busy, timeout=timeout)
            except Exception:
                pytest.fail("an internal failure must not be caught by 'except Exception'")
            except BaseException as e:
                caught = e
            else:
                pytest.fail("no exception raised")
            elapsed = time.monotonic() - start
        assert type(caught).__name__ == "PanicException"
        assert not isinstance(caught, Exception)
        assert str(caught) == "overflow when adding duration to instant"
        assert elapsed < 1.0


class TestInterpreterLock:
    def test_other_threads_run_and_probe_during_the_wait(self):
        with listening() as (_, busy):
            stamps, answers = [], []
            done = threading.Event()

            def work():
                while not done.is_set():
                    stamps.append(time.monotonic())
                    answers.append(vantle.is_available(busy))
                    time.sleep(0.005)

            worker = threading.Thread(target=work)
            worker.start()
            start = time.monotonic()
            answer = vantle.wait_until_free(busy, timeout=1)
            end = time.monotonic()
            done.set()
            worker.join()
        assert answer is False
        # Stamps well inside the wait can only come from a thread that got
        # the lock while the wait held none.
        inside = [t for t in stamps if start + 0.2 < t < end - 0.2]
        assert len(inside) >= 10
        assert set(answers) == {False}

    def test_waits_on_several_threads_overlap(self):
        with listening() as (_, busy):
            answers = []
            threads = [threading.Thread(target=lambda: answers.append(vantle.wait_until_free(busy, 1)))
                       for _ in range(3)]
            start = time.monotonic()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            elapsed = time.monotonic() - start
        assert answers == [False] * 3
        # One after another they would take at least 3 s.
        assert 1.0 <= elapsed < 2.5

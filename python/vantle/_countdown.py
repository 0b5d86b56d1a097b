"""The countdown a wait shows on a terminal, and the poll that drives it."""

import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator

# How often a wait looks again: the bound on how late a change is seen, and
# the refresh of the countdown. Ctrl-C interrupts the sleep at once.
POLL = 0.1


class Countdown:
    """A one-line countdown on stderr, drawn only when stderr is a terminal."""

    def __init__(self, label: str, seconds: float) -> None:
        self.label, self.seconds = label, seconds
        self.drawn = sys.stderr is not None and sys.stderr.isatty()
        self.shown = ""

    def update(self, elapsed: float) -> None:
        if not self.drawn:
            return
        text = f"{self.label}: {max(0.0, self.seconds - elapsed):.1f} s left"
        if text != self.shown:
            sys.stderr.write(f"\r{text}\x1b[K")
            sys.stderr.flush()
            self.shown = text

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = ""


def poll_until(done: "Callable[[], bool]", seconds: float, countdown: Countdown,
               interval: "float | Iterator[float]" = POLL) -> bool:
    """Asks `done` until it answers True or `seconds` have passed, every
    `interval` (or after each pause it yields in turn); one last time after
    the deadline, so that what happened in the last interval still counts.
    Runs on the main thread: the sleep is where Ctrl-C ends the command."""
    started = time.monotonic()
    try:
        while True:
            if done():
                return True
            elapsed = time.monotonic() - started
            if elapsed >= seconds:
                return False
            countdown.update(elapsed)
            pause = interval if isinstance(interval, float) else next(interval)
            time.sleep(min(pause, seconds - elapsed))
    finally:
        countdown.clear()

"""`vantle reserve -- CMD ARG...`: runs CMD with a reserved port, holding the
reservation until CMD exits, for the shell steps of CI jobs."""

import os

from ._reserve import reserve
from ._arguments import Arguments
from ._output import EXIT_NEGATIVE, EXIT_USAGE, complain

TYPE_CHECKING = False
if TYPE_CHECKING:
    import signal
    from types import FrameType
else:
    # The same functions and numbers, without the enum classes that signal
    # builds on import, a good share of the command's start-up.
    import _signal as signal

# What a shell answers when CMD cannot be started, and 128+S when signal S
# ended it.
EXIT_NOT_STARTED = 127
EXIT_SIGNALLED = 128

# Signals that the terminal sends to the whole foreground process group:
# CMD has its own, so vantle only waits for CMD's end. Those that come to
# vantle alone (a CI runner's SIGTERM, a hang-up) are passed on to CMD.
WAITED_OUT = (signal.SIGINT, signal.SIGQUIT)
PASSED_ON = (signal.SIGTERM, signal.SIGHUP)
# Python ignores these; CMD starts with the system's default for them, as it
# would from a shell.
DEFAULT_IN_CHILD = (signal.SIGPIPE, signal.SIGXFSZ)


def command_reserve(args: Arguments) -> int:
    argv = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
    if not argv:
        complain("reserve: no command to run: vantle reserve [--count N] -- CMD ARG...")
        return EXIT_USAGE
    try:
        reservation = reserve(count=args.count)
    except OSError as error:
        complain(str(error))
        return EXIT_NEGATIVE
    with reservation as port:
        argv = [argument.replace("{port}", str(port)) for argument in argv]
        return run(argv, dict(os.environ, PORT=str(port)))


def run(argv: "list[str]", env: "dict[str, str]") -> int:
    """Runs argv to its end: its exit status, as a shell gives it."""
    child = 0

    def pass_on(signum: int, frame: "FrameType | None") -> None:
        if child:
            os.kill(child, signum)

    def wait_out(signum: int, frame: "FrameType | None") -> None:
        pass

    previous = {number: signal.signal(number, pass_on) for number in PASSED_ON}
    previous |= {number: signal.signal(number, wait_out) for number in WAITED_OUT}
    try:
        try:
            child = os.posix_spawnp(argv[0], argv, env, setsigdef=DEFAULT_IN_CHILD)
        except OSError as error:
            complain(f"cannot run {argv[0]!r}: {error.strerror or error}")
            return EXIT_NOT_STARTED
        # A signal handled meanwhile interrupts the wait, which Python resumes.
        _, status = os.waitpid(child, 0)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    code = os.waitstatus_to_exitcode(status)
    return code if code >= 0 else EXIT_SIGNALLED - code

"""The `vantle` command: the package's functions for the shell.

Start-up is most of what a command costs, so this module imports little:
the common command lines are read by hand (see quick_parse), and argparse
is loaded only for help, usage errors and the forms the hand-written reader
leaves to it. Each command imports what it needs when it runs.
"""

import os
import sys

from ._ports import PortError, Targets, joined, localhost_targets, one_port, port_targets

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

EXIT_OK, EXIT_NEGATIVE, EXIT_USAGE = 0, 1, 2
EXIT_OUTPUT = 74  # EX_IOERR of sysexits.h: the answer could not be written
EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 130, 141

# The longest wait taken (68 years): far below what the clock can hold.
MAX_TIMEOUT = 2**31 - 1


class Arguments:
    """A parsed command line, whichever reader made it; the class attributes
    are the defaults (argparse keeps an attribute the namespace already has)."""

    command = ""
    ports: "list[Targets]" = []
    json = False
    all = False
    wide = False
    force = False
    listening = False
    timeout = 30.0
    grace: float | None = None
    preferred: int | None = None
    count = 1
    # The command `reserve` runs, with its arguments.
    argv: "list[str]" = []

    @property
    def targets(self) -> Targets:
        return joined(self.ports)


def seconds(text: str) -> float:
    """A time-out or grace period: seconds, a fraction allowed ('1.5')."""
    try:
        value = float(text)
    except ValueError:
        raise PortError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= MAX_TIMEOUT:  # also refuses nan
        raise PortError(f"must be 0 to {MAX_TIMEOUT} seconds: {text!r}")
    return value


# The most ports one reservation takes.
MAX_COUNT = 1000


def count(text: str) -> int:
    """How many consecutive ports to reserve: 1 to MAX_COUNT."""
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= MAX_COUNT:
        raise PortError(f"not a count of ports (1-{MAX_COUNT}): {text!r}")
    return int(text)


class Command:
    """What quick_parse needs to know of a command: its flags, its options
    with a value and their readers, whether it takes ports ('+': one or
    more, '*': any, '': none) and their reader, and whether it runs a
    command given after its options. The argparse parser says the same at
    length."""

    def __init__(self, flags: "Sequence[str]", options: "dict[str, Callable[[str], object]]", ports: str,
                 read_ports: "Callable[[str], Targets]" = port_targets, runs: bool = False) -> None:
        self.flags, self.options, self.ports, self.read_ports = flags, options, ports, read_ports
        self.runs = runs


COMMANDS = {
    "check": Command(["--json"], {}, "+", localhost_targets),
    "free": Command(["--json"], {"--preferred": one_port}, ""),
    "wait": Command(["--json", "--listening"], {"--timeout": seconds}, "+"),
    "who": Command(["--json", "--all"], {}, "+"),
    "scan": Command(["--json", "--all"], {}, "+", localhost_targets),
    "ls": Command(["--json", "--wide"], {}, "*"),
    "kill": Command(["--json", "--force"], {"--grace": seconds}, "+"),
    "reserve": Command([], {"--count": count}, "", runs=True),
}


def quick_parse(argv: "Sequence[str]") -> Arguments | None:
    """The command line read without argparse, or None for anything that is
    not plainly right (help, a mistake, an abbreviation, '--'): argparse then
    reads it, and words its help and errors."""
    if not argv or argv[0] not in COMMANDS:
        return None
    command = COMMANDS[argv[0]]
    args = Arguments()
    args.command = argv[0]
    ports: list[Targets] = []
    tokens = iter(argv[1:])
    try:
        for token in tokens:
            if command.runs and (token == "--" or not token.startswith("-")):
                args.argv = [token] * (token != "--") + list(tokens)
                break
            if not token.startswith("-"):
                ports.append(command.read_ports(token))
                continue
            name, equals, value = token.partition("=")
            if name in command.flags and not equals:
                setattr(args, name[2:], True)
            elif name in command.options:
                value = value if equals else next(tokens, "-")
                if value.startswith("-"):
                    return None
                setattr(args, name[2:], command.options[name](value))
            else:
                return None
    except PortError:
        return None
    if (command.ports == "+" and not ports) or (not command.ports and ports) or (args.force and args.grace is not None):
        return None
    if command.runs and not args.argv:
        return None
    args.ports = ports
    return args


def write(text: str) -> None:
    """Writes to stdout; a failure to write ends the command (see main)."""
    try:
        sys.stdout.write(text)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error) from None


class OutputError(Exception):
    """stdout refused the answer (a full disk, /dev/full, an I/O error)."""


def warn(line: str) -> None:
    """One line on stderr, when there is a stderr that takes it."""
    try:
        if sys.stderr is not None:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()
    except OSError:
        pass


def complain(message: str) -> None:
    warn(f"vantle: {message}")


def silence(*streams: object) -> None:
    """Points the streams at /dev/null, so that nothing more is written to a
    closed pipe or a full device, not even by the flush at interpreter exit."""
    devnull = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    for stream in streams:
        if stream is not None:
            os.dup2(devnull, stream.fileno())  # type: ignore[attr-defined]
    os.close(devnull)


def full_parse(argv: "Sequence[str]") -> Arguments:
    """argparse's reading: help and usage errors end here with SystemExit."""
    from ._parser import build_parser
    parser = build_parser()
    if not argv:
        parser.print_help()
        raise SystemExit(EXIT_USAGE)
    return parser.parse_args(argv, namespace=Arguments())


def flushed(status: int) -> int:
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error) from None
    return status


def main(argv: "Sequence[str] | None" = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if sys.stdout is None:  # started with stdout closed (>&-): no answer could be given
        complain("cannot write the answer: standard output is closed")
        return EXIT_OUTPUT
    try:
        try:
            args = quick_parse(arguments) or full_parse(arguments)
        except SystemExit as done:  # help, or a usage error argparse has reported
            return flushed(done.code if isinstance(done.code, int) else EXIT_USAGE)
        from ._commands import run
        return flushed(run(args))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        silence(sys.stdout, sys.stderr)
        return EXIT_BROKEN_PIPE
    except OutputError as failure:
        error: OSError = failure.args[0]
        silence(sys.stdout)
        complain(f"cannot write the answer: {error.strerror or error}")
        return EXIT_OUTPUT


if __name__ == "__main__":
    sys.exit(main())

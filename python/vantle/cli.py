"""The `vantle` command: the package's functions for the shell.

Start-up is most of what a command costs, so this module imports little:
the common command lines are read by hand (see quick_parse), the top-level
help is written out (see _help), and argparse is loaded only for a
command's help, usage errors and the forms the hand-written reader leaves
to it. Each command imports what it needs when it runs.
"""

import sys

from ._arguments import COMMANDS, Arguments
from ._output import (EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_OK, EXIT_OUTPUT, EXIT_USAGE, ClosedOutput,
                      OutputError, complain, flushed, silence, write)
from ._ports import PortError, Targets

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence


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
            if not token.startswith("-") and command.words:
                if token not in command.words or args.word:
                    return None
                args.word = token
                continue
            if not token.startswith("-"):
                ports.append(command.read_ports(token))
                continue
            name, equals, value = token.partition("=")
            attribute = name[2:].replace("-", "_")
            if name in command.flags and not equals:
                setattr(args, attribute, True)
            elif name in command.options:
                value = value if equals else next(tokens, "-")
                if value.startswith("-"):
                    return None
                setattr(args, attribute, command.options[name](value))
            else:
                return None
    except PortError:
        return None
    if (command.ports == "+" and not ports) or (not command.ports and ports):
        return None
    if args.force and (args.grace is not None or args.signal is not None):
        return None
    if command.runs and not args.argv:
        return None
    if command.words and bool(args.word) == args.listening:  # completion: a shell, or --listening
        return None
    args.ports = ports
    return args


def full_parse(argv: "Sequence[str]") -> Arguments:
    """argparse's reading (see _parser), but for the top-level help: written
    out in _help, it is printed without argparse."""
    if not argv or argv[0] in ("-h", "--help") or argv == ["help"]:
        from ._help import TOP_HELP
        write(TOP_HELP)
        raise SystemExit(EXIT_OK if argv else EXIT_USAGE)
    from ._parser import parse
    return parse(list(argv))


def run(args: Arguments) -> int:
    """Runs the command: each is imported only when it runs."""
    if args.command == "kill":
        from ._kill import command_kill
        return command_kill(args)
    if args.command == "reserve":
        from ._reserve_command import command_reserve
        return command_reserve(args)
    if args.command == "completion":
        from ._completion import command_completion
        return command_completion(args)
    from ._commands import HANDLERS
    return HANDLERS[args.command](args)


def main(argv: "Sequence[str] | None" = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if sys.stdout is None:
        sys.stdout = ClosedOutput()  # only write, flush and isatty are used
    try:
        try:
            args = quick_parse(arguments) or full_parse(arguments)
        except SystemExit as done:  # help, or a usage error argparse has reported
            return flushed(done.code if isinstance(done.code, int) else EXIT_USAGE)
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

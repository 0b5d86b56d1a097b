"""The command line as argparse knows it: help for every argument, usage
errors, typo suggestions. Loaded only when the command line needs more than
cli.quick_parse reads, so that the common commands do without argparse."""

import argparse
from collections.abc import Callable

from . import _lib
from ._arguments import COMMANDS, MAX_COUNT, MAX_TIMEOUT, Arguments, count, names, pids, seconds, signal_number, users
from ._ports import PortError, localhost_targets, one_port, port_targets
from ._help import DESCRIPTION, EPILOG, SUMMARIES, TOP_HELP, USAGE

# What --json prints, per command: the document, for a user with no README at hand.
STATE_JSON = ("port, state (free or in_use: localhost's bind test), bindable, owner (pid, name, cmd, and "
              "the process's uid and user; null when free or not visible), user and uid (the socket's), "
              "addresses (listening ones)")
JSON_HELP = {
    "check": f"print a list with one object per port: {STATE_JSON}",
    "free": f"print one object: {STATE_JSON}",
    "wait": (f"print one object per port (a list for several): {STATE_JSON}, and waited (seconds until "
             "this port was free); with --listening: port, listening (true or false), addresses, waited"),
    "who": f"print a list with one object per port: {STATE_JSON}; with --all also holders "
           "(pid, ppid, name, cmd, user, uid, addresses, sockets); with --clients only port and clients "
           "(as holders, each socket with its peer_address and peer_port)",
    "scan": f"print a list with one object per port in use (every port with --all): {STATE_JSON}",
    "ls": ("print a list with one object per listening socket: protocol (tcp, or udp with --udp), port, address, "
           "uid and user (the socket's), processes (pid, ppid, uid, user, name, cmd)"),
    "kill": ("print a list with one object per port: port, outcome (freed, already_free, still_in_use, "
             "permission_denied, not_visible; with --dry-run, dry_run when a holder would be signalled), signal "
             "(the name of the signal sent, or that --dry-run would send; null when no holder could be sent it), "
             "holders (as who --all, each with signal: signalled, gone, refused, failed; would_signal for "
             "--dry-run), user and uid (the socket's), sigkill (pids sent SIGKILL after --grace), message"),
}


RESERVE_DESCRIPTION = """\
Run CMD with a reserved port in its environment (PORT) and in place of {port}
in its arguments, holding the reservation until CMD exits: no other
reservation on this machine is handed the port meanwhile, and the kernel
never hands it out by itself (see vantle.reserve). The exit status is CMD's."""


COMPLETION_DESCRIPTION = """\
Print the completion script of SHELL on stdout: the commands, their options,
the ports listened on now where a command takes ports, and the command that
reserve runs. To load it in every new shell:

  bash  in ~/.bashrc:  eval "$(vantle completion bash)"
  zsh   vantle completion zsh > ~/.zfunc/_vantle, with fpath=(~/.zfunc $fpath)
        before compinit in ~/.zshrc
  fish  vantle completion fish > ~/.config/fish/completions/vantle.fish"""


def argument_type(read: Callable[[str], object], name: str) -> Callable[[str], object]:
    """A reader for argparse: its errors become usage errors with their own words."""
    def convert(text: str) -> object:
        try:
            return read(text)
        except PortError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    convert.__name__ = name
    return convert


class TopParser(argparse.ArgumentParser):
    """The `vantle` parser: its help is the text cli prints without argparse."""

    def format_help(self, formatter: argparse.HelpFormatter | None = None) -> str:
        return TOP_HELP


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The parser, and the parser of each command."""
    formatter = argparse.RawDescriptionHelpFormatter
    parser = TopParser(prog="vantle", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
                       formatter_class=formatter, suggest_on_error=True)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_lib.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=argparse.ArgumentParser)
    ports_type = argument_type(port_targets, "ports")
    localhost_ports_type = argument_type(localhost_targets, "ports")
    port_type = argument_type(one_port, "port")
    seconds_type = argument_type(seconds, "seconds")

    def command(name: str, help_text: str, ports: str, ports_help: str = "",
                localhost: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=SUMMARIES[name], description=help_text, epilog=EPILOG,
                                  formatter_class=formatter, suggest_on_error=True)
        sub.add_argument("--json", action="store_true", help=JSON_HELP[name])
        if ports:
            sub.add_argument("ports", nargs=ports, type=localhost_ports_type if localhost else ports_type,
                             metavar="PORTS",
                             help=ports_help or "ports (see below)")
        return sub

    command("check", "Say whether ports are free on localhost (exit 0 only when you may bind all).", "+",
            localhost=True)

    free = command("free", "Print a port that is free now.", "")
    free.add_argument("--preferred", type=port_type, metavar="P", help="print P when it is free")

    wait = command("wait", "Wait until every port is free, or with --listening until something listens on "
                           "each (exit 1 on time-out).", "+")
    wait.add_argument("--listening", action="store_true",
                      help="wait until each port has a listener (on the address given, or on any)")
    wait.add_argument("--timeout", type=seconds_type, default=30.0, metavar="S",
                      help=f"give up after S seconds, fractions allowed (default 30, at most {MAX_TIMEOUT})")

    def selecting(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument("--user", type=argument_type(users, "user"), metavar="USER",
                         help=f"only {what} of these users (names or uids, comma-separated)")
        sub.add_argument("--pid", type=argument_type(pids, "pid"), metavar="PID",
                         help=f"only {what} with these pids (comma-separated)")
        sub.add_argument("--name", type=argument_type(names, "name"), metavar="NAME",
                         help=f"only {what} whose name starts with NAME (several comma-separated)")

    who = command("who", "Show who listens on each port, on any address (exit 1 if any has no visible "
                         "listener).", "+")
    who.add_argument("--all", action="store_true", help="every process holding the port (what kill signals)")
    who.add_argument("--wide", action="store_true", help="do not cut rows to the terminal's width")
    who.add_argument("--clients", action="store_true",
                     help="the processes of this machine connected to each port instead (its clients, TCP and "
                          "connected UDP), each with its connection; an address narrows them by the port's "
                          "side (exit 1 if a port has no visible client)")
    selecting(who, "the processes")

    scan = command("scan", "List the ports in use on localhost among many.", "+", localhost=True)
    scan.add_argument("--all", action="store_true", help="list free ports too")

    ls = command("ls", "List every listening TCP socket on every local address, with its processes.", "*",
                 "only these ports (default: every port)")
    ls.add_argument("--wide", action="store_true", help="do not cut rows to the terminal's width")
    ls.add_argument("--expand", action="store_true",
                    help="a row for every process holding a socket (by default, one row per socket: the first "
                         "process, then its forked workers as +N or the other pids)")
    selecting(ls, "processes (and their sockets)")
    ls.add_argument("--udp", action="store_true",
                    help="list the UDP sockets bound and not connected to a peer instead (as ss -lunp)")

    kill = command("kill", "Free ports on every local address by signalling their holders (exit 1 if any "
                           "stays in use).", "+")
    how = kill.add_mutually_exclusive_group()
    how.add_argument("--force", action="store_true", help="send SIGKILL instead of SIGTERM (as --signal KILL)")
    how.add_argument("--grace", type=seconds_type, metavar="S",
                     help="send SIGTERM (or --signal's), then SIGKILL to what still holds the port after S seconds")
    kill.add_argument("--signal", type=argument_type(signal_number, "signal"), metavar="SIG",
                      help="send SIG instead of SIGTERM: a name (QUIT, SIGQUIT, quit) or a number (3); a signal "
                           "that does not end the holder (HUP to reload, STOP) leaves the port in use, and kill "
                           "says so")
    kill.add_argument("--dry-run", action="store_true",
                      help="signal nothing: print what would be signalled and why (each holder's pid, user, "
                           "sockets on the port with their states, name and command); exit 0 when every port "
                           "has a holder that would be signalled, 1 otherwise")
    kill.add_argument("--udp", action="store_true",
                      help="signal the holders of UDP sockets on the port too (by default, TCP only)")
    reserve = commands.add_parser(
        "reserve", usage="vantle reserve [-h] [--count N] -- CMD ARG...",
        help=SUMMARIES["reserve"],
        description=RESERVE_DESCRIPTION, epilog=EPILOG, formatter_class=formatter, suggest_on_error=True)
    reserve.add_argument("--count", type=argument_type(count, "count"), default=1, metavar="N",
                         help=f"reserve N consecutive ports (1-{MAX_COUNT}); PORT is the first")
    reserve.add_argument("argv", nargs="+", metavar="CMD ARG...",
                         help="the command to run, and its arguments")
    completion = commands.add_parser(
        "completion", usage="vantle completion [-h] {SHELL | --listening}", help=SUMMARIES["completion"],
        description=COMPLETION_DESCRIPTION, formatter_class=formatter, suggest_on_error=True)
    what = completion.add_mutually_exclusive_group(required=True)
    what.add_argument("word", nargs="?", choices=COMMANDS["completion"].words, metavar="SHELL",
                      help="the shell: " + ", ".join(COMMANDS["completion"].words))
    what.add_argument("--listening", action="store_true",
                      help="print the TCP ports listened on now, one a line, as the scripts complete them")
    topics = commands.add_parser("help", help=SUMMARIES["help"], description=SUMMARIES["help"],
                                 suggest_on_error=True)
    topics.add_argument("topic", nargs="?", choices=[*COMMANDS, "help"], metavar="COMMAND",
                        help="the command to show the help of")
    return parser, commands.choices


def parse(argv: "list[str]") -> Arguments:
    """argparse's reading: help and usage errors end here with SystemExit. An
    option the command does not know is reported with the command's usage,
    and the closest option it has."""
    parser, commands = build_parser()
    args, unknown = parser.parse_known_args(argv, namespace=Arguments())
    if unknown:
        sub = commands[args.command]
        message = "unrecognized arguments: " + " ".join(unknown)
        option = next((token.partition("=")[0] for token in unknown if token.startswith("--")), None)
        if option is not None:
            reader = COMMANDS.get(args.command)
            known = [*reader.flags, *reader.options, "--help"] if reader else ["--help"]
            from difflib import get_close_matches
            close = get_close_matches(option, known, n=1)
            if close:
                message += f", maybe you meant {close[0]!r}?"
        sub.error(message)
    if args.command == "kill" and args.force and args.signal is not None:
        commands["kill"].error("argument --signal: not allowed with argument --force")
    if args.command == "help":
        # `vantle help who` is `vantle who --help`.
        topic = getattr(args, "topic", None)
        (commands[topic] if topic else parser).print_help()
        raise SystemExit(0)
    return args

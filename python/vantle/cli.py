"""The `vantle` command: the package's six functions for the shell.

Exit codes: 0 when the command did what was asked (every port free, waited
successfully, every port freed), 1 when the answer is negative (a port is in
use or may not be bound, the wait timed out, a port could not be freed), 2
for usage errors, 130 after Ctrl-C and 141 when the reader of the output went
away (both as a shell reports a command ended by SIGINT or SIGPIPE).
"""

import argparse
import json
import os
import re
import sys
import threading
import time
from collections.abc import Callable, Iterable, Sequence

from . import _lib
from ._report import (RUN_WITH_PRIVILEGES, JsonObject, PortState, describe, free_port, holder_json, holder_uid,
                      holder_words, listening_addresses, user_name)

EXIT_OK, EXIT_NEGATIVE = 0, 1  # usage errors exit with 2 from argparse
EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 130, 141

DESCRIPTION = "Check, find, wait for, inspect and free local TCP ports."
EPILOG = ("exit status: 0 success, 1 negative answer (in use, timed out, not freed), 2 usage error, "
          "130 interrupted, 141 output closed")
PORT_FORMS = "8080, :8080, 8080/tcp, 3000-3010, or several separated by commas"
# One item of a port list: the forms of kill-port (":8080") and fuser ("8080/tcp") too.
PORT_ITEM = re.compile(r":?([0-9]+)(?:-([0-9]+))?(?:/tcp)?", re.IGNORECASE)

# How often the main thread looks up from a wait: the bound on how late
# Ctrl-C is taken, and the refresh of the countdown.
WAIT_SLICE = 0.1
# kill waits this long for the port after signalling.
KILL_GRACE = 1.0
# The longest wait taken (68 years): far below what the clock can hold.
MAX_TIMEOUT = 2**31 - 1


def port_number(text: str) -> int:
    value = int(text, 10)
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range (1-65535): {text!r}")
    return value


def port_list(text: str) -> list[int]:
    """Ports as '8080', ':8080', '8080/tcp', '3000-3010' or '80,443,3000-3010'."""
    ports: list[int] = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise argparse.ArgumentTypeError(f"empty item in port list: {text!r}")
        match = PORT_ITEM.fullmatch(item)
        if not match:
            only_tcp = " (only TCP ports are handled)" if "/" in item else ""
            raise argparse.ArgumentTypeError(f"not a port: {item!r}{only_tcp}; use {PORT_FORMS}")
        first = port_number(match[1])
        last = port_number(match[2]) if match[2] else first
        if first > last:
            raise argparse.ArgumentTypeError(f"range runs backwards: {item!r}")
        ports.extend(range(first, last + 1))
    return ports


def one_port(text: str) -> int:
    ports = port_list(text)
    if len(ports) != 1:
        raise argparse.ArgumentTypeError(f"one port expected: {text!r}")
    return ports[0]


def flatten(groups: Iterable[list[int]]) -> list[int]:
    """The ports of all arguments, each once, in the order given."""
    return list(dict.fromkeys(port for group in groups for port in group))


def one_line(text: str) -> str:
    """A command line as one table cell: control characters shown escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)


def print_json(value: object) -> None:
    json.dump(value, sys.stdout, indent=2)
    print()


def complain(message: str) -> None:
    print(f"vantle: {message}", file=sys.stderr)


class Countdown:
    """A one-line countdown on stderr, drawn only when stderr is a terminal."""

    def __init__(self, label: str, seconds: float) -> None:
        self.label, self.seconds = label, seconds
        self.drawn = sys.stderr.isatty()
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


def run_waiting[T](call: Callable[[], T], countdown: Countdown) -> T:
    """Runs a native wait on a worker thread, so that this (main) thread takes
    Ctrl-C at once: the native waits do not look at signals. The worker is a
    daemon, left behind when the command ends early."""
    results: list[T] = []
    failures: list[BaseException] = []

    def work() -> None:
        try:
            results.append(call())
        except BaseException as failure:
            failures.append(failure)

    worker = threading.Thread(target=work, name="vantle-wait", daemon=True)
    started = time.monotonic()
    worker.start()
    try:
        worker.join(WAIT_SLICE)
        while worker.is_alive():
            countdown.update(time.monotonic() - started)
            worker.join(WAIT_SLICE)
    finally:
        countdown.clear()
    if failures:
        raise failures[0]
    return results[0]


def print_states(states: list[PortState], with_holders: bool) -> None:
    """A table: one row per port, or per holder of a port with with_holders."""
    table = [("PORT", "PID", "USER", "ADDRESS", "NAME", "COMMAND")]
    for state in states:
        port = str(state.port)
        if with_holders and state.holders:
            table.extend((port, str(holder.pid), user_name(holder_uid(holder)) or "-",
                          ",".join(listening_addresses(holder.sockets)) or "-",
                          one_line(holder.name), one_line(holder.cmd)) for holder in state.holders)
            continue
        user, addresses = user_name(state.uid) or "-", ",".join(state.addresses) or "-"
        if state.owner:
            table.append((port, str(state.owner["pid"]), user, addresses,
                          one_line(state.owner["name"]), one_line(state.owner["cmd"])))
        else:
            table.append((port, "-", user, addresses, "-", state.words()))
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]) - 1)]
    for row in table:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + [row[-1]]
        print("  ".join(cells).rstrip())


def command_check(args: argparse.Namespace) -> int:
    states = describe(flatten(args.ports))
    if args.json:
        print_json([state.to_json() for state in states])
    else:
        for state in states:
            print(f"{state.port} {state.words()}")
    return EXIT_OK if all(state.bindable for state in states) else EXIT_NEGATIVE


def command_free(args: argparse.Namespace) -> int:
    try:
        port = _lib.find_free(args.preferred)
    except OSError as error:
        complain(str(error))
        return EXIT_NEGATIVE
    if args.json:
        print_json(free_port(port).to_json())
    else:
        print(port)
    return EXIT_OK


def command_wait(args: argparse.Namespace) -> int:
    port, timeout = args.port, args.timeout
    started = time.monotonic()
    freed = run_waiting(lambda: _lib.wait_until_free(port, timeout), Countdown(f"waiting for port {port}", timeout))
    waited = round(time.monotonic() - started, 2)
    state = free_port(port) if freed else describe([port])[0]
    if args.json:
        print_json({**state.to_json(), "waited": waited})
    elif freed:
        print(f"{port} free")
    else:
        complain(f"timed out after {timeout} s: {port} {state.words()}")
    return EXIT_OK if freed else EXIT_NEGATIVE


def command_who(args: argparse.Namespace) -> int:
    states = describe(flatten(args.ports), with_holders=args.all)
    if args.json:
        print_json([state.to_json() for state in states])
    else:
        print_states(states, args.all)
    return EXIT_OK if all(state.owner for state in states) else EXIT_NEGATIVE


def command_scan(args: argparse.Namespace) -> int:
    states = [state for state in describe(flatten(args.ports)) if args.all or not state.free]
    if args.json:
        print_json([state.to_json() for state in states])
    elif states:
        print_states(states, False)
    else:
        print("every port is free")
    return EXIT_OK


def kill_one(port: int, force: bool) -> tuple[str, str, JsonObject]:
    """Frees one port: (outcome, message, JSON record)."""
    before = describe([port], with_holders=True)[0]
    holders = before.holders or []
    outcome, message = "freed", f"{port} freed"
    if before.free:
        outcome, message = "already_free", f"{port} was already {before.words()}"
    else:
        try:
            run_waiting(lambda: _lib.kill(port, force=force), Countdown(f"freeing port {port}", KILL_GRACE))
            if holders:
                message += ", was held by " + ", ".join(holder_words(h) for h in holders)
        except PermissionError:
            refusing = ", ".join(holder_words(h, with_user=True) for h in holders) or "its holders"
            outcome = "permission_denied"
            message = f"{port} not freed: permission denied to signal {refusing}; {RUN_WITH_PRIVILEGES}"
        except OSError:
            outcome, message = not_freed(describe([port], with_holders=True)[0], force)
    record: JsonObject = {"port": port, "outcome": outcome, "holders": [holder_json(h) for h in holders],
                          "user": user_name(before.uid), "uid": before.uid, "message": message}
    return outcome, message, record


def not_freed(after: PortState, force: bool) -> tuple[str, str]:
    """Why a port that kill could not free is still in use."""
    port = after.port
    if after.free:  # let go just after the grace period
        return "freed", f"{port} freed"
    if after.holders:
        signal_name = "SIGKILL" if force else "SIGTERM"
        hint = "" if force else f"; to send SIGKILL: vantle kill --force {port}"
        still = ", ".join(holder_words(h) for h in after.holders)
        verb = "holds" if len(after.holders) == 1 else "hold"
        return "still_in_use", f"{port} not freed: {still} still {verb} it after {signal_name}{hint}"
    if after.hidden:
        return "not_visible", f"{port} not freed: {after.words()}"
    return "not_visible", f"{port} not freed: no process holding it was found"


def command_kill(args: argparse.Namespace) -> int:
    records, failed = [], False
    for port in flatten(args.ports):
        outcome, message, record = kill_one(port, args.force)
        records.append(record)
        succeeded = outcome in ("freed", "already_free")
        failed |= not succeeded
        if not args.json:
            print(message, file=sys.stdout if succeeded else sys.stderr)
    if args.json:
        print_json(records)
    return EXIT_NEGATIVE if failed else EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantle", description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_lib.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, handler: Callable[[argparse.Namespace], int], help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=EPILOG)
        sub.set_defaults(handler=handler)
        sub.add_argument("--json", action="store_true", help="print JSON for scripts (see the README)")
        return sub

    def ports_argument(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("ports", nargs="+", type=port_list, metavar="PORTS", help=f"ports: {PORT_FORMS}")

    check = command("check", command_check, "Say whether ports are free (exit 0 only when you may bind all).")
    ports_argument(check)

    free = command("free", command_free, "Print a port that is free now.")
    free.add_argument("--preferred", type=one_port, metavar="P", help="use P when it is free")

    wait = command("wait", command_wait, "Wait until a port is free (exit 1 on time-out).")
    wait.add_argument("port", type=one_port, metavar="PORT")
    wait.add_argument("--timeout", type=int, default=30, metavar="S", help="whole seconds to wait (default 30)")

    who = command("who", command_who, "Show who listens on each port (exit 1 if any has no visible listener).")
    ports_argument(who)
    who.add_argument("--all", action="store_true", help="every process holding the port (what kill signals)")

    scan = command("scan", command_scan, "List the ports in use among many.")
    ports_argument(scan)
    scan.add_argument("--all", action="store_true", help="list free ports too")

    kill = command("kill", command_kill, "Free ports by signalling their holders (exit 1 if any stays in use).")
    ports_argument(kill)
    kill.add_argument("--force", action="store_true", help="send SIGKILL instead of SIGTERM")
    return parser


def silence_output() -> None:
    """Points stdout and stderr at /dev/null, so that nothing more is written
    to a closed pipe, not even by the flush at interpreter exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        os.dup2(devnull, stream.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "wait" and not 0 <= args.timeout <= MAX_TIMEOUT:
            parser.error(f"--timeout must be 0 to {MAX_TIMEOUT} seconds")
        status: int = args.handler(args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        silence_output()
        return EXIT_BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())

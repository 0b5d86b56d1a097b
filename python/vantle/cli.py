"""The `vantle` command: the package's functions for the shell.

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
import shutil
import sys
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING

from . import _lib, _table
from ._report import RUN_WITH_PRIVILEGES, JsonObject, PortState, describe, free_port, user_name

if TYPE_CHECKING:
    from ._table import Holder, Listener, SignalledHolder, Socket

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
# kill waits this long for the port after signalling, looking every interval.
KILL_GRACE = 1.0
KILL_POLL = 0.05
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


def print_states(states: list[PortState]) -> None:
    """A table with a row per port: its listener on localhost, or its state."""
    table: list[tuple[str, ...]] = [("PORT", "PID", "USER", "ADDRESS", "NAME", "COMMAND")]
    for state in states:
        port, user, addresses = str(state.port), user_name(state.uid) or "-", ",".join(state.addresses) or "-"
        if state.owner:
            table.append((port, str(state.owner["pid"]), user, addresses,
                          one_line(state.owner["name"]), one_line(state.owner["cmd"])))
        else:
            table.append((port, "-", user, addresses, "-", state.words()))
    print_table(table)


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


def endpoint(socket: Socket) -> str:
    """"127.0.0.1:8080", "[::1]:8080"."""
    address = socket["address"]
    return f"[{address}]:{socket['port']}" if ":" in address else f"{address}:{socket['port']}"


def listening(holder: Holder) -> list[str]:
    return [endpoint(s) for s in holder["sockets"] if s["protocol"] == "tcp" and s["state"] == "LISTEN"]


def process_user(holder: Holder) -> str:
    """The owner of a holder: the process's user (the socket's for one not visible)."""
    return holder["user"] or str(holder["uid"])


def held_at(holder: Holder) -> str:
    """Where a holder listens; for one that does not, its sockets and their kinds."""
    others = [f"{endpoint(s)} ({s['protocol']} {s['state'].lower()})" for s in holder["sockets"]]
    return ",".join(listening(holder) or others) or "-"


def holder_row(port: int, holder: Holder) -> tuple[str, ...]:
    if holder["pid"] is None:
        return (str(port), "-", process_user(holder), held_at(holder), "-",
                f"in use by a process of user {process_user(holder)} that you cannot see ({RUN_WITH_PRIVILEGES})")
    return (str(port), str(holder["pid"]), process_user(holder), held_at(holder), one_line(holder["name"] or "-"),
            one_line(holder["cmd"] or ""))


def print_table(table: list[tuple[str, ...]], width: int | None = None) -> None:
    """Columns padded to their widest cell; each row cut to `width` when given."""
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]) - 1)]
    for row in table:
        line = "  ".join([cell.ljust(w) for cell, w in zip(row, widths)] + [row[-1]]).rstrip()
        print(line if width is None else line[:width])


def elsewhere_note(port: int, holders: list[Holder]) -> str:
    """For a port localhost may bind although other addresses hold it."""
    held = ", ".join(f"{held_at(h)} by "
                     + (f"{h['name']} (pid {h['pid']})" if h["pid"] is not None else f"user {process_user(h)}")
                     for h in holders)
    return f"{port} is free on localhost, but held on {held}"


def command_who(args: argparse.Namespace) -> int:
    states = describe(flatten(args.ports))
    records, notes = [], []
    table: list[tuple[str, ...]] = [("PORT", "PID", "USER", "ADDRESS", "NAME", "COMMAND")]
    every_port_seen = True
    for state in states:
        holders = _table.holders(state.port)
        listeners = [h for h in holders if listening(h)]
        shown = holders if args.all else listeners[:1]
        if shown:
            table.extend(holder_row(state.port, h) for h in shown)
        else:
            user, addresses = user_name(state.uid) or "-", ",".join(state.addresses) or "-"
            table.append((str(state.port), "-", user, addresses, "-", state.words()))
        every_port_seen &= any(h["pid"] is not None for h in listeners)
        if holders and state.free:
            notes.append(elsewhere_note(state.port, holders))
        record = state.to_json()
        if record["owner"] is None and listeners and listeners[0]["pid"] is not None:
            first = listeners[0]
            record["owner"] = {"pid": first["pid"], "name": first["name"], "cmd": first["cmd"]}
        record["addresses"] = [a for h in holders for a in listening(h)] or record["addresses"]
        if args.all:
            record["holders"] = [holder_record(h) for h in holders]
        records.append(record)
    if args.json:
        print_json(records)
    else:
        print_table(table)
        for note in notes:
            print(note)
    return EXIT_OK if every_port_seen else EXIT_NEGATIVE


def holder_record(holder: Holder) -> JsonObject:
    """A holder in JSON: the process and its user, and its sockets with theirs."""
    return {"pid": holder["pid"], "ppid": holder["ppid"], "name": holder["name"], "cmd": holder["cmd"],
            "user": process_user(holder), "uid": holder["uid"], "addresses": listening(holder),
            "sockets": [dict(s) for s in holder["sockets"]]}


def command_ls(args: argparse.Namespace) -> int:
    found = _table.listeners(flatten(args.ports) if args.ports else None)
    if args.json:
        print_json([listener_record(entry) for entry in found])
        return EXIT_OK
    table: list[tuple[str, ...]] = [("PORT", "ADDRESS", "PID", "PPID", "USER", "NAME", "COMMAND")]
    for entry in found:
        port, address = str(entry["port"]), entry["address"]
        for process in entry["processes"]:
            table.append((port, address, str(process["pid"]), str(process["ppid"]),
                          process["user"] or str(process["uid"]), one_line(process["name"] or "-"),
                          one_line(process["cmd"])))
        if not entry["processes"]:
            owner = entry["user"] or str(entry["uid"])
            table.append((port, address, "-", "-", owner, "-",
                          f"a process of user {owner} that you cannot see ({RUN_WITH_PRIVILEGES})"))
    cut = None if args.wide or not sys.stdout.isatty() else shutil.get_terminal_size().columns
    print_table(table, cut)
    return EXIT_OK


def listener_record(entry: Listener) -> JsonObject:
    return {"port": entry["port"], "address": entry["address"], "uid": entry["uid"], "user": entry["user"],
            "processes": [dict(process) for process in entry["processes"]]}


def command_scan(args: argparse.Namespace) -> int:
    states = [state for state in describe(flatten(args.ports)) if args.all or not state.free]
    if args.json:
        print_json([state.to_json() for state in states])
    elif states:
        print_states(states)
    else:
        print("every port is free")
    return EXIT_OK


def release(port: int, force: bool) -> tuple[list[SignalledHolder], list[Holder]]:
    """Signals every holder of the port on any address, then waits up to
    KILL_GRACE for the signalled ones to let go: (holders as signalled,
    holders left at the end)."""
    found = _table.signal_holders(port, force)
    signalled = {h["pid"] for h in found if h["signal"] in SIGNALLED}
    # What no signal reached; an exiting holder's socket also shows here for
    # a moment, with no process left holding it.
    unsignalled = {socket_key(s) for h in found if h["signal"] not in SIGNALLED for s in h["sockets"]}
    deadline = time.monotonic() + KILL_GRACE
    left: list[Holder] = list(found)
    while signalled:
        left = _table.holders(port)
        settled = all(h["pid"] not in signalled and (h["pid"] is not None or
                                                      {socket_key(s) for s in h["sockets"]} <= unsignalled)
                      for h in left)
        if settled or time.monotonic() >= deadline:
            break
        time.sleep(KILL_POLL)
    return found, left


def socket_key(socket: Socket) -> tuple[str, str, int, str]:
    return socket["protocol"], socket["address"], socket["port"], socket["state"]


SIGNALLED = ("signalled", "gone")


def kill_words(holder: Holder, with_user: bool = False) -> str:
    """A holder in a message, marked when it does not listen on the port."""
    details = [f"pid {holder['pid']}"]
    if with_user:
        details.append(f"user {process_user(holder)}")
    if not listening(holder):
        kinds = sorted({f"{s['protocol']} {s['state'].lower()}" for s in holder["sockets"]})
        details.append("not listening: " + ", ".join(kinds))
    return f"{holder['name'] or '?'} ({', '.join(details)})"


def unreachable(holders: Sequence[Holder]) -> str:
    """What stays out of reach, and what would work."""
    refused = [kill_words(h, with_user=True) for h in holders if h["pid"] is not None]
    parts = [f"in use by a process of user {process_user(h)} that you cannot see ({RUN_WITH_PRIVILEGES})"
             for h in holders if h["pid"] is None]
    if refused:
        parts.append(f"permission denied to signal {', '.join(refused)}; {RUN_WITH_PRIVILEGES}")
    return "; ".join(parts)


def kill_one(port: int, force: bool) -> tuple[str, str, JsonObject]:
    """Frees one port on every local address: (outcome, message, JSON record)."""
    found, left = run_waiting(lambda: release(port, force), Countdown(f"freeing port {port}", KILL_GRACE))
    signalled = [h for h in found if h["signal"] in SIGNALLED]
    out_of_reach: list[Holder] = [h for h in found if h["signal"] not in SIGNALLED]
    if not found:
        before = describe([port])[0]
        if before.free:
            outcome, message = "already_free", f"{port} was already {before.words()}"
        else:
            outcome, message = "not_visible", f"{port} not freed: {before.words()}"
    elif not left:
        outcome = "freed"
        message = f"{port} freed, was held by " + ", ".join(kill_words(h) for h in signalled)
    else:
        signalled_pids = {h["pid"] for h in signalled}
        still = [h for h in left if h["pid"] in signalled_pids]
        if still:
            outcome = "still_in_use"
            signal_name = "SIGKILL" if force else "SIGTERM"
            verb = "holds" if len(still) == 1 else "hold"
            message = f"{port} not freed: {', '.join(kill_words(h) for h in still)} still {verb} it after {signal_name}"
            if not force:
                message += f"; to send SIGKILL: vantle kill --force {port}"
            if out_of_reach:
                message += "; besides, " + unreachable(out_of_reach)
        else:
            outcome = "permission_denied" if any(h["pid"] is not None for h in out_of_reach) else "not_visible"
            out_of_reach = out_of_reach or [h for h in left if h["pid"] is None]  # unknown holders since
            message = f"{port} not freed: "
            if signalled:
                message += "signalled " + ", ".join(kill_words(h) for h in signalled) + ", but still "
            message += unreachable(out_of_reach)
    sockets = [s for h in found for s in h["sockets"]]
    keeping = next((s for s in sockets if s["protocol"] == "tcp" and s["state"] == "LISTEN"),
                   sockets[0] if sockets else None)
    record: JsonObject = {"port": port, "outcome": outcome,
                          "holders": [{**holder_record(h), "signal": h["signal"]} for h in found],
                          "user": None if keeping is None else keeping["user"] or str(keeping["uid"]),
                          "uid": None if keeping is None else keeping["uid"], "message": message}
    return outcome, message, record


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

    who = command("who", command_who,
                  "Show who listens on each port, on any address (exit 1 if any has no visible listener).")
    ports_argument(who)
    who.add_argument("--all", action="store_true", help="every process holding the port (what kill signals)")

    scan = command("scan", command_scan, "List the ports in use among many.")
    ports_argument(scan)
    scan.add_argument("--all", action="store_true", help="list free ports too")

    ls = command("ls", command_ls, "List every listening TCP socket on every local address, with its processes.")
    ls.add_argument("ports", nargs="*", type=port_list, metavar="PORTS", help=f"only these ports: {PORT_FORMS}")
    ls.add_argument("--wide", action="store_true", help="do not cut rows to the terminal's width")

    kill = command("kill", command_kill,
                   "Free ports on every local address by signalling their holders (exit 1 if any stays in use).")
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

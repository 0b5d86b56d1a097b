"""The commands of `vantle`, each a function of the parsed command line that
prints its answer and returns the exit status (see cli for the reading)."""

import os
import sys
import time
from _json import encode_basestring_ascii

from . import _lib, _sockets, _table
from ._ports import covers
from ._report import RUN_WITH_PRIVILEGES, JsonObject, PortState, describe, free_port, user_name
from .cli import EXIT_NEGATIVE, EXIT_OK, Arguments, complain, write

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from ._ports import Targets
    from ._table import Holder, Listener, SignalledHolder, Socket

# How often a wait looks again: the bound on how late a change is seen, and
# the refresh of the countdown. Ctrl-C interrupts the sleep at once.
POLL = 0.1
# kill waits this long for the port after signalling, looking every interval.
KILL_GRACE = 1.0
KILL_POLL = 0.05
SIGNALLED = ("signalled", "gone")


def one_line(text: str) -> str:
    """A command line as one table cell: control characters shown escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)


def json_text(value: object, indent: str = "") -> str:
    """json.dumps(value, indent=2) for the plain values the commands print.
    Written out here because importing json (which imports re) costs a
    command such as `ls --json` more than the encoding does; the strings are
    escaped by the same C function json uses."""
    if isinstance(value, str):
        return encode_basestring_ascii(value)
    if value is None or isinstance(value, bool):
        return {None: "null", True: "true", False: "false"}[value]
    if isinstance(value, (int, float)):
        return repr(value)
    inner = indent + "  "
    if isinstance(value, dict):
        items = [f"{inner}{encode_basestring_ascii(key)}: {json_text(item, inner)}" for key, item in value.items()]
        return "{\n" + ",\n".join(items) + f"\n{indent}}}" if items else "{}"
    if isinstance(value, list):
        items = [inner + json_text(item, inner) for item in value]
        return "[\n" + ",\n".join(items) + f"\n{indent}]" if items else "[]"
    raise TypeError(f"not a JSON value: {value!r}")


def print_json(value: object) -> None:
    write(json_text(value) + "\n")


def print_table(table: "list[tuple[str, ...]]", width: int | None = None) -> None:
    """Columns padded to their widest cell; each row cut to `width` when given."""
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]) - 1)]
    for row in table:
        line = "  ".join([cell.ljust(w) for cell, w in zip(row, widths)] + [row[-1]]).rstrip()
        write((line if width is None else line[:width]) + "\n")


def terminal_width() -> int | None:
    """The width to cut rows to: the terminal's (COLUMNS first), None when
    stdout is no terminal."""
    if not sys.stdout.isatty():
        return None
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(sys.stdout.fileno()).columns
    except OSError:
        return 80


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


def poll_until(done: "Callable[[], bool]", seconds: float, countdown: Countdown, interval: float = POLL) -> bool:
    """Asks `done` until it answers True or `seconds` have passed, every
    `interval`; one last time after the deadline, so that what happened in
    the last interval still counts. Runs on the main thread: the sleep is
    where Ctrl-C ends the command."""
    started = time.monotonic()
    try:
        while True:
            if done():
                return True
            elapsed = time.monotonic() - started
            if elapsed >= seconds:
                return False
            countdown.update(elapsed)
            time.sleep(min(interval, seconds - elapsed))
    finally:
        countdown.clear()


def endpoint(socket: "Socket") -> str:
    """"127.0.0.1:8080", "[::1]:8080"."""
    address = socket["address"]
    return f"[{address}]:{socket['port']}" if ":" in address else f"{address}:{socket['port']}"


def listening(holder: "Holder") -> list[str]:
    return [endpoint(s) for s in holder["sockets"] if s["protocol"] == "tcp" and s["state"] == "LISTEN"]


def process_user(holder: "Holder") -> str:
    """The owner of a holder: the process's user (the socket's for one not visible)."""
    return holder["user"] or str(holder["uid"])


def held_at(holder: "Holder") -> str:
    """Where a holder listens; for one that does not, its sockets and their kinds."""
    others = [f"{endpoint(s)} ({s['protocol']} {s['state'].lower()})" for s in holder["sockets"]]
    return ",".join(listening(holder) or others) or "-"


def narrowed[H: "Holder"](holders: "list[H]", wanted: "frozenset[str] | None") -> "list[H]":
    """The holders with a socket taking connections on the wanted addresses,
    each with those sockets only."""
    if wanted is None:
        return holders
    kept = []
    for holder in holders:
        sockets = [s for s in holder["sockets"] if covers(s["address"], wanted)]
        if sockets:
            kept.append({**holder, "sockets": sockets})
    return kept  # type: ignore[return-value]  # the same TypedDict, fewer sockets


def where(wanted: "frozenset[str] | None") -> str:
    return "" if wanted is None else " on " + ",".join(sorted(wanted))


def holder_row(port: int, holder: "Holder") -> tuple[str, ...]:
    if holder["pid"] is None:
        return (str(port), "-", process_user(holder), held_at(holder), "-",
                f"in use by a process of user {process_user(holder)} that you cannot see ({RUN_WITH_PRIVILEGES})")
    return (str(port), str(holder["pid"]), process_user(holder), held_at(holder), one_line(holder["name"] or "-"),
            one_line(holder["cmd"] or ""))


def holder_record(holder: "Holder") -> JsonObject:
    """A holder in JSON: the process and its user, and its sockets with theirs."""
    return {"pid": holder["pid"], "ppid": holder["ppid"], "name": holder["name"], "cmd": holder["cmd"],
            "user": process_user(holder), "uid": holder["uid"], "addresses": listening(holder),
            "sockets": [dict(s) for s in holder["sockets"]]}


def state_row(state: PortState) -> tuple[str, ...]:
    """A row of check's facts: the listener on localhost, or the state in words."""
    port, user, addresses = str(state.port), state.user or "-", ",".join(state.addresses) or "-"
    if state.owner:
        return (port, str(state.owner["pid"]), user, addresses, one_line(state.owner["name"]),
                one_line(state.owner["cmd"]))
    return (port, "-", user, addresses, "-", state.words())


HOLDER_HEADER = ("PORT", "PID", "USER", "ADDRESS", "NAME", "COMMAND")


def command_check(args: Arguments) -> int:
    states = describe(list(args.targets))
    if args.json:
        print_json([state.to_json() for state in states])
    else:
        for state in states:
            write(f"{state.port} {state.words()}\n")
    return EXIT_OK if all(state.bindable for state in states) else EXIT_NEGATIVE


def command_free(args: Arguments) -> int:
    try:
        port = _lib.find_free(args.preferred)
    except OSError as error:
        complain(str(error))
        return EXIT_NEGATIVE
    if args.json:
        print_json(free_port(port).to_json())
    else:
        write(f"{port}\n")
    return EXIT_OK


def command_wait(args: Arguments) -> int:
    targets, timeout = args.targets, args.timeout
    ports = list(targets)
    label = f"waiting for port {ports[0]}" if len(ports) == 1 else f"waiting for {len(ports)} ports"
    pending = dict(targets)
    seen: dict[int, list[str]] = {}

    def settled() -> bool:
        if args.listening:
            found = _table.listeners(list(pending))
            for port, wanted in list(pending.items()):
                addresses = [endpoint(entry) for entry in found if entry["port"] == port
                             and covers(entry["address"], wanted)]
                if addresses:
                    seen[port] = addresses
                    del pending[port]
        else:
            for port, wanted in list(pending.items()):
                free = _lib.is_available(port) if wanted is None else not narrowed(_table.holders(port), wanted)
                if free:
                    del pending[port]
        return not pending

    started = time.monotonic()
    done = poll_until(settled, timeout, Countdown(label, timeout))
    waited = round(time.monotonic() - started, 2)
    if args.listening:
        records: list[JsonObject] = [{"port": port, "listening": port in seen, "addresses": seen.get(port, []),
                                      "waited": waited} for port in ports]
        if args.json:
            print_json(records if len(records) > 1 else records[0])
        elif done:
            for port in ports:
                write(f"{port} listening on {','.join(seen[port])}\n")
        else:
            late = ", ".join(f"{port}{where(targets[port])}" for port in pending)
            complain(f"timed out after {timeout:g} s: nothing listens on {late}")
        return EXIT_OK if done else EXIT_NEGATIVE
    states = {state.port: state for state in describe(list(pending))}
    if args.json:
        answers = [{**states.get(port, free_port(port)).to_json(), "waited": waited} for port in ports]
        print_json(answers if len(answers) > 1 else answers[0])
    elif done:
        for port in ports:
            write(f"{port} free{where(targets[port])}\n")
    else:
        complain(f"timed out after {timeout:g} s: " + "; ".join(
            f"{s.port} {s.words()}" if targets[s.port] is None else f"{s.port} in use{where(targets[s.port])}"
            for s in states.values()))
    return EXIT_OK if done else EXIT_NEGATIVE


def elsewhere_note(port: int, holders: "list[Holder]") -> str:
    """For a port localhost may bind although other addresses hold it."""
    held = ", ".join(f"{held_at(h)} by "
                     + (f"{h['name']} (pid {h['pid']})" if h["pid"] is not None else f"user {process_user(h)}")
                     for h in holders)
    return f"{port} is free on localhost, but held on {held}"


def table_sockets(holders: "list[Holder]") -> list[_sockets.Socket]:
    """The sockets of the holders as the /proc/net tables show them, each once."""
    found = {(s["protocol"], endpoint(s), s["protocol"] == "tcp" and s["state"] == "LISTEN", s["uid"])
             for h in holders for s in h["sockets"]}
    return [_sockets.Socket(protocol, address, listens, uid, 1) for protocol, address, listens, uid in sorted(found)]


def command_who(args: Arguments) -> int:
    targets = args.targets
    every_holder = {port: _table.holders(port) for port in targets}
    # The socket table has just been read for the holders: describe takes
    # the sockets from there rather than read /proc/net again.
    states = describe(list(targets), {port: table_sockets(found) for port, found in every_holder.items()})
    records, notes = [], []
    table: list[tuple[str, ...]] = [HOLDER_HEADER]
    every_port_seen = True
    for state in states:
        wanted = targets[state.port]
        holders = narrowed(every_holder[state.port], wanted)
        listeners = [h for h in holders if listening(h)]
        shown = holders if args.all else listeners[:1]
        if shown:
            table.extend(holder_row(state.port, h) for h in shown)
        elif wanted is None:
            table.append(state_row(state))
        else:
            table.append((str(state.port), "-", "-", "-", "-", "free" + where(wanted)))
        every_port_seen &= any(h["pid"] is not None for h in listeners)
        if holders and state.free and wanted is None:
            notes.append(elsewhere_note(state.port, holders))
        record = state.to_json()
        if (wanted is not None or record["owner"] is None) and listeners and listeners[0]["pid"] is not None:
            first = listeners[0]
            record["owner"] = {"pid": first["pid"], "name": first["name"], "cmd": first["cmd"],
                               "uid": first["uid"], "user": first["user"]}
        elif wanted is not None:
            record["owner"] = None
        record["addresses"] = [a for h in holders for a in listening(h)] or \
            (record["addresses"] if wanted is None else [])
        if args.all:
            record["holders"] = [holder_record(h) for h in holders]
        records.append(record)
    if args.json:
        print_json(records)
    else:
        print_table(table)
        for note in notes:
            write(note + "\n")
    return EXIT_OK if every_port_seen else EXIT_NEGATIVE


def command_ls(args: Arguments) -> int:
    targets = args.targets
    found = _table.listeners(list(targets) if targets else None)
    if targets:
        found = [entry for entry in found if covers(entry["address"], targets[entry["port"]])]
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
    print_table(table, None if args.wide else terminal_width())
    return EXIT_OK


def listener_record(entry: "Listener") -> JsonObject:
    return {"port": entry["port"], "address": entry["address"], "uid": entry["uid"], "user": entry["user"],
            "processes": [dict(process) for process in entry["processes"]]}


def command_scan(args: Arguments) -> int:
    states = [state for state in describe(list(args.targets)) if args.all or not state.free]
    if args.json:
        print_json([state.to_json() for state in states])
    elif states:
        print_table([HOLDER_HEADER, *map(state_row, states)])
    else:
        write("every port is free\n")
    return EXIT_OK


HANDLERS: "dict[str, Callable[[Arguments], int]]" = {
    "check": command_check, "free": command_free, "wait": command_wait, "who": command_who,
    "ls": command_ls, "scan": command_scan,
}


def run(args: Arguments) -> int:
    if args.command == "kill":
        from ._kill import command_kill
        return command_kill(args)
    if args.command == "reserve":
        from ._reserve_command import command_reserve
        return command_reserve(args)
    return HANDLERS[args.command](args)

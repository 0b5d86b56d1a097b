"""The commands of `vantle`, each a function of the parsed command line that
prints its answer and returns the exit status (see cli for the reading)."""

import time

from . import _lib, _sockets, _table
from ._arguments import Arguments
from ._countdown import POLL, Countdown, poll_until
from ._holders import (Selection, address_port, endpoint, held_at, holder_record, listening, narrowed, process_user,
                       where)
from ._output import EXIT_NEGATIVE, EXIT_OK, complain, one_line, print_json, print_table, terminal_width, write
from ._ports import covers
from ._report import JsonObject, PortState, describe, free_port, unseen

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from ._table import Holder, Listener, Process



def holder_row(port: int, holder: "Holder") -> tuple[str, ...]:
    if holder["pid"] is None:
        return (str(port), "-", process_user(holder), held_at(holder), "-",
                f"in use by {unseen(process_user(holder))}")
    return (str(port), str(holder["pid"]), process_user(holder), held_at(holder), one_line(holder["name"] or "-"),
            one_line(holder["cmd"] or ""))


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
    # How long each port took, from the start of the wait.
    waited: dict[int, float] = {}
    countdown = Countdown(label, timeout)
    from ._wait import listen_steps, listening_on

    def settled() -> bool:
        settled_ports(time.monotonic() - started)
        if pending and len(ports) > 1:
            countdown.label = f"waiting for {len(pending)} of {len(ports)} ports"
        return not pending

    def settled_ports(elapsed: float) -> None:
        if args.listening:
            # The look of wait_until_listening, at its pace.
            for port, wanted in list(pending.items()):
                addresses = listening_on(port, wanted)
                if addresses:
                    seen[port] = [address_port(address, port) for address in addresses]
                    del pending[port]
                    waited[port] = elapsed
        else:
            for port, wanted in list(pending.items()):
                free = _lib.is_available(port) if wanted is None else not narrowed(_table.holders(port), wanted)
                if free:
                    del pending[port]
                    waited[port] = elapsed

    started = time.monotonic()
    done = poll_until(settled, timeout, countdown, listen_steps() if args.listening else POLL)
    total = time.monotonic() - started
    took = {port: round(waited.get(port, total), 2) for port in ports}
    if args.listening:
        records: list[JsonObject] = [{"port": port, "listening": port in seen, "addresses": seen.get(port, []),
                                      "waited": took[port]} for port in ports]
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
        answers = [{**states.get(port, free_port(port)).to_json(), "waited": took[port]} for port in ports]
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
    # The workers of a server share its sockets: one entry for them all.
    pids: dict[tuple[str, str], list[str]] = {}
    for h in holders:
        by = (h["name"] or "?") if h["pid"] is not None else f"user {process_user(h)}"
        pids.setdefault((held_at(h), by), []).extend([str(h["pid"])] if h["pid"] is not None else [])
    held = ", ".join(f"{at} by {by}" + (f" (pid{'s' * (len(found) > 1)} {', '.join(found)})" if found else "")
                     for (at, by), found in pids.items())
    return f"{port} is free on localhost, but held on {held}"


def table_sockets(holders: "list[Holder]") -> list[_sockets.Socket]:
    """The sockets of the holders as the /proc/net tables show them, each once."""
    found = {(s["protocol"], endpoint(s), s["protocol"] == "tcp" and s["state"] == "LISTEN", s["uid"])
             for h in holders for s in h["sockets"]}
    return [_sockets.Socket(protocol, address, listens, uid, 1) for protocol, address, listens, uid in sorted(found)]


def command_who(args: Arguments) -> int:
    targets, selection = args.targets, Selection(args)
    # One read of the socket table and one walk, however many ports.
    held = _table.holders_by_port(list(targets))
    every_holder = {port: held.get(port, []) for port in targets}
    # The socket table has just been read for the holders: describe takes
    # the sockets from there rather than read /proc/net again.
    states = describe(list(targets), {port: table_sockets(found) for port, found in every_holder.items()})
    records, notes = [], []
    table: list[tuple[str, ...]] = [HOLDER_HEADER]
    every_port_seen = True
    for state in states:
        wanted = targets[state.port]
        holders = [h for h in narrowed(every_holder[state.port], wanted) if selection.keeps(h)]
        listeners = [h for h in holders if listening(h)]
        # Without a listener, the holders that keep the port busy are named
        # all the same: their sockets say that they do not listen.
        shown = holders if args.all else listeners[:1] or holders
        if shown:
            table.extend(holder_row(state.port, h) for h in shown)
        elif wanted is None and not selection:
            table.append(state_row(state))
        else:
            free = not narrowed(every_holder[state.port], wanted)
            table.append((str(state.port), "-", "-", "-", "-",
                          "free" + where(wanted) if free else "held by none of the processes selected"))
        every_port_seen &= any(h["pid"] is not None for h in listeners)
        if holders and state.free and wanted is None:
            notes.append(elsewhere_note(state.port, holders))
        record = state.to_json()
        # The owner and addresses seen from localhost, unless narrowed.
        narrowing = wanted is not None or bool(selection)
        if (narrowing or record["owner"] is None) and listeners and listeners[0]["pid"] is not None:
            first = listeners[0]
            record["owner"] = {"pid": first["pid"], "name": first["name"], "cmd": first["cmd"],
                               "uid": first["uid"], "user": first["user"]}
        elif narrowing:
            record["owner"] = None
        # Each address once, though a forked worker shares it with its parent.
        record["addresses"] = list(dict.fromkeys(a for h in holders for a in listening(h))) or \
            (record["addresses"] if not narrowing else [])
        if args.all:
            record["holders"] = [holder_record(h) for h in holders]
        records.append(record)
    if args.json:
        print_json(records)
    else:
        print_table(table, None if args.wide else terminal_width())
        for note in notes:
            write(note + "\n")
    return EXIT_OK if every_port_seen else EXIT_NEGATIVE


def command_ls(args: Arguments) -> int:
    targets, selection = args.targets, Selection(args)
    found = _table.listeners(list(targets) if targets else None)
    if targets:
        found = [entry for entry in found if covers(entry["address"], entry["v6only"], targets[entry["port"]])]
    if selection:
        found = [kept for entry in found if (kept := selection.listener(entry)) is not None]
    if args.json:
        print_json([listener_record(entry) for entry in found])
        return EXIT_OK
    table: list[tuple[str, ...]] = [("PORT", "ADDRESS", "PID", "PPID", "USER", "NAME", "COMMAND")]
    for entry in found:
        port, address = str(entry["port"]), entry["address"]
        if not entry["processes"]:
            owner = entry["user"] or str(entry["uid"])
            table.append((port, address, "-", "-", owner, "-", unseen(owner)))
            continue
        rows = [(p, str(p["pid"])) for p in entry["processes"]] if args.expand else [collapsed(entry["processes"])]
        for process, pids in rows:
            table.append((port, address, pids, str(process["ppid"]), process["user"] or str(process["uid"]),
                          one_line(process["name"] or "-"), one_line(process["cmd"])))
    print_table(table, None if args.wide else terminal_width())
    return EXIT_OK


def collapsed(processes: "list[Process]") -> "tuple[Process, str]":
    """The process that a socket's one row shows, and its PID cell: a
    server's forked workers after it as "1200 +4 workers", other processes
    sharing the socket by their pids ("1200,1305")."""
    parents = {p["pid"]: p["ppid"] for p in processes}
    roots = [p for p in processes if p["ppid"] not in parents]
    # The oldest of the processes whose parent does not share the socket
    # (processes are listed newest first).
    first = (roots or processes)[-1]
    others = [p["pid"] for p in processes if p is not first]

    def forked_from_first(pid: int) -> bool:
        seen = set()
        while pid in parents and pid not in seen:  # a cycle only if pids were reused meanwhile
            seen.add(pid)
            pid = parents[pid]
            if pid == first["pid"]:
                return True
        return False

    if not others:
        return first, str(first["pid"])
    if all(map(forked_from_first, others)):
        return first, f"{first['pid']} +{len(others)} worker{'s' * (len(others) > 1)}"
    return first, ",".join(map(str, [first["pid"], *others]))


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

"""`vantle kill`: frees ports on every local address (or on the address
given) by signalling their holders, as `fuser -k PORT/tcp` does, and says
what came of it."""

from . import _table
from ._arguments import Arguments, signal_name
from ._countdown import Countdown, poll_until
from ._holders import holder_record, kind, listening, narrowed, process_user, socket_words, where, with_sockets
from ._output import EXIT_NEGATIVE, EXIT_OK, one_line, print_json, print_table, warn, write
from ._ports import covers
from ._report import RUN_WITH_PRIVILEGES, JsonObject, describe, unseen

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from ._table import Holder, SignalledHolder, Socket

Wanted = frozenset[str] | None

# kill waits this long for the port after signalling, looking every interval.
KILL_GRACE = 1.0
KILL_POLL = 0.05
# The outcomes of a signal that reached its holder.
SIGNALLED = ("signalled", "gone")
# The numbers kill -s gives them in POSIX: kill's default signal, and
# --force's and --grace's. Named here, the common kill never loads the
# signal module (and the enum module it brings).
SIGKILL, SIGTERM = 9, 15


class Scope:
    """What a kill of one port reaches: the sockets on the wanted addresses,
    TCP ones (in any state, as `fuser -k PORT/tcp` takes them) and UDP ones
    only when asked for."""

    def __init__(self, port: int, wanted: Wanted, udp: bool) -> None:
        self.port, self.wanted, self.udp = port, wanted, udp

    def holders(self) -> "list[Holder]":
        """The holders of the port now, each with its sockets in scope."""
        return self.kept(_table.holders(self.port))

    def kept(self, holders: "list[Holder]") -> "list[Holder]":
        """The holders with sockets in scope, each with those only."""
        if self.udp:
            return narrowed(holders, self.wanted)
        return with_sockets(holders, lambda s: s["protocol"] == "tcp" and
                            covers(s["address"], s["v6only"], self.wanted))

    def signal(self, signal: int) -> "list[SignalledHolder]":
        """_table.signal_holders, kept to the sockets in scope (the addresses
        they are bound to, looked up here) and their holders. Signal 0 sends
        nothing: each holder's outcome says whether it may be signalled."""
        if self.wanted is None:
            return _table.signal_holders(self.port, signal, None, self.udp)
        addresses = sorted({s["address"] for h in self.holders() for s in h["sockets"]})
        return _table.signal_holders(self.port, signal, addresses, self.udp) if addresses else []


def socket_key(socket: "Socket") -> tuple[str, str, int, str]:
    return socket["protocol"], socket["address"], socket["port"], socket["state"]


def settle(scope: Scope, found: "list[SignalledHolder]", seconds: float, countdown: Countdown) -> "list[Holder]":
    """Waits up to `seconds` until nothing holds the port but what no signal
    could reach from the start: the holders left. A holder that takes the
    port over meanwhile (a worker forked by the one signalled, a respawned
    one) keeps the wait going."""
    out_of_reach = {h["pid"] for h in found if h["signal"] not in SIGNALLED and h["pid"] is not None}
    # What no signal reached; an exiting holder's socket also shows here for
    # a moment, with no process left holding it.
    unsignalled = {socket_key(s) for h in found if h["pid"] is None for s in h["sockets"]}
    left: list[Holder] = list(found)
    if not any(h["signal"] in SIGNALLED for h in found):
        return left

    def let_go() -> bool:
        nonlocal left
        left = scope.holders()
        return all(h["pid"] in out_of_reach if h["pid"] is not None else
                   {socket_key(s) for s in h["sockets"]} <= unsignalled for h in left)

    poll_until(let_go, seconds, countdown, KILL_POLL)
    return left


def kill_words(holder: "Holder", with_user: bool = False) -> str:
    """A holder in a message, marked when it does not listen on the port."""
    details = [f"pid {holder['pid']}"]
    if with_user:
        details.append(f"user {process_user(holder)}")
    if not listening(holder):
        kinds = sorted({kind(s) for s in holder["sockets"]})
        details.append("not listening: " + ", ".join(kinds))
    return f"{holder['name'] or '?'} ({', '.join(details)})"


def unreachable(holders: "Sequence[Holder]") -> str:
    """What stays out of reach, and what would work."""
    refused = [kill_words(h, with_user=True) for h in holders if h["pid"] is not None]
    parts = [f"in use by {unseen(process_user(h))}"
             for h in holders if h["pid"] is None]
    if refused:
        parts.append(f"permission denied to signal {', '.join(refused)}; {RUN_WITH_PRIVILEGES}")
    return "; ".join(parts)


def holds(holders: "Sequence[Holder]", still: str = "") -> str:
    """"python3 (pid 7) holds", "... still hold"."""
    return ", ".join(kill_words(h) for h in holders) + still + (" holds" if len(holders) == 1 else " hold")


def nothing_held(port: int, wanted: Wanted) -> tuple[str, str]:
    """For a port where nothing in reach holds a socket: already_free or
    not_visible, and the port's state in words ("free on 127.0.0.2")."""
    if wanted is not None:
        return "already_free", "free" + where(wanted)
    before = describe([port])[0]
    return ("already_free" if before.free else "not_visible"), before.words()


def kill_record(port: int, outcome: str, signal: str, found: "Sequence[SignalledHolder]",
                killed: "Sequence[SignalledHolder]", message: str, dry_run: bool = False) -> JsonObject:
    """A port's JSON record: `signal` is named where a holder could be sent
    it. In a dry run, a holder that would be signalled says would_signal."""
    sockets = [s for h in found for s in h["sockets"]]
    keeping = next((s for s in sockets if s["protocol"] == "tcp" and s["state"] == "LISTEN"),
                   sockets[0] if sockets else None)
    return {"port": port, "outcome": outcome,
            "signal": signal if any(h["pid"] is not None for h in found) else None,
            "holders": [{**holder_record(h), "signal": "would_signal" if dry_run and h["signal"] == "signalled"
                         else h["signal"]} for h in found],
            "user": None if keeping is None else keeping["user"],
            "uid": None if keeping is None else keeping["uid"],
            "sigkill": [h["pid"] for h in killed], "message": message}


def kill_one(port: int, wanted: Wanted, signal: int, grace: float | None, udp: bool = False,
             earlier: "Sequence[Holder]" = (), signalled_for: "dict[int, int] | None" = None,
             ) -> tuple[str, str, JsonObject]:
    """Frees one port with `signal` (then SIGKILL after `grace`): (outcome,
    message, JSON record). `earlier` are its holders when the command
    began, and `signalled_for` the port whose kill signalled each pid since
    (this kill adds its own): a port that those kills freed is reported
    freed."""
    signalled_for = {} if signalled_for is None else signalled_for
    name = sent_name(signal)
    scope = Scope(port, wanted, udp)
    found = scope.signal(signal)
    left = settle(scope, found, KILL_GRACE if grace is None else grace,
                  Countdown(f"freeing port {port}" + ("" if grace is None else ", then SIGKILL"),
                            KILL_GRACE if grace is None else grace))
    signalled = [h for h in found if h["signal"] in SIGNALLED]
    signalled_pids = {h["pid"] for h in signalled}
    out_of_reach: list[Holder] = [h for h in found if h["signal"] not in SIGNALLED]
    unreached_pids = {h["pid"] for h in out_of_reach}
    killed: list[SignalledHolder] = []
    if grace is not None and any(h["pid"] is not None and h["pid"] not in unreached_pids for h in left):
        # What outlived the first signal, or took the port over: SIGKILL for whatever holds it now.
        second = scope.signal(SIGKILL)
        killed = [h for h in second if h["signal"] in SIGNALLED]
        signalled += [h for h in killed if h["pid"] not in signalled_pids]
        signalled_pids |= {h["pid"] for h in killed}
        left = settle(scope, second, KILL_GRACE, Countdown(f"freeing port {port}", KILL_GRACE))
    for holder in signalled:
        if holder["pid"] is not None:
            signalled_for.setdefault(holder["pid"], port)
    after = "" if not killed else f"; SIGKILL after {grace:g} s: " + ", ".join(kill_words(h) for h in killed)
    freed_before = [] if found else [h for h in scope.kept(list(earlier)) if h["pid"] in signalled_for]
    if freed_before:
        outcome = "freed"
        by = sorted({signalled_for[h["pid"]] for h in freed_before if h["pid"] is not None})
        message = (f"{port} freed, was held by " + ", ".join(kill_words(h) for h in freed_before)
                   + f", signalled for {', '.join(map(str, by))}")
        found = [{**h, "signal": "signalled"} for h in freed_before]
    elif not found:
        outcome, words = nothing_held(port, wanted)
        message = f"{port} was already {words}" if outcome == "already_free" else f"{port} not freed: {words}"
    elif not left:
        outcome = "freed"
        message = f"{port} freed, was held by " + ", ".join(kill_words(h) for h in signalled) + after
    else:
        still = [h for h in left if h["pid"] in signalled_pids]
        newcomers = [h for h in left if h["pid"] is not None and h["pid"] not in signalled_pids
                     and h["pid"] not in unreached_pids]
        if still or newcomers:
            outcome = "still_in_use"
            last = "SIGKILL" if killed else name
            clauses = [f"{holds(still, ' still')} it after {last}"] if still else []
            if newcomers:
                gone = [h for h in signalled if h["pid"] not in {x["pid"] for x in left}]
                clauses.append(f"{holds(newcomers)} it now" +
                               (f", taken over after {last} to {', '.join(kill_words(h) for h in gone)}"
                                if gone else ""))
            message = f"{port} not freed: " + "; ".join(clauses)
            if signal != SIGKILL and grace is None:
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
    return outcome, message, kill_record(port, outcome, name, found, killed, message)


def sent_name(signal: int) -> str:
    """The name of kill's signal, looked up only for one --signal chose."""
    return {SIGTERM: "SIGTERM", SIGKILL: "SIGKILL"}.get(signal) or signal_name(signal)


def dry_run_one(port: int, wanted: Wanted, signal: int, grace: float | None, udp: bool,
                ) -> tuple[str, str, JsonObject, "list[SignalledHolder]"]:
    """What kill_one would signal, signalling nothing: (outcome, message,
    JSON record, the holders in reach). The holders are looked up as the
    kill would look them up and checked with signal 0 (kill(2)'s "may I?"),
    so that one the kill would be refused is told apart. Outcome dry_run
    when one would be signalled; otherwise why none would be, as kill_one
    says it."""
    name = sent_name(signal)
    found = Scope(port, wanted, udp).signal(0)
    would = [h for h in found if h["signal"] == "signalled"]
    out_of_reach: list[Holder] = [h for h in found if h["signal"] in ("refused", None)]
    if would:
        outcome = "dry_run"
        message = f"{port}: would send {name} to " + ", ".join(kill_words(h, with_user=True) for h in would)
        if grace is not None:
            message += f", then SIGKILL after {grace:g} s to what still holds it"
        if out_of_reach:
            message += "; besides, " + unreachable(out_of_reach)
    elif out_of_reach:
        outcome = "permission_denied" if any(h["pid"] is not None for h in out_of_reach) else "not_visible"
        message = f"{port}: nothing to signal: " + unreachable(out_of_reach)
    else:
        outcome, words = nothing_held(port, wanted)
        message = f"{port}: nothing to signal: {words}"
    return outcome, message, kill_record(port, outcome, name, found, (), message, dry_run=True), found


DRY_RUN_HEADER = ("PORT", "PID", "USER", "SIGNAL", "SOCKETS", "NAME", "COMMAND")


def dry_run_row(port: int, holder: "SignalledHolder", name: str) -> tuple[str, ...]:
    """A holder as --dry-run shows it: the signal it would be sent (or why
    not: refused, gone), and the sockets on the port that make it a holder."""
    user, sockets = process_user(holder), ",".join(socket_words(holder)) or "-"
    if holder["pid"] is None:
        return (str(port), "-", user, "-", sockets, "-", f"in use by {unseen(user)}")
    would = name if holder["signal"] == "signalled" else str(holder["signal"])
    return (str(port), str(holder["pid"]), user, would, sockets, one_line(holder["name"] or "-"),
            one_line(holder["cmd"] or ""))


def command_dry_run(args: Arguments, signal: int) -> int:
    """kill --dry-run: a row per holder the kill would reach, then what it
    would send; exit 0 when every port has a holder that would be signalled,
    as pgrep does when it matches."""
    name = sent_name(signal)
    records, outcomes = [], []
    table: list[tuple[str, ...]] = [DRY_RUN_HEADER]
    would, refused = set(), set()
    for port, wanted in args.targets.items():
        outcome, message, record, found = dry_run_one(port, wanted, signal, args.grace, args.udp)
        records.append(record)
        outcomes.append(outcome)
        table.extend(dry_run_row(port, h, name) for h in found)
        if not found:
            table.append((str(port), "-", "-", "-", "-", "-", message.removeprefix(f"{port}: ")))
        would |= {h["pid"] for h in found if h["signal"] == "signalled"}
        refused |= {h["pid"] for h in found if h["signal"] == "refused"}
    if args.json:
        print_json(records)
    else:
        print_table(table)
        line = "dry run: nothing would be signalled" if not would else \
            f"dry run, nothing signalled: {name} would go to {len(would)} process" + "es" * (len(would) > 1)
        if args.grace is not None and would:
            line += f", then SIGKILL after {args.grace:g} s to what still holds a port"
        if refused:
            line += f"; {len(refused)} may not be signalled ({RUN_WITH_PRIVILEGES})"
        write(line + "\n")
    return EXIT_OK if all(o == "dry_run" for o in outcomes) else EXIT_NEGATIVE


def summary(outcomes: list[str]) -> str:
    """One line for many ports: how many of each outcome."""
    freed = outcomes.count("freed")
    already = outcomes.count("already_free")
    failed = len(outcomes) - freed - already
    parts = [f"{freed} freed", f"{already} already free"] + ([f"{failed} not freed"] if failed else [])
    return f"{len(outcomes)} ports: " + ", ".join(parts)


def command_kill(args: Arguments) -> int:
    signal = SIGKILL if args.force else SIGTERM if args.signal is None else args.signal
    if args.dry_run:
        return command_dry_run(args, signal)
    targets = args.targets
    records, outcomes = [], []
    many = len(targets) > 1
    # With many ports, one holder may hold several: who held what at the
    # start tells a port freed by an earlier port's kill from one already free.
    earlier = _table.holders_by_port(list(targets)) if many else {}
    signalled_for: dict[int, int] = {}
    for port, wanted in targets.items():
        outcome, message, record = kill_one(port, wanted, signal, args.grace, args.udp,
                                            earlier.get(port, []), signalled_for)
        records.append(record)
        outcomes.append(outcome)
        if args.json or (many and outcome == "already_free"):
            continue
        if outcome in ("freed", "already_free"):
            write(message + "\n")
        else:
            warn(message)
    if args.json:
        print_json(records)
    elif many:
        write(summary(outcomes) + "\n")
    return EXIT_OK if all(o in ("freed", "already_free") for o in outcomes) else EXIT_NEGATIVE

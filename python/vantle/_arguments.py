"""The parsed command line, whichever reader made it, and the readers of
its values that are not ports (see _ports for those)."""

from ._ports import PortError, Targets, joined, localhost_targets, one_port, port_targets

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

# The longest wait taken (68 years): far below what the clock can hold.
MAX_TIMEOUT = 2**31 - 1
# The most ports one reservation takes.
MAX_COUNT = 1000
# The largest user or process id.
MAX_ID = 2**32 - 1


class Arguments:
    """A parsed command line; the class attributes are the defaults
    (argparse keeps an attribute the namespace already has)."""

    command = ""
    ports: "list[Targets]" = []
    json = False
    all = False
    wide = False
    force = False
    udp = False
    clients = False
    listening = False
    expand = False
    # --user (as uids), --pid, --name: the processes ls and who show.
    user: "frozenset[int] | None" = None
    pid: "frozenset[int] | None" = None
    name: "frozenset[str] | None" = None
    timeout = 30.0
    grace: float | None = None
    # kill: the number of the signal --signal names; None for the default.
    signal: int | None = None
    dry_run = False
    preferred: int | None = None
    count = 1
    # The command `reserve` runs, with its arguments.
    argv: "list[str]" = []
    # The word a command takes in place of ports: completion's shell.
    word = ""

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


def count(text: str) -> int:
    """How many consecutive ports to reserve: 1 to MAX_COUNT."""
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= MAX_COUNT:
        raise PortError(f"not a count of ports (1-{MAX_COUNT}): {text!r}")
    return int(text)


def listed[T](text: str, read: "Callable[[str], T]") -> "frozenset[T]":
    """A comma-separated list of values, each read by `read`."""
    return frozenset(read(item) for item in text.split(","))


def user_id(text: str) -> int:
    if text.isascii() and text.isdigit():
        if int(text) > MAX_ID:
            raise PortError(f"not a user: {text!r}")
        return int(text)
    import pwd
    try:
        return pwd.getpwnam(text).pw_uid
    except (KeyError, ValueError):  # ValueError: a NUL in the name
        raise PortError(f"no such user: {text!r}") from None


def users(text: str) -> "frozenset[int]":
    """--user: user names or uids, as uids."""
    return listed(text, user_id)


def process_id(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= MAX_ID:
        raise PortError(f"not a process id: {text!r}")
    return int(text)


def pids(text: str) -> "frozenset[int]":
    """--pid: process ids."""
    return listed(text, process_id)


def process_name(text: str) -> str:
    if not text:
        raise PortError("an empty process name")
    return text


def names(text: str) -> "frozenset[str]":
    """--name: the beginnings of process names (as lsof -c takes them)."""
    return listed(text, process_name)


def signal_number(text: str) -> int:
    """--signal's value, as kill -s and fuser take it: a name with or
    without SIG, in any case (QUIT, SIGQUIT, quit), or a number (3). Only
    the signals this system has; 0 sends nothing and is refused. The
    signal module (and the enum module it brings) loads only here."""
    import signal
    name = text.upper().removeprefix("SIG")
    if text.isascii() and text.isdigit():
        number = int(text)
    else:
        found = signal.Signals.__members__.get("SIG" + name)
        number = -1 if found is None else found.value
    if number == 0:
        raise PortError("signal 0 sends nothing; to see what kill would signal: --dry-run")
    if number not in signal.valid_signals():
        raise PortError(f"not a signal of this system: {text!r}; use a name (TERM, INT, QUIT, HUP, KILL) "
                        "or a number, as `kill -l` lists them")
    return number


def signal_name(number: int) -> str:
    """'SIGQUIT' for 3; 'SIGRTMIN+2' for a real-time signal without a name of its own."""
    import signal
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"SIGRTMIN+{number - signal.SIGRTMIN}"


class Command:
    """What quick_parse needs to know of a command: its flags, its options
    with a value and their readers, whether it takes ports ('+': one or
    more, '*': any, '': none) and their reader, whether it runs a command
    given after its options, and the words it takes one of instead of ports.
    The argparse parser (_parser) says the same at length, and the shell
    completion (_completion) is written from it."""

    def __init__(self, flags: "Sequence[str]", options: "dict[str, Callable[[str], object]]", ports: str,
                 read_ports: "Callable[[str], Targets]" = port_targets, runs: bool = False,
                 words: "Sequence[str]" = ()) -> None:
        self.flags, self.options, self.ports, self.read_ports = flags, options, ports, read_ports
        self.runs, self.words = runs, words


# The options that keep some processes only.
SELECTION: "dict[str, Callable[[str], object]]" = {"--user": users, "--pid": pids, "--name": names}

COMMANDS = {
    "check": Command(["--json"], {}, "+", localhost_targets),
    "free": Command(["--json"], {"--preferred": one_port}, ""),
    "wait": Command(["--json", "--listening"], {"--timeout": seconds}, "+"),
    "who": Command(["--json", "--all", "--wide", "--clients"], SELECTION, "+"),
    "scan": Command(["--json", "--all"], {}, "+", localhost_targets),
    "ls": Command(["--json", "--wide", "--expand", "--udp"], SELECTION, "*"),
    "kill": Command(["--json", "--force", "--udp", "--dry-run"], {"--grace": seconds, "--signal": signal_number}, "+"),
    "reserve": Command([], {"--count": count}, "", runs=True),
    # A shell's completion script, or with --listening the ports it completes.
    "completion": Command(["--listening"], {}, "", words=("bash", "zsh", "fish")),
}

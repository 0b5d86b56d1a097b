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
    listening = False
    timeout = 30.0
    grace: float | None = None
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


COMMANDS = {
    "check": Command(["--json"], {}, "+", localhost_targets),
    "free": Command(["--json"], {"--preferred": one_port}, ""),
    "wait": Command(["--json", "--listening"], {"--timeout": seconds}, "+"),
    "who": Command(["--json", "--all", "--wide"], {}, "+"),
    "scan": Command(["--json", "--all"], {}, "+", localhost_targets),
    "ls": Command(["--json", "--wide"], {}, "*"),
    "kill": Command(["--json", "--force", "--udp"], {"--grace": seconds}, "+"),
    "reserve": Command([], {"--count": count}, "", runs=True),
    # A shell's completion script, or with --listening the ports it completes.
    "completion": Command(["--listening"], {}, "", words=("bash", "zsh", "fish")),
}

"""What every command prints through, and the exit statuses: the bottom of
the command line's modules, importing none of them."""

import os
import sys
from _json import encode_basestring_ascii

EXIT_OK, EXIT_NEGATIVE, EXIT_USAGE = 0, 1, 2
EXIT_OUTPUT = 74  # EX_IOERR of sysexits.h: the answer could not be written
EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 130, 141


class OutputError(Exception):
    """stdout refused the answer (a full disk, /dev/full, an I/O error)."""


class ClosedOutput:
    """Stands for a stdout closed before the start (>&-): the command still
    does what it was asked, and only its answer fails."""

    def write(self, text: str) -> int:
        raise OSError(9, "standard output is closed")

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


def write(text: str) -> None:
    """Writes to stdout; a failure to write ends the command (see cli.main)."""
    try:
        sys.stdout.write(text)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error) from None


def flushed(status: int) -> int:
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error) from None
    return status


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
        if stream is not None and not isinstance(stream, ClosedOutput):
            os.dup2(devnull, stream.fileno())  # type: ignore[attr-defined]
    os.close(devnull)


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


# Marks where a cell was cut.
CUT = "..."
# The least room a command line is shortened into; a narrower terminal cuts
# the row where it ends.
LEAST_COMMAND = 12


def shortened(command: str, room: int) -> str:
    """A command line in `room` characters, keeping what tells most: the
    program's name and its first arguments. The leading directories of the
    program's path go first, as many as need to ("/usr/lib/jvm/bin/java"
    becomes ".../jvm/bin/java"), then the end of the line; CUT marks each cut."""
    if len(command) <= room:
        return command
    program, space, arguments = command.partition(" ")
    directories = program.split("/")[:-1]
    name = program.rpartition("/")[2]
    for kept in range(len(directories) - 1, -1, -1):
        program = "/".join([CUT, *directories[len(directories) - kept:], name])
        if len(program) + len(space) + len(arguments) <= room:
            return program + space + arguments
    line = program + space + arguments
    return line if len(line) <= room else line[:room - len(CUT)] + CUT


def print_table(table: "list[tuple[str, ...]]", width: int | None = None) -> None:
    """Columns padded to their widest cell; each row cut to `width` when
    given, the last cell (a command line) shortened to fit where it can be."""
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]) - 1)]
    for row in table:
        start = "".join(cell.ljust(w) + "  " for cell, w in zip(row, widths))
        last = row[-1]
        if width is not None and width - len(start) >= LEAST_COMMAND:
            last = shortened(last, width - len(start))
        line = (start + last).rstrip()
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

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

"""The `vantle` command: the package's six functions for the shell.

Exit codes: 0 when the command did what was asked (every port free, waited
successfully, every port freed), 1 when the answer is negative (a port is in
use, the wait timed out, a port could not be freed), 2 for usage errors.
"""

import argparse
import json
import sys

from . import _lib

EXIT_OK, EXIT_NEGATIVE, EXIT_USAGE = 0, 1, 2

DESCRIPTION = "Check, find, wait for, inspect and free local TCP ports."
EPILOG = "exit status: 0 success, 1 negative answer (in use, timed out, not freed), 2 usage error"


def port_number(text):
    """One port, 1-65535."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range (1-65535): {text!r}")
    return value


def port_list(text):
    """Ports as '8000', '8000-8100' or '80,443,8000-8010'."""
    ports = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            raise argparse.ArgumentTypeError(f"empty item in port list: {text!r}")
        low, dash, high = part.partition("-")
        if not dash:
            ports.append(port_number(low))
            continue
        first, last = port_number(low), port_number(high)
        if first > last:
            raise argparse.ArgumentTypeError(f"range runs backwards: {part!r}")
        ports.extend(range(first, last + 1))
    return ports


def flatten(groups):
    seen, ports = set(), []
    for group in groups:
        for port in group:
            if port not in seen:
                seen.add(port)
                ports.append(port)
    return ports


def one_line(text):
    """A command line as one table cell: control characters shown escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)


def print_owner_table(rows, out):
    """rows: (port, owner dict or None, note for a missing owner)."""
    table = [("PORT", "PID", "NAME", "COMMAND")]
    for port, owner, note in rows:
        if owner:
            table.append((str(port), str(owner["pid"]), one_line(owner["name"]), one_line(owner["cmd"])))
        else:
            table.append((str(port), "-", note, ""))
    widths = [max(len(row[i]) for row in table) for i in range(3)]
    for row in table:
        line = "  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[3]
        print(line.rstrip(), file=out)


def free_or_unseen(port):
    return "free" if _lib.is_available(port) else "in use, owner not visible"


def command_check(args, out):
    busy = False
    for port in flatten(args.ports):
        free = _lib.is_available(port)
        busy |= not free
        print(f"{port} {'free' if free else 'in use'}", file=out)
    return EXIT_NEGATIVE if busy else EXIT_OK


def command_free(args, out):
    print(_lib.find_free(args.preferred), file=out)
    return EXIT_OK


def command_wait(args, out):
    if _lib.wait_until_free(args.port, args.timeout):
        print(f"{args.port} free", file=out)
        return EXIT_OK
    print(f"{args.port} still in use after {args.timeout} s", file=out)
    return EXIT_NEGATIVE


def report_owners(ports, owners, as_json, only_owned, out):
    if as_json:
        json.dump({str(port): owners[port] for port in ports}, out, indent=2)
        print(file=out)
        return
    rows = [(port, owners[port], None if owners[port] else free_or_unseen(port)) for port in ports]
    if only_owned:
        rows = [row for row in rows if row[1]]
    if rows:
        print_owner_table(rows, out)
    else:
        print("no listening process found", file=out)


def command_who(args, out):
    ports = flatten(args.ports)
    owners = {port: _lib.get_info(port) for port in ports}
    report_owners(ports, owners, args.json, False, out)
    return EXIT_OK if all(owners.values()) else EXIT_NEGATIVE


def command_scan(args, out):
    ports = flatten(args.ports)
    owners = _lib.scan(ports)
    report_owners(ports, owners, args.json, not args.all, out)
    return EXIT_OK


def command_kill(args, out):
    failed = False
    for port in flatten(args.ports):
        owner = _lib.get_info(port)
        try:
            _lib.kill(port, force=args.force)
        except OSError as error:  # PermissionError included
            failed = True
            print(f"{port} not freed: {error}", file=out)
            continue
        holder = f" (was {owner['name']}, pid {owner['pid']})" if owner else ""
        print(f"{port} freed{holder}", file=out)
    return EXIT_NEGATIVE if failed else EXIT_OK


def build_parser():
    parser = argparse.ArgumentParser(prog="vantle", description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_lib.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, handler, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=EPILOG)
        sub.set_defaults(handler=handler)
        return sub

    ports_help = "ports: 8000, 8000-8100 or 80,443,8000-8010"
    check = command("check", command_check, "Say whether ports are free (exit 0 only when all are).")
    check.add_argument("ports", nargs="+", type=port_list, metavar="PORTS", help=ports_help)

    free = command("free", command_free, "Print a port that is free now.")
    free.add_argument("--preferred", type=port_number, metavar="P", help="use P when it is free")

    wait = command("wait", command_wait, "Wait until a port is free (exit 1 on time-out).")
    wait.add_argument("port", type=port_number, metavar="PORT")
    wait.add_argument("--timeout", type=int, default=30, metavar="S", help="whole seconds to wait (default 30)")

    who = command("who", command_who, "Show the process listening on each port (exit 1 if any has none).")
    who.add_argument("ports", nargs="+", type=port_list, metavar="PORTS", help=ports_help)
    who.add_argument("--json", action="store_true", help="print JSON for scripts")

    scan = command("scan", command_scan, "List the listening processes on many ports.")
    scan.add_argument("ports", nargs="+", type=port_list, metavar="PORTS", help=ports_help)
    scan.add_argument("--json", action="store_true", help="print JSON for scripts (every port, null when none)")
    scan.add_argument("--all", action="store_true", help="also list ports without a listening process")

    kill = command("kill", command_kill, "Free ports by signalling their holders (exit 1 if any stays in use).")
    kill.add_argument("ports", nargs="+", type=port_list, metavar="PORTS", help=ports_help)
    kill.add_argument("--force", action="store_true", help="send SIGKILL instead of SIGTERM")
    return parser


def main(argv=None, out=None):
    out = out or sys.stdout
    args = build_parser().parse_args(argv)
    if args.command == "wait" and args.timeout < 0:
        build_parser().error("--timeout must not be negative")
    return args.handler(args, out)


if __name__ == "__main__":
    sys.exit(main())

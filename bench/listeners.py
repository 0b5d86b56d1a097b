"""vantle.listeners(), the machine view, against the tools that list every
listener with its process: `ss -ltnp` and psutil.net_connections('tcp'), all
of which walk every /proc/PID/fd, and against the C++ floor of the lookup
section (every fd link read once). And `vantle ls --json` as a whole process
against `ss -ltnp`.

The machine holds a table of 500 sleeping processes of 20 sockets each (the
lookup section's table) and 50 listeners in table processes spread over its
pid range, the oldest among them: 40 on 127.0.0.1 and 10 on 127.0.0.2.

    python bench/run.py listeners
"""

import subprocess

import psutil

import vantle
from harness import (Case, CppBuild, Ratio, interleaved_medians, native_batch, print_cases, python_batch,
                     vantle_command)
from lookup import FLOOR_SOURCE, TABLE_SOURCE, Table, command_batch

PROCESSES, SOCKETS = 500, 20
ON_LOOPBACK, ON_SECOND_LOOPBACK = 40, 10

LISTENERS = "vantle.listeners()"
SS = "ss -ltnp"
PSUTIL = "psutil.net_connections('tcp')"
FLOOR = "C++ floor: read every fd link"
LS = "vantle ls --json (whole process)"


def check(ports):
    """Every table listener is listed, with its process."""
    found = {(entry["address"], entry["port"]) for entry in vantle.listeners() if entry["processes"]}
    missing = set(ports) - found
    if missing:
        raise RuntimeError(f"listeners() missed {sorted(missing)[:5]}")
    shown = subprocess.run(["ss", "-Hltnp"], capture_output=True, text=True).stdout
    if any(f"{address}:{port} " not in shown for address, port in ports):
        raise RuntimeError("ss did not list every table listener")


def run(rounds):
    build = CppBuild()
    try:
        floor = build.executable("lookup_floor", FLOOR_SOURCE)
        with Table(build.executable("lookup_table", TABLE_SOURCE), PROCESSES, SOCKETS) as table:
            count = ON_LOOPBACK + ON_SECOND_LOOPBACK
            owners = [table.pids[round(j * PROCESSES / count)] for j in range(count)]
            ports = [("127.0.0.1" if j < ON_LOOPBACK else "127.0.0.2", pid) for j, pid in enumerate(owners)]
            listening = [(address, table.listen(pid, 1, address)[0]) for address, pid in ports]
            check(listening)
            medians = interleaved_medians({
                LISTENERS: python_batch(vantle.listeners),
                SS: command_batch(["ss", "-ltnp"]),
                PSUTIL: python_batch(psutil.net_connections, "tcp"),
                FLOOR: native_batch(floor),
                LS: command_batch([*vantle_command(), "ls", "--json"]),
            }, rounds, min_batch=1, shuffle=True)
    finally:
        build.close()
    title = (f"every listener with its processes ({PROCESSES} processes x {SOCKETS} sockets, "
             f"{ON_LOOPBACK} listeners on 127.0.0.1 and {ON_SECOND_LOOPBACK} on 127.0.0.2)")
    print_cases("listeners", [Case(title, LISTENERS, medians, [
        Ratio("listeners() / ss -ltnp", LISTENERS, SS, at_most=0.6),
        Ratio("listeners() / psutil", LISTENERS, PSUTIL, at_most=0.8),
        Ratio("listeners() / C++ floor", LISTENERS, FLOOR, at_most=1.15),
        Ratio("ls --json / ss -ltnp", LS, SS, at_most=1.0),
    ])], rounds)

"""kill on a listener that exits promptly on SIGTERM, against the idioms
users reach for: `fuser -k -TERM PORT/tcp` then polling a bind until the port
is free, and psutil's net_connections plus Process.terminate() then the same
polling. The idioms poll every 10 ms, finer than kill's 50 ms, in their
favour.

Every run signals a fresh listener started by this benchmark. The listener
writes the monotonic clock when its SIGTERM handler runs, just before it
exits, so each run gives two times: from the call to its return, and from
the owner's exit to the return (how soon the caller learns the port is free).
The floor is os.kill on the known pid and waitpid: the owner's own exit,
with no lookup and no probing.

kill's lookup reads every TCP and UDP socket on the port and then walks every
process (a holder that does not listen may be anywhere), so the runs happen
beside a table of sleeping processes (500 x 20 sockets by default, the
lookup section's table). Its limit is the least such a kill can cost: one
all-states TCP dump of the kernel's socket tables (a C++ program, one request
for both families), one full walk of every /proc/PID/fd link (the lookup
section's C++ floor) and the owner's own exit after SIGTERM, each timed in
the same rounds.

    python bench/run.py kill                    without the table, then beside it
    python bench/run.py kill --kill-table 0     without the table only"""

import os
import signal
import socket
import statistics
import subprocess
import sys
import time

import psutil

import vantle
from harness import Case, CppBuild, Ratio, native_batch, print_cases
from lookup import FLOOR_SOURCE, TABLE_SOURCE, Table

OWNER = """
import os, signal, socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
def on_term(*_):
    os.write(1, b"%d\\n" % time.monotonic_ns())
    os._exit(0)
signal.signal(signal.SIGTERM, on_term)
print(s.getsockname()[1], flush=True)
while True: time.sleep(60)
"""

IDIOM_POLL_SECONDS = 0.01
EXIT_GOAL_NS = 10e6
LIMIT_GOAL = 1.3
DEFAULT_TABLE = 500
TABLE_SOCKETS = 20

# One all-states dump of the TCP sockets of both families, as kill's lookup
# asks for them (no TIME_WAIT, no NEW_SYN_RECV), read to its end; prints ns
# per dump.
DUMP_SOURCE = r"""
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static char buffer[32768];

static bool dump(int fd, unsigned seq) {
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = seq;
    message.request.idiag_family = AF_INET;
    message.request.idiag_states = ~((1u << 6) | (1u << 12));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, (sockaddr*)&kernel, sizeof kernel) < 0) return false;
    for (;;) {
        long got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        for (nlmsghdr* h = (nlmsghdr*)buffer; NLMSG_OK(h, got); h = NLMSG_NEXT(h, got)) {
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (h->nlmsg_type == NLMSG_ERROR) return false;
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const long n = std::atol(argv[1]);
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < n; ++i)
        if (!dump(fd, unsigned(i + 1))) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    std::printf("%.1f\n", ((end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec)) / n);
    return 0;
}
"""


def bindable(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            s.listen()
            return True
        except OSError:
            return False


def poll_until_bindable(port, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not bindable(port):
        if time.monotonic() > deadline:
            raise RuntimeError(f"port {port} still in use")
        time.sleep(IDIOM_POLL_SECONDS)


def with_vantle(owner, port):
    assert vantle.kill(port) is True


def with_fuser(owner, port):
    subprocess.run(["fuser", "-k", "-TERM", f"{port}/tcp"], check=True, capture_output=True)
    poll_until_bindable(port)


def with_psutil(owner, port):
    for connection in psutil.net_connections(kind="inet"):
        if connection.laddr and connection.laddr.port == port and connection.pid:
            psutil.Process(connection.pid).terminate()
    poll_until_bindable(port)


def floor(owner, port):
    owner.send_signal(signal.SIGTERM)
    owner.wait()


DUMP = "one all-states TCP dump (C++)"
WALK = "one full walk: every fd link (C++)"
FLOOR = "floor: os.kill(pid) + waitpid"

CONTENDERS = {
    "vantle.kill": with_vantle,
    "fuser -k + bind polling": with_fuser,
    "psutil + bind polling": with_psutil,
    FLOOR: floor,
}


def one_run(release):
    """(call to return, owner's exit to return) in ns, for one fresh owner."""
    owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE)
    try:
        port = int(owner.stdout.readline())
        start = time.monotonic_ns()
        release(owner, port)
        end = time.monotonic_ns()
        exited = int(owner.stdout.readline())
        if owner.wait(timeout=5) != 0:
            raise RuntimeError("the owner did not exit through its SIGTERM handler")
        return end - start, end - exited
    finally:
        if owner.poll() is None:
            owner.kill()
            owner.wait()
        owner.stdout.close()


class ExitGoal:
    """A limit on vantle's own median, in the shape print_cases expects."""

    def line(self, medians):
        value = medians["vantle.kill"]
        verdict = "met" if value <= EXIT_GOAL_NS else "MISSED"
        return (f"goal: vantle.kill returns {value / 1e6:.2f} ms after the owner's exit, "
                f"at most {EXIT_GOAL_NS / 1e6:.0f} ms: {verdict}")


class LimitGoal:
    """kill against the sum of what it cannot avoid: one dump, one walk and
    the owner's exit."""

    def line(self, medians):
        limit = medians[DUMP] + medians[WALK] + medians[FLOOR]
        ratio = medians["vantle.kill"] / limit
        verdict = "met" if ratio <= LIMIT_GOAL else "MISSED"
        return (f"goal: vantle.kill / limit (dump + walk + exit = {limit / 1e6:.2f} ms) = {ratio:.2f}, "
                f"at most {LIMIT_GOAL:.2f}: {verdict}")


def add_arguments(group):
    group.add_argument("--kill-table", type=int, default=None,
                       help=f"sleeping processes of {TABLE_SOCKETS} sockets each beside the runs "
                            f"(default: the machine as it is, then {DEFAULT_TABLE}; 0 for none)")


def run(rounds, options=None):
    """The machine's own process table first, where the walk is short and the
    rest of kill shows; then beside the table, where the walk dominates."""
    chosen = options.kill_table if options else None
    build = CppBuild()
    try:
        dump = native_batch(build.executable("kill_dump", DUMP_SOURCE))
        walk = native_batch(build.executable("lookup_floor", FLOOR_SOURCE))
        for processes in [0, DEFAULT_TABLE] if chosen is None else [chosen]:
            if not processes:
                measure(rounds, dump, walk, "no table")
                continue
            with Table(build.executable("lookup_table", TABLE_SOURCE), processes, TABLE_SOCKETS):
                measure(rounds, dump, walk, f"{processes} processes x {TABLE_SOCKETS} sockets besides")
    finally:
        build.close()


def measure(rounds, dump, walk, beside):
    names = list(CONTENDERS)
    totals = {name: [] for name in names + [DUMP, WALK]}
    after_exit = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            total, late = one_run(CONTENDERS[name])
            totals[name].append(total)
            after_exit[name].append(late)
        totals[DUMP].append(dump(3))
        totals[WALK].append(walk(1))
    medians_total = {name: statistics.median(values) for name, values in totals.items()}
    medians_late = {name: statistics.median(values) for name, values in after_exit.items()}
    print_cases("kill", [
        Case(f"time from the call to its return (owner exits on SIGTERM; {beside})", "vantle.kill", medians_total, [
            Ratio("fuser idiom / vantle", "fuser -k + bind polling", "vantle.kill", at_least=1.0),
            Ratio("psutil idiom / vantle", "psutil + bind polling", "vantle.kill", at_least=1.0),
            Ratio("vantle / floor (lookup, probes and the wait)", "vantle.kill", FLOOR),
            LimitGoal(),
        ]),
        Case("time from the owner's exit to the return", "vantle.kill", medians_late, [ExitGoal()]),
    ], rounds)


"""get_info and scan over a synthetic process table: N sleeping processes of
K sockets each, against psutil, ss, fuser and lsof, and against a C++ floor
that reads every /proc/PID/fd link once, the least any descriptor walk does.

Each table is made by one small C++ program that forks the N processes. The
walk lists processes newest first (descending pids), so a listener in the
table's newest process is met at once and one in its oldest process only
after every other table process: the full walk. Per table:
  - the owner in the newest and in the oldest process, with every other
    contender, side by side;
  - the owner in the table's middle process against the oldest;
  - get_info on a free port, which needs no walk;
  - scan of 100 ports, 50 of them held by table processes spread over the
    pid range (the oldest included), against one get_info of that owner.
With --connections C a table of 500 processes is made once more with C
established loopback TCP connections held besides (both ends, by a few
more processes, newer than the table), and the owner in the oldest process
is timed again.

    python bench/run.py lookup
    python bench/run.py lookup --sizes 100,500,1000,2000 --connections 50000
"""

import os
import re
import socket
import subprocess
import time

import psutil

import vantle
from harness import Case, CppBuild, Ratio, interleaved_medians, native_batch, print_cases, python_batch

DEFAULT_SIZES = "100,500"
DEFAULT_SOCKETS = 20
CONNECTIONS_TABLE = 500
SCAN_PORTS = 100
SCAN_BUSY = 50
FREE_PORT_GOAL_NS = 0.1e6

# The table: N children that each hold K sockets (socket pairs) and sleep.
# A child opens TCP listeners on loopback when asked, so that roles can be
# handed out by pid order once every pid is known (pids wrap around). With
# connections, a few more children each hold both ends of up to 9000 of them.
TABLE_SOURCE = r"""
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int max_listeners = 8;

struct Slot {
    std::atomic<int> state;  // 0 starting, 1 holding its sockets, 2 done as asked, -1 failed
    std::atomic<int> want;
    unsigned short ports[max_listeners];
    char address[16];  // where the listeners go
};

static Slot* slots;
static pid_t* children;  // table processes, then connection holders
static int table_size;
static int child_total;  // entries of `children`; 0 marks one not forked yet
// In a connection holder: both ends of each of its connections.
static int* connection_fds;
static volatile sig_atomic_t connection_count;

static void tear_down() {
    // Holders get SIGTERM, to reset their connections on the way out.
    for (int i = 0; i < child_total; ++i)
        if (children[i] > 0) kill(children[i], i < table_size ? SIGKILL : SIGTERM);
    for (;;) {
        if (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) continue;
        break;
    }
}

static void on_term(int) {
    tear_down();
    _exit(1);
}

static void reset_connections(int) {
    // A reset instead of a FIN leaves no TIME_WAIT behind.
    linger reset{1, 0};
    for (int i = 0; i < connection_count; ++i) {
        setsockopt(connection_fds[i], SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(connection_fds[i]);
    }
    _exit(0);
}

static void pause_ms(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

static int listener(const char* address, unsigned short& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, address, &at.sin_addr);
    socklen_t length = sizeof at;
    if (fd < 0 || bind(fd, (sockaddr*)&at, sizeof at) != 0 || listen(fd, 4096) != 0 ||
        getsockname(fd, (sockaddr*)&at, &length) != 0) return -1;
    port = ntohs(at.sin_port);
    return fd;
}

static void quiet_stdio() {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    close(null_fd);
}

[[noreturn]] static void table_process(Slot& slot, int sockets, const sigset_t& wake) {
    quiet_stdio();
    int pair[2];
    for (int i = 0; i + 1 < sockets; i += 2)
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) { slot.state = -1; _exit(1); }
    if (sockets % 2 == 1 && socket(AF_INET, SOCK_DGRAM, 0) < 0) { slot.state = -1; _exit(1); }
    slot.state = 1;
    for (;;) {
        int signal_number;
        sigwait(&wake, &signal_number);
        for (int i = 0; i < slot.want && i < max_listeners; ++i)
            if (listener(slot.address, slot.ports[i]) < 0) { slot.state = -1; _exit(1); }
        slot.state = 2;
    }
}

// `count` established connections on loopback, both ends held here, to a
// server address of this holder's own so that the ephemeral ports suffice.
[[noreturn]] static void connection_holder(Slot& slot, int index, long count) {
    quiet_stdio();
    connection_fds = new int[2 * count];
    struct sigaction term{};
    term.sa_handler = reset_connections;
    sigfillset(&term.sa_mask);
    sigaction(SIGTERM, &term, nullptr);
    char address[32];
    std::snprintf(address, sizeof address, "127.0.0.%d", 1 + index);
    unsigned short port;
    const int server = listener(address, port);
    if (server < 0) { perror("listener"); slot.state = -1; pause(); }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    for (long i = 0; i < count; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0 || connect(client, (sockaddr*)&to, sizeof to) != 0) { perror("connect"); slot.state = -1; pause(); }
        connection_fds[connection_count] = client;
        connection_count = connection_count + 1;
        const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) { perror("accept"); slot.state = -1; pause(); }
        connection_fds[connection_count] = accepted;
        connection_count = connection_count + 1;
    }
    close(server);
    slot.state = 1;
    for (;;) pause();
}

static bool wait_for(Slot& slot, int state) {
    for (int waited = 0; waited < 120000; ++waited) {
        const int now = slot.state;
        if (now == state) return true;
        if (now < 0) return false;
        pause_ms(1);
    }
    return false;
}

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const pid_t caller = std::atoi(argv[1]);
    table_size = std::atoi(argv[2]);
    const int sockets = std::atoi(argv[3]);
    const long connections = std::atol(argv[4]);
    // Whatever way the caller ends, this table ends with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction term{};
    term.sa_handler = on_term;
    sigfillset(&term.sa_mask);
    sigaction(SIGTERM, &term, nullptr);
    if (getppid() != caller) return 1;

    // Each holder keeps both ends within its own descriptor limit.
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const long per_holder = std::min<long>(9000, (long(limit.rlim_cur) - 64) / 2);
    const int holders = connections > 0 ? int((connections + per_holder - 1) / per_holder) : 0;
    if (holders > 250) { std::fprintf(stderr, "too many connections\n"); return 1; }
    const int total = table_size + holders;

    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    slots = (Slot*)mmap(nullptr, sizeof(Slot) * total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    children = new pid_t[total]();
    child_total = total;
    if (slots == MAP_FAILED) return 1;
    const pid_t self = getpid();
    // The table first: the holders come later in pid order, so a walk newest
    // first passes them before it reaches the table's oldest process.
    for (int i = 0; i < total; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, i < table_size ? SIGKILL : SIGTERM);
            if (getppid() != self) _exit(0);
            if (i < table_size) table_process(slots[i], sockets, wake);
            const int h = i - table_size;
            connection_holder(slots[i], h, std::min(per_holder, connections - h * per_holder));
        }
        if (pid < 0) { perror("fork"); tear_down(); return 1; }
        children[i] = pid;
    }
    for (int i = 0; i < total; ++i)
        if (!wait_for(slots[i], 1)) { std::fprintf(stderr, "a child failed to open its sockets\n"); tear_down(); return 1; }

    std::printf("pids");
    for (int i = 0; i < table_size; ++i) std::printf(" %d", children[i]);
    std::printf("\n");
    std::fflush(stdout);

    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        int pid = 0, want = 0, i = 0;
        char address[16] = "127.0.0.1";
        if (std::sscanf(line, "listen %d %d %15s", &pid, &want, address) < 2 || want < 1 || want > max_listeners)
            break;
        while (i < table_size && children[i] != pid) ++i;
        if (i == table_size) break;
        slots[i].want = want;
        std::memcpy(slots[i].address, address, sizeof address);
        slots[i].state = 1;
        kill(pid, SIGUSR1);
        if (!wait_for(slots[i], 2)) break;
        std::printf("ports");
        for (int j = 0; j < want; ++j) std::printf(" %u", slots[i].ports[j]);
        std::printf("\n");
        std::fflush(stdout);
    }
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    tear_down();
    return 0;
}
"""

# Every /proc/PID/fd opened, listed and each of its links read once, with
# raw system calls and nothing kept: the least any descriptor walk can do.
FLOOR_SOURCE = r"""
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>

static char listing[32768];
static char entries[32768];

template <class OnName>
static void each_name(int dir, char* buffer, OnName on_name) {
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, buffer, 32768);
        if (got <= 0) return;
        for (long at = 0; at < got;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
            if (entry->d_name[0] != '.') on_name(entry->d_name);
            at += entry->d_reclen;
        }
    }
}

static long walk() {
    long sum = 0;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    each_name(proc, listing, [&](const char* pid) {
        if (*pid < '0' || *pid > '9') return;
        char path[64];
        std::snprintf(path, sizeof path, "%s/fd", pid);
        const int fds = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds < 0) return;
        each_name(fds, entries, [&](const char* fd) {
            char link[48];
            sum += readlinkat(fds, fd, link, sizeof link);
        });
        close(fds);
    });
    close(proc);
    return sum;
}

static double now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const long n = std::atol(argv[1]);
    // No untimed warm-up: vantle's batches get none either.
    long sink = 0;
    const double start = now_ns();
    for (long i = 0; i < n; ++i) sink += walk();
    const double elapsed = now_ns() - start;
    std::printf("%.1f\n", sink == -1 ? -1.0 : elapsed / n);
    return 0;
}
"""


def add_arguments(group):
    group.add_argument("--sizes", default=DEFAULT_SIZES,
                       help=f"process counts N of the tables, comma-separated (default: {DEFAULT_SIZES}; "
                            "for the whole sweep: 100,500,1000,2000)")
    group.add_argument("--sockets", type=int, default=DEFAULT_SOCKETS,
                       help=f"sockets K held by each table process (default: {DEFAULT_SOCKETS})")
    group.add_argument("--connections", type=int, default=0,
                       help=f"also time a table of {CONNECTIONS_TABLE} processes with this many loopback TCP "
                            "connections held besides, e.g. 50000 (default: 0, left out)")


class Table:
    """The process table of one run of the table program; close() ends every
    process of it (the program also ends it itself if this process dies)."""

    def __init__(self, binary, processes, sockets, connections=0):
        self.sockets = sockets
        self.process = subprocess.Popen(
            [binary, str(os.getpid()), str(processes), str(sockets), str(connections)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, start_new_session=True)
        try:
            words = self._answer("pids")
            self.pids = sorted(int(word) for word in words)
            if len(self.pids) != processes:
                raise RuntimeError("the table program listed the wrong number of processes")
        except BaseException:
            self.close()
            raise

    def _answer(self, tag):
        line = self.process.stdout.readline().split()
        if not line or line[0] != tag:
            raise RuntimeError(f"the table program failed (exit status {self.process.poll()})")
        return line[1:]

    def listen(self, pid, count=1, address="127.0.0.1"):
        """Has table process `pid` open `count` more TCP listeners on
        `address` (IPv4); returns their ports."""
        self.process.stdin.write(f"listen {pid} {count} {address}\n")
        self.process.stdin.flush()
        return [int(word) for word in self._answer("ports")]

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=60)
        except BaseException:
            self.process.kill()
            self.process.wait()
            raise
        finally:
            self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def all_pids():
    return sorted(int(name) for name in os.listdir("/proc") if name.isdigit())


def free_ports(count):
    """Ports that pass a bind test now, all different."""
    holders = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            holders.append(s)
        return [s.getsockname()[1] for s in holders]
    finally:
        for s in holders:
            s.close()


def psutil_owner(port):
    """The usual psutil recipe: every TCP connection, the listener on the
    port, then its name and command line."""
    for connection in psutil.net_connections("tcp"):
        if connection.status == psutil.CONN_LISTEN and connection.laddr.port == port and connection.pid:
            process = psutil.Process(connection.pid)
            return {"pid": connection.pid, "name": process.name(), "cmd": " ".join(process.cmdline())}
    return None


def command_batch(argv):
    def run(n):
        start = time.perf_counter_ns()
        for _ in range(n):
            subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return (time.perf_counter_ns() - start) / n
    return run


def command_names(argv, pid):
    output = subprocess.run(argv, capture_output=True, text=True).stdout
    return re.search(rf"\b{pid}\b", output) is not None


NEWEST = "vantle.get_info, owner in the newest process"
OLDEST = "vantle.get_info, owner in the oldest process"
FLOOR = "C++ floor: read every fd link"
PSUTIL = "psutil.net_connections + Process"


def check_owner(port, pid):
    info = vantle.get_info(port)
    if not info or info["pid"] != pid:
        raise RuntimeError(f"get_info({port}) answered {info}, not pid {pid}")
    return info


def worst_case_contenders(port, pid, floor):
    """Every contender for the owner of `port`, each checked once to name `pid`."""
    info = check_owner(port, pid)
    found = psutil_owner(port)
    if not found or found["pid"] != pid or found["cmd"] != info["cmd"]:
        raise RuntimeError(f"psutil answered {found}, not pid {pid}")
    commands = {
        "ss -Hltnp": ["ss", "-Hltnp", f"sport = :{port}"],
        "fuser -n tcp": ["fuser", "-n", "tcp", str(port)],
        "lsof -iTCP -sTCP:LISTEN": ["lsof", "-nP", f"-iTCP:{port}", "-sTCP:LISTEN"],
    }
    for name, argv in commands.items():
        if not command_names(argv, pid):
            raise RuntimeError(f"{name} did not name pid {pid}")
    return {
        OLDEST: python_batch(vantle.get_info, port),
        FLOOR: native_batch(floor),
        PSUTIL: python_batch(psutil_owner, port),
        **{name: command_batch(argv) for name, argv in commands.items()},
    }


WORST_RATIOS = [
    Ratio("oldest / C++ floor", OLDEST, FLOOR, at_most=1.15),
    Ratio("psutil / oldest", PSUTIL, OLDEST, at_least=1.0),
]


def worst_case(title, port, pid, floor, rounds, newest=None):
    """The owner in the oldest process (the full walk) against every
    contender; with `newest` = (port, pid), the owner in the newest process
    too, in the same rounds."""
    contenders = worst_case_contenders(port, pid, floor)
    ratios = list(WORST_RATIOS)
    if newest:
        check_owner(*newest)
        contenders = {NEWEST: python_batch(vantle.get_info, newest[0]), **contenders}
        ratios.insert(0, Ratio("newest / oldest (the full walk)", NEWEST, OLDEST, at_most=0.05))
    medians = interleaved_medians(contenders, rounds, min_batch=1, shuffle=True)
    return Case(title, OLDEST, medians, ratios)


class AtMost:
    """A limit on one contender's own median, in the shape print_cases expects."""

    def __init__(self, text, name, limit_ns):
        self.text, self.name, self.limit_ns = text, name, limit_ns

    def line(self, medians):
        value = medians[self.name]
        verdict = "met" if value <= self.limit_ns else "MISSED"
        return f"goal: {self.text} = {value / 1e6:.4f} ms, at most {self.limit_ns / 1e6:.1f} ms: {verdict}"


def walk_position(pid):
    """Where a walk newest first (descending pids) meets `pid`."""
    pids = all_pids()[::-1]
    return f"{pids.index(pid) + 1} of {len(pids)}" if pid in pids else "gone"


def table_cases(table, floor, rounds):
    """The four cases of one table, the worst case first."""
    n = len(table.pids)
    spread = sorted({table.pids[round(j * n / SCAN_BUSY)] for j in range(SCAN_BUSY)})
    newest, oldest = table.pids[-1], table.pids[0]
    middle_owner = table.pids[n // 2]

    (newest_port,) = table.listen(newest)
    (middle_port,) = table.listen(middle_owner)
    busy = {pid: table.listen(pid)[0] for pid in spread}
    worst_port = busy[oldest]
    scan_ports = sorted(set(busy.values()) | set(free_ports(SCAN_PORTS - len(busy))))
    free = free_ports(1)[0]

    answer = vantle.scan(scan_ports)
    owners = {port: info["pid"] for port, info in answer.items() if info}
    if len(scan_ports) != SCAN_PORTS or owners != {port: pid for pid, port in busy.items()}:
        raise RuntimeError("scan did not name the expected owners")
    if (vantle.get_info(middle_port)["pid"] != middle_owner or vantle.scan([middle_port])[middle_port]["pid"] != middle_owner
            or vantle.get_info(free) is not None):
        raise RuntimeError("get_info did not name the expected owners")

    size = f"{n} processes x {table.sockets} sockets"
    print(f"  table of {size}: the owner in the newest process {newest} is walked {walk_position(newest)}, "
          f"in the oldest {oldest} {walk_position(oldest)}, the middle one {middle_owner} "
          f"{walk_position(middle_owner)}", flush=True)
    worst = worst_case(f"get_info, owner in the newest and in the oldest process ({size})", worst_port, oldest,
                       floor, rounds, newest=(newest_port, newest))

    # scan of the one port ends its walk at the first listener found, as
    # get_info does.
    medians = interleaved_medians({
        "vantle.get_info, owner in the middle process": python_batch(vantle.get_info, middle_port),
        OLDEST: python_batch(vantle.get_info, worst_port),
        "vantle.scan([port]), owner in the middle process": python_batch(vantle.scan, [middle_port]),
    }, rounds, min_batch=1)
    middle = Case(f"owner in the middle process against the oldest ({size})",
                  "vantle.get_info, owner in the middle process", medians, [
        Ratio("middle / oldest", "vantle.get_info, owner in the middle process", OLDEST, at_most=0.6),
        Ratio("scan([port]) in the middle / get_info at the oldest",
              "vantle.scan([port]), owner in the middle process", OLDEST),
    ])

    medians = interleaved_medians({
        "vantle.get_info, free port": python_batch(vantle.get_info, free),
        "vantle.is_available, same port": python_batch(vantle.is_available, free),
    }, rounds)
    free_case = Case(f"get_info on a free port ({size})", "vantle.get_info, free port", medians, [
        AtMost("get_info on a free port", "vantle.get_info, free port", FREE_PORT_GOAL_NS),
    ])

    scan_name = f"vantle.scan, {SCAN_PORTS} ports, {len(busy)} busy"
    medians = interleaved_medians({
        OLDEST: python_batch(vantle.get_info, worst_port),
        scan_name: python_batch(vantle.scan, scan_ports),
    }, rounds, min_batch=1)
    scan_case = Case(f"scan against one get_info ({size})", OLDEST, medians, [
        Ratio("scan / get_info", scan_name, OLDEST, at_most=1.3),
    ])
    return [worst, middle, free_case, scan_case]


def print_growth(rows, sockets):
    """Milliseconds of the first case per table size, one column a contender."""
    names = list(next(iter(rows.values())))
    print(f"== lookup: owner in the newest and in the oldest process, median ms per call, by table size "
          f"(K = {sockets})")
    widths = [max(len(name), 8) for name in names]
    print("  " + f"{'N':>6}  " + "  ".join(f"{name:>{w}}" for name, w in zip(names, widths)))
    for n, medians in rows.items():
        print("  " + f"{n:>6}  " + "  ".join(f"{medians[name] / 1e6:>{w}.2f}" for name, w in zip(names, widths)))
    print()


def run(rounds, options=None):
    sizes = [int(n) for n in (options.sizes if options else DEFAULT_SIZES).split(",") if n]
    sockets = options.sockets if options else DEFAULT_SOCKETS
    connections = options.connections if options else 0
    build = CppBuild()
    try:
        table_binary = build.executable("lookup_table", TABLE_SOURCE)
        floor = build.executable("lookup_floor", FLOOR_SOURCE)
        growth = {}
        for n in sizes:
            started = time.monotonic()
            with Table(table_binary, n, sockets) as table:
                print(f"== lookup: table of {n} processes ready in {time.monotonic() - started:.1f} s", flush=True)
                cases = table_cases(table, floor, rounds)
            growth[n] = cases[0].medians
            print_cases(f"lookup, {n} processes x {sockets} sockets", cases, rounds)
        if len(growth) > 1:
            print_growth(growth, sockets)
        if connections:
            n = CONNECTIONS_TABLE
            started = time.monotonic()
            with Table(table_binary, n, sockets, connections) as table:
                print(f"== lookup: table of {n} processes and {connections} connections ready in "
                      f"{time.monotonic() - started:.1f} s", flush=True)
                oldest = table.pids[0]
                (port,) = table.listen(oldest)
                print(f"  owner in the oldest process {oldest} is walked {walk_position(oldest)}", flush=True)
                case = worst_case(f"get_info, owner in the oldest process ({n} processes x {sockets} sockets, "
                                  f"{connections} loopback TCP connections besides)", port, oldest, floor, rounds)
            print_cases(f"lookup with {connections} connections", [case], rounds)
    finally:
        build.close()

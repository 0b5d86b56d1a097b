"""is_available and find_free against the same system calls made from C++
(the floor), the same work done with Python's socket module, and portpicker.
The probe binds 127.0.0.1 and then ::1; the former probe, 127.0.0.1 alone,
runs beside it to show what the second address costs.

The floor runs as a program of its own, and again as a loop inside this
process (through ctypes): the two differ by what the process around the
system calls costs the kernel, which is no part of vantle's overhead."""

import ctypes
import socket

import portpicker

import vantle
from harness import Case, CppBuild, Ratio, interleaved_medians, native_batch, print_cases, python_batch

# The system calls of one probe (a listener on 127.0.0.1, then one on ::1),
# of the former probe (127.0.0.1 alone), and of one request for an assigned
# port (checked on ::1 too), with nothing around them: what no binding can beat.
FLOOR_SOURCE = r"""
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static int listener(int family, unsigned short port) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t length;
    if (family == AF_INET) {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    } else {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 128) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int probe_ipv4(unsigned short port) {
    int fd = listener(AF_INET, port);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

static int probe(unsigned short port) {
    int v4 = listener(AF_INET, port);
    if (v4 < 0) return 0;
    int v6 = listener(AF_INET6, port);
    if (v6 >= 0) close(v6);
    close(v4);
    return v6 >= 0;
}

static int assigned() {
    int fd = listener(AF_INET, 0);
    if (fd < 0) return -1;
    sockaddr_storage address;
    socklen_t length = sizeof address;
    int port = getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0
                   ? ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port) : -1;
    int v6 = port > 0 ? listener(AF_INET6, static_cast<unsigned short>(port)) : -1;
    if (v6 >= 0) close(v6);
    close(fd);
    return port;
}

static double now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// mode: 0 probe, 1 assigned port, 2 the former IPv4-only probe.
extern "C" double timed_loop(int mode, int port, long n) {
    long sink = 0;
    const double start = now_ns();
    for (long i = 0; i < n; ++i) {
        const unsigned short p = static_cast<unsigned short>(port);
        sink += mode == 1 ? assigned() : mode == 2 ? probe_ipv4(p) : probe(p);
    }
    const double elapsed = now_ns() - start;
    // Keeps the results alive without a branch in the loop.
    return sink == -n ? -1 : elapsed / n;
}

#ifndef FLOOR_LIBRARY
int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int mode = std::strcmp(argv[1], "find") == 0 ? 1 : std::strcmp(argv[1], "probe-ipv4") == 0 ? 2 : 0;
    std::printf("%.1f\n", timed_loop(mode, std::atoi(argv[2]), std::atol(argv[3])));
    return 0;
}
#endif
"""


def python_is_available(port):
    """The probe written with the socket module: the same calls."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as v4:
            v4.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            v4.bind(("127.0.0.1", port))
            v4.listen(128)
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as v6:
                v6.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                v6.bind(("::1", port))
                v6.listen(128)
        return True
    except OSError:
        return False


def python_find_free():
    """The usual idiom: bind to port 0 and read the port back."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def portpicker_pick():
    # Handing the port back keeps portpicker's record of given-out ports from
    # growing over the many calls, as a long-lived user would.
    portpicker.return_port(portpicker.pick_unused_port())


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def in_process_batch(library, mode, port):
    return lambda n: library.timed_loop(mode, port, n)


def probe_case(title, port, floor, library, rounds):
    medians = interleaved_medians(
        {
            "vantle.is_available": python_batch(vantle.is_available, port),
            "C++ system calls": native_batch(floor, "probe", port),
            "C++ loop in this process": in_process_batch(library, 0, port),
            "C++ IPv4 alone (the former probe)": native_batch(floor, "probe-ipv4", port),
            "Python socket module": python_batch(python_is_available, port),
            "portpicker.is_port_free": python_batch(portpicker.is_port_free, port),
        },
        rounds,
    )
    return Case(title, "vantle.is_available", medians, [
        Ratio("vantle / C++ floor", "vantle.is_available", "C++ system calls", at_most=1.3),
        Ratio("Python socket module / vantle", "Python socket module", "vantle.is_available", at_least=2.0),
        Ratio("Python socket module / C++ floor (best any binding can do)", "Python socket module",
              "C++ system calls"),
        Ratio("C++ floor / C++ IPv4 alone (the cost of probing ::1 too)", "C++ system calls",
              "C++ IPv4 alone (the former probe)"),
    ])


def run(rounds):
    build = CppBuild()
    try:
        floor = build.executable("probe_floor", FLOOR_SOURCE)
        library = ctypes.CDLL(build.shared_library("probe_floor", FLOOR_SOURCE, ["-DFLOOR_LIBRARY"]))
        library.timed_loop.restype = ctypes.c_double
        library.timed_loop.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long]
        port = free_port()
        assert vantle.is_available(port) and python_is_available(port)
        cases = [probe_case(f"is_available, free port ({port})", port, floor, library, rounds)]

        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            busy = holder.getsockname()[1]
            assert not vantle.is_available(busy) and not python_is_available(busy)
            cases.append(probe_case(f"is_available, busy port ({busy})", busy, floor, library, rounds))

        medians = interleaved_medians(
            {
                "vantle.find_free": python_batch(vantle.find_free),
                "C++ system calls": native_batch(floor, "find", 0),
                "C++ loop in this process": in_process_batch(library, 1, 0),
                "Python bind to 0": python_batch(python_find_free),
                "portpicker.pick_unused_port": python_batch(portpicker_pick),
            },
            rounds,
        )
        cases.append(Case("find_free()", "vantle.find_free", medians, [
            Ratio("vantle / C++ floor", "vantle.find_free", "C++ system calls", at_most=1.3),
            Ratio("Python bind to 0 / vantle", "Python bind to 0", "vantle.find_free", at_least=2.0),
            Ratio("Python bind to 0 / C++ floor (best any binding can do)", "Python bind to 0",
                  "C++ system calls"),
        ]))
        print_cases("probe", cases, rounds)
    finally:
        build.close()

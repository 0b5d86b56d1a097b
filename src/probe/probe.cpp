// The bind test, the clock and the deadline poller, and the three functions
// built on them: is_available, find_free and wait_until_free.

#include "probe/probe.hpp"
#include "probe/own_listeners.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#ifdef __APPLE__
#include <sys/filio.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vantle::probe {
namespace {

// ---- The bind test ----

constexpr int listen_backlog = 128;

enum class Loopback : std::uint8_t {
    ipv4,  // 127.0.0.1
    ipv6,  // ::1, IPv6 only: a listener on 127.0.0.1 does not get in its way
};

// Probes of ports that share a slot take turns. A slot is held only for the
// few system calls of one probe, never while waiting for the interpreter
// lock, so waiting for one with the lock held cannot deadlock.
std::array<std::mutex, 64> probe_turns;
// find_free's search for a system-assigned port takes this turn; it is held
// across a fork like the probe turns.
std::mutex assignment_turn;

std::mutex& turn_of(std::uint16_t port) { return probe_turns[port % probe_turns.size()]; }

// fork() copies only the calling thread: a turn that another thread held at
// that instant would stay taken for ever in the child, and a listener of the
// probe open then would keep the port busy for as long as the child lives.
// So a fork waits until no probe and no search is under way, holding every
// turn (always in this order) across it, and both processes let them go.
void hold_every_turn() noexcept {
    assignment_turn.lock();
    for (std::mutex& turn : probe_turns) turn.lock();
}

void release_every_turn() noexcept {
    for (auto turn = probe_turns.rbegin(); turn != probe_turns.rend(); ++turn) turn->unlock();
    assignment_turn.unlock();
}

[[maybe_unused]] const int fork_handlers_registered =
    ::pthread_atfork(hold_every_turn, release_every_turn, release_every_turn);

std::expected<void, int> enable(int fd, int level, int option) {
    const int on = 1;
    if (::setsockopt(fd, level, option, &on, sizeof on) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> bind_and_listen(int fd, const sockaddr* address, socklen_t length) {
    if (::bind(fd, address, length) != 0) return std::unexpected(errno);
    if (::listen(fd, listen_backlog) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> bind_loopback(int fd, Loopback address, std::uint16_t port) {
    if (address == Loopback::ipv4) {
        sockaddr_in socket_address{};
        socket_address.sin_family = AF_INET;
        socket_address.sin_port = htons(port);
        socket_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind_and_listen(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
    }
    sockaddr_in6 socket_address{};
    socket_address.sin6_family = AF_INET6;
    socket_address.sin6_port = htons(port);
    socket_address.sin6_addr = in6addr_loopback;
    return bind_and_listen(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
}

// A listening TCP socket on a loopback address and port (host byte order),
// close-on-exec, with address reuse allowed; or the error number of the step
// that failed, with nothing left open.
std::expected<OwnSocket, int> open_listener(Loopback address, std::uint16_t port) {
    std::expected<OwnSocket, int> listener = open_stream_socket(address == Loopback::ipv4 ? AF_INET : AF_INET6);
    if (!listener) return listener;
    const int fd = listener->get();
    std::expected<void, int> made = enable(fd, SOL_SOCKET, SO_REUSEADDR);
    // The IPv6 listener answers for ::1 alone; 127.0.0.1 has its own.
    if (made && address == Loopback::ipv6) made = enable(fd, IPPROTO_IPV6, IPV6_V6ONLY);
    if (made) made = bind_loopback(fd, address, port);
    if (!made) return std::unexpected(made.error());
    return listener;
}

// Whether a listener could be bound on ::1 at `port` now; also true on a host
// without IPv6 loopback (no IPv6 sockets, or no ::1), where 127.0.0.1 alone
// decides.
bool free_on_ipv6_loopback(std::uint16_t port) noexcept {
    const std::expected<OwnSocket, int> ipv6 = open_listener(Loopback::ipv6, port);
    // EAFNOSUPPORT: the kernel makes no IPv6 sockets. EADDRNOTAVAIL: ::1 is
    // not configured (IPv6 disabled on the loopback interface).
    return ipv6 || ipv6.error() == EAFNOSUPPORT || ipv6.error() == EADDRNOTAVAIL;
}

// ---- The clock ----

constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;

#ifdef __APPLE__
constexpr clockid_t monotonic_clock = CLOCK_UPTIME_RAW;
#else
// Linux's counterpart of CLOCK_UPTIME_RAW: it never goes back and, unlike
// CLOCK_BOOTTIME, does not count time spent suspended.
constexpr clockid_t monotonic_clock = CLOCK_MONOTONIC;
#endif

// The error number rather than its text: strerror is not safe on every
// thread, and this failure can only come from a broken system.
Failure system_call_failed(const char* call, int error) {
    return InternalFailure{std::string(call) + " failed with errno " + std::to_string(error)};
}

// The instant `seconds` whole seconds after `start`, nanoseconds kept. A sum
// beyond the range of Instant::seconds is an internal failure.
Result<Instant> add_seconds(Instant start, std::uint64_t seconds) {
    Instant later = start;
    // The builtin checks the exact sum of a signed and an unsigned operand.
    if (__builtin_add_overflow(start.seconds, seconds, &later.seconds))
        return fail(InternalFailure{"overflow when adding duration to instant"});
    return later;
}

// The instant `interval` (not negative) after `start`.
Instant after(Instant start, std::chrono::nanoseconds interval) {
    const std::int64_t nanoseconds = start.nanoseconds + interval.count() % nanoseconds_per_second;
    return {start.seconds + interval.count() / nanoseconds_per_second + nanoseconds / nanoseconds_per_second,
            nanoseconds % nanoseconds_per_second};
}

// ---- find_free ----

// How many ports the system may assign that are taken on ::1 before the
// search gives up.
constexpr std::size_t assignment_attempts = 4;

Failure no_free_port() { return TypedMessage{PyExc_OSError, "Could not find a free port"}; }

// The port a listener is bound to.
Result<Port> bound_port(const OwnSocket& listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail(no_free_port());

    // Both address records keep the port at the same place, in network order;
    // copying out of the storage avoids reading it through a cast pointer.
    switch (address.ss_family) {
        case AF_INET: {
            sockaddr_in bound;
            if (length < sizeof bound) return fail(InternalFailure{"getsockname returned a truncated IPv4 address"});
            std::memcpy(&bound, &address, sizeof bound);
            return ntohs(bound.sin_port);
        }
        case AF_INET6: {
            sockaddr_in6 bound;
            if (length < sizeof bound) return fail(InternalFailure{"getsockname returned a truncated IPv6 address"});
            std::memcpy(&bound, &address, sizeof bound);
            return ntohs(bound.sin6_port);
        }
        default: return fail(no_free_port());
    }
}

// A port the system assigns to a listener bound to 127.0.0.1:0 and that is
// free on ::1 too. A port taken on ::1 keeps its listener until the search
// ends, so the system does not hand it out again. The listeners are closed
// before this returns, so the port is free but not held.
Result<Port> system_assigned_port() {
    const std::lock_guard turn(assignment_turn);
    std::array<OwnSocket, assignment_attempts> passed_over;
    for (OwnSocket& kept : passed_over) {
        std::expected<OwnSocket, int> listener = open_listener(Loopback::ipv4, 0);
        if (!listener) return fail(no_free_port());
        Result<Port> port = bound_port(*listener);
        if (!port || free_on_ipv6_loopback(*port)) return port;
        kept = std::move(*listener);
    }
    return fail(no_free_port());
}

// wait_until_free probes every 100 ms.
constexpr std::chrono::milliseconds wait_interval{100};

}  // namespace

std::unique_lock<std::mutex> hold_probe_turn(std::uint16_t port) { return std::unique_lock(turn_of(port)); }

std::expected<OwnSocket, int> open_stream_socket(int family) {
#ifdef __APPLE__
    // No SOCK_CLOEXEC here, so the flag follows at once. SO_NOSIGPIPE keeps
    // a write to a closed peer from raising SIGPIPE in the caller.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM, 0));
    if (!socket_fd) return std::unexpected(errno);
    if (::ioctl(socket_fd.get(), FIOCLEX) != 0) return std::unexpected(errno);
    if (std::expected<void, int> made = enable(socket_fd.get(), SOL_SOCKET, SO_NOSIGPIPE); !made)
        return std::unexpected(made.error());
#else
    // The listener never writes, so it cannot raise SIGPIPE and needs no
    // counterpart of SO_NOSIGPIPE.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return std::unexpected(errno);
#endif
    return OwnSocket::adopt(std::move(socket_fd));
}

bool probe_port(std::uint16_t port) noexcept {
    const std::lock_guard turn(turn_of(port));
    // The IPv4 listener stays open while ::1 is tried.
    const std::expected<OwnSocket, int> ipv4 = open_listener(Loopback::ipv4, port);
    return ipv4 && free_on_ipv6_loopback(port);
}

Result<Instant> now() {
    timespec reading{};
    if (::clock_gettime(monotonic_clock, &reading) != 0) return fail(system_call_failed("clock_gettime", errno));
    return Instant{static_cast<std::int64_t>(reading.tv_sec), static_cast<std::int64_t>(reading.tv_nsec)};
}

std::chrono::nanoseconds elapsed(Instant from, Instant to) {
    return std::chrono::seconds(to.seconds - from.seconds) +
           std::chrono::nanoseconds(to.nanoseconds - from.nanoseconds);
}

timespec to_timespec(std::chrono::nanoseconds interval) {
    const std::int64_t count = interval.count();
    return {static_cast<std::time_t>(count / nanoseconds_per_second),
            static_cast<long>(count % nanoseconds_per_second)};
}

Result<void> sleep_for(std::chrono::nanoseconds interval) {
    timespec left = to_timespec(interval);
    // nanosleep writes the time still to sleep into `left` when interrupted.
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR) return fail(system_call_failed("nanosleep", errno));
    }
    return {};
}

Result<bool> poll_until_free(std::uint16_t port, std::uint64_t timeout_seconds, const PollPlan& plan) {
    Result<Instant> start = now();
    if (!start) return fail(std::move(start.error()));
    Result<Instant> deadline = add_seconds(*start, timeout_seconds);
    if (!deadline) return fail(std::move(deadline.error()));
    // Probes fall on a grid of `interval` steps from the start, at most one
    // per step. A sleep that ends early (an owner exited) brings the next
    // probe forward but spends its step, so there are never more probes
    // before the deadline than steps, and none comes early in the last one.
    std::chrono::nanoseconds::rep step = 0;
    for (;;) {
        Result<Instant> reading = now();
        if (!reading) return fail(std::move(reading.error()));
        if (*reading >= *deadline) return plan.probe_after_deadline && probe_port(port);
        if (probe_port(port)) return true;
        // A step missed altogether (the machine stalled) is not made up for.
        step = std::max(step + 1, elapsed(*start, *reading) / plan.interval + 1);
        const Instant target = std::min(after(*start, plan.interval * step), *deadline);
        for (;;) {
            reading = now();
            if (!reading) return fail(std::move(reading.error()));
            const std::chrono::nanoseconds left = elapsed(*reading, target);
            if (left <= std::chrono::nanoseconds::zero()) break;
            if (Result<void> slept = plan.sleep(left); !slept) return fail(std::move(slept.error()));
            if (target < *deadline) break;
        }
    }
}

const FunctionDescription is_available_function{"is_available", {"port"}, 1, 1};

Result<PyRef> is_available(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    // Binding port 0 would let the system pick a port, so it is never probed.
    // The probe is a handful of non-blocking calls: the lock stays held.
    return to_python(*port != 0 && probe_port(*port));
}

const FunctionDescription find_free_function{"find_free", {"preferred"}, 1, 0};

Result<PyRef> find_free(ModuleState&, const BoundArguments& arguments) {
    Result<std::optional<Port>> preferred =
        convert_argument(arguments[0], "preferred", to_optional_port, std::optional<Port>());
    if (!preferred) return fail(std::move(preferred.error()));
    // A preference of 0 would only ask the system to choose, as below. The
    // probes are non-blocking calls, so the lock stays held throughout.
    if (preferred->value_or(0) != 0 && probe_port(**preferred)) return to_python(**preferred);
    return system_assigned_port().and_then([](Port port) { return to_python(port); });
}

const FunctionDescription wait_until_free_function{"wait_until_free", {"port", "timeout"}, 2, 1};

Result<PyRef> wait_until_free(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<std::uint64_t> timeout = convert_argument(arguments[1], "timeout", to_seconds, std::uint64_t{30});
    if (!timeout) return fail(std::move(timeout.error()));
    // Binding port 0 would let the system pick a port: never probed, never waited for.
    if (*port == 0) return to_python(false);

    // The lock is back before any failure of the poll is raised. One last
    // probe follows the deadline, so a port freed during the final interval
    // still counts.
    Result<bool> freed = without_interpreter_lock(
        [&] { return poll_until_free(*port, *timeout, {wait_interval, true, sleep_for}); });
    if (!freed) return fail(std::move(freed.error()));
    return to_python(*freed);
}

}  // namespace vantle::probe

#pragma once
// The bind test that is the module's one definition of a free port: TCP
// listeners can be bound at the port on both loopback addresses, 127.0.0.1
// and ::1, right now. "localhost" is either one, so a server on either one
// alone holds the port for its clients. The three functions built on it,
// and the deadline poller that wait_until_free and kill share.

#include <chrono>
#include <compare>
#include <cstdint>
#include <ctime>
#include <expected>
#include <functional>
#include <mutex>

#include "boundary/boundary.hpp"
#include "boundary/unique_fd.hpp"
#include "probe/own_listeners.hpp"

namespace vantle::probe {

extern const FunctionDescription is_available_function;
Result<PyRef> is_available(ModuleState& module, const BoundArguments& arguments);

extern const FunctionDescription find_free_function;
Result<PyRef> find_free(ModuleState& module, const BoundArguments& arguments);

extern const FunctionDescription wait_until_free_function;
Result<PyRef> wait_until_free(ModuleState& module, const BoundArguments& arguments);

// True when listeners can be bound on 127.0.0.1 and ::1 at `port` now (on
// 127.0.0.1 alone on a host without IPv6 loopback). Never fails (every other
// failure means "not free"), never blocks, touches no Python object. Probes
// of one port inside this process take turns, so that they do not see each
// other's listeners.
bool probe_port(std::uint16_t port) noexcept;

// The turn that probes of `port` take, held by the caller until the lock is
// dropped: any other test of the port made inside this process (a
// reservation's bind test) takes it too, so that the tests never see each
// other's sockets.
[[nodiscard]] std::unique_lock<std::mutex> hold_probe_turn(std::uint16_t port);

// A TCP socket of `family` (AF_INET, AF_INET6), close-on-exec, listed among
// the module's own sockets (own_listeners.hpp) for as long as it is open; or
// the error number of the step that failed. A fork+exec in another thread
// must not inherit it, nor may a lookup report the caller for it.
std::expected<OwnSocket, int> open_stream_socket(int family);

// A reading of the monotonic clock; later readings compare greater.
struct Instant {
    std::int64_t seconds;
    std::int64_t nanoseconds;  // 0..999'999'999

    friend constexpr std::strong_ordering operator<=>(const Instant&, const Instant&) = default;
};

// Reads the clock that never goes back and stops while the machine sleeps.
Result<Instant> now();

// The time from one reading to a later one.
std::chrono::nanoseconds elapsed(Instant from, Instant to);

// A non-negative interval as the timespec that nanosleep and kevent take.
timespec to_timespec(std::chrono::nanoseconds interval);

// Sleeps for the whole interval: a sleep cut short by a signal goes on for
// the time that was left. Signals are not looked at here; Python's handlers
// run once the caller is back in the interpreter.
Result<void> sleep_for(std::chrono::nanoseconds interval);

// How poll_until_free waits between its probes and ends.
struct PollPlan {
    std::chrono::nanoseconds interval;
    // One last probe once the deadline has passed, so that a port freed
    // during the final interval still counts; without it, none is made then.
    bool probe_after_deadline;
    // Sleeps between probes (sleep_for); may return early: kill's wait
    // wakes when an owner exits.
    std::function<Result<void>(std::chrono::nanoseconds)> sleep;
};

// Probes `port` until it is free (true) or `timeout_seconds` after the call
// (false); the first probe comes at once. Fails only with an internal
// failure of the clock or the sleep. Touches no Python object, so it may run
// with the interpreter lock released.
Result<bool> poll_until_free(std::uint16_t port, std::uint64_t timeout_seconds, const PollPlan& plan);

}  // namespace vantle::probe

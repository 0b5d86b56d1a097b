#include "probe/clock.hpp"

#include <cerrno>
#include <ctime>
#include <string>

namespace vantle::probe {
namespace {

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

}  // namespace

Result<Instant> now() {
    timespec reading{};
    if (::clock_gettime(monotonic_clock, &reading) != 0) return fail(system_call_failed("clock_gettime", errno));
    return Instant{static_cast<std::int64_t>(reading.tv_sec), static_cast<std::int64_t>(reading.tv_nsec)};
}

Result<Instant> add_seconds(Instant start, std::uint64_t seconds) {
    Instant later = start;
    // The builtin checks the exact sum of a signed and an unsigned operand.
    if (__builtin_add_overflow(start.seconds, seconds, &later.seconds))
        return fail(InternalFailure{"overflow when adding duration to instant"});
    return later;
}

Result<void> sleep_for(std::chrono::nanoseconds interval) {
    const std::int64_t count = interval.count();
    timespec left{static_cast<std::time_t>(count / nanoseconds_per_second),
                  static_cast<long>(count % nanoseconds_per_second)};
    // nanosleep writes the time still to sleep into `left` when interrupted.
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR) return fail(system_call_failed("nanosleep", errno));
    }
    return {};
}

}  // namespace vantle::probe

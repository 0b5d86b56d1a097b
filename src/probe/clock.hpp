#pragma once
// The monotonic clock and the sleep that the polling loops (wait_until_free,
// kill) share. Nothing here touches a Python object, so all of it may run
// with the interpreter lock released; failures come back as values.

#include <chrono>
#include <compare>
#include <cstdint>

#include "boundary/failure.hpp"

namespace vantle::probe {

// A reading of the monotonic clock; later readings compare greater.
struct Instant {
    std::int64_t seconds;
    std::int64_t nanoseconds;  // 0..999'999'999

    friend constexpr std::strong_ordering operator<=>(const Instant&, const Instant&) = default;
};

// Reads the clock that never goes back and stops while the machine sleeps.
Result<Instant> now();

// The instant `seconds` whole seconds after `start`, nanoseconds kept. A sum
// beyond the range of Instant::seconds is an internal failure.
Result<Instant> add_seconds(Instant start, std::uint64_t seconds);

// Sleeps for the whole interval: a sleep cut short by a signal goes on for
// the time that was left. Signals are not looked at here; Python's handlers
// run once the caller is back in the interpreter.
Result<void> sleep_for(std::chrono::nanoseconds interval);

}  // namespace vantle::probe

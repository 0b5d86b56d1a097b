#pragma once
// Freeing a port: signal every process that holds a socket on it, then wait
// a fixed grace period for the port to become bindable. Plain values only:
// all of it runs with the interpreter lock released.

#include <cstdint>

#include "boundary/failure.hpp"

namespace vantle::terminate {

enum class Release : std::uint8_t {
    freed,      // a probe found the port bindable before the deadline
    no_owner,   // the port is in use but no process holding it could be seen
    refused,    // every owner that was not passed over refused the signal
    timed_out,  // still in use one second after the signals
};

// Looks the owners of `port` up once, sends each `signal` and waits. Fails
// only with an internal failure of the clock or the sleep.
Result<Release> release_port(std::uint16_t port, int signal);

}  // namespace vantle::terminate

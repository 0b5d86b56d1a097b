#pragma once
// Signalling one process that the owner lookup reported. Between the lookup
// and the signal the process may exit and its pid go to another process, so
// the signal is sent only after the pid has been checked to still name the
// process the lookup saw. Touches no Python object.

#include <cstdint>

#include "terminate/exit_watches.hpp"

namespace vantle::terminate {

enum class SignalOutcome : std::uint8_t {
    delivered,  // the signal was sent
    gone,       // the process has exited; its pid may name another one now
    refused,    // not permitted (EPERM)
    failed,     // any other error, or a process that could not be identified
};

// Sends `signal` to `pid` if it still names the process that started at
// `start_time` (the lookup's record of it; 0 when unknown). A process that
// was sent the signal is added to `watches`, where the platform can watch it.
SignalOutcome signal_owner(std::uint32_t pid, std::uint64_t start_time, int signal, ExitWatches& watches);

}  // namespace vantle::terminate

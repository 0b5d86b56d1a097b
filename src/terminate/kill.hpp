#pragma once
// Freeing a port by signalling the processes that hold it.

#include <cstdint>

#include "boundary/boundary.hpp"

namespace vantle::terminate {

enum class SignalOutcome : std::uint8_t {
    delivered,  // the signal was sent
    gone,       // the process has exited; its pid may name another one now
    refused,    // not permitted (EPERM)
    failed,     // any other error, or a process that could not be identified
};

// Sends `signal` to the process at `pid` only if it is still the one that
// started at `start_time` (the lookup's record; 0 when unknown), as kill
// does with each holder. Touches no Python object.
SignalOutcome signal_process(std::uint32_t pid, std::uint64_t start_time, int signal);

extern const FunctionDescription kill_function;
Result<PyRef> kill(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::terminate

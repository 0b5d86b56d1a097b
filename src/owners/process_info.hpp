#pragma once
// One process that holds a socket on a port, as the lookup reports it.

#include <cstdint>
#include <string>

namespace vantle::owners {

struct ProcessInfo {
    std::uint32_t pid = 0;
    std::string name;  // UTF-8; empty only for a holder whose name is unreadable
    std::string cmd;   // UTF-8, empty when it could not be read
    // When the process started, in the platform's own units; 0 when unknown
    // or not asked for (find_listening_owners leaves it out).
    // Lets a later signal make sure the pid still names the same process.
    std::uint64_t start_time = 0;
};

}  // namespace vantle::owners

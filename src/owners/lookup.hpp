#pragma once
// The socket-owner lookup: which processes hold an internet socket whose
// local port is a given port. Touches no Python object and never fails: what
// the platform refuses to show simply makes the answer shorter. Safe to call
// from any thread, with the interpreter lock released.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "owners/process_info.hpp"

namespace vantle::owners {

// Every process holding a socket on `port`, at most one record per pid,
// newest first (the order the platform lists processes), with its start time. With
// `listen_only`, only TCP sockets in the listening state count; otherwise any
// TCP socket (any state) and any other internet socket (UDP) counts. A
// process whose name cannot be read or is not UTF-8 is listed with an empty
// name: these are the processes to signal, and signals go to pids.
std::vector<ProcessInfo> find_port_owners(std::uint16_t port, bool listen_only);

// For each port of `ports` (same order, duplicates allowed), the newest
// process listening on it over TCP whose name is readable UTF-8, as
// find_port_owners(port, true) would give its first record with a name, but
// sharing one walk of the process table. No start times.
std::vector<std::optional<ProcessInfo>> find_listening_owners(std::span<const std::uint16_t> ports);

}  // namespace vantle::owners

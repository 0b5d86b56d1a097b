#pragma once
// The bind test that is the module's one definition of a free port: a TCP
// listener can be bound on 127.0.0.1 at the port right now.

#include <netinet/in.h>

#include <cstdint>
#include <expected>

#include "boundary/unique_fd.hpp"

namespace vantle::probe {

// A listening TCP socket on an IPv4 loopback address and port (host byte
// order), close-on-exec, with address reuse allowed; or the error number of
// the step that failed, with nothing left open.
std::expected<UniqueFd, int> open_listener(std::uint32_t address, std::uint16_t port);

// True when a listener can be bound on 127.0.0.1 at `port` now. Never fails
// (every failure means "not free"), never blocks, touches no Python object.
bool probe_port(std::uint16_t port) noexcept;

}  // namespace vantle::probe

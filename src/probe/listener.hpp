#pragma once
// The bind test that is the module's one definition of a free port: TCP
// listeners can be bound at the port on both loopback addresses, 127.0.0.1
// and ::1, right now. "localhost" is either one, so a server on either one
// alone holds the port for its clients.

#include <cstdint>
#include <expected>

#include "boundary/unique_fd.hpp"

namespace vantle::probe {

enum class Loopback : std::uint8_t {
    ipv4,  // 127.0.0.1
    ipv6,  // ::1, IPv6 only: a listener on 127.0.0.1 does not get in its way
};

// A listening TCP socket on a loopback address and port (host byte order),
// close-on-exec, with address reuse allowed; or the error number of the step
// that failed, with nothing left open.
std::expected<UniqueFd, int> open_listener(Loopback address, std::uint16_t port);

// Whether a listener could be bound on ::1 at `port` now; also true on a host
// without IPv6 loopback (no IPv6 sockets, or no ::1), where 127.0.0.1 alone
// decides.
bool free_on_ipv6_loopback(std::uint16_t port) noexcept;

// True when listeners can be bound on 127.0.0.1 and ::1 at `port` now (on
// 127.0.0.1 alone on a host without IPv6 loopback). Never fails (every other
// failure means "not free"), never blocks, touches no Python object. Probes
// of one port inside this process take turns, so that they do not see each
// other's listeners.
bool probe_port(std::uint16_t port) noexcept;

}  // namespace vantle::probe

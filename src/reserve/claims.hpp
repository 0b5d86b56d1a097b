#pragma once
// Claims on TCP ports among vantle's reservations, and what the kernel says
// about its own use of ports. Plain values only: no Python object here.
//
// A claim is held by one descriptor. While it is open, no other claim on the
// same port can be made on this machine (on Linux: in this network
// namespace, the scope of the port space itself), by any process of any
// user; the kernel drops the claim with the last descriptor of it, whether
// the holder released it or ended in any way. A claim holds no TCP socket:
// the port itself stays free for the holder's server. The claim's name is an
// interface of its own, versioned, since vantle installs in other
// environments on the machine must meet each other's claims:
//
// - Linux: the abstract Unix socket address "\0vantle/v1/tcp/PORT", bound
//   (not listening).
// - macOS, which has no abstract addresses: an flock() on the file
//   claim_directory/tcp-PORT, never unlinked (two processes would otherwise
//   lock two files under one name).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::reserve {

// Ports first..last, both included.
struct PortSpan {
    std::uint16_t first;
    std::uint16_t last;

    std::size_t size() const noexcept { return static_cast<std::size_t>(last) - first + 1; }
    bool contains(std::uint16_t port) const noexcept { return first <= port && port <= last; }
};

// The descriptor that holds the claim on `port`, close-on-exec. EADDRINUSE:
// another claim holds the port (or someone else holds its name); any other
// errno: no claim could be tried (no descriptor left, say).
std::expected<UniqueFd, int> claim(std::uint16_t port) noexcept;

// The spans the kernel draws the ports of automatic binds from (bind to port
// 0, connect() without bind), read now: Linux's net.ipv4.ip_local_port_range;
// macOS's net.inet.ip.portrange.first-last and hifirst-hilast. The errno
// when they cannot be read (no descriptor left): a guess could hand out a
// port the kernel hands out too.
std::expected<std::vector<PortSpan>, int> ephemeral_spans();

// Ports the kernel keeps out of its automatic binds by configuration, read
// now: Linux's net.ipv4.ip_local_reserved_ports (none on a kernel without
// it); none elsewhere. The errno when they cannot be read.
std::expected<std::vector<PortSpan>, int> reserved_spans();

// The text of the system's services list (/etc/services): empty when there
// is none, the errno when it cannot be read.
std::expected<std::string, int> services_text();

// ---- Parsers, shared by the platforms ----

// "8080" or "9000-9010"; nothing for anything else, a span backwards
// included.
std::optional<PortSpan> parse_span(std::string_view text) noexcept;

// "8080,9000-9010" (the form of ip_local_reserved_ports); items that do not
// parse are passed over.
std::vector<PortSpan> parse_span_list(std::string_view text);

// The TCP ports a services list names ("http  80/tcp  www  # comment").
std::vector<std::uint16_t> parse_services(std::string_view text);

}  // namespace vantle::reserve

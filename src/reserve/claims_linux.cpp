// Claims on Linux: an abstract Unix socket address per port. Its scope is the
// network namespace, exactly that of the port space; the kernel refuses a
// second bind of the name and frees it with the socket's last descriptor.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <charconv>
#include <cstddef>
#include <cstring>

#include "owners/proc_linux.hpp"
#include "reserve/claims.hpp"

namespace vantle::reserve {
namespace {

using owners::linux_os::next_field;
using owners::linux_os::read_file;

// The claim's name, after the leading NUL that makes an address abstract.
constexpr std::string_view claim_prefix = "vantle/v1/tcp/";

// What the kernel uses when ip_local_port_range cannot be read.
constexpr PortSpan default_ephemeral{32768, 60999};

// Enough for any sysctl value read here, ip_local_reserved_ports at its
// longest included.
constexpr std::size_t sysctl_limit = 64 * 1024;

std::string read_sysctl(const char* path) {
    std::string text;
    read_file(AT_FDCWD, path, sysctl_limit, text);
    return text;
}

}  // namespace

std::expected<UniqueFd, int> claim(std::uint16_t port) noexcept {
    UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return std::unexpected(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    char* name = address.sun_path + 1;  // sun_path[0] stays NUL: abstract
    std::memcpy(name, claim_prefix.data(), claim_prefix.size());
    char* end = std::to_chars(name + claim_prefix.size(), std::end(address.sun_path), port).ptr;
    // The length names the address exactly: abstract names are not
    // NUL-terminated, and every byte counts.
    const auto length = static_cast<socklen_t>(end - reinterpret_cast<char*>(&address));
    if (::bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return std::unexpected(errno);
    return socket_fd;
}

std::vector<PortSpan> ephemeral_spans() {
    const std::string text = read_sysctl("/proc/sys/net/ipv4/ip_local_port_range");
    std::string_view rest = text;
    const auto first = parse_number<std::uint16_t>(next_field(rest, " \t\n"));
    const auto last = parse_number<std::uint16_t>(next_field(rest, " \t\n"));
    if (!first || !last || *first > *last) return {default_ephemeral};
    return {PortSpan{*first, *last}};
}

std::vector<PortSpan> reserved_spans() { return parse_span_list(read_sysctl("/proc/sys/net/ipv4/ip_local_reserved_ports")); }

std::string services_text() {
    std::string buffer;
    std::string text;
    const int error = read_file(AT_FDCWD, "/etc/services", owners::linux_os::unlimited, buffer,
                                [&text](std::string_view lines) { text += lines; });
    return error == 0 ? text : std::string();
}

}  // namespace vantle::reserve

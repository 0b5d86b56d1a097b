// The /proc/net tables, read where netlink is refused.

#include "sockets/socket_table.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "owners/proc_linux.hpp"

namespace vantle::sockets {
namespace {

using owners::linux_os::next_field;
using owners::linux_os::parse_number;

// An address and port as /proc/net writes them, "HEX:PORT": each 32-bit word
// of the network-order address printed as a number of this machine's byte
// order, 8 hex digits, then the port in hexadecimal. The family is that of
// the address's length.
bool parse_endpoint(std::string_view text, std::uint8_t& family, std::array<std::uint8_t, 16>& address,
                    std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view hex = text.substr(0, colon);
    if (hex.size() != 8 && hex.size() != 32) return false;
    family = hex.size() == 8 ? AF_INET : AF_INET6;
    for (std::size_t word = 0; word < hex.size() / 8; ++word) {
        const auto value = parse_number<std::uint32_t>(hex.substr(word * 8, 8), 16);
        if (!value) return false;
        std::memcpy(address.data() + word * 4, &*value, 4);
    }
    const auto number = parse_number<std::uint16_t>(text.substr(colon + 1), 16);
    if (!number) return false;
    port = *number;
    return true;
}

// One line of /proc/net/{tcp,udp}{,6}: "sl: local remote st tx:rx tr:tm
// retrnsmt uid timeout inode ...", addresses as HEX:PORT in hexadecimal.
bool parse_line(std::string_view line, std::uint8_t protocol, InetSocket& socket) {
    const std::string_view slot = next_field(line);
    if (slot.empty() || slot.back() != ':') return false;  // the header line
    std::uint8_t remote_family = 0;
    if (!parse_endpoint(next_field(line), socket.family, socket.local_address, socket.local_port) ||
        !parse_endpoint(next_field(line), remote_family, socket.remote_address, socket.remote_port) ||
        remote_family != socket.family)
        return false;
    const auto state = parse_number<std::uint8_t>(next_field(line), 16);
    for (int skipped = 0; skipped < 3; ++skipped) next_field(line);  // queues, timer, retransmits
    const auto uid = parse_number<std::uint32_t>(next_field(line));
    next_field(line);  // timeout
    const auto inode = parse_number<std::uint64_t>(next_field(line));
    if (!state || !uid || !inode) return false;
    socket.inode = *inode;
    socket.protocol = protocol;
    socket.state = *state;
    socket.uid = *uid;
    return true;
}

}  // namespace

void parse_proc_net(std::string_view text, std::uint8_t protocol, std::vector<InetSocket>& out) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        InetSocket socket;
        if (parse_line(text.substr(0, end), protocol, socket)) out.push_back(socket);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

}  // namespace vantle::sockets

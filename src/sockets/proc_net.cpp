// The /proc/net tables, read where netlink is refused.

#include "sockets/socket_table.hpp"

#include <netinet/in.h>

#include <algorithm>

#include "owners/proc_linux.hpp"

namespace vantle::sockets {
namespace {

using owners::linux_os::next_field;
using owners::linux_os::parse_number;

// One line of /proc/net/{tcp,udp}{,6}: "sl: local remote st tx:rx tr:tm
// retrnsmt uid timeout inode ...", addresses as HEX:PORT in hexadecimal.
bool parse_line(std::string_view line, std::uint8_t protocol, InetSocket& socket) {
    const std::string_view slot = next_field(line);
    if (slot.empty() || slot.back() != ':') return false;  // the header line
    const std::string_view local = next_field(line);
    const std::size_t colon = local.rfind(':');
    if (colon == std::string_view::npos) return false;
    const auto port = parse_number<std::uint16_t>(local.substr(colon + 1), 16);
    next_field(line);  // remote address
    const auto state = parse_number<std::uint8_t>(next_field(line), 16);
    for (int skipped = 0; skipped < 5; ++skipped) next_field(line);  // queues, timer, retransmits, uid, timeout
    const auto inode = parse_number<std::uint64_t>(next_field(line));
    if (!port || !state || !inode) return false;
    socket = InetSocket{*inode, *port, protocol, *state};
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

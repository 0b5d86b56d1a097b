#include "owners/linux/socket_snapshot.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "owners/linux/proc_files.hpp"

namespace vantle::owners::linux_os {
namespace {

bool wanted(const InetSocket& socket, std::span<const std::uint16_t> ports, bool listen_only) {
    if (socket.inode == 0) return false;  // TIME_WAIT, NEW_SYN_RECV: no descriptor holds them
    if (listen_only && (socket.protocol != IPPROTO_TCP || socket.state != tcp_state_listen)) return false;
    return std::binary_search(ports.begin(), ports.end(), socket.local_port);
}

// The next whitespace-separated field of `line`, consumed.
std::string_view next_field(std::string_view& line) {
    const std::size_t begin = std::min(line.find_first_not_of(' '), line.size());
    line.remove_prefix(begin);
    const std::size_t length = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, length);
    line.remove_prefix(length);
    return field;
}

template <class Number>
bool parse_number(std::string_view text, int base, Number& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size();
}

// One line of /proc/net/{tcp,udp}{,6}: "sl: local remote st tx:rx tr:tm
// retrnsmt uid timeout inode ...", addresses as HEX:PORT in hexadecimal.
bool parse_line(std::string_view line, std::uint8_t protocol, InetSocket& socket) {
    const std::string_view slot = next_field(line);
    if (slot.empty() || slot.back() != ':') return false;  // the header line
    const std::string_view local = next_field(line);
    const std::size_t colon = local.rfind(':');
    if (colon == std::string_view::npos || !parse_number(local.substr(colon + 1), 16, socket.local_port)) return false;
    next_field(line);  // remote address
    if (!parse_number(next_field(line), 16, socket.state)) return false;
    for (int skipped = 0; skipped < 5; ++skipped) next_field(line);  // queues, timer, retransmits, uid, timeout
    if (!parse_number(next_field(line), 10, socket.inode)) return false;
    socket.protocol = protocol;
    return true;
}

// Streams one /proc/net table through the line parser, so that a machine
// with very many sockets does not need the whole file in memory.
bool read_proc_net(int proc_fd, const char* path, std::uint8_t protocol, std::vector<InetSocket>& out) {
    const UniqueFd file = open_at(proc_fd, path, O_RDONLY);
    if (!file) return false;
    std::string text(64 * 1024, '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) text.resize(text.size() * 2);  // a line longer than the buffer
        const ssize_t got = ::read(file.get(), text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
        const std::size_t complete = std::string_view(text.data(), filled).rfind('\n');
        if (complete == std::string_view::npos) continue;
        parse_proc_net({text.data(), complete + 1}, protocol, out);
        text.erase(0, complete + 1);
        filled -= complete + 1;
        text.resize(std::max<std::size_t>(text.size(), 64 * 1024));
    }
    parse_proc_net({text.data(), filled}, protocol, out);
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

SocketSnapshot::SocketSnapshot(std::vector<InetSocket> sockets, std::span<const std::uint16_t> ports,
                               bool listen_only)
    : sockets_(std::move(sockets)) {
    std::erase_if(sockets_, [&](const InetSocket& socket) { return !wanted(socket, ports, listen_only); });
    std::sort(sockets_.begin(), sockets_.end(),
              [](const InetSocket& a, const InetSocket& b) { return a.inode < b.inode; });
    sockets_.erase(std::unique(sockets_.begin(), sockets_.end(),
                               [](const InetSocket& a, const InetSocket& b) { return a.inode == b.inode; }),
                   sockets_.end());
    ports_.reserve(sockets_.size());
    for (const InetSocket& socket : sockets_) ports_.push_back(socket.local_port);
    std::sort(ports_.begin(), ports_.end());
    ports_.erase(std::unique(ports_.begin(), ports_.end()), ports_.end());
}

SocketSnapshot SocketSnapshot::take(int proc_fd, std::span<const std::uint16_t> ports, bool listen_only) {
    struct Table {
        std::uint8_t family;
        std::uint8_t protocol;
        const char* fallback;
    };
    static constexpr Table tables[] = {
        {AF_INET, IPPROTO_TCP, "net/tcp"},
        {AF_INET6, IPPROTO_TCP, "net/tcp6"},
        {AF_INET, IPPROTO_UDP, "net/udp"},
        {AF_INET6, IPPROTO_UDP, "net/udp6"},
    };
    // Sockets in TIME_WAIT and NEW_SYN_RECV have no inode, so they are not
    // even asked for.
    const std::uint32_t states =
        listen_only ? 1u << tcp_state_listen
                    : ~((1u << tcp_state_time_wait) | (1u << tcp_state_new_syn_recv));

    std::vector<InetSocket> sockets;
    DiagChannel channel;
    for (const Table& table : tables) {
        if (listen_only && table.protocol != IPPROTO_TCP) continue;
        if (!channel.dump(table.family, table.protocol, states, ports, sockets)) {
            read_proc_net(proc_fd, table.fallback, table.protocol, sockets);
        }
    }
    return SocketSnapshot(std::move(sockets), ports, listen_only);
}

const InetSocket* SocketSnapshot::find(std::uint64_t inode) const noexcept {
    const auto at = std::lower_bound(sockets_.begin(), sockets_.end(), inode,
                                     [](const InetSocket& socket, std::uint64_t key) { return socket.inode < key; });
    return at != sockets_.end() && at->inode == inode ? &*at : nullptr;
}

bool SocketSnapshot::has_port(std::uint16_t port) const noexcept {
    return std::binary_search(ports_.begin(), ports_.end(), port);
}

}  // namespace vantle::owners::linux_os

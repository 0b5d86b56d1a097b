// The socket table a lookup starts from: every dump it needs, each one read
// from /proc/net instead when netlink refuses it, kept to the sockets the
// lookup could report.

#include "sockets/socket_table.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "owners/proc_linux.hpp"

namespace vantle::sockets {
namespace {

std::uint16_t side_port(const InetSocket& socket, PortSide side) {
    return side == PortSide::local ? socket.local_port : socket.remote_port;
}

bool wanted(const InetSocket& socket, const Selection& selection) {
    if (socket.inode == 0) return false;  // TIME_WAIT, NEW_SYN_RECV: no descriptor holds them
    // /proc/net lists every state of its table: the states are checked here too.
    const std::uint32_t states = socket.protocol == IPPROTO_TCP ? selection.tcp_states : selection.udp_states;
    if (socket.state > 31 || (states & (1u << socket.state)) == 0) return false;
    return selection.every_port ||
           std::binary_search(selection.ports.begin(), selection.ports.end(), side_port(socket, selection.side));
}

}  // namespace

SocketSnapshot::SocketSnapshot(std::vector<InetSocket> sockets, const Selection& selection)
    : sockets_(std::move(sockets)) {
    std::erase_if(sockets_, [&](const InetSocket& socket) { return !wanted(socket, selection); });
    std::sort(sockets_.begin(), sockets_.end(),
              [](const InetSocket& a, const InetSocket& b) { return a.inode < b.inode; });
    sockets_.erase(std::unique(sockets_.begin(), sockets_.end(),
                               [](const InetSocket& a, const InetSocket& b) { return a.inode == b.inode; }),
                   sockets_.end());
    ports_.reserve(sockets_.size());
    for (const InetSocket& socket : sockets_) ports_.push_back(side_port(socket, selection.side));
    std::sort(ports_.begin(), ports_.end());
    ports_.erase(std::unique(ports_.begin(), ports_.end()), ports_.end());
}

bool read_sockets(int proc_fd, DiagChannel& channel, std::uint8_t protocol, std::uint32_t states,
                  std::span<const std::uint16_t> ports, PortSide side, std::vector<InetSocket>& out) {
    // One pass for both families where the kernel serves TCP that way.
    if (protocol == IPPROTO_TCP && channel.dump(AF_UNSPEC, protocol, states, ports, side, out)) return true;
    struct Table {
        std::uint8_t family;
        const char* fallback;
    };
    const Table tables[] = {
        {AF_INET, protocol == IPPROTO_TCP ? "net/tcp" : "net/udp"},
        {AF_INET6, protocol == IPPROTO_TCP ? "net/tcp6" : "net/udp6"},
    };
    bool complete = true;
    for (const Table& table : tables) {
        if (channel.dump(table.family, protocol, states, ports, side, out)) continue;
        // Streamed a piece at a time: a machine with very many sockets does
        // not need the whole table in memory.
        std::string text;
        if (owners::linux_os::read_file(proc_fd, table.fallback, owners::linux_os::unlimited, text,
                                        [&](std::string_view lines) { parse_proc_net(lines, protocol, out); }) != 0)
            complete = false;
    }
    return complete;
}

SocketSnapshot SocketSnapshot::take(int proc_fd, const Selection& selection) {
    // No port filter in the kernel when every port is wanted.
    const std::span<const std::uint16_t> ports = selection.every_port ? std::span<const std::uint16_t>() : selection.ports;
    std::vector<InetSocket> sockets;
    DiagChannel channel;
    if (selection.tcp_states != 0)
        read_sockets(proc_fd, channel, IPPROTO_TCP, selection.tcp_states, ports, selection.side, sockets);
    if (selection.udp_states != 0)
        read_sockets(proc_fd, channel, IPPROTO_UDP, selection.udp_states, ports, selection.side, sockets);
    return SocketSnapshot(std::move(sockets), selection);
}

const InetSocket* SocketSnapshot::find(std::uint64_t inode) const noexcept {
    const auto at = std::lower_bound(sockets_.begin(), sockets_.end(), inode,
                                     [](const InetSocket& socket, std::uint64_t key) { return socket.inode < key; });
    return at != sockets_.end() && at->inode == inode ? &*at : nullptr;
}

bool SocketSnapshot::has_port(std::uint16_t port) const noexcept {
    return std::binary_search(ports_.begin(), ports_.end(), port);
}

}  // namespace vantle::sockets

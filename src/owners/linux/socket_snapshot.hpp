#pragma once
// The internet sockets on the looked-up ports, gathered once when a lookup
// starts: the walk then only has to match descriptor inodes against it.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "owners/linux/sock_diag.hpp"

namespace vantle::owners::linux_os {

class SocketSnapshot {
public:
    SocketSnapshot() = default;
    // Keeps the sockets of `sockets` that a lookup of `ports` (sorted, without
    // duplicates) could report: on one of the ports, held by some descriptor
    // (inode not 0), and TCP listeners only when `listen_only`.
    SocketSnapshot(std::vector<InetSocket> sockets, std::span<const std::uint16_t> ports, bool listen_only);

    // Asks the kernel through sock_diag, one dump per protocol and family;
    // a dump that netlink refuses is read from /proc/net instead, relative to
    // the open /proc directory `proc_fd`.
    static SocketSnapshot take(int proc_fd, std::span<const std::uint16_t> ports, bool listen_only);

    const InetSocket* find(std::uint64_t inode) const noexcept;
    bool has_port(std::uint16_t port) const noexcept;
    bool empty() const noexcept { return sockets_.empty(); }
    std::span<const InetSocket> sockets() const noexcept { return sockets_; }

private:
    std::vector<InetSocket> sockets_;  // sorted by inode
    std::vector<std::uint16_t> ports_;  // ports of sockets_, sorted
};

// Parses the text of /proc/net/tcp, tcp6, udp or udp6, appending every socket
// listed; malformed lines are passed over.
void parse_proc_net(std::string_view text, std::uint8_t protocol, std::vector<InetSocket>& out);

}  // namespace vantle::owners::linux_os

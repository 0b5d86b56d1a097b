#pragma once
// The table of internet sockets, the kernel's view of who is bound where:
// read through sock_diag (the netlink client and its parser), or from
// /proc/net where netlink is refused. The lookup behind the module functions
// matches descriptor inodes against it. The parsers take bytes and return
// plain values, so that tests can feed them recorded kernel answers or
// hand-made files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::sockets {

// ---- sock_diag ----

// TCP states as the kernel numbers them (include/net/tcp_states.h); UDP
// sockets report TCP_ESTABLISHED or TCP_CLOSE.
inline constexpr std::uint8_t tcp_state_time_wait = 6;
inline constexpr std::uint8_t tcp_state_listen = 10;
inline constexpr std::uint8_t tcp_state_new_syn_recv = 12;
inline constexpr std::uint8_t udp_state_unconnected = 7;  // TCP_CLOSE

// One internet socket as a dump or /proc/net reports it.
struct InetSocket {
    std::uint64_t inode = 0;  // 0 for sockets no descriptor refers to
    std::uint16_t local_port = 0;
    std::uint8_t protocol = 0;  // IPPROTO_TCP or IPPROTO_UDP
    std::uint8_t state = 0;
    std::uint8_t family = 0;  // AF_INET or AF_INET6
    // The local address in network byte order; IPv4 in the first 4 bytes.
    std::array<std::uint8_t, 16> local_address{};
    std::uint32_t uid = 0;  // the socket's owner
    // The interface the socket is bound to, where sock_diag tells (0: none):
    // the scope of a link-local address.
    std::uint32_t interface = 0;
    // Whether an IPv6 socket takes IPv6 connections only (IPV6_V6ONLY), where
    // the table tells: sock_diag does for listening and unconnected sockets,
    // /proc/net never.
    std::optional<bool> v6only{};
    // The peer's address and port, as the local ones; port 0 for a socket
    // without a peer (a listener, an unconnected UDP socket).
    std::array<std::uint8_t, 16> remote_address{};
    std::uint16_t remote_port = 0;
};

// Which end of a socket the ports of a request or a snapshot name: its own
// (the local port), or its peer's (the remote port, for the clients of a
// port).
enum class PortSide : std::uint8_t { local, remote };

// A dump request for `states` (a mask of 1 << state), with a filter in the
// kernel on the `side` port when `ports` is short enough, else none: SOCK_DIAG_BY_FAMILY for
// one family, or for TCP with `family` AF_UNSPEC the older TCPDIAG_GETSOCK,
// which the kernel serves for IPv4 and IPv6 in one pass.
std::vector<std::byte> dump_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                                    std::span<const std::uint16_t> ports, std::uint32_t seq,
                                    PortSide side = PortSide::local);

enum class DumpProgress { more, done, failed };

// Reads one datagram of the answer to the request numbered `seq` sent from
// netlink port `port_id`, appending its sockets to `out`. Messages of other
// requests are passed over. On `failed`, `error` holds the errno the kernel
// reported, or EBADMSG for a malformed datagram.
DumpProgress read_dump_datagram(std::span<const std::byte> datagram, std::uint32_t seq, std::uint32_t port_id,
                                std::uint8_t protocol, std::vector<InetSocket>& out, int& error);

// A netlink socket that serves several dumps in turn.
class DiagChannel {
public:
    // Appends the sockets of one dump (see dump_request) to `out`. False when
    // netlink refused or the dump failed; `out` is then as it was.
    bool dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states, std::span<const std::uint16_t> ports,
              PortSide side, std::vector<InetSocket>& out);

private:
    bool open();
    bool run(std::uint8_t family, std::uint8_t protocol, std::uint32_t states, std::span<const std::uint16_t> ports,
             PortSide side, std::vector<InetSocket>& out);

    UniqueFd socket_;
    std::uint32_t port_id_ = 0;
    std::uint32_t seq_ = 0;
    std::vector<std::byte> buffer_;
};

// ---- The socket table ----

// Parses the text of /proc/net/tcp, tcp6, udp or udp6, appending every socket
// listed; malformed lines are passed over.
void parse_proc_net(std::string_view text, std::uint8_t protocol, std::vector<InetSocket>& out);

// Appends the sockets of `protocol` (IPPROTO_TCP or IPPROTO_UDP) in `states`
// whose `side` port is one of `ports` (see dump_request) to `out`: TCP in one dump for both families
// where the kernel allows, else one dump per family; a dump that netlink
// refuses is read from /proc/net instead (every socket of that table, so
// callers filter), relative to the open /proc directory `proc_fd`. False when
// a table could be read neither way (no descriptor left, say); what was read
// stays in `out`.
bool read_sockets(int proc_fd, DiagChannel& channel, std::uint8_t protocol, std::uint32_t states,
                  std::span<const std::uint16_t> ports, PortSide side, std::vector<InetSocket>& out);

// Which sockets a snapshot keeps: those in `tcp_states` or `udp_states`
// (masks of 1 << state; 0 leaves the protocol out, and its table unread)
// whose `side` port is one of `ports` (sorted, without duplicates), or on
// any port with `every_port`.
struct Selection {
    std::span<const std::uint16_t> ports;
    bool every_port = false;
    PortSide side = PortSide::local;
    std::uint32_t tcp_states = 0;
    std::uint32_t udp_states = 0;
};

// Every state a descriptor may hold a socket in: TIME_WAIT and NEW_SYN_RECV
// sockets have no inode.
inline constexpr std::uint32_t held_states = ~((1u << tcp_state_time_wait) | (1u << tcp_state_new_syn_recv));

// The internet sockets on the looked-up ports, gathered once when a lookup
// starts: the walk then only has to match descriptor inodes against it.
class SocketSnapshot {
public:
    SocketSnapshot() = default;
    // Keeps the sockets of `sockets` that `selection` takes and some
    // descriptor holds (inode not 0).
    SocketSnapshot(std::vector<InetSocket> sockets, const Selection& selection);

    // Reads the tables of the protocols `selection` takes with read_sockets.
    static SocketSnapshot take(int proc_fd, const Selection& selection);

    const InetSocket* find(std::uint64_t inode) const noexcept;
    const std::vector<InetSocket>& sockets() const noexcept { return sockets_; }
    // Whether a socket kept has `port` on the selection's side.
    bool has_port(std::uint16_t port) const noexcept;

private:
    std::vector<InetSocket> sockets_;   // sorted by inode
    std::vector<std::uint16_t> ports_;  // the selection's side ports of sockets_, sorted
};

}  // namespace vantle::sockets

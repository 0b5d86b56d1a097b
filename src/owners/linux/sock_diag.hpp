#pragma once
// A client of the kernel's sock_diag netlink interface: one dump of the TCP or
// UDP sockets of one address family, with the local port filtered in the
// kernel. The request builder and the parser of one received datagram are
// separate functions so that recorded answers can be replayed in tests.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::owners::linux_os {

// TCP states as the kernel numbers them (include/net/tcp_states.h); UDP
// sockets report TCP_ESTABLISHED or TCP_CLOSE.
inline constexpr std::uint8_t tcp_state_time_wait = 6;
inline constexpr std::uint8_t tcp_state_listen = 10;
inline constexpr std::uint8_t tcp_state_new_syn_recv = 12;

// One internet socket as a dump or /proc/net reports it.
struct InetSocket {
    std::uint64_t inode = 0;  // 0 for sockets no descriptor refers to
    std::uint16_t local_port = 0;
    std::uint8_t protocol = 0;  // IPPROTO_TCP or IPPROTO_UDP
    std::uint8_t state = 0;
};

// The most ports a kernel filter is built for; a longer list is dumped whole
// and filtered in user space only, which keeps the request small.
inline constexpr std::size_t max_filtered_ports = 64;

// inet_diag bytecode accepting exactly the sockets whose local port is one of
// `ports` (not empty). Uses INET_DIAG_BC_S_COND, which every kernel with
// inet_diag understands, rather than S_EQ (Linux 4.16 and later).
std::vector<std::byte> port_filter(std::span<const std::uint16_t> ports);

// A SOCK_DIAG_BY_FAMILY dump request for `states` (a mask of 1 << state),
// with a port filter when `ports` is short enough, else none.
std::vector<std::byte> dump_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                                    std::span<const std::uint16_t> ports, std::uint32_t seq);

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
    // Appends the sockets of one dump to `out`. False when netlink refused or
    // the dump failed; `out` is then as it was.
    bool dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states, std::span<const std::uint16_t> ports,
              std::vector<InetSocket>& out);

private:
    bool open();
    bool run(std::uint8_t family, std::uint8_t protocol, std::uint32_t states, std::span<const std::uint16_t> ports,
             std::vector<InetSocket>& out);

    UniqueFd socket_;
    std::uint32_t port_id_ = 0;
    std::uint32_t seq_ = 0;
    std::vector<std::byte> buffer_;
};

}  // namespace vantle::owners::linux_os

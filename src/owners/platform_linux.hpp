#pragma once
// The parts of the Linux platform layer that stand on their own: the
// sock_diag client and the snapshot of sockets it fills, and the parsers of
// /proc text. They take bytes and return plain values, so that tests can feed
// them recorded kernel answers or hand-made files.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::owners::linux_os {

// ---- sock_diag ----

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

// A SOCK_DIAG_BY_FAMILY dump request for `states` (a mask of 1 << state),
// with a port filter in the kernel when `ports` is short enough, else none.
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

// ---- The snapshot of sockets ----

// Parses the text of /proc/net/tcp, tcp6, udp or udp6, appending every socket
// listed; malformed lines are passed over.
void parse_proc_net(std::string_view text, std::uint8_t protocol, std::vector<InetSocket>& out);

// The internet sockets on the looked-up ports, gathered once when a lookup
// starts: the walk then only has to match descriptor inodes against it.
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

private:
    std::vector<InetSocket> sockets_;   // sorted by inode
    std::vector<std::uint16_t> ports_;  // ports of sockets_, sorted
};

// ---- /proc text ----

// A number in `base` that is the whole of `text`: digits only, no sign, no
// space, as /proc writes pids, descriptors, inodes and hexadecimal ports.
template <class Number>
std::optional<Number> parse_number(std::string_view text, int base = 10) noexcept {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The inode of a descriptor link that names a socket, "socket:[INODE]".
std::optional<std::uint64_t> parse_socket_link(std::string_view link) noexcept;

// The fields of /proc/PID/stat that the lookup reads.
struct ProcStat {
    char state = '?';              // field 3
    std::uint64_t threads = 0;     // field 20
    std::uint64_t start_time = 0;  // field 22, clock ticks after boot
};

// Parses /proc/PID/stat. The name (field 2) may hold spaces and ')', so the
// fields are counted from the last ')'.
std::optional<ProcStat> parse_stat(std::string_view text) noexcept;

// The kernel keeps at most this many bytes of a process name.
inline constexpr std::size_t kernel_name_limit = 15;

// When `comm` is kernel_name_limit bytes long and the basename of the first
// argument or of the executable extends it, that basename is the name.
std::string_view extend_name(std::string_view comm, std::string_view first_argument,
                             std::string_view executable) noexcept;

// The command line as one string: arguments joined by single spaces. Trailing
// NULs are dropped, since processes that rewrite their title pad with them.
void join_command_line(std::string& raw) noexcept;

}  // namespace vantle::owners::linux_os

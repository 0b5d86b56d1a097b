// The sock_diag client: dump requests with a port filter run in the kernel,
// and the reader of their answers.

#include "sockets/socket_table.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vantle::sockets {
namespace {

// Big enough for the largest chunk the kernel puts in one dump datagram; the
// kernel also sizes later chunks after the reader's buffer.
constexpr std::size_t receive_buffer_size = 32 * 1024;

template <class T>
void put(std::vector<std::byte>& out, const T& value) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <class T>
T get(std::span<const std::byte> data, std::size_t at) {
    T value;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

// The most ports a kernel filter is built for; a longer list is dumped whole
// and filtered in user space only, which keeps the request small.
constexpr std::size_t max_filtered_ports = 64;

// inet_diag bytecode accepting exactly the sockets whose local port (or with
// `side` remote, whose peer's port) is one of `ports` (not empty). Uses
// INET_DIAG_BC_S_COND and D_COND, which every kernel with inet_diag
// understands, rather than S_EQ and D_EQ (Linux 4.16 and later).
std::vector<std::byte> port_filter(std::span<const std::uint16_t> ports, PortSide side) {
    // One condition per port; a match jumps past the end (accept), a miss
    // falls through to the next condition, and a miss on the last one jumps
    // one op beyond the end (reject). The jumps between conditions let the
    // kernel's audit reach every op along the "yes" edges.
    constexpr auto condition_size = static_cast<unsigned short>(sizeof(inet_diag_bc_op) + sizeof(inet_diag_hostcond));
    constexpr auto jump_size = static_cast<unsigned short>(sizeof(inet_diag_bc_op));
    const std::size_t total = ports.size() * (condition_size + jump_size) - jump_size;

    const auto compare = static_cast<unsigned char>(side == PortSide::local ? INET_DIAG_BC_S_COND : INET_DIAG_BC_D_COND);
    std::vector<std::byte> code;
    code.reserve(total);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const bool last = i + 1 == ports.size();
        put(code, inet_diag_bc_op{compare, static_cast<unsigned char>(condition_size),
                                  static_cast<unsigned short>(condition_size + jump_size)});
        inet_diag_hostcond condition{};
        condition.family = AF_UNSPEC;  // any address, compare the port only
        condition.prefix_len = 0;
        condition.port = ports[i];
        put(code, condition);
        if (!last) {
            const std::size_t to_end = total - code.size();
            put(code, inet_diag_bc_op{INET_DIAG_BC_JMP, static_cast<unsigned char>(jump_size),
                                      static_cast<unsigned short>(to_end)});
        }
    }
    return code;
}

// The IPV6_V6ONLY flag among the attributes that follow a socket's message:
// the kernel adds it for IPv6 sockets that listen or are not connected.
std::optional<bool> v6only_attribute(std::span<const std::byte> attributes) {
    std::size_t at = 0;
    while (attributes.size() - at >= NLA_HDRLEN) {
        const auto attribute = get<nlattr>(attributes, at);
        if (attribute.nla_len < NLA_HDRLEN || attribute.nla_len > attributes.size() - at) break;
        if (attribute.nla_type == INET_DIAG_SKV6ONLY && attribute.nla_len > NLA_HDRLEN)
            return get<std::uint8_t>(attributes, at + NLA_HDRLEN) != 0;
        at += std::min<std::size_t>(NLA_ALIGN(attribute.nla_len), attributes.size() - at);
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::byte> dump_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                                    std::span<const std::uint16_t> ports, std::uint32_t seq, PortSide side) {
    std::vector<std::byte> filter;
    if (!ports.empty() && ports.size() <= max_filtered_ports) filter = port_filter(ports, side);

    // The older request serves both families in one pass over the kernel's
    // tables (it dumps as family AF_UNSPEC); the newer one names a family.
    const bool both_families = family == AF_UNSPEC;
    const std::size_t request_size = both_families ? sizeof(inet_diag_req) : sizeof(inet_diag_req_v2);
    const std::size_t attribute_length = filter.empty() ? 0 : NLA_HDRLEN + filter.size();
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(request_size) + NLA_ALIGN(attribute_length));
    header.nlmsg_type = both_families ? TCPDIAG_GETSOCK : SOCK_DIAG_BY_FAMILY;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;

    std::vector<std::byte> message;
    message.reserve(header.nlmsg_len);
    put(message, header);
    if (both_families) {
        inet_diag_req request{};
        request.idiag_family = AF_INET;  // not consulted by a dump
        request.idiag_states = states;
        put(message, request);
    } else {
        inet_diag_req_v2 request{};
        request.sdiag_family = family;
        request.sdiag_protocol = protocol;
        request.idiag_states = states;
        put(message, request);
    }
    message.resize(NLMSG_LENGTH(request_size));
    if (!filter.empty()) {
        nlattr attribute{};
        attribute.nla_len = static_cast<std::uint16_t>(attribute_length);
        attribute.nla_type = INET_DIAG_REQ_BYTECODE;
        put(message, attribute);
        message.insert(message.end(), filter.begin(), filter.end());
        message.resize(header.nlmsg_len);
    }
    return message;
}

DumpProgress read_dump_datagram(std::span<const std::byte> datagram, std::uint32_t seq, std::uint32_t port_id,
                                std::uint8_t protocol, std::vector<InetSocket>& out, int& error) {
    // Records the reason and ends the reading.
    const auto failed = [&error](int reason) {
        error = reason;
        return DumpProgress::failed;
    };
    std::size_t at = 0;
    while (datagram.size() - at >= sizeof(nlmsghdr)) {
        const auto header = get<nlmsghdr>(datagram, at);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - at) return failed(EBADMSG);
        const std::span<const std::byte> payload =
            datagram.subspan(at + NLMSG_HDRLEN, header.nlmsg_len - std::min<std::size_t>(header.nlmsg_len, NLMSG_HDRLEN));
        at += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size() - at);

        // Left over from an earlier request on the same socket.
        if (header.nlmsg_seq != seq || header.nlmsg_pid != port_id) continue;

        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                // Since Linux 4.4 the kernel puts the dump's own result here.
                if (payload.size() >= sizeof(int)) {
                    const int status = get<int>(payload, 0);
                    if (status < 0) return failed(-status);
                }
                return DumpProgress::done;
            case NLMSG_ERROR: {
                if (payload.size() < sizeof(int)) return failed(EBADMSG);
                const int status = get<int>(payload, 0);
                if (status == 0) return DumpProgress::done;  // an acknowledgement ends the answer too
                return failed(status < 0 ? -status : EBADMSG);
            }
            case NLMSG_OVERRUN:
                return failed(ENOBUFS);
            case SOCK_DIAG_BY_FAMILY:
            case TCPDIAG_GETSOCK: {  // the answer to the older request
                if (payload.size() < sizeof(inet_diag_msg)) return failed(EBADMSG);
                const auto socket = get<inet_diag_msg>(payload, 0);
                InetSocket entry;
                entry.inode = socket.idiag_inode;
                entry.local_port = ntohs(socket.id.idiag_sport);
                entry.protocol = protocol;
                entry.state = socket.idiag_state;
                entry.family = socket.idiag_family;
                const std::size_t address_size = socket.idiag_family == AF_INET6 ? 16 : 4;
                std::memcpy(entry.local_address.data(), socket.id.idiag_src, address_size);
                entry.remote_port = ntohs(socket.id.idiag_dport);
                std::memcpy(entry.remote_address.data(), socket.id.idiag_dst, address_size);
                entry.uid = socket.idiag_uid;
                entry.interface = socket.id.idiag_if;
                const std::size_t attributes = std::min<std::size_t>(NLA_ALIGN(sizeof(inet_diag_msg)), payload.size());
                entry.v6only = v6only_attribute(payload.subspan(attributes));
                out.push_back(entry);
                break;
            }
            default:
                break;  // NLMSG_NOOP and anything unknown
        }
    }
    if (at != datagram.size()) return failed(EBADMSG);
    return DumpProgress::more;
}

bool DiagChannel::open() {
    socket_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket_) return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;  // nl_pid 0: the kernel picks the port id
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    socklen_t length = sizeof local;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 || length != sizeof local) {
        return false;
    }
    port_id_ = local.nl_pid;
    buffer_.resize(receive_buffer_size);
    return true;
}

bool DiagChannel::dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                       std::span<const std::uint16_t> ports, PortSide side, std::vector<InetSocket>& out) {
    const std::size_t kept = out.size();
    if (run(family, protocol, states, ports, side, out)) return true;
    out.resize(kept);
    // The socket may still hold part of the failed answer; start afresh.
    socket_.reset();
    return false;
}

bool DiagChannel::run(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                      std::span<const std::uint16_t> ports, PortSide side, std::vector<InetSocket>& out) {
    if (!socket_ && !open()) return false;

    const std::uint32_t seq = ++seq_;
    const std::vector<std::byte> request = dump_request(family, protocol, states, ports, seq, side);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(socket_.get(), request.data(), request.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(request.size())) break;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }

    for (;;) {
        sockaddr_nl sender{};
        iovec vector{buffer_.data(), buffer_.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(socket_.get(), &message, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0 || (message.msg_flags & MSG_TRUNC) != 0) return false;
        if (sender.nl_pid != 0) continue;  // only the kernel answers a dump

        int error = 0;
        switch (read_dump_datagram({buffer_.data(), static_cast<std::size_t>(got)}, seq, port_id_, protocol, out,
                                   error)) {
            case DumpProgress::more:
                break;
            case DumpProgress::done:
                return true;
            case DumpProgress::failed:
                return false;
        }
    }
}

}  // namespace vantle::sockets

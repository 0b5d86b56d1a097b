// The sock_diag client: recorded kernel answers replayed through the datagram
// parser, and the port filter run against the live kernel.

#include "sockets/socket_table.hpp"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "test_support.hpp"

namespace vantle::sockets {
namespace {

using test::RecordedDump;

constexpr std::uint8_t tcp_state_established = 1;
constexpr std::uint8_t tcp_state_close = 7;

struct Replay {
    std::vector<DumpProgress> steps;
    std::vector<InetSocket> sockets;
    int error = 0;
};

Replay replay(const RecordedDump& dump, std::uint32_t seq, std::uint32_t port_id, std::uint8_t protocol) {
    Replay result;
    for (const auto& datagram : dump.datagrams) {
        result.steps.push_back(read_dump_datagram(datagram, seq, port_id, protocol, result.sockets, result.error));
        if (result.steps.back() != DumpProgress::more) break;
    }
    return result;
}

Replay replay(const RecordedDump& dump, std::uint8_t protocol) {
    return replay(dump, dump.seq, dump.port_id, protocol);
}

const InetSocket* with_inode(const std::vector<InetSocket>& sockets, std::uint64_t inode) {
    const auto at = std::find_if(sockets.begin(), sockets.end(), [&](const InetSocket& s) { return s.inode == inode; });
    return at == sockets.end() ? nullptr : &*at;
}

std::set<std::uint64_t> inodes(const std::vector<InetSocket>& sockets) {
    std::set<std::uint64_t> result;
    for (const InetSocket& socket : sockets) result.insert(socket.inode);
    return result;
}

test::RecordedSocket recorded(const char* role) {
    const auto manifest = test::load_manifest();
    const auto at = manifest.find(role);
    if (at == manifest.end()) throw std::runtime_error(std::string("no recorded ") + role);
    return at->second;
}

// Offset of the first message of `type` in `datagram`.
std::size_t message_of_type(const std::vector<std::byte>& datagram, std::uint16_t type) {
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= datagram.size();) {
        nlmsghdr header;
        std::memcpy(&header, datagram.data() + at, sizeof header);
        if (header.nlmsg_type == type) return at;
        at += NLMSG_ALIGN(header.nlmsg_len);
    }
    throw std::runtime_error("no such message");
}

void set_length(std::vector<std::byte>& datagram, std::size_t message, std::uint32_t length) {
    std::memcpy(datagram.data() + message + offsetof(nlmsghdr, nlmsg_len), &length, sizeof length);
}

TEST(SockDiagAnswer, RecordedDumpSpansDatagramsUntilDone) {
    const RecordedDump dump = test::load_dump("tcp4_all.bin");
    ASSERT_GE(dump.datagrams.size(), 3u);
    const Replay result = replay(dump, IPPROTO_TCP);

    ASSERT_EQ(result.steps.size(), dump.datagrams.size());
    EXPECT_EQ(result.steps.back(), DumpProgress::done);
    for (std::size_t i = 0; i + 1 < result.steps.size(); ++i) EXPECT_EQ(result.steps[i], DumpProgress::more) << i;

    const auto manifest = test::load_manifest();
    std::size_t listeners = 0;
    for (const auto& [role, socket] : manifest) {
        const InetSocket* found = with_inode(result.sockets, socket.inode);
        if (role == "bulk" || role == "listener_v4") {
            ASSERT_NE(found, nullptr) << role << " " << socket.inode;
            EXPECT_EQ(found->local_port, socket.port);
            EXPECT_EQ(found->state, tcp_state_listen);
            EXPECT_EQ(found->protocol, IPPROTO_TCP);
            ++listeners;
        } else if (role == "client") {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->local_port, socket.port);
            EXPECT_EQ(found->state, tcp_state_established);
        } else {
            // IPv6 and UDP sockets belong to other dumps.
            EXPECT_EQ(found, nullptr) << role;
        }
    }
    EXPECT_EQ(listeners, 151u);
}

TEST(SockDiagAnswer, DualStackListenerAndItsIpv4ConnectionAreInTheIpv6Dump) {
    const Replay result = replay(test::load_dump("tcp6_filtered.bin"), IPPROTO_TCP);
    ASSERT_EQ(result.steps.back(), DumpProgress::done);

    const auto listener = recorded("dual_stack");
    const auto accepted = recorded("accepted");
    EXPECT_EQ(inodes(result.sockets), (std::set<std::uint64_t>{listener.inode, accepted.inode}));
    const InetSocket* found = with_inode(result.sockets, listener.inode);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->state, tcp_state_listen);
    EXPECT_EQ(found->local_port, listener.port);
    found = with_inode(result.sockets, accepted.inode);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->state, tcp_state_established);
    EXPECT_EQ(found->local_port, listener.port);
}

TEST(SockDiagAnswer, KernelFilterKeptOnlyListenersOnTheNamedPorts) {
    // Asked for the IPv4 listener's port and the dual-stack port, listening
    // state only: the dual-stack listener lives in the IPv6 table.
    const Replay result = replay(test::load_dump("tcp4_listen_filtered.bin"), IPPROTO_TCP);
    ASSERT_EQ(result.steps.back(), DumpProgress::done);
    EXPECT_EQ(inodes(result.sockets), std::set<std::uint64_t>{recorded("listener_v4").inode});
}

TEST(SockDiagAnswer, UdpSocketsCarryTheProtocolAskedFor) {
    const Replay result = replay(test::load_dump("udp4_all.bin"), IPPROTO_UDP);
    ASSERT_EQ(result.steps.back(), DumpProgress::done);
    const auto udp = recorded("udp_v4");
    const InetSocket* found = with_inode(result.sockets, udp.inode);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->protocol, IPPROTO_UDP);
    EXPECT_EQ(found->local_port, udp.port);
    EXPECT_EQ(found->state, tcp_state_close);
}

TEST(SockDiagAnswer, MessagesOfOtherRequestsArePassedOver) {
    const RecordedDump dump = test::load_dump("tcp4_all.bin");
    for (const auto& [seq, port_id] : {std::pair{dump.seq + 1, dump.port_id}, std::pair{dump.seq, dump.port_id + 1}}) {
        const Replay result = replay(dump, seq, port_id, IPPROTO_TCP);
        EXPECT_TRUE(result.sockets.empty());
        EXPECT_EQ(result.steps.size(), dump.datagrams.size());
        EXPECT_EQ(result.steps.back(), DumpProgress::more);  // its DONE was not ours either
    }
}

TEST(SockDiagAnswer, KernelErrorFailsTheDump) {
    const Replay result = replay(test::load_dump("error_bad_filter.bin"), IPPROTO_TCP);
    ASSERT_EQ(result.steps.size(), 1u);
    EXPECT_EQ(result.steps.back(), DumpProgress::failed);
    EXPECT_EQ(result.error, EINVAL);
    EXPECT_TRUE(result.sockets.empty());
}

TEST(SockDiagAnswer, ErrorCarriedByDoneFailsTheDump) {
    RecordedDump dump = test::load_dump("tcp4_all.bin");
    auto& last = dump.datagrams.back();
    const std::size_t done = message_of_type(last, NLMSG_DONE);
    const int status = -EMSGSIZE;
    std::memcpy(last.data() + done + NLMSG_HDRLEN, &status, sizeof status);

    const Replay result = replay(dump, IPPROTO_TCP);
    EXPECT_EQ(result.steps.back(), DumpProgress::failed);
    EXPECT_EQ(result.error, EMSGSIZE);
}

TEST(SockDiagAnswer, MalformedDatagramsFail) {
    const RecordedDump dump = test::load_dump("tcp4_all.bin");
    const auto& first = dump.datagrams.front();
    const std::size_t data = message_of_type(first, SOCK_DIAG_BY_FAMILY);
    const auto expect_bad = [](const RecordedDump& from, std::vector<std::byte> datagram, const char* what) {
        std::vector<InetSocket> sockets;
        int error = 0;
        EXPECT_EQ(read_dump_datagram(datagram, from.seq, from.port_id, IPPROTO_TCP, sockets, error),
                  DumpProgress::failed)
            << what;
        EXPECT_EQ(error, EBADMSG) << what;
    };

    expect_bad(dump, {first.begin(), first.begin() + static_cast<std::ptrdiff_t>(first.size() - 7)}, "cut short");

    auto shorter_than_header = first;
    set_length(shorter_than_header, data, sizeof(nlmsghdr) - 1);
    expect_bad(dump, shorter_than_header, "length below the header");

    auto beyond_datagram = first;
    set_length(beyond_datagram, data, static_cast<std::uint32_t>(first.size() + 4));
    expect_bad(dump, beyond_datagram, "length beyond the datagram");

    // A socket message whose payload is too short for inet_diag_msg.
    std::vector<std::byte> short_payload(first.begin() + static_cast<std::ptrdiff_t>(data),
                                         first.begin() + static_cast<std::ptrdiff_t>(data + NLMSG_HDRLEN + 8));
    set_length(short_payload, 0, static_cast<std::uint32_t>(short_payload.size()));
    expect_bad(dump, short_payload, "short socket message");

    // An error message without its error code.
    const RecordedDump refused = test::load_dump("error_bad_filter.bin");
    auto error_only_header = refused.datagrams.front();
    error_only_header.resize(NLMSG_HDRLEN);
    set_length(error_only_header, 0, NLMSG_HDRLEN);
    expect_bad(refused, error_only_header, "error without code");
}

std::uint64_t inode_of(int fd) {
    struct stat status;
    EXPECT_EQ(::fstat(fd, &status), 0);
    return status.st_ino;
}

TEST(SockDiagLive, PortFilterOfSeveralPortsKeepsExactlyThoseListeners) {
    std::vector<test::UniqueFd> listeners;
    for (int i = 0; i < 4; ++i) {
        listeners.push_back(test::tcp4_listener());
        ASSERT_TRUE(listeners.back());
    }
    std::vector<std::uint16_t> ports;
    std::set<std::uint64_t> expected;
    for (int i = 0; i < 3; ++i) {
        ports.push_back(test::local_port(listeners[i].get()));
        expected.insert(inode_of(listeners[i].get()));
    }
    std::sort(ports.begin(), ports.end());

    DiagChannel channel;
    std::vector<InetSocket> sockets;
    ASSERT_TRUE(channel.dump(AF_INET, IPPROTO_TCP, 1u << tcp_state_listen, ports, PortSide::local, sockets));
    EXPECT_EQ(inodes(sockets), expected);

    // One port: the filter without jumps.
    sockets.clear();
    const std::uint16_t fourth[] = {test::local_port(listeners[3].get())};
    ASSERT_TRUE(channel.dump(AF_INET, IPPROTO_TCP, 1u << tcp_state_listen, fourth, PortSide::local, sockets));
    EXPECT_EQ(inodes(sockets), std::set<std::uint64_t>{inode_of(listeners[3].get())});

    // The older request: both families in one dump, with the same filter.
    const test::UniqueFd v6 = test::tcp6_listener(true);
    ASSERT_TRUE(v6);
    std::vector<std::uint16_t> mixed = {test::local_port(listeners[0].get()), test::local_port(v6.get())};
    std::sort(mixed.begin(), mixed.end());
    sockets.clear();
    ASSERT_TRUE(channel.dump(AF_UNSPEC, IPPROTO_TCP, 1u << tcp_state_listen, mixed, PortSide::local, sockets));
    EXPECT_EQ(inodes(sockets), (std::set<std::uint64_t>{inode_of(listeners[0].get()), inode_of(v6.get())}));

    // The peer's port: the client connected to a listener, not the
    // listener, nor the connection it accepted (whose own port it is).
    const test::UniqueFd client = test::tcp4_client(fourth[0]);
    ASSERT_TRUE(client);
    const test::UniqueFd accepted = test::accept_one(listeners[3].get());
    ASSERT_TRUE(accepted);
    sockets.clear();
    ASSERT_TRUE(channel.dump(AF_UNSPEC, IPPROTO_TCP, held_states, fourth, PortSide::remote, sockets));
    ASSERT_EQ(inodes(sockets), std::set<std::uint64_t>{inode_of(client.get())});
    EXPECT_EQ(sockets[0].remote_port, fourth[0]);
    EXPECT_EQ(sockets[0].remote_address[0], 127);
    EXPECT_EQ(sockets[0].local_port, test::local_port(client.get()));
}

}  // namespace
}  // namespace vantle::sockets

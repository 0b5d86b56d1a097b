// The /proc/net fallback parser, fed the tables recorded together with the
// sock_diag answers and hand-made lines, and the snapshot's choice of sockets.

#include "sockets/socket_table.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "test_support.hpp"

namespace vantle::sockets {
namespace {

const InetSocket* with_inode(const std::vector<InetSocket>& sockets, std::uint64_t inode) {
    const auto at = std::find_if(sockets.begin(), sockets.end(), [&](const InetSocket& s) { return s.inode == inode; });
    return at == sockets.end() ? nullptr : &*at;
}

TEST(ProcNetTable, RecordedTablesListTheRecordedSockets) {
    std::vector<InetSocket> tcp4;
    std::vector<InetSocket> tcp6;
    std::vector<InetSocket> udp4;
    parse_proc_net(test::read_text(test::data_path("sock_diag/proc_net_tcp.txt")), IPPROTO_TCP, tcp4);
    parse_proc_net(test::read_text(test::data_path("sock_diag/proc_net_tcp6.txt")), IPPROTO_TCP, tcp6);
    parse_proc_net(test::read_text(test::data_path("sock_diag/proc_net_udp.txt")), IPPROTO_UDP, udp4);

    struct Expected {
        const std::vector<InetSocket>* table;
        std::uint8_t state;
    };
    const std::map<std::string, Expected> where = {
        {"bulk", {&tcp4, tcp_state_listen}},  {"listener_v4", {&tcp4, tcp_state_listen}},
        {"client", {&tcp4, 1}},               {"dual_stack", {&tcp6, tcp_state_listen}},
        {"accepted", {&tcp6, 1}},             {"udp_v4", {&udp4, 7}},
    };
    std::size_t checked = 0;
    for (const auto& [role, socket] : test::load_manifest()) {
        const auto expected = where.find(role);
        if (expected == where.end()) continue;
        const InetSocket* found = with_inode(*expected->second.table, socket.inode);
        ASSERT_NE(found, nullptr) << role << " " << socket.inode;
        EXPECT_EQ(found->local_port, socket.port) << role;
        EXPECT_EQ(found->state, expected->second.state) << role;
        EXPECT_EQ(found->protocol, role == "udp_v4" ? IPPROTO_UDP : IPPROTO_TCP) << role;
        ++checked;
    }
    EXPECT_EQ(checked, 155u);
    // The header line is not a socket.
    EXPECT_EQ(udp4.size(), 1u);
}

TEST(ProcNetTable, HandMadeLines) {
    const std::string text =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000000000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000  1000        0 4242 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:D2F0 06 00000000:00000000 "
        "03:00001770 00000000     0        0 0 3 0000000000000000\n"
        "   2: garbage\n"
        "   3: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 99 1\n"
        "   4: 0100007F:0050 00000000:0000 01 00000000:00000000 00:00000000 00000000 0 0 18446744073709551615 1";
    std::vector<InetSocket> sockets;
    parse_proc_net(text, IPPROTO_TCP, sockets);
    ASSERT_EQ(sockets.size(), 3u);
    EXPECT_EQ(sockets[0].local_port, 8080);
    EXPECT_EQ(sockets[0].state, tcp_state_listen);
    EXPECT_EQ(sockets[0].inode, 4242u);
    EXPECT_EQ(sockets[0].family, AF_INET6);
    EXPECT_EQ(sockets[0].uid, 1000u);
    EXPECT_EQ(sockets[0].remote_port, 0);
    EXPECT_EQ(sockets[1].state, tcp_state_time_wait);  // TIME_WAIT: no inode
    EXPECT_EQ(sockets[1].inode, 0u);
    EXPECT_EQ(sockets[1].remote_port, 0xD2F0);
    EXPECT_EQ(sockets[1].remote_address[10], 0xff);
    EXPECT_EQ(sockets[1].remote_address[12], 127);
    EXPECT_EQ(sockets[2].local_port, 80);  // last line without a newline
    EXPECT_EQ(sockets[2].family, AF_INET);
    EXPECT_EQ(sockets[2].local_address[0], 127);
    EXPECT_EQ(sockets[2].local_address[3], 1);
    EXPECT_EQ(sockets[2].inode, 18446744073709551615u);
}

TEST(SocketSnapshot, KeepsOnlySocketsTheLookupCouldReport) {
    std::vector<InetSocket> sockets = {
        {11, 80, IPPROTO_TCP, tcp_state_listen},
        {12, 80, IPPROTO_UDP, udp_state_unconnected},
        {13, 443, IPPROTO_TCP, 1},
        {0, 443, IPPROTO_TCP, tcp_state_time_wait},
        {14, 8080, IPPROTO_TCP, tcp_state_listen},
        {11, 80, IPPROTO_TCP, tcp_state_listen},  // the same socket reported twice
        {15, 51000, IPPROTO_TCP, 1},              // a client of port 443
        {16, 51001, IPPROTO_UDP, 1},              // connected to port 80
    };
    sockets[6].remote_port = 443;
    sockets[7].remote_port = 80;
    const std::uint16_t ports[] = {80, 443};
    const auto selection = [&ports](std::uint32_t tcp_states, std::uint32_t udp_states, PortSide side) {
        Selection chosen;
        chosen.ports = ports;
        chosen.side = side;
        chosen.tcp_states = tcp_states;
        chosen.udp_states = udp_states;
        return chosen;
    };

    const SocketSnapshot listening(sockets, selection(1u << tcp_state_listen, 0, PortSide::local));
    EXPECT_NE(listening.find(11), nullptr);
    EXPECT_EQ(listening.find(12), nullptr);
    EXPECT_EQ(listening.find(13), nullptr);
    EXPECT_EQ(listening.find(14), nullptr);
    EXPECT_TRUE(listening.has_port(80));
    EXPECT_FALSE(listening.has_port(443));
    EXPECT_FALSE(listening.has_port(8080));

    const SocketSnapshot any(sockets, selection(held_states, held_states, PortSide::local));
    EXPECT_NE(any.find(11), nullptr);
    ASSERT_NE(any.find(12), nullptr);
    EXPECT_EQ(any.find(12)->protocol, IPPROTO_UDP);
    ASSERT_NE(any.find(13), nullptr);
    EXPECT_EQ(any.find(0), nullptr);
    EXPECT_EQ(any.find(14), nullptr);
    EXPECT_EQ(any.find(15), nullptr);
    EXPECT_TRUE(any.has_port(443));

    const SocketSnapshot unconnected(sockets, selection(0, 1u << udp_state_unconnected, PortSide::local));
    EXPECT_NE(unconnected.find(12), nullptr);
    EXPECT_EQ(unconnected.find(16), nullptr);
    EXPECT_EQ(unconnected.find(11), nullptr);

    // Clients: the ports are the peers'.
    const SocketSnapshot clients(sockets, selection(held_states, held_states, PortSide::remote));
    EXPECT_NE(clients.find(15), nullptr);
    EXPECT_NE(clients.find(16), nullptr);
    EXPECT_EQ(clients.find(11), nullptr);
    EXPECT_EQ(clients.find(13), nullptr);
    EXPECT_TRUE(clients.has_port(443));
    EXPECT_FALSE(clients.has_port(51000));
}

}  // namespace
}  // namespace vantle::sockets

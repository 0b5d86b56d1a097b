// Records real sock_diag answers and /proc/net tables from this machine into
// tests/native/data/sock_diag, for the parser tests to replay:
//
//   tools/sid-chroot sh -c 'cmake --build build/native --target record_sock_diag &&
//       build/native/record_sock_diag tests/native/data/sock_diag'
//
// It opens sockets whose ports and inodes it notes in manifest.txt, so that
// the tests know what the recorded answers must contain. The datagrams are
// stored as the kernel sent them; this tool only splits them at NLMSG_DONE or
// NLMSG_ERROR and does not interpret them otherwise.
//
// A .bin file: "VNL1", then u32 seq, u32 port id, u32 count, and count times
// u32 length followed by that many bytes (native byte order).

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sockets/socket_table.hpp"

namespace {

using vantle::sockets::dump_request;

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

int make_socket(int family, int type) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    return fd;
}

std::uint16_t port_of(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) die("getsockname");
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

std::uint64_t inode_of(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0) die("fstat");
    return status.st_ino;
}

int bound_v4(int type, std::uint16_t port) {
    const int fd = make_socket(AF_INET, type);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind v4");
    if (type == SOCK_STREAM && ::listen(fd, 8) != 0) die("listen");
    return fd;
}

int bound_v6(int type, const in6_addr& host, bool v6_only) {
    const int fd = make_socket(AF_INET6, type);
    const int flag = v6_only ? 1 : 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &flag, sizeof flag) != 0) die("IPV6_V6ONLY");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = host;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind v6");
    if (type == SOCK_STREAM && ::listen(fd, 8) != 0) die("listen");
    return fd;
}

struct Recording {
    std::uint32_t seq = 0;
    std::uint32_t port_id = 0;
    std::vector<std::vector<char>> datagrams;
};

Recording record(std::vector<std::byte> request, std::uint32_t seq) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) die("netlink socket");
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) die("netlink bind");
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) die("netlink getsockname");
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        die("netlink sendto");
    }
    Recording recording{seq, local.nl_pid, {}};
    for (bool finished = false; !finished;) {
        std::vector<char> buffer(32 * 1024);
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) die("netlink recv");
        buffer.resize(static_cast<std::size_t>(got));
        for (std::size_t at = 0; at + sizeof(nlmsghdr) <= buffer.size();) {
            nlmsghdr header;
            std::memcpy(&header, buffer.data() + at, sizeof header);
            if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) finished = true;
            if (header.nlmsg_len == 0) break;
            at += NLMSG_ALIGN(header.nlmsg_len);
        }
        recording.datagrams.push_back(std::move(buffer));
    }
    ::close(fd);
    return recording;
}

void save(const std::string& path, const Recording& recording) {
    std::ofstream out(path, std::ios::binary);
    const auto put = [&](std::uint32_t value) { out.write(reinterpret_cast<const char*>(&value), sizeof value); };
    out.write("VNL1", 4);
    put(recording.seq);
    put(recording.port_id);
    put(static_cast<std::uint32_t>(recording.datagrams.size()));
    for (const auto& datagram : recording.datagrams) {
        put(static_cast<std::uint32_t>(datagram.size()));
        out.write(datagram.data(), static_cast<std::streamsize>(datagram.size()));
    }
    if (!out) die(path.c_str());
}

void copy_file(const char* from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    if (!in || !out) die(from);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_sock_diag DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];
    std::ofstream manifest(directory + "/manifest.txt");
    const auto note = [&](const char* what, int fd) { manifest << what << ' ' << port_of(fd) << ' ' << inode_of(fd) << '\n'; };

    // Enough listeners that the IPv4 TCP dump spans several datagrams.
    std::vector<int> bulk;
    for (int i = 0; i < 150; ++i) {
        bulk.push_back(bound_v4(SOCK_STREAM, 0));
        note("bulk", bulk.back());
    }
    const int listener_v4 = bound_v4(SOCK_STREAM, 0);
    note("listener_v4", listener_v4);

    // A dual-stack listener and an IPv4 connection it accepted: both appear
    // only in the IPv6 dump.
    const int dual_stack = bound_v6(SOCK_STREAM, in6addr_any, false);
    note("dual_stack", dual_stack);
    const int client = make_socket(AF_INET, SOCK_STREAM);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(port_of(dual_stack));
    if (::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) die("connect");
    const int accepted = ::accept4(dual_stack, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) die("accept");
    note("client", client);
    note("accepted", accepted);

    const int udp_v4 = bound_v4(SOCK_DGRAM, 0);
    note("udp_v4", udp_v4);
    const int udp_v6 = bound_v6(SOCK_DGRAM, in6addr_loopback, true);
    note("udp_v6", udp_v6);
    manifest.close();

    constexpr std::uint32_t all_states = ~0u;
    const std::uint16_t filtered[] = {port_of(listener_v4), port_of(dual_stack)};
    const std::uint16_t dual_stack_port[] = {port_of(dual_stack)};
    save(directory + "/tcp4_all.bin", record(dump_request(AF_INET, IPPROTO_TCP, all_states, {}, 1), 1));
    save(directory + "/tcp4_listen_filtered.bin",
         record(dump_request(AF_INET, IPPROTO_TCP, 1u << vantle::sockets::tcp_state_listen, filtered, 2), 2));
    save(directory + "/tcp6_filtered.bin", record(dump_request(AF_INET6, IPPROTO_TCP, all_states, dual_stack_port, 3), 3));
    save(directory + "/udp4_all.bin", record(dump_request(AF_INET, IPPROTO_UDP, all_states, {}, 4), 4));

    // A filter naming an address family the kernel does not know: refused
    // with NLMSG_ERROR (EINVAL).
    std::vector<std::byte> refused = dump_request(AF_INET, IPPROTO_TCP, all_states, dual_stack_port, 5);
    const std::size_t condition = NLMSG_LENGTH(sizeof(inet_diag_req_v2)) + NLA_HDRLEN + sizeof(inet_diag_bc_op);
    refused[condition + offsetof(inet_diag_hostcond, family)] = std::byte{99};
    save(directory + "/error_bad_filter.bin", record(std::move(refused), 5));

    copy_file("/proc/net/tcp", directory + "/proc_net_tcp.txt");
    copy_file("/proc/net/tcp6", directory + "/proc_net_tcp6.txt");
    copy_file("/proc/net/udp", directory + "/proc_net_udp.txt");
    return 0;
}

#include "probe/listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#ifdef __APPLE__
#include <sys/filio.h>
#include <sys/ioctl.h>
#endif

#include <array>
#include <cerrno>
#include <mutex>

namespace vantle::probe {
namespace {

constexpr int listen_backlog = 128;

// Probes of ports that share a slot take turns. A slot is held only for the
// few system calls of one probe, never while waiting for the interpreter
// lock, so waiting for one with the lock held cannot deadlock.
std::array<std::mutex, 64> probe_turns;

std::mutex& turn_of(std::uint16_t port) { return probe_turns[port % probe_turns.size()]; }

std::expected<void, int> enable(int fd, int level, int option) {
    const int on = 1;
    if (::setsockopt(fd, level, option, &on, sizeof on) != 0) return std::unexpected(errno);
    return {};
}

// A stream socket of `family`, closed on exec: a fork+exec in another
// thread must not inherit the probe's socket.
std::expected<UniqueFd, int> open_stream_socket(int family) {
#ifdef __APPLE__
    // No SOCK_CLOEXEC here, so the flag follows at once. SO_NOSIGPIPE keeps
    // a write to a closed peer from raising SIGPIPE in the caller.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM, 0));
    if (!socket_fd) return std::unexpected(errno);
    if (::ioctl(socket_fd.get(), FIOCLEX) != 0) return std::unexpected(errno);
    if (std::expected<void, int> made = enable(socket_fd.get(), SOL_SOCKET, SO_NOSIGPIPE); !made)
        return std::unexpected(made.error());
#else
    // The listener never writes, so it cannot raise SIGPIPE and needs no
    // counterpart of SO_NOSIGPIPE.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return std::unexpected(errno);
#endif
    return socket_fd;
}

std::expected<void, int> bind_and_listen(int fd, const sockaddr* address, socklen_t length) {
    if (::bind(fd, address, length) != 0) return std::unexpected(errno);
    if (::listen(fd, listen_backlog) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> bind_loopback(int fd, Loopback address, std::uint16_t port) {
    if (address == Loopback::ipv4) {
        sockaddr_in socket_address{};
        socket_address.sin_family = AF_INET;
        socket_address.sin_port = htons(port);
        socket_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind_and_listen(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
    }
    sockaddr_in6 socket_address{};
    socket_address.sin6_family = AF_INET6;
    socket_address.sin6_port = htons(port);
    socket_address.sin6_addr = in6addr_loopback;
    return bind_and_listen(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
}

}  // namespace

std::expected<UniqueFd, int> open_listener(Loopback address, std::uint16_t port) {
    std::expected<UniqueFd, int> listener = open_stream_socket(address == Loopback::ipv4 ? AF_INET : AF_INET6);
    if (!listener) return listener;
    const int fd = listener->get();
    std::expected<void, int> made = enable(fd, SOL_SOCKET, SO_REUSEADDR);
    // The IPv6 listener answers for ::1 alone; 127.0.0.1 has its own.
    if (made && address == Loopback::ipv6) made = enable(fd, IPPROTO_IPV6, IPV6_V6ONLY);
    if (made) made = bind_loopback(fd, address, port);
    if (!made) return std::unexpected(made.error());
    return listener;
}

bool free_on_ipv6_loopback(std::uint16_t port) noexcept {
    const std::expected<UniqueFd, int> ipv6 = open_listener(Loopback::ipv6, port);
    // EAFNOSUPPORT: the kernel makes no IPv6 sockets. EADDRNOTAVAIL: ::1 is
    // not configured (IPv6 disabled on the loopback interface).
    return ipv6 || ipv6.error() == EAFNOSUPPORT || ipv6.error() == EADDRNOTAVAIL;
}

bool probe_port(std::uint16_t port) noexcept {
    const std::lock_guard turn(turn_of(port));
    // The IPv4 listener stays open while ::1 is tried.
    const std::expected<UniqueFd, int> ipv4 = open_listener(Loopback::ipv4, port);
    return ipv4 && free_on_ipv6_loopback(port);
}

}  // namespace vantle::probe

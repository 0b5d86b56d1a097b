#include "probe/listener.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

#ifdef __APPLE__
#include <sys/filio.h>
#include <sys/ioctl.h>
#endif

namespace vantle::probe {
namespace {

constexpr int listen_backlog = 128;

// A stream socket of `family`, closed on exec: a fork+exec in another
// thread must not inherit the probe's socket.
std::expected<UniqueFd, int> open_stream_socket(int family) {
#ifdef __APPLE__
    // No SOCK_CLOEXEC here, so the flag follows at once. SO_NOSIGPIPE keeps
    // a write to a closed peer from raising SIGPIPE in the caller.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM, 0));
    if (!socket_fd) return std::unexpected(errno);
    if (::ioctl(socket_fd.get(), FIOCLEX) != 0) return std::unexpected(errno);
    const int enable = 1;
    if (::setsockopt(socket_fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &enable, sizeof enable) != 0)
        return std::unexpected(errno);
#else
    // The listener never writes, so it cannot raise SIGPIPE and needs no
    // counterpart of SO_NOSIGPIPE.
    UniqueFd socket_fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return std::unexpected(errno);
#endif
    return socket_fd;
}

}  // namespace

std::expected<UniqueFd, int> open_listener(std::uint32_t address, std::uint16_t port) {
    std::expected<UniqueFd, int> opened = open_stream_socket(AF_INET);
    if (!opened) return opened;
    UniqueFd socket_fd = std::move(*opened);

    const int enable = 1;
    if (::setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0)
        return std::unexpected(errno);

    sockaddr_in socket_address{};
    socket_address.sin_family = AF_INET;
    socket_address.sin_port = htons(port);
    socket_address.sin_addr.s_addr = htonl(address);
    if (::bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address) != 0)
        return std::unexpected(errno);
    if (::listen(socket_fd.get(), listen_backlog) != 0) return std::unexpected(errno);
    return socket_fd;
}

bool probe_port(std::uint16_t port) noexcept { return open_listener(INADDR_LOOPBACK, port).has_value(); }

}  // namespace vantle::probe

#include "probe/own_listeners.hpp"

#ifdef __APPLE__
#include <libproc.h>
#include <sys/proc_info.h>
#include <unistd.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>

#include "probe/process_wide.hpp"

namespace vantle::probe {

std::expected<std::uint64_t, int> socket_identity(int fd) noexcept {
#ifdef __APPLE__
    socket_fdinfo socket{};
    if (::proc_pidfdinfo(::getpid(), fd, PROC_PIDFDSOCKETINFO, &socket, sizeof socket) <= 0)
        return std::unexpected(errno != 0 ? errno : EIO);
    return socket.psi.soi_pcb;
#else
    struct stat status;
    if (::fstat(fd, &status) != 0) return std::unexpected(errno);
    return status.st_ino;
#endif
}

std::expected<OwnSocket, int> OwnSocket::adopt(UniqueFd fd) noexcept {
    const std::expected<std::uint64_t, int> identity = socket_identity(fd.get());
    if (!identity) return std::unexpected(identity.error());
    if (*identity == 0) return std::unexpected(EIO);
    auto& listed = process_wide().own_sockets;
    const std::size_t first = static_cast<std::size_t>(*identity % listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        std::atomic<std::uint64_t>& slot = listed[(first + i) % listed.size()];
        std::uint64_t empty = 0;
        if (slot.compare_exchange_strong(empty, *identity)) return OwnSocket(std::move(fd), &slot);
    }
    return std::unexpected(ENOBUFS);
}

void OwnSocket::close() noexcept {
    fd_.reset();
    if (slot_ != nullptr) std::exchange(slot_, nullptr)->store(0);
}

std::vector<std::uint64_t> own_sockets_now() {
    std::vector<std::uint64_t> identities;
    for (const std::atomic<std::uint64_t>& slot : process_wide().own_sockets)
        if (const std::uint64_t identity = slot.load(); identity != 0) identities.push_back(identity);
    std::sort(identities.begin(), identities.end());
    return identities;
}

}  // namespace vantle::probe

#pragma once
// The sockets this module has open at a given moment: the probe's,
// find_free's and the reservations' bind tests. The owner lookups pass them
// over, so a caller is never reported, nor signalled, as the holder of a
// port it only tested (from another thread, say). A socket is listed by its
// identity as the walks see it, which no later socket takes over: a number
// freed by close() may name the caller's own genuine listener a moment
// later. Kept apart from the probe so that the lookup can see the list
// without the Python boundary.

#include <atomic>
#include <cstdint>
#include <expected>
#include <utility>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::probe {

// A socket of this module's, listed for as long as it is open.
class OwnSocket {
public:
    // Lists `fd` (a socket just made, not yet bound, so that no lookup has
    // seen it as a holder) and takes it over; ENOBUFS when the list is full,
    // or the errno of reading its identity.
    static std::expected<OwnSocket, int> adopt(UniqueFd fd) noexcept;

    OwnSocket() noexcept = default;
    OwnSocket(OwnSocket&& other) noexcept : fd_(std::move(other.fd_)), slot_(std::exchange(other.slot_, nullptr)) {}
    OwnSocket& operator=(OwnSocket&& other) noexcept {
        close();
        fd_ = std::move(other.fd_);
        slot_ = std::exchange(other.slot_, nullptr);
        return *this;
    }
    OwnSocket(const OwnSocket&) = delete;
    OwnSocket& operator=(const OwnSocket&) = delete;
    ~OwnSocket() { close(); }

    int get() const noexcept { return fd_.get(); }

private:
    OwnSocket(UniqueFd fd, std::atomic<std::uint64_t>* slot) noexcept : fd_(std::move(fd)), slot_(slot) {}
    // Closed first, unlisted after: a lookup never meets it open and unlisted.
    void close() noexcept;

    UniqueFd fd_;
    std::atomic<std::uint64_t>* slot_ = nullptr;
};

// The identities of the module's own sockets open now, sorted. A walk takes
// this copy once it has fixed the identities of the sockets it may report
// (on Linux, right after reading the socket table): every own socket it can
// meet was listed before then, and one closed since cannot be mistaken for
// another socket that reuses its descriptor.
std::vector<std::uint64_t> own_sockets_now();

// The identity the walks give socket `fd` of this process: its inode on
// Linux, its protocol control block on macOS; or the errno of the failed
// read.
std::expected<std::uint64_t, int> socket_identity(int fd) noexcept;

}  // namespace vantle::probe

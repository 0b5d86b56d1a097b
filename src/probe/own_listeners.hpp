#pragma once
// The listeners this module has open at a given moment: the probe's and
// find_free's. The owner lookups pass them over, so a caller is never
// reported, nor signalled, as the holder of a port it only tested (from
// another thread, say). Kept apart from the probe so that the lookup can
// see the list without the Python boundary.

#include <cstddef>
#include <expected>
#include <utility>

#include "boundary/unique_fd.hpp"

namespace vantle::probe {

// A socket of this module's, listed for as long as it is open.
class OwnSocket {
public:
    // Lists `fd` (a socket just made, not yet bound, so that no lookup has
    // seen it as a holder) and takes it over; ENOBUFS when the list is full.
    static std::expected<OwnSocket, int> adopt(UniqueFd fd) noexcept;

    OwnSocket() noexcept = default;
    OwnSocket(OwnSocket&& other) noexcept : fd_(std::move(other.fd_)), slot_(std::exchange(other.slot_, no_slot)) {}
    OwnSocket& operator=(OwnSocket&& other) noexcept {
        close();
        fd_ = std::move(other.fd_);
        slot_ = std::exchange(other.slot_, no_slot);
        return *this;
    }
    OwnSocket(const OwnSocket&) = delete;
    OwnSocket& operator=(const OwnSocket&) = delete;
    ~OwnSocket() { close(); }

    int get() const noexcept { return fd_.get(); }

private:
    static constexpr std::size_t no_slot = static_cast<std::size_t>(-1);

    OwnSocket(UniqueFd fd, std::size_t slot) noexcept : fd_(std::move(fd)), slot_(slot) {}
    // Closed first, unlisted after: a lookup never meets it open and unlisted.
    void close() noexcept;

    UniqueFd fd_;
    std::size_t slot_ = no_slot;
};

// Whether descriptor `fd` of this process is one of the module's own
// listeners.
bool is_own_listener(int fd) noexcept;

}  // namespace vantle::probe

#include "probe/own_listeners.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>

namespace vantle::probe {
namespace {

// Descriptor numbers plus one, so that a zero slot is empty. Far more slots
// than can be in use at once: two per probe turn, and a few per search for
// an assigned port in each interpreter.
constexpr std::size_t capacity = 1024;
std::array<std::atomic<int>, capacity> listed{};

}  // namespace

std::expected<OwnSocket, int> OwnSocket::adopt(UniqueFd fd) noexcept {
    const std::size_t first = static_cast<std::size_t>(fd.get()) % capacity;
    for (std::size_t i = 0; i < capacity; ++i) {
        const std::size_t slot = (first + i) % capacity;
        int empty = 0;
        if (listed[slot].compare_exchange_strong(empty, fd.get() + 1)) return OwnSocket(std::move(fd), slot);
    }
    return std::unexpected(ENOBUFS);
}

void OwnSocket::close() noexcept {
    fd_.reset();
    if (slot_ != no_slot) listed[std::exchange(slot_, no_slot)].store(0);
}

bool is_own_listener(int fd) noexcept {
    return std::any_of(listed.begin(), listed.end(), [fd](const std::atomic<int>& slot) { return slot.load() == fd + 1; });
}

}  // namespace vantle::probe

#include "terminate/exit_watches.hpp"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

#ifdef __APPLE__
#include <sys/event.h>

#include <array>
#endif

#include "probe/clock.hpp"

namespace vantle::terminate {
namespace {

using std::chrono::nanoseconds;

nanoseconds elapsed(probe::Instant from, probe::Instant to) {
    return std::chrono::seconds(to.seconds - from.seconds) + nanoseconds(to.nanoseconds - from.nanoseconds);
}

}  // namespace

Result<void> ExitWatches::sleep(nanoseconds interval) {
#ifdef __APPLE__
    if (exited_early_ > 0) {
        --exited_early_;
        return {};
    }
#endif
    if (active_ == 0) return probe::sleep_for(interval);
    Result<probe::Instant> start = probe::now();
    if (!start) return fail(std::move(start.error()));
    for (;;) {
        Result<probe::Instant> reading = probe::now();
        if (!reading) return fail(std::move(reading.error()));
        const nanoseconds left = interval - elapsed(*start, *reading);
        if (left <= nanoseconds::zero()) return {};
        const std::expected<bool, int> exited = wait_for_exit(left);
        if (exited && *exited) return {};
        // Interrupted by a signal: wait again for what is left.
        if (!exited && exited.error() != EINTR)
            return fail(InternalFailure{"waiting for an exit failed with errno " + std::to_string(exited.error())});
    }
}

#ifdef __APPLE__

void ExitWatches::add(pid_t pid) {
    // A kqueue is not inherited by a child of fork(2), so it needs no
    // close-on-exec flag. When none can be made, only the probes notice the
    // owner go.
    if (!queue_) queue_ = UniqueFd(::kqueue());
    if (!queue_) return;
    struct kevent change{};
    EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) == 0) {
        ++active_;
    } else if (errno == ESRCH) {
        ++exited_early_;
    }
}

std::expected<bool, int> ExitWatches::wait_for_exit(nanoseconds timeout) {
    const std::int64_t count = timeout.count();
    const timespec limit{static_cast<std::time_t>(count / 1'000'000'000), static_cast<long>(count % 1'000'000'000)};
    // One-shot filters: each exit is reported once and its filter removed.
    // Exits beyond the array's length end the next sleep.
    std::array<struct kevent, 16> fired{};
    const int ready = ::kevent(queue_.get(), nullptr, 0, fired.data(), static_cast<int>(fired.size()), &limit);
    if (ready < 0) return std::unexpected(errno);
    active_ -= static_cast<std::size_t>(ready);
    return ready > 0;
}

#else

void ExitWatches::add(UniqueFd pidfd) {
    polled_.push_back({pidfd.get(), POLLIN, 0});
    pidfds_.push_back(std::move(pidfd));
    ++active_;
}

std::expected<bool, int> ExitWatches::wait_for_exit(nanoseconds timeout) {
    // Rounded up, so a poll that times out has waited the whole time.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(timeout);
    const int ready = ::poll(polled_.data(), polled_.size(), static_cast<int>(milliseconds.count()));
    if (ready < 0) return std::unexpected(errno);
    for (std::size_t i = 0; i < polled_.size(); ++i) {
        if (polled_[i].revents == 0) continue;
        polled_[i] = {-1, 0, 0};  // poll passes over negative descriptors
        pidfds_[i] = UniqueFd();
        --active_;
    }
    return ready > 0;
}

#endif

}  // namespace vantle::terminate

#include "terminate/signal_owner.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

#if defined(__linux__)
#include <sys/syscall.h>

#include <charconv>
#include <cstdio>
#include <expected>
#include <optional>
#include <string_view>
#endif

namespace vantle::terminate {
namespace {

SignalOutcome outcome_of_error(int error) noexcept {
    switch (error) {
        case ESRCH:
            return SignalOutcome::gone;
        case EPERM:
            return SignalOutcome::refused;
        default:
            return SignalOutcome::failed;
    }
}

// Pid 0 would address the caller's own process group, and a pid beyond the
// range of pid_t would turn negative and address a whole group.
bool addresses_one_process(std::uint32_t pid) noexcept { return pid != 0 && pid <= INT_MAX; }

#if defined(__linux__)

// Field 22 of /proc/PID/stat: when the process started, in clock ticks after
// boot. The name (field 2) may hold spaces and ')', so fields are counted
// from the last ')'. Gives the errno of a failed read, EIO for a line that
// does not parse.
std::expected<std::uint64_t, int> read_start_time(pid_t pid) noexcept {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return std::unexpected(errno);
    // Field 22 lies well within the first kilobyte: before it come a pid, a
    // name of at most 64 bytes and nineteen numbers.
    char buffer[1024];
    ssize_t length;
    do {
        length = ::read(file.get(), buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    if (length < 0) return std::unexpected(errno);

    const std::string_view line(buffer, static_cast<std::size_t>(length));
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string_view::npos) return std::unexpected(EIO);
    std::string_view rest = line.substr(name_end + 1);
    for (int field = 3; field <= 22; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::unexpected(EIO);
        rest.remove_prefix(start);
        const std::size_t end = rest.find(' ');
        // Field 22 must end inside the buffer, or it may have been cut short.
        if (end == std::string_view::npos) return std::unexpected(EIO);
        if (field == 22) {
            std::uint64_t start_time = 0;
            const auto [last, error] = std::from_chars(rest.data(), rest.data() + end, start_time);
            if (error != std::errc{} || last != rest.data() + end) return std::unexpected(EIO);
            return start_time;
        }
        rest.remove_prefix(end);
    }
    return std::unexpected(EIO);
}

// Nothing when the process now at `pid` started at `recorded`; otherwise
// the outcome to report without signalling: gone when the pid is free or
// names a process that started at another time.
std::optional<SignalOutcome> mismatch(pid_t pid, std::uint64_t recorded) noexcept {
    const std::expected<std::uint64_t, int> current = read_start_time(pid);
    if (!current) return current.error() == ENOENT || current.error() == ESRCH ? SignalOutcome::gone : SignalOutcome::failed;
    if (*current != recorded) return SignalOutcome::gone;
    return std::nullopt;
}

// Without a pidfd: the same check, then kill(2). The pid could still change
// hands between the two, but only in that instant.
SignalResult check_then_kill(pid_t pid, std::uint64_t start_time, int signal) noexcept {
    if (const std::optional<SignalOutcome> outcome = mismatch(pid, start_time)) return {*outcome, {}};
    if (::kill(pid, signal) == 0) return {SignalOutcome::delivered, {}};
    return {outcome_of_error(errno), {}};
}

#endif

}  // namespace

#if defined(__linux__) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)

// The pidfd is opened first and the start time read after: if it still
// matches, the process the pidfd refers to was alive at that pid after the
// lookup saw it, so it is the same process, and signalling through the pidfd
// cannot reach a successor.
SignalResult signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal) noexcept {
    // A process that cannot be identified is not signalled.
    if (!addresses_one_process(pid_number) || start_time == 0) return {};
    const auto pid = static_cast<pid_t>(pid_number);

    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));  // close-on-exec by default
    if (!pidfd) {
        if (errno == ESRCH) return {SignalOutcome::gone, {}};
        // A kernel without pidfds, a sandbox refusing them, no descriptor left.
        return check_then_kill(pid, start_time, signal);
    }
    if (const std::optional<SignalOutcome> outcome = mismatch(pid, start_time)) return {*outcome, {}};
    if (::syscall(SYS_pidfd_send_signal, pidfd.get(), signal, nullptr, 0) != 0) return {outcome_of_error(errno), {}};
    return {SignalOutcome::delivered, std::move(pidfd)};
}

#elif defined(__linux__)

// Headers too old to name the pidfd calls.
SignalResult signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal) noexcept {
    if (!addresses_one_process(pid_number) || start_time == 0) return {};
    return check_then_kill(static_cast<pid_t>(pid_number), start_time, signal);
}

#else

// No handle on a process that would outlive a change of pid here: the pid
// is signalled as the lookup reported it.
SignalResult signal_owner(std::uint32_t pid_number, std::uint64_t, int signal) noexcept {
    if (!addresses_one_process(pid_number)) return {};
    if (::kill(static_cast<pid_t>(pid_number), signal) == 0) return {SignalOutcome::delivered, {}};
    return {outcome_of_error(errno), {}};
}

#endif

}  // namespace vantle::terminate

#include "terminate/signal_owner.hpp"

#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <expected>
#include <optional>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "owners/linux/proc_files.hpp"
#elif defined(__APPLE__)
#include "owners/macos/bsd_info.hpp"
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

// Bytes of /proc/PID/stat read, as the lookup reads them.
constexpr std::size_t stat_limit = 4096;

// When the process now at `pid` started, in the units of the lookup's
// record, or the errno of the failed read (EIO for a line that does not parse).
std::expected<std::uint64_t, int> read_start_time(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::string text;
    if (const int error = owners::linux_os::read_file(AT_FDCWD, path, stat_limit, text); error != 0)
        return std::unexpected(error);
    const std::optional<owners::linux_os::ProcStat> stat = owners::linux_os::parse_stat(text);
    if (!stat) return std::unexpected(EIO);
    return stat->start_time;
}

#elif defined(__APPLE__)

// When the process now at `pid` started, in the units of the lookup's
// record, or the errno of the failed call.
std::expected<std::uint64_t, int> read_start_time(pid_t pid) {
    return owners::macos::read_bsd_info(static_cast<std::uint32_t>(pid)).transform(owners::macos::start_time_of);
}

#endif

// Nothing when the process now at `pid` started at `recorded`; otherwise
// the outcome to report without signalling: gone when the pid is free or
// names a process that started at another time.
std::optional<SignalOutcome> mismatch(pid_t pid, std::uint64_t recorded) {
    const std::expected<std::uint64_t, int> current = read_start_time(pid);
    if (!current) {
        const bool exited = current.error() == ENOENT || current.error() == ESRCH;
        return exited ? SignalOutcome::gone : SignalOutcome::failed;
    }
    if (*current != recorded) return SignalOutcome::gone;
    return std::nullopt;
}

// Without a handle on the process: the check, then kill(2). The pid could
// still change hands between the two, but only in that instant.
SignalOutcome check_then_kill(pid_t pid, std::uint64_t start_time, int signal) {
    if (const std::optional<SignalOutcome> outcome = mismatch(pid, start_time)) return *outcome;
    if (::kill(pid, signal) == 0) return SignalOutcome::delivered;
    return outcome_of_error(errno);
}

}  // namespace

#if defined(__linux__) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)

// The pidfd is opened first and the start time read after: if it still
// matches, the process the pidfd refers to was alive at that pid after the
// lookup saw it, so it is the same process, and signalling through the pidfd
// cannot reach a successor.
SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches& watches) {
    // A process that cannot be identified is not signalled.
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    const auto pid = static_cast<pid_t>(pid_number);

    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));  // close-on-exec by default
    if (!pidfd) {
        if (errno == ESRCH) return SignalOutcome::gone;
        // A kernel without pidfds, a sandbox refusing them, no descriptor left.
        return check_then_kill(pid, start_time, signal);
    }
    if (const std::optional<SignalOutcome> outcome = mismatch(pid, start_time)) return *outcome;
    if (::syscall(SYS_pidfd_send_signal, pidfd.get(), signal, nullptr, 0) != 0) return outcome_of_error(errno);
    watches.add(std::move(pidfd));
    return SignalOutcome::delivered;
}

#elif defined(__linux__)

// Headers too old to name the pidfd calls.
SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches&) {
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    return check_then_kill(static_cast<pid_t>(pid_number), start_time, signal);
}

#elif defined(__APPLE__)

// No handle on a process that would outlive a change of pid: the pid is
// checked, signalled, then watched by pid.
SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches& watches) {
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    const auto pid = static_cast<pid_t>(pid_number);
    const SignalOutcome outcome = check_then_kill(pid, start_time, signal);
    if (outcome == SignalOutcome::delivered) watches.add(pid);
    return outcome;
}

#endif

}  // namespace vantle::terminate

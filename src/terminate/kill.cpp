// kill: look the holders of a port up once, signal each of them, and wait a
// fixed grace period for the port to become bindable. Everything between the
// conversion of the arguments and the result runs with the interpreter lock
// released and touches no Python object.

#include "terminate/kill.hpp"

#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <sys/event.h>

#include <array>
#endif

#include "boundary/unique_fd.hpp"
#include "owners/lookup.hpp"
#ifdef __linux__
#include <fcntl.h>

#include "owners/proc_linux.hpp"
#endif
#include "probe/probe.hpp"

namespace vantle::terminate {
namespace {

using std::chrono::nanoseconds;

// ---- Exit watches ----

// What lets kill's wait wake as soon as a signalled owner exits instead of
// at the end of its sleep: a pidfd per owner on Linux, polled together; one
// kqueue with a process-exit filter per owner on macOS. Touches no Python
// object.
class ExitWatches {
public:
#ifdef __APPLE__
    // Watches the process at `pid`, just signalled. One that has exited
    // already ends the next sleep at once, as a fired watch would.
    void add(pid_t pid);
#else
    // Watches the process that `pidfd` refers to.
    void add(UniqueFd pidfd);
#endif

    // Stops watching one process, closing its descriptor, so that a check
    // that needs one can go ahead; only the probes then notice that process
    // go. False when there is nothing to give up.
    bool give_up_one();

    // Sleeps for `interval`, or until a watched process exits if that comes
    // first. Each watch fires once, so each owner cuts at most one sleep
    // short and the number of probes stays bounded.
    Result<void> sleep(std::chrono::nanoseconds interval);

private:
    // Waits up to `timeout` for watched processes to exit and stops watching
    // those that did. True when one did; the errno of a failed wait (EINTR
    // included) otherwise.
    std::expected<bool, int> wait_for_exit(std::chrono::nanoseconds timeout);

#ifdef __APPLE__
    UniqueFd queue_;               // made with the first watch
    std::size_t exited_early_ = 0;  // gone before they could be watched
#else
    std::vector<UniqueFd> pidfds_;
    std::vector<pollfd> polled_;
#endif
    std::size_t active_ = 0;
};

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
        const nanoseconds left = interval - probe::elapsed(*start, *reading);
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

// The kqueue is the only descriptor, whatever the number of watches.
bool ExitWatches::give_up_one() { return false; }

std::expected<bool, int> ExitWatches::wait_for_exit(nanoseconds timeout) {
    const timespec limit = probe::to_timespec(timeout);
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

bool ExitWatches::give_up_one() {
    for (std::size_t i = pidfds_.size(); i-- > 0;) {
        if (!pidfds_[i]) continue;
        polled_[i] = {-1, 0, 0};
        pidfds_[i] = UniqueFd();
        --active_;
        return true;
    }
    return false;
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

// ---- Signalling one owner ----

// Signalling one process that the owner lookup reported. Between the lookup
// and the signal the process may exit and its pid go to another process, so
// the signal is sent only after the pid has been checked to still name the
// process the lookup saw. Touches no Python object.

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

bool out_of_descriptors(int error) noexcept { return error == EMFILE || error == ENFILE; }

// When the process now at `pid` started. Reading it takes a descriptor: when
// none is left, watches are given up until one is.
std::expected<std::uint64_t, int> current_start_time(pid_t pid, ExitWatches& watches) {
    std::expected<std::uint64_t, int> current = owners::process_start_time(static_cast<std::uint32_t>(pid));
    while (!current && out_of_descriptors(current.error()) && watches.give_up_one())
        current = owners::process_start_time(static_cast<std::uint32_t>(pid));
    return current;
}

// Nothing when `current` (a start time read afresh) is `recorded`; otherwise
// the outcome to report without signalling: gone when the pid is free or
// names a process that started at another time.
std::optional<SignalOutcome> mismatch(const std::expected<std::uint64_t, int>& current, std::uint64_t recorded) {
    if (!current) {
        const bool exited = current.error() == ENOENT || current.error() == ESRCH;
        return exited ? SignalOutcome::gone : SignalOutcome::failed;
    }
    if (*current != recorded) return SignalOutcome::gone;
    return std::nullopt;
}

// Without any handle on the process: the check, then kill(2). The pid could
// still change hands between the two, but only in that instant.
SignalOutcome check_then_kill(pid_t pid, std::uint64_t start_time, int signal, ExitWatches& watches) {
    if (const std::optional<SignalOutcome> outcome = mismatch(current_start_time(pid, watches), start_time))
        return *outcome;
    if (::kill(pid, signal) == 0) return SignalOutcome::delivered;
    return outcome_of_error(errno);
}

// signal_owner(pid, start_time, signal, watches) sends `signal` to `pid` if
// it still names the process that started at `start_time` (the lookup's
// record of it; 0 when unknown). A process that was sent the signal is added
// to `watches`, where the platform can watch it.

#if defined(__linux__) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)

// The pidfd is opened first and the start time read after: if it still
// matches, the process the pidfd refers to was alive at that pid after the
// lookup saw it, so it is the same process, and signalling through the pidfd
// cannot reach a successor.
// Where pidfd_open is missing (Linux 5.1 and 5.2) or refused (a sandbox):
// the process's /proc directory, opened, is a handle too. Reads through it
// reach that process or fail once it is gone, and pidfd_send_signal takes
// it as it takes a pidfd, so the check and the signal are as exact. Only a
// kernel before 5.1, or a /proc that cannot be opened, leaves the check
// followed by kill(2).
SignalOutcome signal_through_proc(pid_t pid, std::uint64_t start_time, int signal, ExitWatches& watches) {
    UniqueFd directory(::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        if (errno == ENOENT) return SignalOutcome::gone;
        return check_then_kill(pid, start_time, signal, watches);
    }
    std::string text;
    const std::expected<owners::linux_os::ProcStat, int> stat = owners::linux_os::read_stat(directory.get(), "stat", text);
    const std::expected<std::uint64_t, int> current =
        stat ? std::expected<std::uint64_t, int>(stat->start_time) : std::unexpected(stat.error());
    if (const std::optional<SignalOutcome> outcome = mismatch(current, start_time)) return *outcome;
    if (::syscall(SYS_pidfd_send_signal, directory.get(), signal, nullptr, 0) == 0) return SignalOutcome::delivered;
    if (errno == ENOSYS || errno == EBADF) {
        // No signalling through a handle at all: by pid, just after the check.
        if (::kill(pid, signal) == 0) return SignalOutcome::delivered;
    }
    return outcome_of_error(errno);
}

SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches& watches) {
    // A process that cannot be identified is not signalled.
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    const auto pid = static_cast<pid_t>(pid_number);

    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));  // close-on-exec by default
    if (!pidfd) {
        if (errno == ESRCH) return SignalOutcome::gone;
        // No descriptor left: given up by a watch, it serves the check.
        if (out_of_descriptors(errno)) return check_then_kill(pid, start_time, signal, watches);
        return signal_through_proc(pid, start_time, signal, watches);
    }
    const std::expected<std::uint64_t, int> current = current_start_time(pid, watches);
    if (!current && out_of_descriptors(current.error())) {
        // The pidfd took the last descriptor the check needed.
        pidfd.reset();
        return check_then_kill(pid, start_time, signal, watches);
    }
    if (const std::optional<SignalOutcome> outcome = mismatch(current, start_time)) return *outcome;
    if (::syscall(SYS_pidfd_send_signal, pidfd.get(), signal, nullptr, 0) != 0) return outcome_of_error(errno);
    watches.add(std::move(pidfd));
    return SignalOutcome::delivered;
}

#elif defined(__linux__)

// Headers too old to name the pidfd calls.
SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches& watches) {
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    return check_then_kill(static_cast<pid_t>(pid_number), start_time, signal, watches);
}

#elif defined(__APPLE__)

// No handle on a process that would outlive a change of pid: the pid is
// checked, signalled, then watched by pid.
SignalOutcome signal_owner(std::uint32_t pid_number, std::uint64_t start_time, int signal, ExitWatches& watches) {
    if (!addresses_one_process(pid_number) || start_time == 0) return SignalOutcome::failed;
    const auto pid = static_cast<pid_t>(pid_number);
    const SignalOutcome outcome = check_then_kill(pid, start_time, signal, watches);
    if (outcome == SignalOutcome::delivered) watches.add(pid);
    return outcome;
}

#endif

// ---- Releasing the port ----

enum class Release : std::uint8_t {
    freed,      // a probe found the port bindable before the deadline
    no_owner,   // the port is in use but no process holding it could be seen
    refused,    // every owner that was not passed over refused the signal
    timed_out,  // still in use one second after the signals
};

constexpr std::chrono::milliseconds poll_interval{50};
constexpr std::uint64_t grace_seconds = 1;

struct SignallingPass {
    bool signalled = false;  // at least one owner was signalled or was gone already
    bool denied = false;     // at least one owner refused
    ExitWatches watches;     // the owners that were signalled
};

// One signal per owner, in the lookup's order; a refusal or an error does not
// stop the pass.
void signal_owners(const std::vector<owners::ProcessInfo>& found, int signal, SignallingPass& pass) {
    for (const owners::ProcessInfo& owner : found) {
        switch (signal_owner(owner.pid, owner.start_time, signal, pass.watches)) {
            case SignalOutcome::delivered:
            case SignalOutcome::gone:
                pass.signalled = true;
                break;
            case SignalOutcome::refused:
                pass.denied = true;
                break;
            case SignalOutcome::failed:
                break;
        }
    }
}

// Looks the owners of `port` up once, sends each `signal` and waits. Fails
// only with an internal failure of the clock or the sleep.
Result<Release> release_port(std::uint16_t port, int signal) {
    SignallingPass pass;
    {
        // Looked up once: a process that takes the port over later is not
        // signalled. The list goes as soon as the signals are sent.
        const std::vector<owners::ProcessInfo> found = owners::find_port_owners(port, false);
        if (found.empty()) return Release::no_owner;
        signal_owners(found, signal, pass);
    }
    if (pass.denied && !pass.signalled) return Release::refused;
    // Probes until the port is bindable or the deadline, one second after
    // the signals, has come. The first probe follows the signals at once;
    // none is made once the deadline has passed. An owner's exit ends a sleep
    // early, but only the probe says whether the port is free: another
    // holder may remain.
    const probe::PollPlan plan{poll_interval, false,
                               [&pass](nanoseconds interval) { return pass.watches.sleep(interval); }};
    Result<bool> freed = probe::poll_until_free(port, grace_seconds, plan);
    if (!freed) return fail(std::move(freed.error()));
    return *freed ? Release::freed : Release::timed_out;
}

Failure could_not_free(Port port) {
    return TypedMessage{PyExc_OSError,
                        "Could not free port " + std::to_string(port) +
                            ": no matching process was found or it did not exit"};
}

Failure permission_denied(Port port) {
    return TypedMessage{PyExc_PermissionError, "Permission denied to kill the process(es) using port " +
                                                   std::to_string(port) + " (try running with elevated privileges)"};
}

}  // namespace

const FunctionDescription kill_function{"kill", {"port", "force"}, 2, 1};

Result<PyRef> kill(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<bool> force = convert_argument(arguments[1], "force", to_bool, false);
    if (!force) return fail(std::move(force.error()));

    // Binding port 0 would let the system pick a port: there is nothing to free.
    if (*port == 0) return to_python(true);
    // A free port needs no lookup: a socket that does not stop the bind test
    // (a UDP socket, say) is left alone.
    if (probe::probe_port(*port)) return to_python(true);

    const int signal = *force ? SIGKILL : SIGTERM;
    // The lock is back before anything is raised or returned.
    Result<Release> release = without_interpreter_lock([&] { return release_port(*port, signal); });
    if (!release) return fail(std::move(release.error()));
    switch (*release) {
        case Release::freed:
            return to_python(true);
        case Release::refused:
            return fail(permission_denied(*port));
        case Release::no_owner:
        case Release::timed_out:
            break;
    }
    return fail(could_not_free(*port));
}

SignalOutcome signal_process(std::uint32_t pid, std::uint64_t start_time, int signal) {
    ExitWatches unwatched;  // the caller waits in its own way
    return signal_owner(pid, start_time, signal, unwatched);
}

}  // namespace vantle::terminate

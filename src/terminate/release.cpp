#include "terminate/release.hpp"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "boundary/unique_fd.hpp"
#include "owners/lookup.hpp"
#include "probe/clock.hpp"
#include "probe/listener.hpp"
#include "terminate/signal_owner.hpp"

namespace vantle::terminate {
namespace {

using std::chrono::nanoseconds;

constexpr std::chrono::milliseconds poll_interval{50};
constexpr std::uint64_t grace_seconds = 1;

nanoseconds elapsed(probe::Instant from, probe::Instant to) {
    return std::chrono::seconds(to.seconds - from.seconds) + nanoseconds(to.nanoseconds - from.nanoseconds);
}

// Descriptors that poll readable once a signalled owner has exited. One that
// has fired is closed and left out, so each owner cuts at most one sleep
// short and the number of probes stays bounded.
class ExitWatches {
public:
    void reserve(std::size_t count) {
        owned_.reserve(count);
        polled_.reserve(count);
    }

    void add(UniqueFd watch) {
        polled_.push_back({watch.get(), POLLIN, 0});
        owned_.push_back(std::move(watch));
        ++active_;
    }

    // Sleeps for `interval`, or until an owner exits if that comes first.
    Result<void> sleep(nanoseconds interval) {
        if (active_ == 0) return probe::sleep_for(interval);
        Result<probe::Instant> start = probe::now();
        if (!start) return fail(std::move(start.error()));
        for (;;) {
            Result<probe::Instant> reading = probe::now();
            if (!reading) return fail(std::move(reading.error()));
            const nanoseconds left = interval - elapsed(*start, *reading);
            if (left <= nanoseconds::zero()) return {};
            // Rounded up, so a poll that times out has slept the whole interval.
            const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(left);
            const int ready = ::poll(polled_.data(), polled_.size(), static_cast<int>(timeout.count()));
            if (ready > 0) {
                drop_fired();
                return {};
            }
            // Interrupted by a signal: poll again for what is left.
            if (ready < 0 && errno != EINTR)
                return fail(InternalFailure{"poll failed with errno " + std::to_string(errno)});
        }
    }

private:
    void drop_fired() {
        for (std::size_t i = 0; i < polled_.size(); ++i) {
            if (polled_[i].revents == 0) continue;
            polled_[i] = {-1, 0, 0};  // poll passes over negative descriptors
            owned_[i] = UniqueFd();
            --active_;
        }
    }

    std::vector<UniqueFd> owned_;
    std::vector<pollfd> polled_;
    std::size_t active_ = 0;
};

struct SignallingPass {
    bool signalled = false;  // at least one owner was signalled or was gone already
    bool denied = false;     // at least one owner refused
    ExitWatches watches;
};

// One signal per owner, in the lookup's order; a refusal or an error does not
// stop the pass.
SignallingPass signal_owners(const std::vector<owners::ProcessInfo>& found, int signal) {
    SignallingPass pass;
    pass.watches.reserve(found.size());
    for (const owners::ProcessInfo& owner : found) {
        SignalResult result = signal_owner(owner.pid, owner.start_time, signal);
        switch (result.outcome) {
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
        if (result.exit_watch) pass.watches.add(std::move(result.exit_watch));
    }
    return pass;
}

// Probes until the port is bindable or the deadline, one second after the
// signals, has come. The first probe follows the signals at once; none is
// made once the deadline has passed. An owner's exit ends a sleep early, but
// only the probe says whether the port is free: another holder may remain.
Result<bool> wait_until_bindable(std::uint16_t port, ExitWatches& watches) {
    Result<probe::Instant> deadline =
        probe::now().and_then([](probe::Instant signalled) { return probe::add_seconds(signalled, grace_seconds); });
    if (!deadline) return fail(std::move(deadline.error()));
    for (;;) {
        Result<probe::Instant> reading = probe::now();
        if (!reading) return fail(std::move(reading.error()));
        if (*reading >= *deadline) return false;
        if (probe::probe_port(port)) return true;
        if (Result<void> slept = watches.sleep(poll_interval); !slept) return fail(std::move(slept.error()));
    }
}

}  // namespace

Result<Release> release_port(std::uint16_t port, int signal) {
    SignallingPass pass;
    {
        // Looked up once: a process that takes the port over later is not
        // signalled. The list goes as soon as the signals are sent.
        const std::vector<owners::ProcessInfo> found = owners::find_port_owners(port, false);
        if (found.empty()) return Release::no_owner;
        pass = signal_owners(found, signal);
    }
    if (pass.denied && !pass.signalled) return Release::refused;
    Result<bool> freed = wait_until_bindable(port, pass.watches);
    if (!freed) return fail(std::move(freed.error()));
    return *freed ? Release::freed : Release::timed_out;
}

}  // namespace vantle::terminate

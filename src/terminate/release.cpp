#include "terminate/release.hpp"

#include <chrono>
#include <utility>
#include <vector>

#include "owners/lookup.hpp"
#include "probe/clock.hpp"
#include "probe/listener.hpp"
#include "terminate/exit_watches.hpp"
#include "terminate/signal_owner.hpp"

namespace vantle::terminate {
namespace {

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
        signal_owners(found, signal, pass);
    }
    if (pass.denied && !pass.signalled) return Release::refused;
    Result<bool> freed = wait_until_bindable(port, pass.watches);
    if (!freed) return fail(std::move(freed.error()));
    return *freed ? Release::freed : Release::timed_out;
}

}  // namespace vantle::terminate

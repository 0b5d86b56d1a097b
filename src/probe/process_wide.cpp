#include "probe/process_wide.hpp"

#include <pthread.h>

namespace vantle::probe {
namespace {

ProcessWide local;
std::atomic<ProcessWide*> in_use{&local};

// fork() copies only the calling thread: a turn that another thread held at
// that instant would stay taken for ever in the child, and a listener of the
// probe open then would keep the port busy for as long as the child lives.
// So a fork waits until no probe and no search is under way, holding every
// turn (always in this order) across it, and both processes let them go.
void hold_every_turn() noexcept {
    local.assignment_turn.lock();
    for (std::mutex& turn : local.probe_turns) turn.lock();
}

void release_every_turn() noexcept {
    for (auto turn = local.probe_turns.rbegin(); turn != local.probe_turns.rend(); ++turn) turn->unlock();
    local.assignment_turn.unlock();
}

}  // namespace

ProcessWide& process_wide() noexcept { return *in_use.load(std::memory_order_acquire); }

ProcessWide& owned_process_wide() noexcept {
    // Only the instance that is handed out holds its turns across a fork:
    // a module using another's must not take the same turns a second time.
    [[maybe_unused]] static const int fork_handlers_registered =
        ::pthread_atfork(hold_every_turn, release_every_turn, release_every_turn);
    return local;
}

void use_process_wide(ProcessWide& shared) noexcept { in_use.store(&shared, std::memory_order_release); }

}  // namespace vantle::probe

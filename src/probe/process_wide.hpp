#pragma once
// What must exist once per process, whichever extension module a call comes
// through: the list of the module's own sockets and the turns of the probes.
// Both modules are built from one core but load as separate shared objects,
// each with its own copy of every static. So one of them (vantle._lib) owns
// the instance and hands it to the other (vantle._table) when that starts;
// from then on both use the same one.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vantle::probe {

struct ProcessWide {
    // Checked by the module that takes another's instance, so that two
    // modules from different builds never share a layout they disagree on.
    static constexpr std::uint32_t layout_version = 1;
    std::uint32_t layout = layout_version;
    std::size_t size = sizeof(ProcessWide);

    // Identities of this module's own sockets (see own_listeners.hpp); 0 is
    // an empty slot. Far more slots than can be in use at once: two per
    // probe turn, a few per search for an assigned port, one per bind test.
    std::array<std::atomic<std::uint64_t>, 1024> own_sockets{};
    // Probes of ports that share a turn take turns.
    std::array<std::mutex, 64> probe_turns;
    // find_free's search for a system-assigned port.
    std::mutex assignment_turn;
};

// The instance in use in this process.
ProcessWide& process_wide() noexcept;

// This shared object's own instance, handed to the other module. Its turns
// are held across fork() from the first call on.
ProcessWide& owned_process_wide() noexcept;

// Makes `shared`, the instance of the module that owns it, the one in use
// here. Called once at start-up, before any function of this module runs.
void use_process_wide(ProcessWide& shared) noexcept;

}  // namespace vantle::probe

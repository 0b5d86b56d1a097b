#pragma once
// What lets kill's wait wake as soon as a signalled owner exits instead of
// at the end of its sleep: a pidfd per owner on Linux, polled together; one
// kqueue with a process-exit filter per owner on macOS. Touches no Python
// object.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <expected>
#include <vector>

#include "boundary/failure.hpp"
#include "boundary/unique_fd.hpp"

#ifndef __APPLE__
#include <poll.h>
#endif

namespace vantle::terminate {

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

}  // namespace vantle::terminate

#include <chrono>

#include "boundary/convert.hpp"
#include "boundary/interpreter_lock.hpp"
#include "probe/clock.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {
namespace {

constexpr std::chrono::milliseconds poll_interval{100};

// Probes until the port is free or the deadline has passed. One last probe
// always follows the deadline, so a port freed during the final interval
// still counts. Runs without the interpreter lock: plain values only.
Result<bool> poll_until_free(Port port, std::uint64_t timeout) {
    Result<Instant> deadline = now().and_then([timeout](Instant start) { return add_seconds(start, timeout); });
    if (!deadline) return fail(std::move(deadline.error()));
    for (;;) {
        Result<Instant> reading = now();
        if (!reading) return fail(std::move(reading.error()));
        if (*reading >= *deadline) return probe_port(port);
        if (probe_port(port)) return true;
        if (Result<void> slept = sleep_for(poll_interval); !slept) return fail(std::move(slept.error()));
    }
}

}  // namespace

const FunctionDescription wait_until_free_function{"wait_until_free", {"port", "timeout"}, 2, 1};

Result<PyRef> wait_until_free(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<std::uint64_t> timeout = convert_argument(arguments[1], "timeout", to_seconds, std::uint64_t{30});
    if (!timeout) return fail(std::move(timeout.error()));
    // Binding port 0 would let the system pick a port: never probed, never waited for.
    if (*port == 0) return to_python(false);

    // The lock is back before any failure of the poll is raised.
    Result<bool> freed = without_interpreter_lock([&] { return poll_until_free(*port, *timeout); });
    if (!freed) return fail(std::move(freed.error()));
    return to_python(*freed);
}

}  // namespace vantle::probe

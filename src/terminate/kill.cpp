#include "terminate/kill.hpp"

#include <csignal>
#include <string>

#include "boundary/convert.hpp"
#include "boundary/interpreter_lock.hpp"
#include "probe/listener.hpp"
#include "terminate/release.hpp"

namespace vantle::terminate {
namespace {

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

}  // namespace vantle::terminate

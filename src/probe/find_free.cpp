#include <sys/socket.h>

#include <cstring>

#include "boundary/convert.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {
namespace {

Failure no_free_port() { return TypedMessage{PyExc_OSError, "Could not find a free port"}; }

// The port the system assigns to a listener bound to 127.0.0.1:0. The
// listener is closed before this returns, so the port is free but not held.
Result<Port> system_assigned_port() {
    std::expected<UniqueFd, int> listener = open_listener(INADDR_LOOPBACK, 0);
    if (!listener) return fail(no_free_port());

    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(listener->get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail(no_free_port());

    // Both address records keep the port at the same place, in network order;
    // copying out of the storage avoids reading it through a cast pointer.
    switch (address.ss_family) {
        case AF_INET: {
            sockaddr_in bound;
            if (length < sizeof bound) return fail(InternalFailure{"getsockname returned a truncated IPv4 address"});
            std::memcpy(&bound, &address, sizeof bound);
            return ntohs(bound.sin_port);
        }
        case AF_INET6: {
            sockaddr_in6 bound;
            if (length < sizeof bound) return fail(InternalFailure{"getsockname returned a truncated IPv6 address"});
            std::memcpy(&bound, &address, sizeof bound);
            return ntohs(bound.sin6_port);
        }
        default: return fail(no_free_port());
    }
}

}  // namespace

const FunctionDescription find_free_function{"find_free", {"preferred"}, 1, 0};

Result<PyRef> find_free(const BoundArguments& arguments) {
    Result<std::optional<Port>> preferred =
        convert_argument(arguments[0], "preferred", to_optional_port, std::optional<Port>());
    if (!preferred) return fail(std::move(preferred.error()));
    // A preference of 0 would only ask the system to choose, as below. The
    // probes are non-blocking calls, so the lock stays held throughout.
    if (preferred->value_or(0) != 0 && probe_port(**preferred)) return to_python(**preferred);
    return system_assigned_port().and_then([](Port port) { return to_python(port); });
}

}  // namespace vantle::probe

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "boundary/convert.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {
namespace {

// How many ports the system may assign that are taken on ::1 before the
// search gives up.
constexpr std::size_t assignment_attempts = 4;

Failure no_free_port() { return TypedMessage{PyExc_OSError, "Could not find a free port"}; }

// The port a listener is bound to.
Result<Port> bound_port(const UniqueFd& listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
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

// A port the system assigns to a listener bound to 127.0.0.1:0 and that is
// free on ::1 too. A port taken on ::1 keeps its listener until the search
// ends, so the system does not hand it out again. The listeners are closed
// before this returns, so the port is free but not held.
Result<Port> system_assigned_port() {
    std::array<UniqueFd, assignment_attempts> passed_over;
    for (UniqueFd& kept : passed_over) {
        std::expected<UniqueFd, int> listener = open_listener(Loopback::ipv4, 0);
        if (!listener) return fail(no_free_port());
        Result<Port> port = bound_port(*listener);
        if (!port || free_on_ipv6_loopback(*port)) return port;
        kept = std::move(*listener);
    }
    return fail(no_free_port());
}

}  // namespace

const FunctionDescription find_free_function{"find_free", {"preferred"}, 1, 0};

Result<PyRef> find_free(ModuleState&, const BoundArguments& arguments) {
    Result<std::optional<Port>> preferred =
        convert_argument(arguments[0], "preferred", to_optional_port, std::optional<Port>());
    if (!preferred) return fail(std::move(preferred.error()));
    // A preference of 0 would only ask the system to choose, as below. The
    // probes are non-blocking calls, so the lock stays held throughout.
    if (preferred->value_or(0) != 0 && probe_port(**preferred)) return to_python(**preferred);
    return system_assigned_port().and_then([](Port port) { return to_python(port); });
}

}  // namespace vantle::probe

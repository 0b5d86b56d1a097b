// listening(port): the TCP listeners on a port, from one read of the socket
// table filtered by the port in the kernel and no walk of the process table,
// so that a wait for a server can afford to look every few milliseconds.
// Which of them cover a wanted address is left to the caller, which decides
// it for every command in one place.

#include "machine/listening.hpp"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

#include "machine/view.hpp"

namespace vantle::machine {
namespace {

using owners::SocketDetails;

// (address, v6only, identity) of one listener.
Result<PyRef> listener_entry(const SocketDetails& socket) {
    Result<PyRef> address = utf8_text(address_text(socket));
    if (!address) return address;
    Result<PyRef> v6only = to_python(socket.v6only);
    if (!v6only) return v6only;
    Result<PyRef> identity = created(PyLong_FromUnsignedLongLong(socket.identity));
    if (!identity) return identity;
    return created(PyTuple_Pack(3, address->get(), v6only->get(), identity->get()));
}

}  // namespace

const FunctionDescription listening_function{"listening", {"port"}, 1, 1};

Result<PyRef> listening(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    // Nothing listens on port 0: binding it only asks the system for a port.
    if (*port == 0) return created(PyList_New(0));
    // The lock is released although the read takes well under a millisecond:
    // waits in several threads then read at once, and the /proc/net fallback
    // on a machine with many sockets takes far longer.
    std::optional<std::vector<SocketDetails>> read =
        without_interpreter_lock([port = *port] { return port_listeners(port); });
    // An empty answer here would read as "nothing listens" and let a wait run
    // into its time-out for nothing.
    if (!read)
        return fail(TypedMessage{PyExc_OSError, "Could not read the socket table (no descriptor left, or neither "
                                                "netlink nor /proc can be used)"});
    std::vector<SocketDetails>& found = *read;
    std::sort(found.begin(), found.end(), [](const SocketDetails& a, const SocketDetails& b) {
        return std::tie(a.ipv6, a.local_address, a.identity) < std::tie(b.ipv6, b.local_address, b.identity);
    });
    Result<PyRef> list = created(PyList_New(0));
    if (!list) return list;
    for (const SocketDetails& socket : found) {
        Result<PyRef> entry = listener_entry(socket);
        if (!entry) return entry;
        if (PyList_Append(list->get(), entry->get()) != 0) return fail(capture_exception());
    }
    return list;
}

}  // namespace vantle::machine

#include "boundary/convert.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {

const FunctionDescription is_available_function{"is_available", {"port"}, 1, 1};

Result<PyRef> is_available(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    // Binding port 0 would let the system pick a port, so it is never probed.
    // The probe is a handful of non-blocking calls: the lock stays held.
    return to_python(*port != 0 && probe_port(*port));
}

}  // namespace vantle::probe

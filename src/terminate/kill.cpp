#include "terminate/kill.hpp"

#include "boundary/convert.hpp"

namespace vantle::terminate {

const FunctionDescription kill_function{"kill", {"port", "force"}, 2, 1};

Result<PyRef> kill(const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<bool> force = convert_argument(arguments[1], "force", to_bool, false);
    if (!force) return fail(std::move(force.error()));
    return fail(TypedMessage{PyExc_NotImplementedError, "kill is not available yet"});
}

}  // namespace vantle::terminate

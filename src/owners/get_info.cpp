#include "boundary/convert.hpp"
#include "owners/functions.hpp"

namespace vantle::owners {

const FunctionDescription get_info_function{"get_info", {"port"}, 1, 1};

Result<PyRef> get_info(const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    return fail(TypedMessage{PyExc_NotImplementedError, "get_info is not available yet"});
}

}  // namespace vantle::owners

#include "boundary/convert.hpp"
#include "owners/functions.hpp"

namespace vantle::owners {

const FunctionDescription scan_function{"scan", {"ports"}, 1, 1};

Result<PyRef> scan(const BoundArguments& arguments) {
    Result<std::vector<Port>> ports = convert_argument(arguments[0], "ports", to_ports);
    if (!ports) return fail(std::move(ports.error()));
    return fail(TypedMessage{PyExc_NotImplementedError, "scan is not available yet"});
}

}  // namespace vantle::owners

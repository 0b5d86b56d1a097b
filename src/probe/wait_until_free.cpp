#include "boundary/convert.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {

const FunctionDescription wait_until_free_function{"wait_until_free", {"port", "timeout"}, 2, 1};

Result<PyRef> wait_until_free(const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<std::uint64_t> timeout = convert_argument(arguments[1], "timeout", to_seconds, std::uint64_t{30});
    if (!timeout) return fail(std::move(timeout.error()));
    return fail(TypedMessage{PyExc_NotImplementedError, "wait_until_free is not available yet"});
}

}  // namespace vantle::probe

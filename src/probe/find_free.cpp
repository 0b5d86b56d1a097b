#include "boundary/convert.hpp"
#include "probe/functions.hpp"
#include "probe/listener.hpp"

namespace vantle::probe {

const FunctionDescription find_free_function{"find_free", {"preferred"}, 1, 0};

Result<PyRef> find_free(const BoundArguments& arguments) {
    Result<std::optional<Port>> preferred =
        convert_argument(arguments[0], "preferred", to_optional_port, std::optional<Port>());
    if (!preferred) return fail(std::move(preferred.error()));
    return fail(TypedMessage{PyExc_NotImplementedError, "find_free is not available yet"});
}

}  // namespace vantle::probe

#include "boundary/convert.hpp"
#include "owners/functions.hpp"
#include "owners/owner_info.hpp"

namespace vantle::owners {

const FunctionDescription get_info_function{"get_info", {"port"}, 1, 1};

Result<PyRef> get_info(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    return owner_dict(owner_info(*port));
}

}  // namespace vantle::owners

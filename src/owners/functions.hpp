#pragma once
// The module functions that describe the owners of ports: get_info and scan.

#include "boundary/boundary.hpp"

namespace vantle::owners {

extern const FunctionDescription get_info_function;
Result<PyRef> get_info(ModuleState& module, const BoundArguments& arguments);

extern const FunctionDescription scan_function;
Result<PyRef> scan(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::owners

#pragma once
// The module functions that describe the owners of ports.

#include "boundary/arguments.hpp"

namespace vantle::owners {

extern const FunctionDescription get_info_function;
Result<PyRef> get_info(const BoundArguments& arguments);

extern const FunctionDescription scan_function;
Result<PyRef> scan(const BoundArguments& arguments);

}  // namespace vantle::owners

#pragma once
// The module functions built on the bind test alone.

#include "boundary/arguments.hpp"
#include "boundary/module_state.hpp"

namespace vantle::probe {

extern const FunctionDescription is_available_function;
Result<PyRef> is_available(ModuleState& module, const BoundArguments& arguments);

extern const FunctionDescription find_free_function;
Result<PyRef> find_free(ModuleState& module, const BoundArguments& arguments);

extern const FunctionDescription wait_until_free_function;
Result<PyRef> wait_until_free(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::probe

#pragma once
// Freeing a port by signalling the processes that hold it.

#include "boundary/boundary.hpp"

namespace vantle::terminate {

extern const FunctionDescription kill_function;
Result<PyRef> kill(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::terminate

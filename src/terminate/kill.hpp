#pragma once
// Freeing a port by signalling the processes that hold it.

#include "boundary/arguments.hpp"

namespace vantle::terminate {

extern const FunctionDescription kill_function;
Result<PyRef> kill(const BoundArguments& arguments);

}  // namespace vantle::terminate

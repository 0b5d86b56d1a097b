#pragma once
// listening(port): the cheap look at a port that a wait for its server
// repeats every few milliseconds.

#include "boundary/boundary.hpp"

namespace vantle::machine {

extern const FunctionDescription listening_function;
Result<PyRef> listening(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::machine

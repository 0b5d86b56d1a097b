#pragma once
// reserve(preferred=None, count=1) of vantle._table: ports that no other
// reservation on the machine is handed, that the kernel never hands out by
// itself, and that a server can bind now without SO_REUSEADDR.

#include "boundary/boundary.hpp"

namespace vantle::reserve {

extern const FunctionDescription reserve_function;
// The claims' descriptors (a list of int, one per port, the caller's to
// close), the first port, and whether the ports lie in the ephemeral range
// (the fallback, when the ports outside it are all taken or there are none).
Result<PyRef> reserve(ModuleState& module, const BoundArguments& arguments);

}  // namespace vantle::reserve

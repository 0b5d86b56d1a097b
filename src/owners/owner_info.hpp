#pragma once
// The listening owner of a port, and its Python form.

#include <optional>

#include "boundary/convert.hpp"
#include "owners/process_info.hpp"

namespace vantle::owners {

// The newest process listening on `port` over TCP, when the port is in use.
// Port 0 and ports that pass the bind test have no owner and cost no walk.
// Entered and left with the interpreter lock held; it is released only
// around the walk of the process table.
std::optional<ProcessInfo> owner_info(Port port);

// None, or a new dict {"pid": int, "name": str, "cmd": str}.
Result<PyRef> owner_dict(const std::optional<ProcessInfo>& owner);

}  // namespace vantle::owners

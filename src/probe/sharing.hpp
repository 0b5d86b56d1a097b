#pragma once
// How the two extension modules come to share one ProcessWide
// (process_wide.hpp): vantle._lib carries its instance in a capsule, and
// vantle._table takes it from there when it starts.

#include "boundary/boundary.hpp"

namespace vantle::probe {

// Adds this shared object's instance to `module` (vantle._lib) as a capsule.
Result<void> share_process_wide(PyObject* module);

// Imports vantle._lib and uses its instance from now on.
Result<void> use_shared_process_wide();

}  // namespace vantle::probe

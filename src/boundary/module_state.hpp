#pragma once
// The Python objects the module keeps between calls. They belong to one
// module object, so every interpreter that imports the module has its own;
// the module's traverse and clear functions (lib.cpp) look after them.

#include "boundary/python.hpp"

namespace vantle {

struct ModuleState {
    // The type of internal failures, made by the module's start-up step.
    PyObject* panic_exception;
    // collections.abc.Sequence, imported on first need (convert.cpp). Threads
    // may race to set it, so it is read and set through std::atomic_ref.
    PyObject* sequence_class;
};

// The state of a module object of this module's definition.
inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace vantle

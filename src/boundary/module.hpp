#pragma once
// The frame both extension modules share: the method entries of their
// functions, the start-up step that adds the functions, __version__ and
// __all__ to the module, and the care of the module state.

#include <span>

#include "boundary/boundary.hpp"

namespace vantle {

// Not METH_STATIC: each function is bound to its module object, which the
// boundary needs for the module's state.
inline constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS;

template <const FunctionDescription& function, FunctionBody body>
PyMethodDef method(const char* doc) {
    return {function.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&module_function<function, body>)),
            function_flags, doc};
}

// Makes the module's PanicException type, then adds each of `functions` and
// `__version__`, listing their names in `__all__`.
Result<void> start_module(PyObject* module, std::span<PyMethodDef> functions);

// The module state's references, for the cycle collector, and their release.
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

// The slots of both modules: the start-up step; a state of its own in each
// interpreter, so that interpreters with their own GIL may import it; and
// no need of the GIL, since the functions share no mutable state.
template <Result<void> (*start_up)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec<start_up>)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// A multi-phase definition with the shared state and slots.
template <Result<void> (*start_up)(PyObject*)>
PyModuleDef module_definition(const char* name, const char* doc) {
    return {PyModuleDef_HEAD_INIT,  name,           doc,         sizeof(ModuleState), nullptr,
            module_slots<start_up>, traverse_state, clear_state, free_state};
}

}  // namespace vantle

// vantle._lib: the module definition, its start-up step and the table of the
// six functions. The bodies live with their subsystems; every call goes
// through the boundary in boundary/boundary.hpp.

#include "boundary/boundary.hpp"
#include "owners/functions.hpp"
#include "probe/probe.hpp"
#include "terminate/kill.hpp"

namespace vantle {
namespace {

// Not METH_STATIC: each function is bound to its module object, which the
// boundary needs for the module's state.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS;

template <const FunctionDescription& function, FunctionBody body>
PyMethodDef method(const char* doc) {
    return {function.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&module_function<function, body>)),
            function_flags, doc};
}

PyMethodDef functions[] = {
    method<probe::is_available_function, probe::is_available>(
        "is_available(port)\n--\n\nCheck if a port is available on localhost.\n\nArgs:\n    port: Port number to check "
        "(1-65535)\n\nReturns:\n    True if port is available, False if in use\n\nExample:\n    >>> import vantle\n   "
        " >>> vantle.is_available(8000)\n    True"),
    method<probe::find_free_function, probe::find_free>(
        "find_free(preferred=None)\n--\n\nFind a free port on localhost.\n\nArgs:\n    preferred: Optional preferred "
        "port number. If provided and free, returns it.\n               If occupied, returns a different free "
        "port.\n\nReturns:\n    A free port number\n\nRaises:\n    OSError: If no free port could be "
        "found\n\nNote:\n    The returned port can be taken by another process between this check\n    and when you "
        "actually bind to it (TOCTOU). Prefer binding to port 0\n    and letting the OS pick if you need a race-free "
        "reservation.\n\nExample:\n    >>> port = vantle.find_free(8000)\n    >>> port = vantle.find_free()  # Any "
        "free port"),
    method<probe::wait_until_free_function, probe::wait_until_free>(
        "wait_until_free(port, timeout=30)\n--\n\nWait for a port to become free.\n\nArgs:\n    port: Port number to "
        "wait for\n    timeout: Maximum seconds to wait (default: 30)\n\nReturns:\n    True if port became free, "
        "False if timeout reached\n\nExample:\n    >>> vantle.wait_until_free(5432, timeout=30)\n    True"),
    method<owners::get_info_function, owners::get_info>(
        "get_info(port)\n--\n\nGet information about the process using a port.\n\nArgs:\n    port: Port number to "
        "investigate\n\nReturns:\n    Dict with pid, name, and cmd keys, or None if the port is free\n    (or its "
        "owner is not visible to us, e.g. it belongs to another user).\n\nNote:\n    `cmd` is the full command line "
        "on Linux, the executable path on\n    macOS, and the executable name on Windows.\n\nExample:\n    >>> "
        "vantle.get_info(8000)\n    {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}\n    >>> "
        "vantle.get_info(9999)\n    None"),
    method<terminate::kill_function, terminate::kill>(
        "kill(port, force=False)\n--\n\nKill the process(es) using a port.\n\nArgs:\n    port: Port number\n    "
        "force: If True, use SIGKILL (SIGTERM if False). Default: False.\n           On Windows the process is "
        "always terminated forcefully.\n\nReturns:\n    True if the port became free (or was already "
        "free)\n\nRaises:\n    PermissionError: If insufficient permissions\n    OSError: If kill failed for another "
        "reason\n\nExample:\n    >>> vantle.kill(8000)\n    True\n    >>> vantle.kill(8000, force=True)\n    True"),
    method<owners::scan_function, owners::scan>(
        "scan(ports)\n--\n\nScan multiple ports and return info for each.\n\nArgs:\n    ports: List of port "
        "numbers\n\nReturns:\n    Dict mapping port numbers to process info (or None if free)\n\nExample:\n    >>> "
        "vantle.scan([8000, 8001, 5432])\n    {8000: {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}, 8001: "
        "None, 5432: None}"),
};

// The interned attribute names start-up looks attributes up with.
struct AttributeNames {
    PyRef all;   // "__all__"
    PyRef name;  // "__name__"
};

Result<AttributeNames> attribute_names() {
    Result<PyRef> all = created(PyUnicode_InternFromString("__all__"));
    if (!all) return fail(std::move(all.error()));
    Result<PyRef> name = created(PyUnicode_InternFromString("__name__"));
    if (!name) return fail(std::move(name.error()));
    return AttributeNames{std::move(*all), std::move(*name)};
}

// The module's __all__ list, made on first use.
Result<PyRef> all_list(PyObject* module, const AttributeNames& names) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, names.all.get()));
    if (all) {
        if (!PyList_Check(all.get())) return fail(WrongType{std::move(all), "list"});
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(capture_exception());
    PyErr_Clear();
    Result<PyRef> fresh = created(PyList_New(0));
    if (!fresh) return fresh;
    if (PyObject_SetAttr(module, names.all.get(), fresh->get()) != 0) return fail(capture_exception());
    return fresh;
}

// Sets a module attribute and lists its name in __all__.
Result<void> add(PyObject* module, const AttributeNames& names, PyObject* name, PyObject* value) {
    {
        Result<PyRef> all = all_list(module, names);
        if (!all) return fail(std::move(all.error()));
        if (PyList_Append(all->get(), name) != 0) {
            PyErr_Clear();
            return fail(InternalFailure{"could not append __name__ to __all__"});
        }
    }
    if (PyObject_SetAttr(module, name, value) != 0) return fail(capture_exception());
    return {};
}

Result<void> add_function(PyObject* module, const AttributeNames& names, PyMethodDef& definition) {
    Result<PyRef> module_name = created(PyModule_GetNameObject(module));
    if (!module_name) return fail(std::move(module_name.error()));
    Result<PyRef> function = created(PyCMethod_New(&definition, module, module_name->get(), nullptr));
    if (!function) return fail(std::move(function.error()));
    *module_name = PyRef();

    PyRef name = PyRef::steal(PyObject_GetAttr(function->get(), names.name.get()));
    if (!name) return fail(capture_exception());
    if (!PyUnicode_Check(name.get())) return fail(WrongType{std::move(name), "str"});
    return add(module, names, name.get(), function->get());
}

Result<void> start_up(PyObject* module) {
    // First, so that any later failure of start-up can be raised as one.
    Result<PyRef> panic_exception = make_panic_exception_type();
    if (!panic_exception) return fail(std::move(panic_exception.error()));
    module_state(module).panic_exception = panic_exception->release();

    Result<AttributeNames> names = attribute_names();
    if (!names) return fail(std::move(names.error()));
    for (PyMethodDef& definition : functions) {
        Result<void> added = add_function(module, *names, definition);
        if (!added) return added;
    }
    Result<PyRef> version_name = created(PyUnicode_FromStringAndSize("__version__", 11));
    if (!version_name) return fail(std::move(version_name.error()));
    Result<PyRef> version = created(PyUnicode_FromStringAndSize("0.1.0", 5));
    if (!version) return fail(std::move(version.error()));
    return add(module, *names, version_name->get(), version->get());
}

// The module state's references, for the cycle collector. The state may not
// be allocated yet when these run.
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    if (auto* state = static_cast<ModuleState*>(PyModule_GetState(module))) {
        Py_VISIT(state->panic_exception);
        Py_VISIT(state->sequence_class);
    }
    return 0;
}

int clear_state(PyObject* module) {
    if (auto* state = static_cast<ModuleState*>(PyModule_GetState(module))) {
        Py_CLEAR(state->panic_exception);
        Py_CLEAR(state->sequence_class);
    }
    return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec<start_up>)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_lib",
    "Python module for port management.",
    sizeof(ModuleState),
    nullptr,
    slots,
    traverse_state,
    clear_state,
    free_state,
};

}  // namespace
}  // namespace vantle

PyMODINIT_FUNC PyInit__lib() { return PyModuleDef_Init(&vantle::definition); }

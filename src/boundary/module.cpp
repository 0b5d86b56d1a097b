// The frame both extension modules share (module.hpp).

#include "boundary/module.hpp"

namespace vantle {
namespace {

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

}  // namespace

Result<void> start_module(PyObject* module, std::span<PyMethodDef> functions) {
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

// The state may not be allocated yet when these run.
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

}  // namespace vantle

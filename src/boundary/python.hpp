#pragma once
// The one place that includes the interpreter's headers, with the small types
// that own what the interpreter hands out: a reference (PyRef), the released
// interpreter lock (ReleasedInterpreterLock) and the module's state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantle {

// An owned reference to a Python object: released when the holder goes away,
// emptied by a move, handed back to the interpreter with release().
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a reference the caller already owns (a "new reference").
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Runs a stretch of code with the interpreter lock released and takes it back
// on every way out of the scope. Nothing inside may touch a Python object.
class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
    ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Calls `work` without the interpreter lock and hands back its result.
template <class Work>
auto without_interpreter_lock(Work&& work) {
    ReleasedInterpreterLock released;
    return work();
}

// The Python objects the module keeps between calls. They belong to one
// module object, so every interpreter that imports the module has its own;
// the module's traverse and clear functions (lib.cpp) look after them.
struct ModuleState {
    // The type of internal failures, made by the module's start-up step.
    PyObject* panic_exception;
    // collections.abc.Sequence, imported on first need (arguments.cpp).
    // Threads may race to set it, so it is read and set through
    // std::atomic_ref.
    PyObject* sequence_class;
};

// The state of a module object of this module's definition.
inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace vantle

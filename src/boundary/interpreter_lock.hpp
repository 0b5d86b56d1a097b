#pragma once
// Runs a stretch of code with the interpreter lock released and takes it back
// on every way out of the scope. Nothing inside may touch a Python object.

#include "boundary/python.hpp"

namespace vantle {

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

}  // namespace vantle

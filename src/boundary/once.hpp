#pragma once
// A process-wide Python object made once on first need and never freed.
//
// The interpreter lock is never held while waiting for another thread that
// is making the value: a thread that finds it missing releases the lock
// before taking the guard, and the winner re-acquires the lock inside the
// guard to make the value. A value that is already made is read without
// touching the guard. A failed attempt stores nothing, so a later call tries
// again.

#include <atomic>
#include <mutex>

#include "boundary/failure.hpp"

namespace vantle {

class OnceObject {
public:
    template <class Make>
    Result<PyObject*> get(Make&& make) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock guard(mutex_);
        PyEval_RestoreThread(state);
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        Result<PyRef> made = make();
        if (!made) return fail(std::move(made.error()));
        PyObject* value = made->release();
        value_.store(value, std::memory_order_release);
        return value;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

// The interned strings the module looks attributes up with.
Result<PyObject*> interned_all_name();
Result<PyObject*> interned_name_name();

}  // namespace vantle

#pragma once
// The boundary between the interpreter and a function body: the only place
// where failure values and C++ exceptions become Python exceptions.

#include <exception>
#include <new>

#include "boundary/arguments.hpp"
#include "boundary/module_state.hpp"

namespace vantle {

// A function body: the state of the module it was called through, and its
// arguments.
using FunctionBody = Result<PyRef> (*)(ModuleState&, const BoundArguments&);

namespace detail {
inline Failure internal_failure_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return InternalFailure{"out of memory"};
    } catch (const std::exception& error) {
        const char* what = error.what();
        return InternalFailure{what && *what ? what : "native code failed without a message"};
    } catch (...) {
        return InternalFailure{"native code failed without a message"};
    }
}
}  // namespace detail

// Binds the call to `function`'s parameters, runs the body and hands its
// result to the interpreter, or raises its failure and returns nullptr. The
// function objects are bound to their module, which comes in as `module`.
template <const FunctionDescription& function, FunctionBody body>
PyObject* module_function(PyObject* module, PyObject* const* arguments, Py_ssize_t positional_count,
                          PyObject* keyword_names) noexcept {
    ModuleState& state = module_state(module);
    Result<PyRef> result = [&]() noexcept -> Result<PyRef> {
        try {
            return bind(function, {arguments, positional_count, keyword_names})
                .and_then([&state](const BoundArguments& bound) { return body(state, bound); });
        } catch (...) {
            return fail(detail::internal_failure_from_current_exception());
        }
    }();
    if (result) return result->release();
    raise_failure(std::move(result.error()), state.panic_exception);
    return nullptr;
}

// The same boundary for the module's start-up step.
template <Result<void> (*body)(PyObject*)>
int module_exec(PyObject* module) noexcept {
    Result<void> result = [&]() noexcept -> Result<void> {
        try {
            return body(module);
        } catch (...) {
            return fail(detail::internal_failure_from_current_exception());
        }
    }();
    if (result) return 0;
    raise_failure(std::move(result.error()), module_state(module).panic_exception);
    return -1;
}

}  // namespace vantle

#pragma once
// Failures are values inside the module: every operation that can fail
// returns Result<T>, and a failure becomes a Python exception only when it
// reaches the boundary (raise_failure).

#include <expected>
#include <string>
#include <variant>

#include "boundary/py_ref.hpp"

namespace vantle {

// An exception taken out of the interpreter after a call into it failed.
struct CapturedException {
    PyRef exception;
};

// An exception of a given type whose single argument is the message.
struct TypedMessage {
    PyObject* type;  // a built-in exception type, which lives forever
    std::string message;
};

// An object of the wrong type; the TypeError message is built when raised.
struct WrongType {
    PyRef object;
    std::string expected_type;  // qualified name of the type that was wanted
};

// A failure of the module itself, raised as PanicException.
struct InternalFailure {
    std::string message;
};

using Failure = std::variant<CapturedException, TypedMessage, WrongType, InternalFailure>;

template <class T>
using Result = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(Failure failure) { return std::unexpected(std::move(failure)); }

// The failure after an interpreter call reported an error: the pending
// exception, or a SystemError when the call left none.
Failure capture_exception();

// Checks the result of an interpreter call that creates an object. A NULL
// result is an internal failure; the pending exception, if any, goes to
// sys.unraisablehook instead of being raised.
Result<PyRef> created(PyObject* new_reference);

// Turns the failure into an exception object without raising it. An
// internal failure comes back as it is: it stays a value until the boundary,
// which raises it with its module's PanicException type.
Result<PyRef> to_exception(Failure failure);

// Sets the failure as the interpreter's current exception; an internal
// failure becomes an instance of `panic_exception`, the calling module's
// type (a SystemError once the module has been cleared and has none).
void raise_failure(Failure failure, PyObject* panic_exception) noexcept;

// A new PanicException type, for one module object.
Result<PyRef> make_panic_exception_type();

}  // namespace vantle

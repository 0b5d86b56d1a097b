#pragma once
// The boundary between the interpreter and the function bodies. Failures are
// values inside the module: every operation that can fail returns Result<T>,
// and a failure becomes a Python exception only here, when it reaches the
// boundary (raise_failure). The arguments of a call are bound to their
// parameters and converted to plain values here too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "boundary/python.hpp"

namespace vantle {

// ---- Failure values ----

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

// The C++ exception being handled, as an internal failure.
Failure failure_from_current_exception() noexcept;

// ---- Binding a call to its parameters ----
// Every parameter may be given by position or by keyword; defaults are not
// objects here: an absent optional argument leaves its slot empty and the
// body picks its own default.

// The most any function takes: signal_holders(port, signal, addresses, udp).
inline constexpr std::size_t max_parameters = 4;

struct FunctionDescription {
    const char* name;
    std::array<const char*, max_parameters> parameters;
    std::size_t parameter_count;
    std::size_t required_count;
};

// Borrowed references to the arguments, one slot per parameter; nullptr
// marks a parameter that was not given.
using BoundArguments = std::array<PyObject*, max_parameters>;

struct VectorCall {
    PyObject* const* arguments;
    Py_ssize_t positional_count;
    PyObject* keyword_names;  // tuple of str, or nullptr
};

// Never converts and never runs Python code on the success path.
Result<BoundArguments> bind(const FunctionDescription& function, const VectorCall& call);

// ---- Conversions of arguments and results ----

using Port = std::uint16_t;

// int, a subclass of it, or any object with __index__, within 0..65535.
Result<Port> to_port(PyObject* object);
// None gives no port; anything else goes through to_port.
Result<std::optional<Port>> to_optional_port(PyObject* object);
// Exactly bool, or a numpy boolean scalar; nothing else.
Result<bool> to_bool(PyObject* object);
// A whole number of seconds, 0..2**64-1.
Result<std::uint64_t> to_seconds(PyObject* object);
// Any sequence of ports except str, in iteration order, duplicates kept.
// The module's state keeps the class that a wrong-type message names.
Result<std::vector<Port>> to_ports(PyObject* object, ModuleState& module);
// Any sequence of str except a str itself, as UTF-8, in iteration order.
Result<std::vector<std::string>> to_texts(PyObject* object, ModuleState& module);
// A str equal to one of `choices`, as its index in them; a ValueError naming
// `parameter` and the choices for any other str.
Result<std::size_t> to_choice(PyObject* object, const char* parameter, std::span<const char* const> choices);

// Adds the note "while processing '<parameter>'" to a conversion's failure.
// Should the note itself fail, the failure goes on without it.
Failure with_argument_note(Failure failure, const char* parameter);

// Converts the argument in `slot` (nullptr when it was not given, which
// yields `fallback`), noting the parameter's name on failure.
template <class T, class Convert>
Result<T> convert_argument(PyObject* slot, const char* parameter, Convert&& convert, T fallback) {
    if (!slot) return fallback;
    Result<T> value = convert(slot);
    if (!value) return fail(with_argument_note(std::move(value.error()), parameter));
    return value;
}

// The same for a required parameter, whose slot binding always fills.
template <class Convert>
auto convert_argument(PyObject* slot, const char* parameter, Convert&& convert) -> decltype(convert(slot)) {
    auto value = convert(slot);
    if (!value) return fail(with_argument_note(std::move(value.error()), parameter));
    return value;
}

Result<PyRef> to_python(bool value);
// None where the flag is not known.
Result<PyRef> to_python(std::optional<bool> value);
Result<PyRef> to_python(Port value);
// A str from UTF-8 bytes, decoded strictly.
Result<PyRef> utf8_text(std::string_view bytes);

// Text that may hold invalid UTF-8 (a command line, a process name): each
// invalid byte shown as \xNN, as Python's "backslashreplace" decodes it.
Result<PyRef> escaped_text(std::string_view bytes);

// dict[key] = value, or the failure of making the value or of storing it.
Result<void> set_item(PyObject* dict, const char* key, Result<PyRef> value);

// ---- The entry points ----

// A function body: the state of the module it was called through, and its
// arguments.
using FunctionBody = Result<PyRef> (*)(ModuleState&, const BoundArguments&);

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
            return fail(failure_from_current_exception());
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
            return fail(failure_from_current_exception());
        }
    }();
    if (result) return 0;
    raise_failure(std::move(result.error()), module_state(module).panic_exception);
    return -1;
}

}  // namespace vantle

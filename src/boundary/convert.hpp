#pragma once
// Conversions from Python arguments to the values the function bodies work
// with, and from their results back to Python objects.

#include <cstdint>
#include <optional>
#include <vector>

#include "boundary/failure.hpp"
#include "boundary/module_state.hpp"

namespace vantle {

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
Result<PyRef> to_python(Port value);

}  // namespace vantle

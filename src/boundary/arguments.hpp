#pragma once
// Binding a vectorcall to a function's parameters. Every parameter may be
// given by position or by keyword; defaults are not objects here: an absent
// optional argument leaves its slot empty and the body picks its own default.

#include <array>
#include <cstddef>
#include <initializer_list>

#include "boundary/failure.hpp"

namespace vantle {

inline constexpr std::size_t max_parameters = 2;

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

}  // namespace vantle

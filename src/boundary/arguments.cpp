#include "boundary/arguments.hpp"

#include <cstring>
#include <string>

namespace vantle {
namespace {

Failure too_many_positional(const FunctionDescription& function, Py_ssize_t given) {
    const std::string count = function.required_count == function.parameter_count
                                  ? std::to_string(function.parameter_count)
                                  : "from " + std::to_string(function.required_count) + " to " +
                                        std::to_string(function.parameter_count);
    return TypedMessage{PyExc_TypeError, std::string(function.name) + "() takes " + count +
                                             " positional arguments but " + std::to_string(given) +
                                             (given == 1 ? " was given" : " were given")};
}

// The keyword goes into the message through str(), so that names which
// cannot be spelled in UTF-8 are still reported exactly.
Failure keyword_error(const char* format, const FunctionDescription& function, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, format, function.name, keyword);
    return capture_exception();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::array<const char*, max_parameters>& names, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += std::string("'") + names[i] + "'";
    }
    return list;
}

Failure missing_required(const FunctionDescription& function, const BoundArguments& slots) {
    std::array<const char*, max_parameters> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < function.required_count; ++i)
        if (!slots[i]) missing[count++] = function.parameters[i];
    return TypedMessage{PyExc_TypeError, std::string(function.name) + "() missing " + std::to_string(count) +
                                             " required positional " + (count == 1 ? "argument" : "arguments") +
                                             ": " + quoted_list(missing, count)};
}

// The index of the parameter a keyword names, or parameter_count.
std::size_t parameter_index(const FunctionDescription& function, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!utf8) {
        PyErr_Clear();
        return function.parameter_count;
    }
    for (std::size_t i = 0; i < function.parameter_count; ++i) {
        const char* name = function.parameters[i];
        if (std::strlen(name) == static_cast<std::size_t>(size) && std::memcmp(name, utf8, size) == 0) return i;
    }
    return function.parameter_count;
}

}  // namespace

Result<BoundArguments> bind(const FunctionDescription& function, const VectorCall& call) {
    BoundArguments slots{};
    const auto positional = static_cast<std::size_t>(call.positional_count);
    if (positional > function.parameter_count) return fail(too_many_positional(function, call.positional_count));
    for (std::size_t i = 0; i < positional; ++i) slots[i] = call.arguments[i];

    const Py_ssize_t keyword_count = call.keyword_names ? PyTuple_GET_SIZE(call.keyword_names) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(call.keyword_names, k);
        const std::size_t index = parameter_index(function, keyword);
        if (index == function.parameter_count)
            return fail(keyword_error("%s() got an unexpected keyword argument '%S'", function, keyword));
        if (slots[index])
            return fail(keyword_error("%s() got multiple values for argument '%S'", function, keyword));
        slots[index] = call.arguments[positional + static_cast<std::size_t>(k)];
    }

    for (std::size_t i = positional; i < function.required_count; ++i)
        if (!slots[i]) return fail(missing_required(function, slots));
    return slots;
}

}  // namespace vantle

// Binding a call to its parameters, and the conversions of arguments and
// results.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "boundary/boundary.hpp"

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

constexpr std::uint64_t highest_port = 0xffff;
// A sequence may claim any length; beyond this, the array grows as items come.
constexpr Py_ssize_t largest_reserved_length = 1 << 16;

Result<PyRef> import_sequence_class() {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("collections.abc"));
    PyRef module = module_name ? PyRef::steal(PyImport_Import(module_name.get())) : PyRef();
    PyRef sequence = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
    if (!sequence) {
        PyErr_Clear();
        return fail(InternalFailure{"could not import collections.abc.Sequence"});
    }
    if (!PyType_Check(sequence.get())) return fail(InternalFailure{"collections.abc.Sequence is not a type"});
    return sequence;
}

// collections.abc.Sequence, named in the wrong-type message of to_ports;
// borrowed from the module state. The import runs with no lock held, since
// an import hook may call this module again and importlib takes locks of its
// own; threads that import it at once keep the first one stored.
Result<PyObject*> sequence_class(ModuleState& module) {
    std::atomic_ref<PyObject*> stored(module.sequence_class);
    if (PyObject* known = stored.load(std::memory_order_acquire)) return known;
    Result<PyRef> imported = import_sequence_class();
    if (!imported) return fail(std::move(imported.error()));
    PyObject* first = nullptr;
    if (stored.compare_exchange_strong(first, imported->get(), std::memory_order_acq_rel)) return imported->release();
    return first;
}

Result<std::string> sequence_class_name(ModuleState& module) {
    Result<PyObject*> sequence = sequence_class(module);
    if (!sequence) return fail(std::move(sequence.error()));
    PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(*sequence)));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!utf8) return fail(capture_exception());
    return std::string(utf8);
}

// Is this an instance of numpy's boolean scalar type? Any error while
// finding out counts as "no".
bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    PyRef name = PyRef::steal(PyType_GetName(type));
    bool answer = module && name && PyUnicode_Check(module.get()) &&
                  PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5) &&
                  (PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
                   PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4));
    PyErr_Clear();
    return answer;
}

Result<bool> numpy_truth(PyObject* object) {
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(object), Py_nb_bool));
    if (!truth) {
        PyErr_Clear();
        PyRef type_text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(object))));
        const char* utf8 = type_text ? PyUnicode_AsUTF8(type_text.get()) : nullptr;
        if (!utf8) return fail(capture_exception());
        return fail(TypedMessage{PyExc_TypeError,
                                 std::string("object of type '") + utf8 + "' does not define a '__bool__' conversion"});
    }
    switch (truth(object)) {
        case 0: return false;
        case 1: return true;
        default: return fail(capture_exception());
    }
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

Result<Port> to_port(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return fail(capture_exception());
    if (static_cast<std::uint64_t>(value) > highest_port)
        return fail(TypedMessage{PyExc_OverflowError, "out of range integral type conversion attempted"});
    return static_cast<Port>(value);
}

Result<std::optional<Port>> to_optional_port(PyObject* object) {
    if (object == Py_None) return std::nullopt;
    return to_port(object).transform([](Port port) { return std::optional<Port>(port); });
}

Result<bool> to_bool(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    if (is_numpy_bool(object)) return numpy_truth(object);
    return fail(WrongType{PyRef::borrow(object), "bool"});
}

Result<std::uint64_t> to_seconds(PyObject* object) {
    PyRef integer = PyLong_Check(object) ? PyRef::borrow(object) : PyRef::steal(PyNumber_Index(object));
    if (!integer) return fail(capture_exception());
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(capture_exception());
    return static_cast<std::uint64_t>(value);
}

namespace {

// Any sequence but str, each item converted by `convert`, in iteration order.
template <class Item, class Convert>
Result<std::vector<Item>> to_sequence(PyObject* object, ModuleState& module, Convert convert) {
    if (PyUnicode_Check(object)) return fail(TypedMessage{PyExc_TypeError, "Can't extract `str` to `Vec`"});
    if (!PySequence_Check(object)) {
        Result<std::string> target = sequence_class_name(module);
        if (!target) return fail(std::move(target.error()));
        return fail(WrongType{PyRef::borrow(object), std::move(*target)});
    }
    std::vector<Item> items;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) PyErr_Clear();
    items.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, largest_reserved_length)));

    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return fail(capture_exception());
    for (;;) {
        PyObject* raw_item = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw_item);
        if (status < 0) return fail(capture_exception());
        if (status == 0) return items;
        PyRef item = PyRef::steal(raw_item);
        Result<Item> converted = convert(item.get());
        if (!converted) return fail(std::move(converted.error()));
        items.push_back(std::move(*converted));
    }
}

Result<std::string> to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return fail(WrongType{PyRef::borrow(object), "str"});
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return fail(capture_exception());
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

Result<std::vector<Port>> to_ports(PyObject* object, ModuleState& module) {
    return to_sequence<Port>(object, module, to_port);
}

Result<std::vector<std::string>> to_texts(PyObject* object, ModuleState& module) {
    return to_sequence<std::string>(object, module, to_text);
}

Result<std::size_t> to_choice(PyObject* object, const char* parameter, std::span<const char* const> choices) {
    Result<std::string> text = to_text(object);
    if (!text) return fail(std::move(text.error()));
    std::string listed;
    for (std::size_t index = 0; index < choices.size(); ++index) {
        if (*text == choices[index]) return index;
        listed += index == 0 ? "'" : index + 1 == choices.size() ? " or '" : ", '";
        listed += choices[index];
        listed += "'";
    }
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", parameter, listed.c_str(), object);
    return fail(capture_exception());
}

Failure with_argument_note(Failure failure, const char* parameter) {
    Result<PyRef> exception = to_exception(std::move(failure));
    if (!exception) return std::move(exception.error());
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    // The interned name is the one the exception type's method table already
    // uses: the interpreter's method cache matches names by identity, and a
    // fresh string on every failure would displace a cache entry each time.
    PyRef method = PyRef::steal(PyUnicode_InternFromString("add_note"));
    if (note && method) {
        PyObject* call[] = {exception->get(), note.get()};
        PyRef outcome = PyRef::steal(PyObject_VectorcallMethod(
            method.get(), call, 2, nullptr));
        if (outcome) return CapturedException{std::move(*exception)};
    }
    // The note is a courtesy: its own failure is dropped, not raised.
    PyErr_Clear();
    return CapturedException{std::move(*exception)};
}

Result<PyRef> to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

Result<PyRef> to_python(std::optional<bool> value) { return value ? to_python(*value) : PyRef::borrow(Py_None); }

Result<PyRef> to_python(Port value) { return created(PyLong_FromLong(value)); }

Result<PyRef> utf8_text(std::string_view bytes) {
    return created(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
}

Result<PyRef> escaped_text(std::string_view bytes) {
    return created(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace"));
}

Result<void> set_item(PyObject* dict, const char* key, Result<PyRef> value) {
    if (!value) return fail(std::move(value.error()));
    if (PyDict_SetItemString(dict, key, value->get()) != 0) return fail(capture_exception());
    return {};
}

}  // namespace vantle

#include "boundary/convert.hpp"

#include <algorithm>
#include <atomic>

namespace vantle {
namespace {

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

Result<std::vector<Port>> to_ports(PyObject* object, ModuleState& module) {
    if (PyUnicode_Check(object)) return fail(TypedMessage{PyExc_TypeError, "Can't extract `str` to `Vec`"});
    if (!PySequence_Check(object)) {
        Result<std::string> target = sequence_class_name(module);
        if (!target) return fail(std::move(target.error()));
        return fail(WrongType{PyRef::borrow(object), std::move(*target)});
    }
    std::vector<Port> ports;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) PyErr_Clear();
    ports.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, largest_reserved_length)));

    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return fail(capture_exception());
    for (;;) {
        PyObject* raw_item = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw_item);
        if (status < 0) return fail(capture_exception());
        if (status == 0) return ports;
        PyRef item = PyRef::steal(raw_item);
        Result<Port> port = to_port(item.get());
        if (!port) return fail(std::move(port.error()));
        ports.push_back(*port);
    }
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

Result<PyRef> to_python(Port value) { return created(PyLong_FromLong(value)); }

}  // namespace vantle

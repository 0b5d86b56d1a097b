// Failures turned into Python exceptions at the boundary.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "boundary/boundary.hpp"

namespace vantle {
namespace {

constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when native code called from Python fails internally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

Result<PyRef> text(const std::string& message) {
    return created(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
}

std::string qualified_type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8;
}

std::string wrong_type_message(const WrongType& wrong) {
    if (wrong.object.get() == Py_None) return "'None' is not an instance of '" + wrong.expected_type + "'";
    return "'" + qualified_type_name(wrong.object.get()) + "' object is not an instance of '" +
           wrong.expected_type + "'";
}

// The type and message that a typed message or a wrong type raises as; any
// other failure comes back unchanged.
Result<std::pair<PyObject*, std::string>> type_and_message(Failure failure) {
    struct Visitor {
        Result<std::pair<PyObject*, std::string>> operator()(TypedMessage& typed) {
            return std::pair{typed.type, std::move(typed.message)};
        }
        Result<std::pair<PyObject*, std::string>> operator()(WrongType& wrong) {
            return std::pair{PyExc_TypeError, wrong_type_message(wrong)};
        }
        Result<std::pair<PyObject*, std::string>> operator()(InternalFailure& internal) {
            return fail(std::move(internal));
        }
        Result<std::pair<PyObject*, std::string>> operator()(CapturedException& captured) {
            return fail(std::move(captured));
        }
    };
    return std::visit(Visitor{}, failure);
}

[[noreturn]] void abort_at_boundary(const char* why) {
    std::fprintf(stderr, "vantle: uncaught panic at ffi boundary: %s\n", why);
    std::abort();
}

}  // namespace

Failure failure_from_current_exception() noexcept {
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

Failure capture_exception() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return TypedMessage{PyExc_SystemError, "attempted to fetch exception but none was set"};
    return CapturedException{PyRef::steal(raised)};
}

Result<PyRef> created(PyObject* new_reference) {
    if (new_reference) return PyRef::steal(new_reference);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    return fail(InternalFailure{"PyObject pointer is null"});
}

Result<PyRef> make_panic_exception_type() {
    PyObject* type = PyErr_NewExceptionWithDoc("vantle.native.PanicException", panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    if (!type) return fail(capture_exception());
    return PyRef::steal(type);
}

Result<PyRef> to_exception(Failure failure) {
    if (auto* captured = std::get_if<CapturedException>(&failure)) return std::move(captured->exception);
    auto typed = type_and_message(std::move(failure));
    if (!typed) return fail(std::move(typed.error()));
    Result<PyRef> message = text(typed->second);
    if (!message) return fail(std::move(message.error()));
    PyObject* exception = PyObject_CallOneArg(typed->first, message->get());
    if (!exception) return fail(capture_exception());
    return PyRef::steal(exception);
}

void raise_failure(Failure failure, PyObject* panic_exception) noexcept {
    if (auto* captured = std::get_if<CapturedException>(&failure)) {
        PyErr_SetRaisedException(captured->exception.release());
        return;
    }
    if (auto* internal = std::get_if<InternalFailure>(&failure)) {
        // When even the message of a PanicException cannot be built, nothing
        // sound is left to raise.
        Result<PyRef> message = text(internal->message);
        if (!message) abort_at_boundary("could not raise the exception of an internal failure");
        PyErr_SetObject(panic_exception ? panic_exception : PyExc_SystemError, message->get());
        return;
    }
    auto typed = type_and_message(std::move(failure));
    Result<PyRef> message = typed ? text(typed->second) : fail(std::move(typed.error()));
    if (message) {
        PyErr_SetObject(typed->first, message->get());
        return;
    }
    // Building the exception failed: raise that failure instead, which is at
    // worst a PanicException.
    raise_failure(std::move(message.error()), panic_exception);
}

}  // namespace vantle

#include "owners/owner_info.hpp"

#include "boundary/interpreter_lock.hpp"
#include "owners/lookup.hpp"
#include "probe/listener.hpp"

namespace vantle::owners {
namespace {

Result<PyRef> utf8_text(const std::string& bytes) {
    return created(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
}

Result<void> set_item(PyObject* dict, const char* key, Result<PyRef> value) {
    if (!value) return fail(std::move(value.error()));
    if (PyDict_SetItemString(dict, key, value->get()) != 0) return fail(capture_exception());
    return {};
}

}  // namespace

std::optional<ProcessInfo> owner_info(Port port) {
    if (port == 0 || probe::probe_port(port)) return std::nullopt;
    // The shared walk stops at the first listener it meets, the newest, which
    // is all we report.
    const Port ports[] = {port};
    return without_interpreter_lock([&ports] { return std::move(find_listening_owners(ports).front()); });
}

Result<PyRef> owner_dict(const std::optional<ProcessInfo>& owner) {
    if (!owner) return PyRef::borrow(Py_None);
    Result<PyRef> dict = created(PyDict_New());
    if (!dict) return dict;
    // A fixed key order: the one the docstrings show.
    Result<void> filled = set_item(dict->get(), "pid", created(PyLong_FromUnsignedLong(owner->pid)))
                              .and_then([&] { return set_item(dict->get(), "name", utf8_text(owner->name)); })
                              .and_then([&] { return set_item(dict->get(), "cmd", utf8_text(owner->cmd)); });
    if (!filled) return fail(std::move(filled.error()));
    return dict;
}

}  // namespace vantle::owners

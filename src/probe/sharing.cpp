#include "probe/sharing.hpp"

#include "probe/process_wide.hpp"

namespace vantle::probe {
namespace {

// The attribute of vantle._lib that carries the capsule, and the capsule's
// name, which PyCapsule_Import checks against the attribute's path.
constexpr const char* capsule_attribute = "_process_wide";
constexpr const char* capsule_name = "vantle._lib._process_wide";
constexpr const char* owner_module = "vantle._lib";

}  // namespace

Result<void> share_process_wide(PyObject* module) {
    Result<PyRef> capsule = created(PyCapsule_New(&owned_process_wide(), capsule_name, nullptr));
    if (!capsule) return fail(std::move(capsule.error()));
    if (PyModule_AddObjectRef(module, capsule_attribute, capsule->get()) != 0) return fail(capture_exception());
    return {};
}

Result<void> use_shared_process_wide() {
    // PyCapsule_Import finds the module as an attribute of its package, which
    // the package sets only once the module has been imported.
    if (PyRef owner = PyRef::steal(PyImport_ImportModule(owner_module)); !owner) return fail(capture_exception());
    auto* shared = static_cast<ProcessWide*>(PyCapsule_Import(capsule_name, 0));
    if (shared == nullptr) return fail(capture_exception());
    if (shared->layout != ProcessWide::layout_version || shared->size != sizeof(ProcessWide))
        return fail(InternalFailure{"vantle._lib and vantle._table come from different builds"});
    use_process_wide(*shared);
    return {};
}

}  // namespace vantle::probe

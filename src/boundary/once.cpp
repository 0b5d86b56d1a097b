#include "boundary/once.hpp"

namespace vantle {
namespace {

OnceObject all_name_cache;
OnceObject name_name_cache;

Result<PyRef> interned(const char* text) { return created(PyUnicode_InternFromString(text)); }

}  // namespace

Result<PyObject*> interned_all_name() {
    return all_name_cache.get([] { return interned("__all__"); });
}

Result<PyObject*> interned_name_name() {
    return name_name_cache.get([] { return interned("__name__"); });
}

}  // namespace vantle

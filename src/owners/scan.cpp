#include "boundary/convert.hpp"
#include "boundary/interpreter_lock.hpp"
#include "owners/functions.hpp"
#include "owners/lookup.hpp"
#include "owners/owner_info.hpp"
#include "probe/listener.hpp"

namespace vantle::owners {
namespace {

// Each distinct port once, in the order of first appearance.
std::vector<Port> distinct(const std::vector<Port>& ports) {
    std::vector<Port> unique;
    std::vector<bool> seen(65536, false);
    for (Port port : ports)
        if (!seen[port]) {
            seen[port] = true;
            unique.push_back(port);
        }
    return unique;
}

// The listening owner of each port (same order); ports that pass the bind
// test, and port 0, have none. The ports in use share one walk of the
// process table, which gives each the answer a walk of its own would.
// Plain values only: it runs without the interpreter lock.
std::vector<std::optional<ProcessInfo>> owners_of(const std::vector<Port>& ports) {
    std::vector<std::optional<ProcessInfo>> owners(ports.size());
    std::vector<Port> in_use;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i] != 0 && !probe::probe_port(ports[i])) {
            in_use.push_back(ports[i]);
            positions.push_back(i);
        }
    if (in_use.empty()) return owners;
    std::vector<std::optional<ProcessInfo>> found = find_listening_owners(in_use);
    for (std::size_t j = 0; j < positions.size(); ++j) owners[positions[j]] = std::move(found[j]);
    return owners;
}

Result<void> add_entry(PyObject* dict, Port port, const std::optional<ProcessInfo>& owner) {
    Result<PyRef> key = to_python(port);
    if (!key) return fail(std::move(key.error()));
    Result<PyRef> value = owner_dict(owner);
    if (!value) return fail(std::move(value.error()));
    if (PyDict_SetItem(dict, key->get(), value->get()) != 0) return fail(capture_exception());
    return {};
}

}  // namespace

const FunctionDescription scan_function{"scan", {"ports"}, 1, 1};

Result<PyRef> scan(ModuleState& module, const BoundArguments& arguments) {
    Result<std::vector<Port>> ports =
        convert_argument(arguments[0], "ports", [&module](PyObject* object) { return to_ports(object, module); });
    if (!ports) return fail(std::move(ports.error()));
    const std::vector<Port> unique = distinct(*ports);
    // Every probe and the walk in one stretch without the lock: a scan of
    // thousands of ports would otherwise hold up every other thread.
    const std::vector<std::optional<ProcessInfo>> owners =
        without_interpreter_lock([&unique] { return owners_of(unique); });

    Result<PyRef> result = created(PyDict_New());
    if (!result) return result;
    for (std::size_t i = 0; i < unique.size(); ++i) {
        Result<void> added = add_entry(result->get(), unique[i], owners[i]);
        if (!added) return fail(std::move(added.error()));
    }
    return result;
}

}  // namespace vantle::owners

// get_info and scan: the listening owners of ports, in their Python form.

#include "owners/functions.hpp"

#include "owners/lookup.hpp"
#include "probe/probe.hpp"

namespace vantle::owners {
namespace {

// The newest process listening on `port` over TCP, when the port is in use.
// Port 0 and ports that pass the bind test have no owner and cost no walk.
// Entered and left with the interpreter lock held; it is released only
// around the walk of the process table.
std::optional<ProcessInfo> owner_info(Port port) {
    if (port == 0 || probe::probe_port(port)) return std::nullopt;
    // The shared walk stops at the first listener it meets, the newest, which
    // is all we report.
    const Port ports[] = {port};
    return without_interpreter_lock([&ports] { return std::move(find_listening_owners(ports).front()); });
}

// None, or a new dict {"pid": int, "name": str, "cmd": str}.
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

const FunctionDescription get_info_function{"get_info", {"port"}, 1, 1};

Result<PyRef> get_info(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    return owner_dict(owner_info(*port));
}

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

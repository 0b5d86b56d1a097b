// vantle._table: the machine view for Python. listeners() and holders()
// describe the sockets of view.hpp as lists of dicts; signal_holders() is
// what the command line's kill builds on: the holders of a port, each sent
// the signal asked for as the module's kill sends its own (only while its
// start time still matches), with the outcome. listening() (listening.cpp)
// is the cheap look at one port that a wait for its server repeats.

#include <pwd.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "boundary/boundary.hpp"
#include "boundary/module.hpp"
#include "machine/listening.hpp"
#include "machine/view.hpp"
#include "probe/sharing.hpp"
#include "reserve/reserve.hpp"
#include "terminate/kill.hpp"

namespace vantle::machine {
namespace {

using owners::SocketDetails;
using owners::SocketState;
using terminate::SignalOutcome;

// ---- Plain values, made without the interpreter lock ----

// User names of the uids a view mentions; none for a uid without a name.
using UserNames = std::unordered_map<std::uint32_t, std::optional<std::string>>;

std::optional<std::string> user_name(std::uint32_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
        const int error = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error != 0 || found == nullptr || !owners::is_valid_utf8(entry.pw_name)) return std::nullopt;
        return std::string(entry.pw_name);
    }
}

UserNames user_names(const View& view) {
    UserNames names;
    const auto add = [&names](std::uint32_t uid) {
        if (!names.contains(uid)) names.emplace(uid, user_name(uid));
    };
    for (const HeldSocket& held : view.sockets) add(held.socket.uid);
    for (const Holder& holder : view.holders) add(holder.identity.uid);
    return names;
}

const char* state_name(const SocketDetails& socket) {
    // psutil's names: a UDP socket has a state only when it has a peer.
    if (!socket.tcp) return socket.state == SocketState::established ? "ESTABLISHED" : "NONE";
    switch (socket.state) {
        case SocketState::established: return "ESTABLISHED";
        case SocketState::syn_sent: return "SYN_SENT";
        case SocketState::syn_received: return "SYN_RECV";
        case SocketState::fin_wait_1: return "FIN_WAIT1";
        case SocketState::fin_wait_2: return "FIN_WAIT2";
        case SocketState::time_wait: return "TIME_WAIT";
        case SocketState::close: return "CLOSE";
        case SocketState::close_wait: return "CLOSE_WAIT";
        case SocketState::last_ack: return "LAST_ACK";
        case SocketState::listen: return "LISTEN";
        case SocketState::closing: return "CLOSING";
        case SocketState::unknown: break;
    }
    return "UNKNOWN";
}

const char* outcome_name(SignalOutcome outcome) {
    switch (outcome) {
        case SignalOutcome::delivered: return "signalled";
        case SignalOutcome::gone: return "gone";
        case SignalOutcome::refused: return "refused";
        case SignalOutcome::failed: break;
    }
    return "failed";
}

// ---- Python values ----

Result<PyRef> number(unsigned long long value) { return created(PyLong_FromUnsignedLongLong(value)); }

Result<PyRef> none() { return PyRef::borrow(Py_None); }

Result<PyRef> user_object(const UserNames& names, std::uint32_t uid) {
    const auto found = names.find(uid);
    if (found == names.end() || !found->second) return none();
    return utf8_text(*found->second);
}

Result<PyRef> append(PyObject* list, Result<PyRef> item) {
    if (!item) return item;
    if (PyList_Append(list, item->get()) != 0) return fail(capture_exception());
    return item;
}

// {"pid", "ppid", "uid", "user", "name", "cmd"} of a visible process.
Result<PyRef> process_dict(const Holder& holder, const UserNames& names) {
    Result<PyRef> dict = created(PyDict_New());
    if (!dict) return dict;
    PyObject* d = dict->get();
    Result<void> filled = set_item(d, "pid", number(holder.info.pid))
                              .and_then([&] { return set_item(d, "ppid", number(holder.identity.parent)); })
                              .and_then([&] { return set_item(d, "uid", number(holder.identity.uid)); })
                              .and_then([&] { return set_item(d, "user", user_object(names, holder.identity.uid)); })
                              .and_then([&] { return set_item(d, "name", escaped_text(holder.info.name)); })
                              .and_then([&] { return set_item(d, "cmd", escaped_text(holder.info.cmd)); });
    if (!filled) return fail(std::move(filled.error()));
    return dict;
}

// {"protocol", "state", "address", "port", "peer_address", "peer_port",
// "v6only", "uid", "user"} of a socket; the peer's two None without a peer.
Result<PyRef> socket_dict(const SocketDetails& socket, const UserNames& names) {
    Result<PyRef> dict = created(PyDict_New());
    if (!dict) return dict;
    PyObject* d = dict->get();
    const std::optional<std::string> peer = peer_address_text(socket);
    Result<void> filled =
        set_item(d, "protocol", utf8_text(socket.tcp ? "tcp" : "udp"))
            .and_then([&] { return set_item(d, "state", utf8_text(state_name(socket))); })
            .and_then([&] { return set_item(d, "address", utf8_text(address_text(socket))); })
            .and_then([&] { return set_item(d, "port", number(socket.local_port)); })
            .and_then([&] { return set_item(d, "peer_address", peer ? utf8_text(*peer) : none()); })
            .and_then([&] { return set_item(d, "peer_port", peer ? number(socket.peer_port) : none()); })
            .and_then([&] { return set_item(d, "v6only", to_python(socket.v6only)); })
            .and_then([&] { return set_item(d, "uid", number(socket.uid)); })
            .and_then([&] { return set_item(d, "user", user_object(names, socket.uid)); });
    if (!filled) return fail(std::move(filled.error()));
    return dict;
}

// One dict per listening socket: the socket's own keys and "processes",
// the visible holders newest first (empty: none of them can be seen).
Result<PyRef> listener_list(const View& view, const UserNames& names) {
    Result<PyRef> list = created(PyList_New(0));
    if (!list) return list;
    for (const HeldSocket& held : view.sockets) {
        Result<PyRef> entry = append(list->get(), socket_dict(held.socket, names));
        if (!entry) return entry;
        Result<PyRef> processes = created(PyList_New(0));
        if (!processes) return processes;
        for (const std::size_t index : held.holders) {
            Result<PyRef> process = append(processes->get(), process_dict(view.holders[index], names));
            if (!process) return process;
        }
        Result<void> set = set_item(entry->get(), "processes", std::move(processes));
        if (!set) return fail(std::move(set.error()));
    }
    return list;
}

// One dict per holder, newest first, with its sockets on the port; then one
// per user whose sockets no visible process holds, with "pid" None. With
// `outcomes`, each visible holder also says what its signal came to.
Result<PyRef> holder_list(const View& view, const UserNames& names, const std::vector<SignalOutcome>* outcomes) {
    Result<PyRef> list = created(PyList_New(0));
    if (!list) return list;
    for (std::size_t index = 0; index < view.holders.size(); ++index) {
        Result<PyRef> entry = append(list->get(), process_dict(view.holders[index], names));
        if (!entry) return entry;
        Result<PyRef> sockets = created(PyList_New(0));
        if (!sockets) return sockets;
        for (const HeldSocket& held : view.sockets) {
            if (std::find(held.holders.begin(), held.holders.end(), index) == held.holders.end()) continue;
            Result<PyRef> socket = append(sockets->get(), socket_dict(held.socket, names));
            if (!socket) return socket;
        }
        Result<void> set = set_item(entry->get(), "sockets", std::move(sockets));
        if (set && outcomes) set = set_item(entry->get(), "signal", utf8_text(outcome_name((*outcomes)[index])));
        if (!set) return fail(std::move(set.error()));
    }
    // The invisible ones, grouped by the sockets' user, in the order met.
    std::vector<std::uint32_t> uids;
    for (const HeldSocket& held : view.sockets)
        if (held.holders.empty() && std::find(uids.begin(), uids.end(), held.socket.uid) == uids.end())
            uids.push_back(held.socket.uid);
    for (const std::uint32_t uid : uids) {
        Result<PyRef> entry = append(list->get(), created(PyDict_New()));
        if (!entry) return entry;
        PyObject* d = entry->get();
        Result<PyRef> sockets = created(PyList_New(0));
        if (!sockets) return sockets;
        for (const HeldSocket& held : view.sockets) {
            if (!held.holders.empty() || held.socket.uid != uid) continue;
            Result<PyRef> socket = append(sockets->get(), socket_dict(held.socket, names));
            if (!socket) return socket;
        }
        Result<void> filled = set_item(d, "pid", none())
                                  .and_then([&] { return set_item(d, "ppid", none()); })
                                  .and_then([&] { return set_item(d, "uid", number(uid)); })
                                  .and_then([&] { return set_item(d, "user", user_object(names, uid)); })
                                  .and_then([&] { return set_item(d, "name", none()); })
                                  .and_then([&] { return set_item(d, "cmd", none()); })
                                  .and_then([&] { return set_item(d, "sockets", std::move(sockets)); });
        if (filled && outcomes) filled = set_item(d, "signal", none());
        if (!filled) return fail(std::move(filled.error()));
    }
    return list;
}

// Warns that the process table could not be read, so that an answer without
// processes is not mistaken for one where nobody holds anything.
Result<void> note_unlisted(const View& view) {
    if (view.processes_listed) return {};
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "vantle: the process table could not be read (no descriptor left, or no /proc of this "
                     "pid namespace); no process is named",
                     1) != 0)
        return fail(capture_exception());
    return {};
}

// A view and the names of the users it mentions, made with the interpreter
// lock released, then the warning when no process could be named.
struct Read {
    View view;
    UserNames names;
};

template <class MakeView>
Result<Read> read_view(MakeView make_view) {
    Read read = without_interpreter_lock([&make_view] {
        View view = make_view();
        UserNames names = user_names(view);
        return Read{std::move(view), std::move(names)};
    });
    if (Result<void> noted = note_unlisted(read.view); !noted) return fail(std::move(noted.error()));
    return read;
}

// ---- The functions ----

const FunctionDescription listeners_function{"listeners", {"ports", "protocol"}, 2, 0};

constexpr const char* protocol_names[] = {"tcp", "udp"};
constexpr Protocol protocols[] = {Protocol::tcp, Protocol::udp};

Result<PyRef> listeners(ModuleState& module, const BoundArguments& arguments) {
    std::optional<std::vector<Port>> ports;
    if (arguments[0] && arguments[0] != Py_None) {
        Result<std::vector<Port>> converted = convert_argument(
            arguments[0], "ports", [&module](PyObject* object) { return to_ports(object, module); });
        if (!converted) return fail(std::move(converted.error()));
        std::sort(converted->begin(), converted->end());
        converted->erase(std::unique(converted->begin(), converted->end()), converted->end());
        ports = std::move(*converted);
    }
    Result<std::size_t> protocol = convert_argument(
        arguments[1], "protocol", [](PyObject* object) { return to_choice(object, "protocol", protocol_names); },
        std::size_t{0});
    if (!protocol) return fail(std::move(protocol.error()));
    Result<Read> read = read_view([&ports, protocol = protocols[*protocol]] {
        return machine::listeners(ports ? std::span<const Port>(*ports) : std::span<const Port>(), !ports,
                                  protocol);
    });
    if (!read) return fail(std::move(read.error()));
    return listener_list(read->view, read->names);
}

const FunctionDescription holders_function{"holders", {"port"}, 1, 1};

Result<PyRef> holders(ModuleState&, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    if (*port == 0) return created(PyList_New(0));
    Result<Read> read = read_view([port = *port] { return port_holders({&port, 1}); });
    if (!read) return fail(std::move(read.error()));
    return holder_list(read->view, read->names, nullptr);
}

const FunctionDescription holders_by_port_function{"holders_by_port", {"ports", "side"}, 2, 1};

constexpr const char* side_names[] = {"local", "remote"};
constexpr Side sides[] = {Side::local, Side::remote};

// holders() for many ports from one read of the socket table and one walk:
// a dict from each port that something holds to its holders. With side
// "remote", the ports are the peers' and the holders their clients.
Result<PyRef> holders_by_port(ModuleState& module, const BoundArguments& arguments) {
    Result<std::vector<Port>> ports = convert_argument(
        arguments[0], "ports", [&module](PyObject* object) { return to_ports(object, module); });
    if (!ports) return fail(std::move(ports.error()));
    Result<std::size_t> chosen = convert_argument(
        arguments[1], "side", [](PyObject* object) { return to_choice(object, "side", side_names); },
        std::size_t{0});
    if (!chosen) return fail(std::move(chosen.error()));
    const Side side = sides[*chosen];
    std::erase(*ports, Port{0});
    std::sort(ports->begin(), ports->end());
    ports->erase(std::unique(ports->begin(), ports->end()), ports->end());
    if (ports->empty()) return created(PyDict_New());
    Result<Read> read = read_view([&ports, side] { return port_holders(*ports, side); });
    if (!read) return fail(std::move(read.error()));
    const auto port_of = [side](const SocketDetails& socket) {
        return side == Side::local ? socket.local_port : socket.peer_port;
    };
    // The ports held, in order: one narrowed view each.
    std::vector<Port> held;
    for (const HeldSocket& socket : read->view.sockets) held.push_back(port_of(socket.socket));
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    Result<PyRef> by_port = created(PyDict_New());
    if (!by_port) return by_port;
    for (const Port port : held) {
        const View one = machine::narrowed(read->view, [&](const SocketDetails& s) { return port_of(s) == port; });
        Result<PyRef> key = to_python(port);
        if (!key) return key;
        Result<PyRef> list = holder_list(one, read->names, nullptr);
        if (!list) return list;
        if (PyDict_SetItem(by_port->get(), key->get(), list->get()) != 0) return fail(capture_exception());
    }
    return by_port;
}

// A signal number from an int or anything with __index__: 0 (nothing is sent,
// as with kill(2): only whether the holder may be signalled is found out) or
// one of the system's signals, as Python's signal.valid_signals() has them.
// A bool is refused: True would be SIGHUP to a caller that meant "force".
Result<int> to_signal(PyObject* object) {
    if (PyBool_Check(object))
        return fail(TypedMessage{PyExc_TypeError, "signal must be a signal number, not bool"});
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return fail(capture_exception());
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return fail(capture_exception());
    if (overflow == 0 && value == 0) return 0;
    if (overflow == 0 && 0 < value && value < NSIG) {
        sigset_t every{};
        sigfillset(&every);
        // Those the C library keeps for itself (glibc's 32 and 33) are left out.
        if (sigismember(&every, static_cast<int>(value)) == 1) return static_cast<int>(value);
    }
    PyErr_Format(PyExc_ValueError, "signal must be 0 or a signal number of this system (1-%d), not %S", NSIG - 1,
                 index.get());
    return fail(capture_exception());
}

const FunctionDescription signal_holders_function{"signal_holders", {"port", "signal", "addresses", "udp"}, 4, 1};

Result<PyRef> signal_holders(ModuleState& module, const BoundArguments& arguments) {
    Result<Port> port = convert_argument(arguments[0], "port", to_port);
    if (!port) return fail(std::move(port.error()));
    Result<int> signal = convert_argument(arguments[1], "signal", to_signal, int{SIGTERM});
    if (!signal) return fail(std::move(signal.error()));
    std::optional<std::vector<std::string>> addresses;
    if (arguments[2] && arguments[2] != Py_None) {
        Result<std::vector<std::string>> converted = convert_argument(
            arguments[2], "addresses", [&module](PyObject* object) { return to_texts(object, module); });
        if (!converted) return fail(std::move(converted.error()));
        addresses = std::move(*converted);
    }
    Result<bool> udp = convert_argument(arguments[3], "udp", to_bool, true);
    if (!udp) return fail(std::move(udp.error()));
    if (*port == 0) return created(PyList_New(0));
    struct Done {
        View view;
        UserNames names;
        std::vector<SignalOutcome> outcomes;
    };
    const Done done = without_interpreter_lock([port = *port, signal = *signal, udp = *udp,
                                                &addresses] {
        View view = port_holders({&port, 1});
        view = machine::narrowed(std::move(view), [&](const SocketDetails& socket) {
            return (udp || socket.tcp) &&
                   (!addresses || std::find(addresses->begin(), addresses->end(), address_text(socket)) !=
                                      addresses->end());
        });
        std::vector<SignalOutcome> outcomes;
        outcomes.reserve(view.holders.size());
        for (const Holder& holder : view.holders)
            outcomes.push_back(terminate::signal_process(holder.info.pid, holder.info.start_time, signal));
        UserNames names = user_names(view);
        return Done{std::move(view), std::move(names), std::move(outcomes)};
    });
    return holder_list(done.view, done.names, &done.outcomes);
}

PyMethodDef functions[] = {
    method<listeners_function, listeners>(
        "listeners(ports=None, protocol='tcp')\n--\n\nEvery TCP socket listening on any local address, IPv4 and "
        "IPv6, with the processes holding it; with protocol 'udp', every UDP socket bound there and not "
        "connected to a peer.\n\nArgs:\n    ports: None for every port, or a sequence of ports to keep.\n    "
        "protocol: 'tcp' or 'udp'.\n\nReturns:\n    A list of dicts, by port and address: protocol, state, "
        "address, port, peer_address and\n    peer_port (None), v6only, the socket's uid and user, and processes: "
        "pid, ppid, uid and\n    user (the process's real user), name, cmd, newest first; an empty list when no "
        "holder\n    can be seen (another user's, without privileges).\n\nRaises:\n    ValueError: protocol is "
        "neither 'tcp' nor 'udp'."),
    method<holders_function, holders>(
        "holders(port)\n--\n\nEvery process holding an internet socket on the port, on any local address.\n\n"
        "Returns:\n    A list of dicts, newest first: pid, ppid, uid, user, name, cmd and sockets (protocol,\n    "
        "state, address, port, peer_address, peer_port, v6only, uid, user); then, per user whose\n    sockets no "
        "visible process holds, one dict with pid, ppid, name and cmd None."),
    method<holders_by_port_function, holders_by_port>(
        "holders_by_port(ports, side='local')\n--\n\nholders() of each of the ports, from one read of the socket "
        "table and one walk:\na dict from each port that something holds to its holders. With side 'remote',\n"
        "the ports are the peers': the holders are the processes connected to each port\n(its clients), with "
        "their sockets to it.\n\nRaises:\n    ValueError: side is neither 'local' nor 'remote'."),
    method<signal_holders_function, signal_holders>(
        "signal_holders(port, signal=15, addresses=None, udp=True)\n--\n\nholders(port), each visible holder "
        "sent the signal (SIGTERM, 15, by default)\nif it is still the process found (its start time is checked); "
        "each dict's\nsignal says what came of it: signalled, gone, refused or failed (None for the\ninvisible). "
        "Signal 0 sends nothing: signalled then says that the holder may\nbe signalled.\nWith "
        "addresses (a sequence of str, as the dicts write them), only the sockets\non those local addresses and "
        "their holders.\nWith udp False, only TCP sockets and their holders."),
    method<listening_function, listening>(
        "listening(port)\n--\n\nThe TCP sockets listening on the port, on any local address, from one read of\nthe "
        "socket table (no process is looked at; macOS has no such table, and walks\nthe processes as listeners() "
        "does).\n\nReturns:\n    A list of (address, v6only, identity) tuples, IPv4 "
        "first: the local address as the\n    dicts write it, its v6only, and a number that stays the same for the life of "
        "the socket\n    (its inode on Linux).\n\nRaises:\n    OSError: the socket table could not be read (no "
        "descriptor left)."),
    method<reserve::reserve_function, reserve::reserve>(
        "reserve(preferred=None, count=1)\n--\n\nClaims count consecutive ports (1-1000) among vantle's reservations "
        "on this\nmachine: ports at or above 1024, outside the kernel's ephemeral range (inside\nit only when nothing "
        "outside can be had), that a server can bind now on\n0.0.0.0 and [::] without SO_REUSEADDR. preferred: that "
        "port first, when it\nqualifies. VANTLE_RESERVE_PORTS=LOW-HIGH narrows the draw.\n\nReturns:\n    (claims, "
        "port, in_ephemeral_range): a list of the descriptors holding\n    the claims, one per port, the caller's to "
        "close; the first port; and\n    whether the ports lie in the ephemeral range.\n\nRaises:\n    OSError: no "
        "port could be claimed.\n    ValueError: count out of range, or a bad VANTLE_RESERVE_PORTS."),
};

// First of all, so that no call of this module ever sees a state of its own.
Result<void> start_up(PyObject* module) {
    return probe::use_shared_process_wide().and_then([module] { return start_module(module, functions); });
}

PyModuleDef definition =
    module_definition<start_up>("_table", "The machine view: listening sockets and port holders on every local address.");

}  // namespace
}  // namespace vantle::machine

PyMODINIT_FUNC PyInit__table() { return PyModuleDef_Init(&vantle::machine::definition); }

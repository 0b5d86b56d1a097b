// Reservations: each port claimed among vantle's reservations (claims.hpp),
// drawn from the ports that the kernel never hands out by itself, and tested
// with the plain bind a server makes.

#include "reserve/reserve.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "probe/probe.hpp"
#include "reserve/claims.hpp"

namespace vantle::reserve {
namespace {

// Below it: ports only a privileged user may bind, which vantle never hands
// out.
constexpr Port lowest_port = 1024;
constexpr PortSpan whole_window{lowest_port, 65535};
constexpr long most_ports = 1000;
constexpr const char window_variable[] = "VANTLE_RESERVE_PORTS";

// ---- Plain values, used without the interpreter lock ----

using PortBits = std::bitset<65536>;

// The TCP ports of the system's services list, read once per process: the
// list changes with the installed packages, not from call to call. No lock:
// threads that read it at once keep the first copy, and a fork never
// inherits a lock that another thread held. A list that cannot be read now
// (no descriptor left) is not kept, and the search does not start.
std::expected<const PortBits*, int> service_ports() {
    static constinit std::atomic<const PortBits*> known{nullptr};
    if (const PortBits* ports = known.load(std::memory_order_acquire)) return ports;
    const std::expected<std::string, int> text = services_text();
    if (!text) return std::unexpected(text.error());
    auto read = std::make_unique<PortBits>();
    for (const std::uint16_t port : parse_services(*text)) read->set(port);
    const PortBits* first = nullptr;
    if (known.compare_exchange_strong(first, read.get(), std::memory_order_acq_rel)) return read.release();
    return first;
}

// Sorted, overlapping and adjacent spans joined.
std::vector<PortSpan> merged(std::vector<PortSpan> spans) {
    std::sort(spans.begin(), spans.end(), [](PortSpan a, PortSpan b) { return a.first < b.first; });
    std::vector<PortSpan> joined;
    for (const PortSpan span : spans) {
        if (!joined.empty() && span.first <= joined.back().last + 1)
            joined.back().last = std::max(joined.back().last, span.last);
        else
            joined.push_back(span);
    }
    return joined;
}

// The ports of `window` outside the sorted, disjoint `cut`.
std::vector<PortSpan> outside(PortSpan window, const std::vector<PortSpan>& cut) {
    std::vector<PortSpan> spans;
    int next = window.first;
    for (const PortSpan span : cut) {
        if (span.first > next)
            spans.push_back({static_cast<Port>(next), static_cast<Port>(std::min<int>(span.first - 1, window.last))});
        next = std::max<int>(next, span.last + 1);
        if (next > window.last) return spans;
    }
    spans.push_back({static_cast<Port>(next), window.last});
    return spans;
}

// The ports of `window` inside the sorted, disjoint `cut`.
std::vector<PortSpan> inside(PortSpan window, const std::vector<PortSpan>& cut) {
    std::vector<PortSpan> spans;
    for (const PortSpan span : cut) {
        const Port first = std::max(span.first, window.first);
        const Port last = std::min(span.last, window.last);
        if (first <= last) spans.push_back({first, last});
    }
    return spans;
}

// Counts forks, so that a child reseeds its generator (below).
std::atomic<unsigned> forks{0};
[[maybe_unused]] const int fork_counter_registered =
    ::pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });

// A cheap generator for the starting point of each draw, seeded once per
// thread, and again in a forked child, so that parent and child do not walk
// the same ports.
std::uint64_t random_number() {
    thread_local std::uint64_t state = 0;
    thread_local std::optional<unsigned> seeded_at;
    const unsigned now = forks.load(std::memory_order_relaxed);
    if (seeded_at != now) {
        seeded_at = now;
        std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) << 32;
        try {
            std::random_device device;
            seed ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
        } catch (...) {
            // No entropy source: the clock and the pid still spread the starts.
            seed ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        }
        state = seed;
    }
    // splitmix64
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

// Whether a server could bind `port` on the wildcard address of `family`
// now, without SO_REUSEADDR; or the errno of a socket that could not be had.
std::expected<bool, int> binds(int family, Port port) {
    std::expected<probe::OwnSocket, int> socket = probe::open_stream_socket(family);
    if (!socket) {
        // A host without IPv6 has no [::] to refuse a server.
        if (family == AF_INET6 && socket.error() == EAFNOSUPPORT) return true;
        return std::unexpected(socket.error());
    }
    int bound = -1;
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound = ::bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        bound = ::bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // EADDRINUSE (a listener or a bound socket on any address, a TIME_WAIT
    // remnant) or EACCES (a port below ip_unprivileged_port_start) refuse
    // the caller's server too; EADDRNOTAVAIL for [::] means no IPv6 at all.
    return bound == 0 || (family == AF_INET6 && errno == EADDRNOTAVAIL);
}

// The bind test a reserved port must pass: 0.0.0.0, closed, then [::]
// (dual-stack as the system sets it by default), closed.
std::expected<bool, int> bindable(Port port) {
    // Probes of the port in this process wait meanwhile: each would take the
    // other's socket for a holder.
    const std::unique_lock turn = probe::hold_probe_turn(port);
    const std::expected<bool, int> ipv4 = binds(AF_INET, port);
    if (!ipv4 || !*ipv4) return ipv4;
    return binds(AF_INET6, port);
}

using Claims = std::vector<UniqueFd>;

// Claims ports first..first+count-1, then bind-tests them: the claims; none
// when a port is claimed elsewhere or does not bind (the claims made are let
// go); or the errno that ends the search. Claiming first keeps a concurrent
// reservation from testing the same ports.
std::expected<std::optional<Claims>, int> take_run(Port first, std::size_t count) {
    Claims claims;
    claims.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::expected<UniqueFd, int> claimed = claim(static_cast<Port>(first + i));
        if (!claimed) {
            if (claimed.error() == EADDRINUSE) return std::nullopt;
            return std::unexpected(claimed.error());
        }
        claims.push_back(std::move(*claimed));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::expected<bool, int> free = bindable(static_cast<Port>(first + i));
        if (!free) return std::unexpected(free.error());
        if (!*free) return std::nullopt;
    }
    return claims;
}

struct Request {
    std::optional<Port> preferred;
    std::size_t count;
    PortSpan window;
};

struct Found {
    Claims claims;
    Port first;
    bool in_ephemeral_range;
};

// What ends a search: an errno, or nullopt when every candidate was taken.
using Failed = std::optional<int>;

class Search {
public:
    // What the kernel and the system say of ports now; the errno of what
    // could not be read.
    static std::expected<Search, int> start(std::size_t count) {
        std::expected<std::vector<PortSpan>, int> ephemeral = ephemeral_spans();
        if (!ephemeral) return std::unexpected(ephemeral.error());
        std::expected<std::vector<PortSpan>, int> reserved = reserved_spans();
        if (!reserved) return std::unexpected(reserved.error());
        const std::expected<const PortBits*, int> services = service_ports();
        if (!services) return std::unexpected(services.error());
        return Search(count, merged(std::move(*ephemeral)), std::move(*reserved), **services);
    }

    const std::vector<PortSpan>& ephemeral() const { return ephemeral_; }

    // The run starting at `first`, when it lies at or above 1024 and
    // outside the ephemeral range.
    std::expected<std::optional<Found>, int> preferred(Port first) const {
        const std::size_t last = first + count_ - 1;
        if (first < lowest_port || last > 65535) return std::nullopt;
        for (const PortSpan span : ephemeral_)
            if (span.first <= last && first <= span.last) return std::nullopt;
        return found(first, false);
    }

    // A run drawn from `spans`, starting at a random point and walking on
    // from there, round to the start.
    std::expected<std::optional<Found>, int> draw(const std::vector<PortSpan>& spans, bool in_ephemeral_range) const {
        std::vector<PortSpan> starts;
        std::size_t total = 0;
        for (const PortSpan span : spans) {
            if (span.size() < count_) continue;
            starts.push_back({span.first, static_cast<Port>(span.last - (count_ - 1))});
            total += starts.back().size();
        }
        if (total == 0) return std::nullopt;
        const std::size_t offset = random_number() % total;
        for (std::size_t step = 0; step < total; ++step) {
            std::size_t index = (offset + step) % total;
            auto span = starts.begin();
            for (; index >= span->size(); ++span) index -= span->size();
            const auto first = static_cast<Port>(span->first + index);
            if (excluded(first)) continue;
            std::expected<std::optional<Found>, int> run = found(first, in_ephemeral_range);
            if (!run || *run) return run;
        }
        return std::nullopt;
    }

private:
    Search(std::size_t count, std::vector<PortSpan> ephemeral, std::vector<PortSpan> reserved, const PortBits& services)
        : count_(count), ephemeral_(std::move(ephemeral)), reserved_(std::move(reserved)), services_(services) {}

    // A run with a reserved or a service port, left to the programs that
    // bind those ports by themselves.
    bool excluded(Port first) const {
        for (std::size_t i = 0; i < count_; ++i) {
            const auto port = static_cast<Port>(first + i);
            if (services_.test(port)) return true;
            for (const PortSpan span : reserved_)
                if (span.contains(port)) return true;
        }
        return false;
    }

    std::expected<std::optional<Found>, int> found(Port first, bool in_ephemeral_range) const {
        std::expected<std::optional<Claims>, int> run = take_run(first, count_);
        if (!run) return std::unexpected(run.error());
        if (!*run) return std::nullopt;
        return Found{std::move(**run), first, in_ephemeral_range};
    }

    std::size_t count_;
    std::vector<PortSpan> ephemeral_;
    std::vector<PortSpan> reserved_;
    const PortBits& services_;
};

// The preferred run when it qualifies; else one drawn from the window outside
// the ephemeral range; else, when there is none to be had there, from the
// window inside it.
std::expected<Found, Failed> find(const Request& request) {
    const std::expected<Search, int> started = Search::start(request.count);
    if (!started) return std::unexpected(started.error());
    const Search& search = *started;
    if (request.preferred.value_or(0) != 0) {
        std::expected<std::optional<Found>, int> run = search.preferred(*request.preferred);
        if (!run) return std::unexpected(run.error());
        if (*run) return std::move(**run);
    }
    for (const bool in_ephemeral_range : {false, true}) {
        const std::vector<PortSpan> spans = in_ephemeral_range ? inside(request.window, search.ephemeral())
                                                               : outside(request.window, search.ephemeral());
        std::expected<std::optional<Found>, int> run = search.draw(spans, in_ephemeral_range);
        if (!run) return std::unexpected(run.error());
        if (*run) return std::move(**run);
    }
    return std::unexpected(std::nullopt);
}

std::string span_text(PortSpan span) { return std::to_string(span.first) + "-" + std::to_string(span.last); }

Failure not_reserved(const Request& request, Failed why) {
    std::string message = request.count == 1
                              ? "Could not reserve a port: "
                              : "Could not reserve " + std::to_string(request.count) + " consecutive ports: ";
    if (!why) {
        message += request.count == 1 ? "every port of " + span_text(request.window) + " is claimed or in use"
                                      : "every run of " + std::to_string(request.count) + " in " +
                                            span_text(request.window) + " has a port claimed or in use";
    } else if (*why == EMFILE || *why == ENFILE) {
        message += "no file descriptor left";
    } else if (*why == ENOBUFS || *why == ENOMEM) {
        message += "out of memory";
    } else if (*why == ENOTDIR) {
        message += "the directory of the claims is not a sticky directory owned by root or by the caller";
    } else {
        message += "system error " + std::to_string(*why);
    }
    return TypedMessage{PyExc_OSError, std::move(message)};
}

// ---- Python values ----

// A whole number 1..most_ports, from an int or anything with __index__.
Result<std::size_t> to_count(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return fail(capture_exception());
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return fail(capture_exception());
    if (overflow == 0 && 1 <= value && value <= most_ports) return static_cast<std::size_t>(value);
    PyErr_Format(PyExc_ValueError, "count must be from 1 to %ld, not %S", most_ports, index.get());
    return fail(capture_exception());
}

// The window the variable narrows the draw to, or every port from 1024. Read
// with the interpreter lock held, under which os.environ changes the
// process's environment.
Result<PortSpan> window_from_environment() {
    const char* text = std::getenv(window_variable);
    if (!text || !*text) return whole_window;
    const std::optional<PortSpan> span = parse_span(text);
    if (span && span->first >= lowest_port) return *span;
    PyRef value = PyRef::steal(PyUnicode_DecodeFSDefault(text));
    if (!value) return fail(capture_exception());
    PyErr_Format(PyExc_ValueError, "%s must be LOW-HIGH (or one port), with 1024 <= LOW <= HIGH <= 65535, not %R",
                 window_variable, value.get());
    return fail(capture_exception());
}

// (claims, first port, in_ephemeral_range). The descriptors stay closed on
// every failure until the tuple exists, which hands them over.
Result<PyRef> reservation(Found found) {
    Result<PyRef> claims = created(PyList_New(static_cast<Py_ssize_t>(found.claims.size())));
    if (!claims) return claims;
    for (std::size_t i = 0; i < found.claims.size(); ++i) {
        Result<PyRef> fd = created(PyLong_FromLong(found.claims[i].get()));
        if (!fd) return fd;
        PyList_SET_ITEM(claims->get(), static_cast<Py_ssize_t>(i), fd->release());
    }
    Result<PyRef> port = to_python(found.first);
    if (!port) return port;
    PyObject* in_ephemeral_range = found.in_ephemeral_range ? Py_True : Py_False;
    Result<PyRef> tuple = created(PyTuple_Pack(3, claims->get(), port->get(), in_ephemeral_range));
    if (!tuple) return tuple;
    for (UniqueFd& claim : found.claims) static_cast<void>(claim.release());
    return tuple;
}

}  // namespace

const FunctionDescription reserve_function{"reserve", {"preferred", "count"}, 2, 0};

Result<PyRef> reserve(ModuleState&, const BoundArguments& arguments) {
    Result<std::optional<Port>> preferred =
        convert_argument(arguments[0], "preferred", to_optional_port, std::optional<Port>());
    if (!preferred) return fail(std::move(preferred.error()));
    Result<std::size_t> count = convert_argument(arguments[1], "count", to_count, std::size_t{1});
    if (!count) return fail(std::move(count.error()));
    Result<PortSpan> window = window_from_environment();
    if (!window) return fail(std::move(window.error()));

    const Request request{*preferred, *count, *window};
    // Usually one claim and two binds, as quick as find_free; but where many
    // ports are claimed or in use the walk may try thousands, so other
    // threads run meanwhile.
    std::expected<Found, Failed> found = without_interpreter_lock([&request] { return find(request); });
    if (!found) return fail(not_reserved(request, found.error()));
    return reservation(std::move(*found));
}

}  // namespace vantle::reserve

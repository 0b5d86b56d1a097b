#pragma once
// The socket-owner lookup: which processes hold an internet socket whose
// local port is a given port. Touches no Python object and never fails: what
// the platform refuses to show simply makes the answer shorter. Safe to call
// from any thread, with the interpreter lock released.
//
// The walk (lookup.cpp) is written once over a platform layer shaped after
// macOS libproc: list pids, a process's open-file count, its descriptors with
// their types, one socket's details, the process name and its command. Each
// platform implements it in its own file (platform_linux.cpp,
// platform_macos.cpp). A Platform serves one lookup on one thread. Every
// operation reports failure by its return value only (a process that exited
// or refused simply fails).

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::owners {

// One process that holds a socket on a port, as the lookup reports it.
struct ProcessInfo {
    std::uint32_t pid = 0;
    std::string name;  // UTF-8; empty only for a holder whose name is unreadable
    std::string cmd;   // UTF-8, empty when it could not be read
    // When the process started, in the platform's own units; 0 when unknown
    // or not asked for (find_listening_owners leaves it out).
    // Lets a later signal make sure the pid still names the same process.
    std::uint64_t start_time = 0;
};

// Every process holding a socket on `port`, at most one record per pid,
// newest first (the order the platform lists processes), with its start time.
// With `listen_only`, only TCP sockets in the listening state count; otherwise
// any TCP socket (any state) and any other internet socket (UDP) counts. A
// process whose name cannot be read or is not UTF-8 is listed with an empty
// name: these are the processes to signal, and signals go to pids.
std::vector<ProcessInfo> find_port_owners(std::uint16_t port, bool listen_only);

// For each port of `ports` (same order, duplicates allowed), the newest
// process listening on it over TCP whose name is readable UTF-8, as
// find_port_owners(port, true) would give its first record with a name, but
// sharing one walk of the process table. No start times.
std::vector<std::optional<ProcessInfo>> find_listening_owners(std::span<const std::uint16_t> ports);

// When the process now at `pid` started, in the units of ProcessInfo's
// start_time, or the errno of the failed read (EIO for an answer that does
// not parse; ENOENT or ESRCH once the process has exited).
std::expected<std::uint64_t, int> process_start_time(std::uint32_t pid);

// Strict UTF-8, as Python decodes the names and commands handed to it: no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a multi-byte sequence, so that cutting a long valid string keeps it
// valid.
std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) noexcept;

// The length of `text` without a multi-byte sequence that its end cuts short:
// what a kernel keeps of a process name it cut at its byte limit.
std::size_t utf8_length_without_cut_tail(std::string_view text) noexcept;

// ---- The platform layer ----

// Longest process name or command the lookup hands out, in bytes; libproc's
// path buffer size less one.
inline constexpr std::size_t text_limit = 4095;

enum class DescriptorType : std::uint8_t { socket, other };

struct Descriptor {
    std::int32_t fd = -1;  // descriptor number inside its process
    DescriptorType type = DescriptorType::other;
    // The socket's identity (SocketDetails::identity), where the listing
    // tells it: always on Linux (the inode), on macOS for the caller's own
    // sockets only; 0 otherwise.
    std::uint64_t handle = 0;
    // The thread whose descriptor table listed it, where the process's own
    // could not be read (its main thread has ended); 0 otherwise.
    std::uint32_t thread = 0;
};

// TCP states as Linux numbers them (include/net/tcp_states.h), on every
// platform; UDP sockets report established or close.
enum class SocketState : std::uint8_t {
    unknown = 0,
    established = 1,
    syn_sent = 2,
    syn_received = 3,
    fin_wait_1 = 4,
    fin_wait_2 = 5,
    time_wait = 6,
    close = 7,
    close_wait = 8,
    last_ack = 9,
    listen = 10,
    closing = 11,
};

// All a walk learns of one internet socket.
struct SocketDetails {
    std::uint64_t identity = 0;  // the same for every descriptor of the socket (its inode on Linux)
    bool tcp = false;            // TCP, or else UDP (or another internet protocol)
    SocketState state = SocketState::unknown;
    bool ipv6 = false;
    std::array<std::uint8_t, 16> local_address{};  // network byte order; IPv4 in the first 4 bytes
    std::uint16_t local_port = 0;                   // host byte order
    std::uint32_t uid = 0;                          // the socket's owner
    // The interface index that scopes a link-local IPv6 address (the local
    // one or the peer's); 0 for other addresses, or where the platform does
    // not tell.
    std::uint32_t scope = 0;
    // An IPv6 socket that takes IPv6 connections only (IPV6_V6ONLY); false
    // for IPv4 sockets, nothing where the platform does not tell.
    std::optional<bool> v6only{};
    // The peer's address (of the family of the local one) and port; port 0
    // for a socket without a peer (a listener, an unconnected UDP socket).
    std::array<std::uint8_t, 16> peer_address{};
    std::uint16_t peer_port = 0;
};

// Which sockets a lookup reports; the platform may gather only those.
enum class Gather : std::uint8_t {
    tcp_listeners,    // TCP sockets listening on the ports
    udp_unconnected,  // UDP sockets on the ports without a peer
    any,              // every internet socket on the ports, TCP in any state and UDP
    clients,          // every internet socket whose peer's port (not its own) is one of the ports
};

// Who a process is, besides its name: parent, real user and start time (in
// the units of ProcessInfo's start_time).
struct ProcessIdentity {
    std::uint32_t parent = 0;
    std::uint32_t uid = 0;
    std::uint64_t start_time = 0;
};

class Platform {
public:
    // Prepares a lookup of the sockets that `gather` names on `ports` (sorted,
    // without duplicates): sockets of other kinds will not be asked about, so
    // the platform may leave them out of whatever it gathers up front. With
    // `every_port`, `ports` is ignored and sockets on any port count.
    Platform(std::span<const std::uint16_t> ports, Gather gather, bool every_port = false);
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // False when the platform already knows that no process holds a socket on
    // `port` (the peer's port for Gather::clients) that this lookup would
    // report, so the walk can be skipped.
    bool may_hold(std::uint16_t port) const;

    // Every process id, newest first (macOS keeps its process list in that
    // order; Linux sorts by descending pid). False when the process table
    // cannot be read.
    bool list_pids(std::vector<std::uint32_t>& pids);

    // The number of open descriptors of `pid`, when the platform can tell.
    std::optional<std::uint32_t> open_file_count(std::uint32_t pid);

    // The open descriptors of `pid`, replacing the contents of `out`. libproc
    // fills at most `capacity` entries; on Linux `capacity` only sizes the
    // buffer. False when the process cannot be inspected (gone, or not ours).
    bool list_descriptors(std::uint32_t pid, std::size_t capacity, std::vector<Descriptor>& out);

    // All about one socket descriptor listed above, when it is an internet
    // socket this lookup would report.
    std::optional<SocketDetails> socket_details(std::uint32_t pid, const Descriptor& descriptor);

    // The process name, at most text_limit bytes, not yet checked for UTF-8.
    bool process_name(std::uint32_t pid, std::string& out);

    // What `cmd` reports: the executable's path on macOS, the command line on
    // Linux. At most text_limit bytes, not yet checked for UTF-8.
    bool command(std::uint32_t pid, std::string& out);

    // When the process started, in the platform's own units; 0 when unknown.
    std::uint64_t start_time(std::uint32_t pid);

    // Whether the process now at `pid` still holds the socket `identity`
    // through `descriptor`, listed earlier. A walk reads who a matching
    // process is (its start time) after its descriptors, then asks this:
    // should the pid have changed hands before that read, the process now
    // there does not hold the socket through that descriptor, and is not
    // taken for the holder.
    bool still_holds(std::uint32_t pid, const Descriptor& descriptor, std::uint64_t identity);

    // ---- For the machine view ----

    // Every socket this lookup would report, known before the walk whether or
    // not a visible process holds it: the socket table on Linux (empty when
    // /proc cannot be used); nothing on macOS, where sockets are seen only
    // through their holders.
    std::optional<std::vector<SocketDetails>> known_sockets() const;

    // Parent, real user and start time of `pid`.
    std::optional<ProcessIdentity> process_identity(std::uint32_t pid);

    // The module's own sockets (probe/own_listeners.hpp), sorted, as listed
    // once this lookup had fixed the identities of the sockets it reports:
    // on Linux when it read the socket table, on macOS when it listed the
    // caller's descriptors.
    const std::vector<std::uint64_t>& own_sockets() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Why the socket table did not answer.
enum class NoTable : std::uint8_t {
    unreadable,  // no descriptor left, or neither netlink nor /proc/net usable
    none,        // the platform has none (macOS: sockets are seen only through their holders)
};

// The TCP sockets listening on `port`, each once, from the socket table
// alone: one read of the listeners on the port, no walk of the process table.
std::expected<std::vector<SocketDetails>, NoTable> table_listeners(std::uint16_t port);

// ---- Shared by the walks (the owner lookup's and the machine view's) ----

// The socket descriptors of `pid` that a walk describes, replacing the
// contents of `out`: every socket but the module's own (a test of a port,
// made by another thread of the caller). False when the process cannot be
// inspected.
bool list_socket_descriptors(Platform& platform, std::uint32_t pid, std::vector<Descriptor>& out);

}  // namespace vantle::owners

// The platform layer on Linux, over /proc and a socket table taken when the
// lookup starts. A descriptor is a socket when its link reads
// "socket:[INODE]"; its kind, state and port come from the table, which the
// kernel fills through sock_diag (or /proc/net, where netlink is refused).

#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <expected>
#include <functional>

#include "owners/lookup.hpp"
#include "owners/proc_linux.hpp"
#include "probe/own_listeners.hpp"
#include "sockets/socket_table.hpp"

namespace vantle::owners {

using linux_os::ProcPath;

namespace {

constexpr std::size_t directory_buffer_size = 32 * 1024;

// Whether /proc shows the caller's own pid namespace: in another one every
// pid would name a different process than the caller thinks.
bool proc_is_ours(int proc_fd, std::uint32_t self) {
    char link[32];
    const ssize_t length = ::readlinkat(proc_fd, "self", link, sizeof link);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) return false;
    return linux_os::parse_number<std::uint32_t>({link, static_cast<std::size_t>(length)}) == self;
}

bool has_effective_capability(const __user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3], unsigned capability) {
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

// Whether the owner uid of /proc/PID alone tells that the caller cannot read
// the descriptors of a process. /proc/PID belongs to the process's effective
// uid. Reading a descriptor link needs ptrace read access: the caller's
// filesystem uid equal to the process's real, effective and saved uids (and a
// dumpable process), or CAP_SYS_PTRACE. Listing /proc/PID/fd (mode 0500, owned
// by that effective uid, or by root for a process that is not dumpable) needs
// ownership or CAP_DAC_OVERRIDE or CAP_DAC_READ_SEARCH. So for a caller that
// is not root and has none of those capabilities, another process whose
// /proc/PID belongs to another uid is unreadable either way. Anything
// uncertain answers false, and the descriptors are then tried.
bool uid_decides_access(uid_t& fsuid) {
    if (::geteuid() == 0) return false;
    // An invalid uid changes nothing and returns the current one.
    fsuid = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
    if (fsuid == 0) return false;

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return !has_effective_capability(data, CAP_SYS_PTRACE) && !has_effective_capability(data, CAP_DAC_OVERRIDE) &&
           !has_effective_capability(data, CAP_DAC_READ_SEARCH);
}

}  // namespace

struct Platform::State {
    UniqueFd proc;  // /proc; empty when the lookup can find nothing
    std::uint32_t self = 0;
    sockets::SocketSnapshot sockets;
    std::vector<std::uint64_t> own_sockets;
    bool skip_other_uids = false;
    uid_t fsuid = 0;

    // Reused for every directory read, so that listing descriptors allocates
    // nothing per process.
    std::vector<std::byte> entries = std::vector<std::byte>(directory_buffer_size);
    std::vector<std::uint32_t> tasks;
    std::string text;

    // The raw command line of the process last described: its name and its
    // command both come from it.
    std::uint32_t cmdline_pid = 0;
    int cmdline_error = ENOENT;
    std::string cmdline;

    bool other_uid(std::uint32_t pid) const;
    int read_descriptors(const char* directory, std::uint32_t thread, std::vector<Descriptor>& out);
    bool main_thread_ended(std::uint32_t pid);
    int read_task_descriptors(std::uint32_t pid, std::vector<Descriptor>& out);
    int load_cmdline(std::uint32_t pid);
};

bool Platform::State::other_uid(std::uint32_t pid) const {
    if (!skip_other_uids || pid == self) return false;
    struct stat status;
    if (::fstatat(proc.get(), ProcPath(pid, "").c_str(), &status, 0) != 0) return false;
    return status.st_uid != fsuid;
}

// Appends the descriptors listed in `directory` (relative to /proc). Returns
// 0, or the errno that made the process unreadable; it stops at the first
// refusal, since the rest would be refused too.
int Platform::State::read_descriptors(const char* directory, std::uint32_t thread, std::vector<Descriptor>& out) {
    const UniqueFd listing = linux_os::open_at(proc.get(), directory, O_RDONLY | O_DIRECTORY);
    if (!listing) return errno;
    int refused = 0;
    const int error = linux_os::for_each_entry(listing.get(), entries, [&](std::string_view name) {
        const std::optional<std::uint32_t> number = linux_os::parse_number<std::uint32_t>(name);
        if (!number) return true;
        // Long enough for any socket link; a longer link is no socket.
        char link[48];
        // getdents64 ends every name with a NUL, so name.data() is a C string.
        const ssize_t length = ::readlinkat(listing.get(), name.data(), link, sizeof link);
        if (length < 0) {
            if (errno == EACCES || errno == EPERM) {
                refused = errno;
                return false;
            }
            return true;  // closed since the listing
        }
        Descriptor descriptor;
        descriptor.fd = static_cast<std::int32_t>(*number);
        descriptor.thread = thread;
        if (static_cast<std::size_t>(length) < sizeof link) {
            if (const auto inode = linux_os::parse_socket_link({link, static_cast<std::size_t>(length)})) {
                descriptor.type = DescriptorType::socket;
                descriptor.handle = *inode;
            }
        }
        out.push_back(descriptor);
        return true;
    });
    return refused != 0 ? refused : error;
}

// A zombie thread-group leader with live threads: the process goes on, but
// its main thread is gone.
bool Platform::State::main_thread_ended(std::uint32_t pid) {
    // /proc/PID/task has one link per thread besides "." and "..": a process
    // with a single thread (every kernel thread, say) is settled by one
    // fstatat instead of reading its stat.
    struct stat task_dir;
    if (::fstatat(proc.get(), ProcPath(pid, "task").c_str(), &task_dir, 0) != 0 || task_dir.st_nlink <= 3)
        return false;
    const std::expected<linux_os::ProcStat, int> stat = linux_os::read_stat(proc.get(), ProcPath(pid, "stat").c_str(), text);
    return stat && stat->state == 'Z' && stat->threads > 1;
}

// The descriptors as the remaining threads list them. Returns 0, or the errno
// that made the process unreadable.
int Platform::State::read_task_descriptors(std::uint32_t pid, std::vector<Descriptor>& out) {
    const UniqueFd task_dir = linux_os::open_at(proc.get(), ProcPath(pid, "task").c_str(), O_RDONLY | O_DIRECTORY);
    if (!task_dir) return errno;
    tasks.clear();
    const int error = linux_os::for_each_entry(task_dir.get(), entries, [&](std::string_view name) {
        if (const auto tid = linux_os::parse_number<std::uint32_t>(name); tid && *tid != pid) tasks.push_back(*tid);
        return true;
    });
    if (error != 0) return error;
    // Threads normally share one descriptor table, but one made without
    // CLONE_FILES has its own; duplicates do no harm to the walk.
    for (const std::uint32_t tid : tasks) {
        const int task_error = read_descriptors(ProcPath(pid, tid, "fd").c_str(), tid, out);
        if (task_error == EACCES || task_error == EPERM) return task_error;
    }
    return 0;
}

int Platform::State::load_cmdline(std::uint32_t pid) {
    if (cmdline_pid != pid) {
        cmdline_pid = pid;
        // One byte beyond the limit tells a command line that had to be cut.
        cmdline_error = linux_os::read_file(proc.get(), ProcPath(pid, "cmdline").c_str(), text_limit + 1, cmdline);
    }
    return cmdline_error;
}

namespace {

// The sockets of the table that a lookup of `gather` reports.
sockets::Selection selection_of(std::span<const std::uint16_t> ports, Gather gather, bool every_port) {
    sockets::Selection selection;
    selection.ports = ports;
    selection.every_port = every_port;
    switch (gather) {
        case Gather::tcp_listeners:
            selection.tcp_states = 1u << sockets::tcp_state_listen;
            break;
        case Gather::udp_unconnected:
            selection.udp_states = 1u << sockets::udp_state_unconnected;
            break;
        case Gather::clients:
            selection.side = sockets::PortSide::remote;
            [[fallthrough]];
        case Gather::any:
            selection.tcp_states = selection.udp_states = sockets::held_states;
            break;
    }
    return selection;
}

}  // namespace

Platform::Platform(std::span<const std::uint16_t> ports, Gather gather, bool every_port)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.proc = linux_os::open_at(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY);
    state.self = static_cast<std::uint32_t>(::getpid());
    if (!state.proc || !proc_is_ours(state.proc.get(), state.self)) {
        state.proc.reset();
        return;
    }
    state.sockets = sockets::SocketSnapshot::take(state.proc.get(), selection_of(ports, gather, every_port));
    // After the table: a socket of the module's that the table shows was
    // listed before it was bound, so it is in this copy unless it has been
    // closed since, and then no descriptor of the caller leads to it.
    state.own_sockets = probe::own_sockets_now();
    state.skip_other_uids = uid_decides_access(state.fsuid);
}

Platform::~Platform() = default;

bool Platform::may_hold(std::uint16_t port) const {
    return state_->proc && state_->sockets.has_port(port);
}

bool Platform::list_pids(std::vector<std::uint32_t>& pids) {
    State& state = *state_;
    pids.clear();
    // /proc stays open for the whole lookup: list it from its start.
    if (!state.proc || ::lseek(state.proc.get(), 0, SEEK_SET) < 0) return false;
    const int error = linux_os::for_each_entry(state.proc.get(), state.entries, [&](std::string_view name) {
        if (const auto pid = linux_os::parse_number<std::uint32_t>(name)) pids.push_back(*pid);
        return true;
    });
    if (error != 0) return false;
    // Newest first, as macOS lists them: the server just started is met at
    // once. A higher pid is the cheap stand-in for a later start, since pids
    // wrap only after pid_max.
    std::sort(pids.begin(), pids.end(), std::greater<>());
    return true;
}

// Linux has no cheap count of a process's descriptors; list_descriptors
// grows its buffer as it goes.
std::optional<std::uint32_t> Platform::open_file_count(std::uint32_t) {
    return std::nullopt;
}

bool Platform::list_descriptors(std::uint32_t pid, std::size_t, std::vector<Descriptor>& out) {
    State& state = *state_;
    out.clear();
    if (!state.proc || state.other_uid(pid)) return false;
    const int error = state.read_descriptors(ProcPath(pid, "fd").c_str(), 0, out);
    if (error == 0 && !out.empty()) return true;
    // Once the main thread has ended, /proc/PID/fd lists nothing, and it is
    // root's (the leader has no memory map left), so its owner is refused it.
    // The remaining threads still show the descriptors.
    if (error != 0 && error != EACCES && error != EPERM) return false;
    if (!state.main_thread_ended(pid)) return error == 0;
    out.clear();
    return state.read_task_descriptors(pid, out) == 0;
}

bool Platform::process_name(std::uint32_t pid, std::string& out) {
    State& state = *state_;
    out.clear();
    if (!state.proc || linux_os::read_file(state.proc.get(), ProcPath(pid, "comm").c_str(), 64, state.text) != 0) {
        return false;
    }
    std::string_view comm = state.text;
    if (comm.ends_with('\n')) comm.remove_suffix(1);

    std::string_view first_argument;
    if (state.load_cmdline(pid) == 0) {
        const std::string_view line = state.cmdline;
        const std::size_t end = line.find('\0');
        // An argument cut off by the read limit would give a wrong basename.
        if (end != std::string_view::npos || line.size() <= text_limit) first_argument = line.substr(0, end);
    }
    std::string_view name = linux_os::extend_name(comm, first_argument, {});
    // The executable's name is read only when the kernel cut the name short
    // and the first argument did not restore it.
    char path[text_limit + 1];
    if (comm.size() == linux_os::kernel_name_limit && name == comm) {
        const ssize_t length = ::readlinkat(state.proc.get(), ProcPath(pid, "exe").c_str(), path, sizeof path);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof path) {
            std::string_view executable(path, static_cast<std::size_t>(length));
            if (executable.ends_with(" (deleted)")) executable.remove_suffix(10);
            name = linux_os::extend_name(comm, {}, executable);
        }
    }
    // The kernel cut the name at its limit, perhaps inside a character: what
    // it kept of that character goes, so that the rest still reads as UTF-8.
    if (name == comm && comm.size() == linux_os::kernel_name_limit)
        name = name.substr(0, utf8_length_without_cut_tail(name));
    out.assign(name.substr(0, text_limit));
    return !out.empty();
}

bool Platform::command(std::uint32_t pid, std::string& out) {
    State& state = *state_;
    out.clear();
    if (!state.proc || state.load_cmdline(pid) != 0) return false;
    out = state.cmdline;
    linux_os::join_command_line(out);
    out.resize(utf8_prefix_length(out, text_limit));
    return true;
}

bool Platform::still_holds(std::uint32_t pid, const Descriptor& descriptor, std::uint64_t identity) {
    State& state = *state_;
    if (!state.proc) return false;
    const std::string fd = "fd/" + std::to_string(descriptor.fd);
    const ProcPath path = descriptor.thread != 0 ? ProcPath(pid, descriptor.thread, fd) : ProcPath(pid, fd);
    char link[48];
    const ssize_t length = ::readlinkat(state.proc.get(), path.c_str(), link, sizeof link);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) return false;
    return linux_os::parse_socket_link({link, static_cast<std::size_t>(length)}) == identity;
}

std::uint64_t Platform::start_time(std::uint32_t pid) {
    State& state = *state_;
    if (!state.proc) return 0;
    const std::expected<linux_os::ProcStat, int> stat =
        linux_os::read_stat(state.proc.get(), ProcPath(pid, "stat").c_str(), state.text);
    return stat ? stat->start_time : 0;
}

namespace {

SocketDetails details_of(const sockets::InetSocket& socket) {
    SocketDetails details;
    details.identity = socket.inode;
    details.tcp = socket.protocol == IPPROTO_TCP;
    details.state = static_cast<SocketState>(socket.state);
    details.ipv6 = socket.family == AF_INET6;
    details.local_address = socket.local_address;
    details.local_port = socket.local_port;
    details.uid = socket.uid;
    details.v6only = details.ipv6 ? socket.v6only : false;
    details.peer_address = socket.remote_address;
    details.peer_port = socket.remote_port;
    // fe80::/10: the address means something only together with its interface.
    const auto link_local = [&details](const std::array<std::uint8_t, 16>& address) {
        return details.ipv6 && address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
    };
    if (link_local(details.local_address) || (details.peer_port != 0 && link_local(details.peer_address)))
        details.scope = socket.interface;
    return details;
}

}  // namespace

std::optional<std::vector<SocketDetails>> Platform::known_sockets() const {
    std::vector<SocketDetails> known;
    if (!state_->proc) return known;
    known.reserve(state_->sockets.sockets().size());
    for (const sockets::InetSocket& socket : state_->sockets.sockets()) known.push_back(details_of(socket));
    return known;
}

std::expected<std::vector<SocketDetails>, NoTable> table_listeners(std::uint16_t port) {
    // /proc is read only where netlink is refused (for /proc/net); the pid
    // namespace it shows does not matter to the socket table.
    const UniqueFd proc = linux_os::open_at(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY);
    const std::span<const std::uint16_t> ports(&port, 1);
    std::vector<sockets::InetSocket> read;
    sockets::DiagChannel channel;
    // The module's own sockets, listed before and after the read: one that the
    // table shows was listed before it was bound, so it is in the first copy,
    // or was listed since and, unless it has already been closed again, is in
    // the second. (A bind test that comes and goes between the two copies is
    // for the caller to tell apart by reading again.)
    std::vector<std::uint64_t> own = probe::own_sockets_now();
    if (!sockets::read_sockets(proc.get(), channel, IPPROTO_TCP, 1u << sockets::tcp_state_listen, ports,
                               sockets::PortSide::local, read))
        return std::unexpected(NoTable::unreadable);
    const std::vector<std::uint64_t> own_after = probe::own_sockets_now();
    own.insert(own.end(), own_after.begin(), own_after.end());
    std::sort(own.begin(), own.end());
    // Kept to the listeners on the port (/proc/net lists every socket), each once.
    const sockets::SocketSnapshot listeners(std::move(read), selection_of(ports, Gather::tcp_listeners, false));
    std::vector<SocketDetails> found;
    found.reserve(listeners.sockets().size());
    for (const sockets::InetSocket& socket : listeners.sockets()) {
        if (!std::binary_search(own.begin(), own.end(), socket.inode)) found.push_back(details_of(socket));
    }
    return found;
}

std::optional<SocketDetails> Platform::socket_details(std::uint32_t, const Descriptor& descriptor) {
    // The snapshot holds every socket this lookup could report; any other
    // socket is passed over like one that cannot be described.
    const sockets::InetSocket* socket = state_->sockets.find(descriptor.handle);
    if (socket == nullptr) return std::nullopt;
    return details_of(*socket);
}

const std::vector<std::uint64_t>& Platform::own_sockets() const { return state_->own_sockets; }

std::optional<ProcessIdentity> Platform::process_identity(std::uint32_t pid) {
    State& state = *state_;
    if (!state.proc) return std::nullopt;
    const std::expected<linux_os::ProcStat, int> stat =
        linux_os::read_stat(state.proc.get(), ProcPath(pid, "stat").c_str(), state.text);
    if (!stat) return std::nullopt;
    // The uids come first in status, well within its first page.
    if (linux_os::read_file(state.proc.get(), ProcPath(pid, "status").c_str(), 4096, state.text) != 0) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> uid = linux_os::parse_status_uid(state.text);
    if (!uid) return std::nullopt;
    return ProcessIdentity{stat->parent, *uid, stat->start_time};
}

std::expected<std::uint64_t, int> process_start_time(std::uint32_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
    std::string text;
    return linux_os::read_stat(AT_FDCWD, path, text).transform([](const linux_os::ProcStat& stat) {
        return stat.start_time;
    });
}

}  // namespace vantle::owners

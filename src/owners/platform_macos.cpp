// The platform layer on macOS: a thin adapter over libproc. Each operation is
// one libproc call with the buffer sizes the public headers define.

#include <libproc.h>
#include <sys/param.h>
#include <sys/proc_info.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <expected>
#include <span>

#include "owners/lookup.hpp"
#include "probe/own_listeners.hpp"

namespace vantle::owners {
namespace {

// The BSD info of `pid`, which carries its open-file count and its start
// time; or the errno of the failed call (ESRCH once the process has exited).
std::expected<proc_bsdinfo, int> read_bsd_info(std::uint32_t pid) {
    proc_bsdinfo info{};
    errno = 0;
    if (::proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, sizeof info) > 0) return info;
    return std::unexpected(errno != 0 ? errno : EIO);
}

// When the process started, in microseconds since the epoch.
std::uint64_t start_time_of(const proc_bsdinfo& info) {
    return info.pbi_start_tvsec * 1'000'000 + info.pbi_start_tvusec;
}

// The text that `call` (proc_name or proc_pidpath) writes for `pid` into
// `buffer`, copied into `out`.
bool text_of(int (*call)(int, void*, std::uint32_t), std::uint32_t pid, std::span<char> buffer, std::string& out) {
    out.clear();
    const int length = call(static_cast<int>(pid), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (length <= 0) return false;
    out.assign(buffer.data(), std::min(static_cast<std::size_t>(length), buffer.size()));
    return true;
}

}  // namespace

struct Platform::State {
    std::vector<proc_fdinfo> descriptors;
    std::vector<std::uint64_t> own_sockets;
    char text[text_limit];  // proc_name and proc_pidpath write here
};

Platform::Platform(std::span<const std::uint16_t>, Gather, bool) : state_(std::make_unique<State>()) {}

Platform::~Platform() = default;

// libproc offers no view of sockets apart from the processes holding them.
bool Platform::may_hold(std::uint16_t) const {
    return true;
}

bool Platform::list_pids(std::vector<std::uint32_t>& pids) {
    pids.clear();
    // Only here does errno tell a failure from an empty answer.
    errno = 0;
    const int needed = ::proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    if (needed < 0 || (needed == 0 && errno != 0)) return false;
    if (needed == 0) return true;

    std::vector<int> listed(static_cast<std::size_t>(needed) / sizeof(int));
    errno = 0;
    const int filled = ::proc_listpids(PROC_ALL_PIDS, 0, listed.data(), static_cast<int>(listed.size() * sizeof(int)));
    if (filled < 0 || (filled == 0 && errno != 0)) return false;
    const std::size_t count = std::min(listed.size(), static_cast<std::size_t>(filled) / sizeof(int));
    pids.reserve(count);
    for (std::size_t i = 0; i < count; ++i) pids.push_back(static_cast<std::uint32_t>(listed[i]));
    return true;
}

std::optional<std::uint32_t> Platform::open_file_count(std::uint32_t pid) {
    const std::expected<proc_bsdinfo, int> info = read_bsd_info(pid);
    if (!info) return std::nullopt;
    return info->pbi_nfiles;
}

bool Platform::list_descriptors(std::uint32_t pid, std::size_t capacity, std::vector<Descriptor>& out) {
    out.clear();
    std::vector<proc_fdinfo>& listed = state_->descriptors;
    listed.resize(std::min(capacity, static_cast<std::size_t>(INT_MAX) / sizeof(proc_fdinfo)));
    const int filled = ::proc_pidinfo(static_cast<int>(pid), PROC_PIDLISTFDS, 0, listed.data(),
                                      static_cast<int>(listed.size() * sizeof(proc_fdinfo)));
    if (filled <= 0) return false;
    const std::size_t count = std::min(listed.size(), static_cast<std::size_t>(filled) / sizeof(proc_fdinfo));
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Descriptor descriptor;
        descriptor.fd = listed[i].proc_fd;
        descriptor.type = listed[i].proc_fdtype == PROX_FDTYPE_SOCKET ? DescriptorType::socket : DescriptorType::other;
        out.push_back(descriptor);
    }
    if (pid != static_cast<std::uint32_t>(::getpid())) return true;
    // The caller's own sockets get their identities now, and the module's own
    // sockets are listed after: one of them described here was listed before
    // it was bound, so it is in that copy unless it has been closed since,
    // and socket_details then finds another identity behind its number, or
    // none.
    for (Descriptor& descriptor : out) {
        if (descriptor.type == DescriptorType::socket)
            descriptor.handle = probe::socket_identity(descriptor.fd).value_or(0);
    }
    state_->own_sockets = probe::own_sockets_now();
    return true;
}

bool Platform::process_name(std::uint32_t pid, std::string& out) {
    if (!text_of(::proc_name, pid, state_->text, out)) return false;
    // proc_name gives the process name, or the command name where none is
    // registered, each from a field of proc_bsdinfo that ends in its NUL:
    // at most 2 * MAXCOMLEN - 1 and MAXCOMLEN - 1 bytes. A name of exactly
    // that length may have been cut inside a character: what was kept of it
    // goes, so that the rest still reads as UTF-8. A shorter name was not
    // cut, and a broken sequence in it is the name's own.
    if (out.size() == MAXCOMLEN - 1 || out.size() == 2 * MAXCOMLEN - 1)
        out.resize(utf8_length_without_cut_tail(out));
    return true;
}

bool Platform::command(std::uint32_t pid, std::string& out) {
    return text_of(::proc_pidpath, pid, state_->text, out);
}

bool Platform::still_holds(std::uint32_t pid, const Descriptor& descriptor, std::uint64_t identity) {
    socket_fdinfo socket{};
    if (::proc_pidfdinfo(static_cast<int>(pid), descriptor.fd, PROC_PIDFDSOCKETINFO, &socket, sizeof socket) <= 0)
        return false;
    return socket.psi.soi_pcb == identity;
}

// Microseconds since the epoch.
std::uint64_t Platform::start_time(std::uint32_t pid) {
    return process_start_time(pid).value_or(0);
}

std::optional<std::vector<SocketDetails>> Platform::known_sockets() const {
    return std::nullopt;
}

std::expected<std::vector<SocketDetails>, NoTable> table_listeners(std::uint16_t) {
    return std::unexpected(NoTable::none);
}

std::optional<SocketDetails> Platform::socket_details(std::uint32_t pid, const Descriptor& descriptor) {
    // TSI_S_* in the order of their numbers, as Linux numbers them.
    static constexpr SocketState tcp_states[] = {
        SocketState::close,      SocketState::listen,     SocketState::syn_sent,   SocketState::syn_received,
        SocketState::established, SocketState::close_wait, SocketState::fin_wait_1, SocketState::closing,
        SocketState::last_ack,   SocketState::fin_wait_2, SocketState::time_wait,
    };
    socket_fdinfo socket{};
    if (::proc_pidfdinfo(static_cast<int>(pid), descriptor.fd, PROC_PIDFDSOCKETINFO, &socket, sizeof socket) <= 0) {
        return std::nullopt;
    }
    SocketDetails details;
    const in_sockinfo* internet = nullptr;
    switch (socket.psi.soi_kind) {
        case SOCKINFO_TCP: {
            details.tcp = true;
            const int state = socket.psi.soi_proto.pri_tcp.tcpsi_state;
            if (state >= 0 && static_cast<std::size_t>(state) < std::size(tcp_states)) details.state = tcp_states[state];
            internet = &socket.psi.soi_proto.pri_tcp.tcpsi_ini;
            break;
        }
        case SOCKINFO_IN:
            internet = &socket.psi.soi_proto.pri_in;
            details.state = internet->insi_fport != 0 ? SocketState::established : SocketState::close;
            break;
        default:
            return std::nullopt;
    }
    details.identity = socket.psi.soi_pcb;
    // A descriptor of the caller's that now leads to another socket than the
    // one listed (see list_descriptors) is passed over like a closed one.
    if (descriptor.handle != 0 && descriptor.handle != details.identity) return std::nullopt;
    details.ipv6 = (internet->insi_vflag & INI_IPV6) != 0;
    if (details.ipv6) {
        std::memcpy(details.local_address.data(), &internet->insi_laddr.ina_6, 16);
        std::memcpy(details.peer_address.data(), &internet->insi_faddr.ina_6, 16);
    } else {
        std::memcpy(details.local_address.data(), &internet->insi_laddr.ina_46.i46a_addr4, 4);
        std::memcpy(details.peer_address.data(), &internet->insi_faddr.ina_46.i46a_addr4, 4);
    }
    details.local_port = ntohs(static_cast<std::uint16_t>(internet->insi_lport));
    details.peer_port = ntohs(static_cast<std::uint16_t>(internet->insi_fport));
    details.uid = socket.psi.soi_stat.vst_uid;
    // libproc's public structures do not carry IPV6_V6ONLY.
    if (!details.ipv6) details.v6only = false;
    return details;
}

const std::vector<std::uint64_t>& Platform::own_sockets() const { return state_->own_sockets; }

std::optional<ProcessIdentity> Platform::process_identity(std::uint32_t pid) {
    const std::expected<proc_bsdinfo, int> info = read_bsd_info(pid);
    if (!info) return std::nullopt;
    return ProcessIdentity{info->pbi_ppid, info->pbi_ruid, start_time_of(*info)};
}

std::expected<std::uint64_t, int> process_start_time(std::uint32_t pid) {
    return read_bsd_info(pid).transform(start_time_of);
}

}  // namespace vantle::owners

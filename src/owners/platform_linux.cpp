// The platform layer on Linux, over /proc and a sock_diag snapshot taken when
// the lookup starts. A descriptor is a socket when its link reads
// "socket:[INODE]"; its kind, state and port come from the snapshot, which
// the kernel fills through sock_diag (or /proc/net, where netlink is
// refused).

#include "owners/platform_linux.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expected>
#include <functional>

#include "owners/lookup.hpp"

namespace vantle::owners::linux_os {
namespace {

// ---- Files and directories of /proc ----

// openat() with O_CLOEXEC added and EINTR retried.
UniqueFd open_at(int dir_fd, const char* path, int flags) noexcept {
    for (;;) {
        const int fd = ::openat(dir_fd, path, flags | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return UniqueFd(fd);
    }
}

// No limit on what read_file reads.
constexpr std::size_t unlimited = static_cast<std::size_t>(-1);
// The buffer a streamed file is read through.
constexpr std::size_t stream_buffer_size = 64 * 1024;

// Reads the file at `path` (relative to `dir_fd`) from its start into `text`,
// until its end or `limit` bytes; files of /proc hand out at most a page per
// read(). With `take_lines`, the text is streamed instead: complete lines are
// handed to it as they come and dropped, then what is left at the end.
// Returns 0 or the errno of the failing call, with `text` emptied.
int read_file(int dir_fd, const char* path, std::size_t limit, std::string& text,
              const std::function<void(std::string_view)>& take_lines = {}) {
    text.clear();
    const UniqueFd file = open_at(dir_fd, path, O_RDONLY);
    if (!file) return errno;
    text.resize(take_lines ? stream_buffer_size : limit);
    std::size_t filled = 0;
    std::size_t total = 0;
    while (total < limit) {
        if (filled == text.size()) text.resize(text.size() * 2);  // a line longer than the buffer
        const ssize_t got = ::read(file.get(), text.data() + filled, std::min(text.size() - filled, limit - total));
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            text.clear();
            return error;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
        total += static_cast<std::size_t>(got);
        if (!take_lines) continue;
        const std::size_t complete = std::string_view(text.data(), filled).rfind('\n');
        if (complete == std::string_view::npos) continue;
        take_lines({text.data(), complete + 1});
        text.erase(0, complete + 1);
        filled -= complete + 1;
        text.resize(std::max(text.size(), stream_buffer_size));
    }
    text.resize(filled);
    if (take_lines) take_lines(text);
    return 0;
}

// The next field of `text` between `separators`, taken off its front; empty
// when none is left.
std::string_view next_field(std::string_view& text, std::string_view separators = " ") {
    text.remove_prefix(std::min(text.find_first_not_of(separators), text.size()));
    const std::size_t length = std::min(text.find_first_of(separators), text.size());
    const std::string_view field = text.substr(0, length);
    text.remove_prefix(length);
    return field;
}

// Calls `on_entry(name)` for each entry of the open directory `dir_fd` other
// than "." and "..", reading on from the directory's current offset (the start,
// for one just opened) with getdents64 into `buffer`, until `on_entry`
// returns false. Returns 0 or the errno of the failing call.
template <class OnEntry>
int for_each_entry(int dir_fd, std::vector<std::byte>& buffer, OnEntry&& on_entry) {
    for (;;) {
        // The system call itself: glibc has wrapped it only since 2.30, and
        // the wheels are built against older ones.
        const auto got = static_cast<ssize_t>(::syscall(SYS_getdents64, dir_fd, buffer.data(), buffer.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        // Records are read with memcpy: the buffer promises no alignment.
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            unsigned short record_length = 0;
            std::memcpy(&record_length, buffer.data() + at + offsetof(struct dirent64, d_reclen),
                        sizeof record_length);
            if (record_length == 0) return EIO;
            const char* name = reinterpret_cast<const char*>(buffer.data() + at + offsetof(struct dirent64, d_name));
            const std::string_view entry(name, ::strnlen(name, record_length - offsetof(struct dirent64, d_name)));
            if (entry != "." && entry != ".." && !on_entry(entry)) return 0;
            at += record_length;
        }
    }
}

char* append(char* at, char* end, std::string_view text) noexcept {
    const std::size_t room = static_cast<std::size_t>(end - at);
    const std::size_t count = std::min(room, text.size());
    std::memcpy(at, text.data(), count);
    return at + count;
}

char* append(char* at, char* end, std::uint32_t number) noexcept {
    return std::to_chars(at, end, number).ptr;
}

// "<pid>/<rest>" (or "<pid>" when `rest` is empty) as a NUL-terminated path
// relative to /proc.
class ProcPath {
public:
    ProcPath(std::uint32_t pid, std::string_view rest) noexcept;
    ProcPath(std::uint32_t pid, std::uint32_t tid, std::string_view rest) noexcept;  // "<pid>/task/<tid>/<rest>"
    const char* c_str() const noexcept { return text_; }

private:
    char text_[96];
};

ProcPath::ProcPath(std::uint32_t pid, std::string_view rest) noexcept {
    char* const end = text_ + sizeof text_ - 1;
    char* at = append(text_, end, pid);
    if (!rest.empty()) {
        at = append(at, end, "/");
        at = append(at, end, rest);
    }
    *at = '\0';
}

ProcPath::ProcPath(std::uint32_t pid, std::uint32_t tid, std::string_view rest) noexcept {
    char* const end = text_ + sizeof text_ - 1;
    char* at = append(text_, end, pid);
    at = append(at, end, "/task/");
    at = append(at, end, tid);
    at = append(at, end, "/");
    at = append(at, end, rest);
    *at = '\0';
}

// The text after the last '/', or all of it.
std::string_view base_name(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Bytes of /proc/PID/stat read; the fields the lookup needs come well before.
constexpr std::size_t stat_limit = 4096;

// /proc/PID/stat at `path` (relative to `dir_fd`), read into `text` and
// parsed; or the errno of the failed read, EIO for a line that does not parse.
std::expected<ProcStat, int> read_stat(int dir_fd, const char* path, std::string& text) {
    if (const int error = read_file(dir_fd, path, stat_limit, text); error != 0) return std::unexpected(error);
    const std::optional<ProcStat> stat = parse_stat(text);
    if (!stat) return std::unexpected(EIO);
    return *stat;
}

// ---- sock_diag ----

// Big enough for the largest chunk the kernel puts in one dump datagram; the
// kernel also sizes later chunks after the reader's buffer.
constexpr std::size_t receive_buffer_size = 32 * 1024;

template <class T>
void put(std::vector<std::byte>& out, const T& value) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <class T>
T get(std::span<const std::byte> data, std::size_t at) {
    T value;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

// The most ports a kernel filter is built for; a longer list is dumped whole
// and filtered in user space only, which keeps the request small.
constexpr std::size_t max_filtered_ports = 64;

// inet_diag bytecode accepting exactly the sockets whose local port is one of
// `ports` (not empty). Uses INET_DIAG_BC_S_COND, which every kernel with
// inet_diag understands, rather than S_EQ (Linux 4.16 and later).
std::vector<std::byte> port_filter(std::span<const std::uint16_t> ports) {
    // One condition per port; a match jumps past the end (accept), a miss
    // falls through to the next condition, and a miss on the last one jumps
    // one op beyond the end (reject). The jumps between conditions let the
    // kernel's audit reach every op along the "yes" edges.
    constexpr auto condition_size = static_cast<unsigned short>(sizeof(inet_diag_bc_op) + sizeof(inet_diag_hostcond));
    constexpr auto jump_size = static_cast<unsigned short>(sizeof(inet_diag_bc_op));
    const std::size_t total = ports.size() * (condition_size + jump_size) - jump_size;

    std::vector<std::byte> code;
    code.reserve(total);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const bool last = i + 1 == ports.size();
        put(code, inet_diag_bc_op{INET_DIAG_BC_S_COND, static_cast<unsigned char>(condition_size),
                                  static_cast<unsigned short>(condition_size + jump_size)});
        inet_diag_hostcond condition{};
        condition.family = AF_UNSPEC;  // any address, compare the port only
        condition.prefix_len = 0;
        condition.port = ports[i];
        put(code, condition);
        if (!last) {
            const std::size_t to_end = total - code.size();
            put(code, inet_diag_bc_op{INET_DIAG_BC_JMP, static_cast<unsigned char>(jump_size),
                                      static_cast<unsigned short>(to_end)});
        }
    }
    return code;
}

// ---- /proc/net ----

bool wanted(const InetSocket& socket, std::span<const std::uint16_t> ports, bool listen_only) {
    if (socket.inode == 0) return false;  // TIME_WAIT, NEW_SYN_RECV: no descriptor holds them
    if (listen_only && (socket.protocol != IPPROTO_TCP || socket.state != tcp_state_listen)) return false;
    return std::binary_search(ports.begin(), ports.end(), socket.local_port);
}

// One line of /proc/net/{tcp,udp}{,6}: "sl: local remote st tx:rx tr:tm
// retrnsmt uid timeout inode ...", addresses as HEX:PORT in hexadecimal.
bool parse_line(std::string_view line, std::uint8_t protocol, InetSocket& socket) {
    const std::string_view slot = next_field(line);
    if (slot.empty() || slot.back() != ':') return false;  // the header line
    const std::string_view local = next_field(line);
    const std::size_t colon = local.rfind(':');
    if (colon == std::string_view::npos) return false;
    const auto port = parse_number<std::uint16_t>(local.substr(colon + 1), 16);
    next_field(line);  // remote address
    const auto state = parse_number<std::uint8_t>(next_field(line), 16);
    for (int skipped = 0; skipped < 5; ++skipped) next_field(line);  // queues, timer, retransmits, uid, timeout
    const auto inode = parse_number<std::uint64_t>(next_field(line));
    if (!port || !state || !inode) return false;
    socket = InetSocket{*inode, *port, protocol, *state};
    return true;
}

}  // namespace

std::vector<std::byte> dump_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                                    std::span<const std::uint16_t> ports, std::uint32_t seq) {
    std::vector<std::byte> filter;
    if (!ports.empty() && ports.size() <= max_filtered_ports) filter = port_filter(ports);

    const std::size_t attribute_length = filter.empty() ? 0 : NLA_HDRLEN + filter.size();
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(sizeof(inet_diag_req_v2)) + NLA_ALIGN(attribute_length));
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;
    inet_diag_req_v2 request{};
    request.sdiag_family = family;
    request.sdiag_protocol = protocol;
    request.idiag_states = states;

    std::vector<std::byte> message;
    message.reserve(header.nlmsg_len);
    put(message, header);
    put(message, request);
    message.resize(NLMSG_LENGTH(sizeof(inet_diag_req_v2)));
    if (!filter.empty()) {
        nlattr attribute{};
        attribute.nla_len = static_cast<std::uint16_t>(attribute_length);
        attribute.nla_type = INET_DIAG_REQ_BYTECODE;
        put(message, attribute);
        message.insert(message.end(), filter.begin(), filter.end());
        message.resize(header.nlmsg_len);
    }
    return message;
}

DumpProgress read_dump_datagram(std::span<const std::byte> datagram, std::uint32_t seq, std::uint32_t port_id,
                                std::uint8_t protocol, std::vector<InetSocket>& out, int& error) {
    // Records the reason and ends the reading.
    const auto failed = [&error](int reason) {
        error = reason;
        return DumpProgress::failed;
    };
    std::size_t at = 0;
    while (datagram.size() - at >= sizeof(nlmsghdr)) {
        const auto header = get<nlmsghdr>(datagram, at);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - at) return failed(EBADMSG);
        const std::span<const std::byte> payload =
            datagram.subspan(at + NLMSG_HDRLEN, header.nlmsg_len - std::min<std::size_t>(header.nlmsg_len, NLMSG_HDRLEN));
        at += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size() - at);

        // Left over from an earlier request on the same socket.
        if (header.nlmsg_seq != seq || header.nlmsg_pid != port_id) continue;

        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                // Since Linux 4.4 the kernel puts the dump's own result here.
                if (payload.size() >= sizeof(int)) {
                    const int status = get<int>(payload, 0);
                    if (status < 0) return failed(-status);
                }
                return DumpProgress::done;
            case NLMSG_ERROR: {
                if (payload.size() < sizeof(int)) return failed(EBADMSG);
                const int status = get<int>(payload, 0);
                if (status == 0) return DumpProgress::done;  // an acknowledgement ends the answer too
                return failed(status < 0 ? -status : EBADMSG);
            }
            case NLMSG_OVERRUN:
                return failed(ENOBUFS);
            case SOCK_DIAG_BY_FAMILY: {
                if (payload.size() < sizeof(inet_diag_msg)) return failed(EBADMSG);
                const auto socket = get<inet_diag_msg>(payload, 0);
                out.push_back(InetSocket{socket.idiag_inode, ntohs(socket.id.idiag_sport), protocol, socket.idiag_state});
                break;
            }
            default:
                break;  // NLMSG_NOOP and anything unknown
        }
    }
    if (at != datagram.size()) return failed(EBADMSG);
    return DumpProgress::more;
}

bool DiagChannel::open() {
    socket_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket_) return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;  // nl_pid 0: the kernel picks the port id
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    socklen_t length = sizeof local;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 || length != sizeof local) {
        return false;
    }
    port_id_ = local.nl_pid;
    buffer_.resize(receive_buffer_size);
    return true;
}

bool DiagChannel::dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                       std::span<const std::uint16_t> ports, std::vector<InetSocket>& out) {
    const std::size_t kept = out.size();
    if (run(family, protocol, states, ports, out)) return true;
    out.resize(kept);
    // The socket may still hold part of the failed answer; start afresh.
    socket_.reset();
    return false;
}

bool DiagChannel::run(std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                      std::span<const std::uint16_t> ports, std::vector<InetSocket>& out) {
    if (!socket_ && !open()) return false;

    const std::uint32_t seq = ++seq_;
    const std::vector<std::byte> request = dump_request(family, protocol, states, ports, seq);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(socket_.get(), request.data(), request.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(request.size())) break;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }

    for (;;) {
        sockaddr_nl sender{};
        iovec vector{buffer_.data(), buffer_.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(socket_.get(), &message, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0 || (message.msg_flags & MSG_TRUNC) != 0) return false;
        if (sender.nl_pid != 0) continue;  // only the kernel answers a dump

        int error = 0;
        switch (read_dump_datagram({buffer_.data(), static_cast<std::size_t>(got)}, seq, port_id_, protocol, out,
                                   error)) {
            case DumpProgress::more:
                break;
            case DumpProgress::done:
                return true;
            case DumpProgress::failed:
                return false;
        }
    }
}

void parse_proc_net(std::string_view text, std::uint8_t protocol, std::vector<InetSocket>& out) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        InetSocket socket;
        if (parse_line(text.substr(0, end), protocol, socket)) out.push_back(socket);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

SocketSnapshot::SocketSnapshot(std::vector<InetSocket> sockets, std::span<const std::uint16_t> ports,
                               bool listen_only)
    : sockets_(std::move(sockets)) {
    std::erase_if(sockets_, [&](const InetSocket& socket) { return !wanted(socket, ports, listen_only); });
    std::sort(sockets_.begin(), sockets_.end(),
              [](const InetSocket& a, const InetSocket& b) { return a.inode < b.inode; });
    sockets_.erase(std::unique(sockets_.begin(), sockets_.end(),
                               [](const InetSocket& a, const InetSocket& b) { return a.inode == b.inode; }),
                   sockets_.end());
    ports_.reserve(sockets_.size());
    for (const InetSocket& socket : sockets_) ports_.push_back(socket.local_port);
    std::sort(ports_.begin(), ports_.end());
    ports_.erase(std::unique(ports_.begin(), ports_.end()), ports_.end());
}

SocketSnapshot SocketSnapshot::take(int proc_fd, std::span<const std::uint16_t> ports, bool listen_only) {
    struct Table {
        std::uint8_t family;
        std::uint8_t protocol;
        const char* fallback;
    };
    static constexpr Table tables[] = {
        {AF_INET, IPPROTO_TCP, "net/tcp"},
        {AF_INET6, IPPROTO_TCP, "net/tcp6"},
        {AF_INET, IPPROTO_UDP, "net/udp"},
        {AF_INET6, IPPROTO_UDP, "net/udp6"},
    };
    // Sockets in TIME_WAIT and NEW_SYN_RECV have no inode, so they are not
    // even asked for.
    const std::uint32_t states =
        listen_only ? 1u << tcp_state_listen
                    : ~((1u << tcp_state_time_wait) | (1u << tcp_state_new_syn_recv));

    std::vector<InetSocket> sockets;
    DiagChannel channel;
    for (const Table& table : tables) {
        if (listen_only && table.protocol != IPPROTO_TCP) continue;
        if (!channel.dump(table.family, table.protocol, states, ports, sockets)) {
            // Streamed a piece at a time: a machine with very many sockets
            // does not need the whole table in memory.
            std::string text;
            read_file(proc_fd, table.fallback, unlimited, text, [&](std::string_view lines) {
                parse_proc_net(lines, table.protocol, sockets);
            });
        }
    }
    return SocketSnapshot(std::move(sockets), ports, listen_only);
}

const InetSocket* SocketSnapshot::find(std::uint64_t inode) const noexcept {
    const auto at = std::lower_bound(sockets_.begin(), sockets_.end(), inode,
                                     [](const InetSocket& socket, std::uint64_t key) { return socket.inode < key; });
    return at != sockets_.end() && at->inode == inode ? &*at : nullptr;
}

bool SocketSnapshot::has_port(std::uint16_t port) const noexcept {
    return std::binary_search(ports_.begin(), ports_.end(), port);
}

std::optional<std::uint64_t> parse_socket_link(std::string_view link) noexcept {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) return std::nullopt;
    return parse_number<std::uint64_t>(link.substr(prefix.size(), link.size() - prefix.size() - 1));
}

std::optional<ProcStat> parse_stat(std::string_view text) noexcept {
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(close + 1);

    ProcStat stat;
    bool have_threads = false;
    bool have_start = false;
    // Field 3 is the first one after the name.
    for (int field = 3; field <= 22; ++field) {
        const std::string_view token = next_field(rest, " \n");
        if (token.empty()) break;
        if (field == 3) {
            if (token.size() != 1) return std::nullopt;
            stat.state = token.front();
        } else if (field == 20 || field == 22) {
            const std::optional<std::uint64_t> value = parse_number<std::uint64_t>(token);
            if (!value) return std::nullopt;
            if (field == 20) {
                stat.threads = *value;
                have_threads = true;
            } else {
                stat.start_time = *value;
                have_start = true;
            }
        }
    }
    if (!have_threads || !have_start) return std::nullopt;
    return stat;
}

std::string_view extend_name(std::string_view comm, std::string_view first_argument,
                             std::string_view executable) noexcept {
    if (comm.size() != kernel_name_limit) return comm;
    for (const std::string_view candidate : {base_name(first_argument), base_name(executable)}) {
        if (candidate.size() > comm.size() && candidate.starts_with(comm)) return candidate;
    }
    return comm;
}

void join_command_line(std::string& raw) noexcept {
    const std::size_t last = raw.find_last_not_of('\0');
    raw.resize(last == std::string::npos ? 0 : last + 1);
    std::replace(raw.begin(), raw.end(), '\0', ' ');
}

}  // namespace vantle::owners::linux_os

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
    linux_os::SocketSnapshot sockets;
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
    int read_descriptors(const char* directory, std::vector<Descriptor>& out);
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
int Platform::State::read_descriptors(const char* directory, std::vector<Descriptor>& out) {
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
        const int task_error = read_descriptors(ProcPath(pid, tid, "fd").c_str(), out);
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

Platform::Platform(std::span<const std::uint16_t> ports, bool listen_only) : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.proc = linux_os::open_at(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY);
    state.self = static_cast<std::uint32_t>(::getpid());
    if (!state.proc || !proc_is_ours(state.proc.get(), state.self)) {
        state.proc.reset();
        return;
    }
    state.sockets = linux_os::SocketSnapshot::take(state.proc.get(), ports, listen_only);
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
    const int error = state.read_descriptors(ProcPath(pid, "fd").c_str(), out);
    if (error == 0 && !out.empty()) return true;
    // Once the main thread has ended, /proc/PID/fd lists nothing, and it is
    // root's (the leader has no memory map left), so its owner is refused it.
    // The remaining threads still show the descriptors.
    if (error != 0 && error != EACCES && error != EPERM) return false;
    if (!state.main_thread_ended(pid)) return error == 0;
    out.clear();
    return state.read_task_descriptors(pid, out) == 0;
}

std::optional<SocketInfo> Platform::socket_info(std::uint32_t, const Descriptor& descriptor) {
    // The snapshot holds every socket this lookup could report; any other
    // socket is passed over like one that cannot be described.
    const linux_os::InetSocket* socket = state_->sockets.find(descriptor.handle);
    if (socket == nullptr) return std::nullopt;
    SocketInfo info;
    info.kind = socket->protocol == IPPROTO_TCP ? SocketKind::tcp : SocketKind::other_internet;
    info.listening = socket->protocol == IPPROTO_TCP && socket->state == linux_os::tcp_state_listen;
    info.local_port = socket->local_port;
    return info;
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

std::uint64_t Platform::start_time(std::uint32_t pid) {
    State& state = *state_;
    if (!state.proc) return 0;
    const std::expected<linux_os::ProcStat, int> stat =
        linux_os::read_stat(state.proc.get(), ProcPath(pid, "stat").c_str(), state.text);
    return stat ? stat->start_time : 0;
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

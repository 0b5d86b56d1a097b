// Claims on Linux: an abstract Unix socket address per port. Its scope is the
// network namespace, exactly that of the port space; the kernel refuses a
// second bind of the name and frees it with the socket's last descriptor.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>

#include "owners/proc_linux.hpp"
#include "reserve/claims.hpp"

namespace vantle::reserve {
namespace {

using owners::linux_os::next_field;
using owners::linux_os::read_file;

// The claim's name, after the leading NUL that makes an address abstract.
constexpr std::string_view claim_prefix = "vantle/v1/tcp/";

// The kernel's own default, for a value that does not parse.
constexpr PortSpan default_ephemeral{32768, 60999};

// Enough for any sysctl value read here, ip_local_reserved_ports at its
// longest included.
constexpr std::size_t sysctl_limit = 64 * 1024;

// A sysctl file read at every reservation. Opening it walks /proc/sys each
// time and costs as much as the rest of a reservation, so the file is opened
// once and kept open (close-on-exec): pread() at offset 0 has the kernel
// write the value anew, and keeps no offset that threads or a forked child
// could disturb. Before each read the descriptor is checked to still be
// that file (a program may close descriptors it does not know of, and the
// number be reused); when not, the file is opened afresh and the number
// left alone.
class SysctlFile {
public:
    constexpr explicit SysctlFile(const char* path) noexcept : path_(path) {}

    std::expected<std::string, int> read() {
        const Opened* opened = opened_.load(std::memory_order_acquire);
        struct stat now{};
        if (!opened || ::fstat(opened->fd, &now) != 0 || now.st_dev != opened->device || now.st_ino != opened->inode) {
            std::expected<const Opened*, int> fresh = open(opened);
            if (!fresh) return std::unexpected(fresh.error());
            opened = *fresh;
        }
        // A value that fills the buffer may be longer: read it whole.
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::pread(opened->fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return std::unexpected(errno);
            const auto length = static_cast<std::size_t>(got);
            if (length < sizeof buffer) return std::string(buffer, length);
            break;
        }
        std::string text;
        if (const int error = read_file(AT_FDCWD, path_, sysctl_limit, text); error != 0) return std::unexpected(error);
        return text;
    }

private:
    struct Opened {
        int fd;
        dev_t device;
        ino_t inode;
    };

    // Opens the file and publishes it in place of `stale` (none, or a record
    // whose descriptor is no longer the file). Another thread that published
    // a record meanwhile wins, and that one is used. Records replaced are
    // never freed, since a reader may still hold one, nor their descriptors
    // closed: the numbers may be someone else's by now.
    std::expected<const Opened*, int> open(const Opened* stale) {
        UniqueFd file = owners::linux_os::open_at(AT_FDCWD, path_, O_RDONLY);
        if (!file) return std::unexpected(errno);
        struct stat seen{};
        if (::fstat(file.get(), &seen) != 0) return std::unexpected(errno);
        auto fresh = std::make_unique<Opened>(Opened{file.get(), seen.st_dev, seen.st_ino});
        if (!opened_.compare_exchange_strong(stale, fresh.get(), std::memory_order_acq_rel)) return stale;
        static_cast<void>(file.release());
        return fresh.release();
    }

    const char* path_;
    std::atomic<const Opened*> opened_{nullptr};
};

SysctlFile port_range("/proc/sys/net/ipv4/ip_local_port_range");
SysctlFile reserved_ports("/proc/sys/net/ipv4/ip_local_reserved_ports");

}  // namespace

std::expected<UniqueFd, int> claim(std::uint16_t port) noexcept {
    UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return std::unexpected(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    char* name = address.sun_path + 1;  // sun_path[0] stays NUL: abstract
    std::memcpy(name, claim_prefix.data(), claim_prefix.size());
    char* end = std::to_chars(name + claim_prefix.size(), std::end(address.sun_path), port).ptr;
    // The length names the address exactly: abstract names are not
    // NUL-terminated, and every byte counts.
    const auto length = static_cast<socklen_t>(end - reinterpret_cast<char*>(&address));
    if (::bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
        return std::unexpected(errno);
    return socket_fd;
}

std::expected<std::vector<PortSpan>, int> ephemeral_spans() {
    const std::expected<std::string, int> text = port_range.read();
    if (!text) return std::unexpected(text.error());
    std::string_view rest = *text;
    const auto first = parse_number<std::uint16_t>(next_field(rest, " \t\n"));
    const auto last = parse_number<std::uint16_t>(next_field(rest, " \t\n"));
    if (!first || !last || *first > *last) return std::vector{default_ephemeral};
    return std::vector{PortSpan{*first, *last}};
}

std::expected<std::vector<PortSpan>, int> reserved_spans() {
    const std::expected<std::string, int> text = reserved_ports.read();
    if (!text) {
        if (text.error() == ENOENT) return std::vector<PortSpan>();  // a kernel older than 2.6.35
        return std::unexpected(text.error());
    }
    return parse_span_list(*text);
}

}  // namespace vantle::reserve

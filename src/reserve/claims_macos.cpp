// Claims on macOS, which has no abstract socket addresses: an exclusive
// flock() on a file per port in one fixed directory. The kernel drops the
// lock with the last descriptor of the open file, as it drops a Linux claim.
//
// The files are never unlinked: a process that unlinked one while another
// held its lock would let a third lock a new file of the same name, and two
// claims would share the port. For the same reason a claim is refused (reads
// as held) unless, once locked, the file is still the one the name leads to
// and belongs to root or to the caller: the owner of a file in a sticky
// directory may unlink it, so a file of another user could be swapped under
// its holder. The directory itself must be a real directory (not a link),
// sticky, and root's or the caller's, for the same reason.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>

#include "reserve/claims.hpp"

namespace vantle::reserve {
namespace {

// Versioned like the Linux name; the files are claim_directory/tcp-PORT.
constexpr const char claim_directory[] = "/tmp/vantle-v1";

// macOS's own defaults, for sysctls that cannot be read.
constexpr PortSpan default_ephemeral{49152, 65535};

bool trusted_owner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// The claim directory, made world-writable and sticky when missing. ENOTDIR
// when the name is taken by something that is not a directory we may trust.
int prepare_directory() {
    struct stat seen{};
    if (::lstat(claim_directory, &seen) != 0) {
        if (errno != ENOENT) return errno;
        if (::mkdir(claim_directory, 01777) != 0 && errno != EEXIST) return errno;
        // mkdir applies the umask: the mode is set again, explicitly.
        if (::lstat(claim_directory, &seen) != 0) return errno;
        if (S_ISDIR(seen.st_mode) && seen.st_uid == ::geteuid() && (seen.st_mode & 07777) != 01777 &&
            ::chmod(claim_directory, 01777) != 0)
            return errno;
        if (::lstat(claim_directory, &seen) != 0) return errno;
    }
    if (!S_ISDIR(seen.st_mode) || !(seen.st_mode & S_ISVTX) || !trusted_owner(seen.st_uid)) return ENOTDIR;
    return 0;
}

int sysctl_number(const char* name, int fallback) {
    int value = 0;
    std::size_t length = sizeof value;
    if (::sysctlbyname(name, &value, &length, nullptr, 0) != 0 || length != sizeof value) return fallback;
    return value;
}

std::optional<PortSpan> span_of(int first, int last) {
    if (first < 1 || last > 65535 || first > last) return std::nullopt;
    return PortSpan{static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)};
}

}  // namespace

std::expected<UniqueFd, int> claim(std::uint16_t port) noexcept {
    if (const int error = prepare_directory(); error != 0) return std::unexpected(error);
    char path[sizeof claim_directory + 16] = {};
    std::memcpy(path, claim_directory, sizeof claim_directory - 1);
    char* at = path + sizeof claim_directory - 1;
    std::memcpy(at, "/tcp-", 5);
    std::to_chars(at + 5, std::end(path) - 1, port);

    UniqueFd file;
    for (;;) {
        file.reset(::open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0444));
        if (file || errno != EINTR) break;
    }
    // ELOOP: the name is a symbolic link, someone else's doing.
    if (!file) return std::unexpected(errno == ELOOP || errno == EACCES ? EADDRINUSE : errno);
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return std::unexpected(errno == EWOULDBLOCK ? EADDRINUSE : errno);
    }
    struct stat locked{};
    struct stat named{};
    if (::fstat(file.get(), &locked) != 0) return std::unexpected(errno);
    if (::lstat(path, &named) != 0 || locked.st_dev != named.st_dev || locked.st_ino != named.st_ino ||
        !S_ISREG(locked.st_mode) || !trusted_owner(locked.st_uid))
        return std::unexpected(EADDRINUSE);
    return file;
}

std::expected<std::vector<PortSpan>, int> ephemeral_spans() {
    std::vector<PortSpan> spans;
    const auto low = span_of(sysctl_number("net.inet.ip.portrange.first", default_ephemeral.first),
                             sysctl_number("net.inet.ip.portrange.last", default_ephemeral.last));
    const auto high = span_of(sysctl_number("net.inet.ip.portrange.hifirst", default_ephemeral.first),
                              sysctl_number("net.inet.ip.portrange.hilast", default_ephemeral.last));
    for (const auto& span : {low, high})
        if (span) spans.push_back(*span);
    if (spans.empty()) spans.push_back(default_ephemeral);
    return spans;
}

std::expected<std::vector<PortSpan>, int> reserved_spans() { return std::vector<PortSpan>(); }

}  // namespace vantle::reserve

#pragma once
// Reading /proc on Linux: its files and directories, and the parsers of the
// text it holds. Shared by the walk's platform side and by the socket table's
// /proc/net fallback. The parsers take bytes and return plain values, so that
// tests can feed them hand-made text.

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "boundary/unique_fd.hpp"
#include "text/files.hpp"
#include "text/number.hpp"

namespace vantle::owners::linux_os {

// ---- Files and directories ----

using vantle::open_at;
using vantle::read_file;
using vantle::unlimited;

// The next field of `text` between `separators`, taken off its front; empty
// when none is left.
std::string_view next_field(std::string_view& text, std::string_view separators = " ");

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

// ---- /proc text ----


using vantle::parse_number;

// The inode of a descriptor link that names a socket, "socket:[INODE]".
std::optional<std::uint64_t> parse_socket_link(std::string_view link) noexcept;

// The fields of /proc/PID/stat that the lookup reads.
struct ProcStat {
    char state = '?';              // field 3
    std::uint32_t parent = 0;      // field 4
    std::uint64_t threads = 0;     // field 20
    std::uint64_t start_time = 0;  // field 22, clock ticks after boot
};

// Parses /proc/PID/stat. The name (field 2) may hold spaces and ')', so the
// fields are counted from the last ')'.
std::optional<ProcStat> parse_stat(std::string_view text) noexcept;

// The real uid in the text of /proc/PID/status (the first number of its
// "Uid:" line).
std::optional<std::uint32_t> parse_status_uid(std::string_view text) noexcept;

// The kernel keeps at most this many bytes of a process name.
inline constexpr std::size_t kernel_name_limit = 15;

// When `comm` is kernel_name_limit bytes long and the basename of the first
// argument or of the executable extends it, that basename is the name.
std::string_view extend_name(std::string_view comm, std::string_view first_argument,
                             std::string_view executable) noexcept;

// The command line as one string: arguments joined by single spaces. Trailing
// NULs are dropped, since processes that rewrite their title pad with them.
void join_command_line(std::string& raw) noexcept;

// /proc/PID/stat at `path` (relative to `dir_fd`), read into `text` and
// parsed; or the errno of the failed read, EIO for a line that does not parse.
std::expected<ProcStat, int> read_stat(int dir_fd, const char* path, std::string& text);

}  // namespace vantle::owners::linux_os

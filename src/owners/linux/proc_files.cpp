#include "owners/linux/proc_files.hpp"

#include <fcntl.h>

#include <algorithm>
#include <charconv>

namespace vantle::owners::linux_os {

UniqueFd open_at(int dir_fd, const char* path, int flags) noexcept {
    for (;;) {
        const int fd = ::openat(dir_fd, path, flags | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return UniqueFd(fd);
    }
}

int read_file(int dir_fd, const char* path, std::size_t limit, std::string& out) {
    out.clear();
    const UniqueFd file = open_at(dir_fd, path, O_RDONLY);
    if (!file) return errno;
    out.resize(limit);
    std::size_t filled = 0;
    // Files of /proc hand out at most a page per read().
    while (filled < limit) {
        const ssize_t got = ::read(file.get(), out.data() + filled, limit - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            out.clear();
            return error;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    out.resize(filled);
    return 0;
}

namespace {

char* append(char* at, char* end, std::string_view text) noexcept {
    const std::size_t room = static_cast<std::size_t>(end - at);
    const std::size_t count = std::min(room, text.size());
    std::memcpy(at, text.data(), count);
    return at + count;
}

char* append(char* at, char* end, std::uint32_t number) noexcept {
    return std::to_chars(at, end, number).ptr;
}

}  // namespace

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

std::optional<std::uint32_t> parse_decimal(std::string_view text) noexcept {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_socket_link(std::string_view link) noexcept {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) return std::nullopt;
    const std::string_view digits = link.substr(prefix.size(), link.size() - prefix.size() - 1);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    std::uint64_t inode = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return inode;
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
        const std::size_t begin = rest.find_first_not_of(" \n");
        if (begin == std::string_view::npos) break;
        rest.remove_prefix(begin);
        const std::size_t length = std::min(rest.find_first_of(" \n"), rest.size());
        const std::string_view token = rest.substr(0, length);
        rest.remove_prefix(length);

        if (field == 3) {
            if (token.size() != 1) return std::nullopt;
            stat.state = token.front();
        } else if (field == 20 || field == 22) {
            std::uint64_t value = 0;
            const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
            if (error != std::errc{} || end != token.data() + token.size()) return std::nullopt;
            if (field == 20) {
                stat.threads = value;
                have_threads = true;
            } else {
                stat.start_time = value;
                have_start = true;
            }
        }
    }
    if (!have_threads || !have_start) return std::nullopt;
    return stat;
}

std::string_view base_name(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
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

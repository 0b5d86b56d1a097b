// Reading /proc: whole files, streamed files, directory listings, and the
// parsers of its text.

#include "owners/proc_linux.hpp"

#include <fcntl.h>

#include <algorithm>

namespace vantle::owners::linux_os {
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

// The text after the last '/', or all of it.
std::string_view base_name(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Bytes of /proc/PID/stat read; the fields the lookup needs come well before.
constexpr std::size_t stat_limit = 4096;

}  // namespace

std::string_view next_field(std::string_view& text, std::string_view separators) {
    text.remove_prefix(std::min(text.find_first_not_of(separators), text.size()));
    const std::size_t length = std::min(text.find_first_of(separators), text.size());
    const std::string_view field = text.substr(0, length);
    text.remove_prefix(length);
    return field;
}

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

std::expected<ProcStat, int> read_stat(int dir_fd, const char* path, std::string& text) {
    if (const int error = read_file(dir_fd, path, stat_limit, text); error != 0) return std::unexpected(error);
    const std::optional<ProcStat> stat = parse_stat(text);
    if (!stat) return std::unexpected(EIO);
    return *stat;
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
        } else if (field == 4) {
            const std::optional<std::uint32_t> parent = parse_number<std::uint32_t>(token);
            if (!parent) return std::nullopt;
            stat.parent = *parent;
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

std::optional<std::uint32_t> parse_status_uid(std::string_view text) noexcept {
    constexpr std::string_view key = "\nUid:";
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(at + key.size());
    return parse_number<std::uint32_t>(next_field(rest, " \t\n"));
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

#include "text/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantle {
namespace {

// The buffer a streamed file is read through.
constexpr std::size_t stream_buffer_size = 64 * 1024;

}  // namespace

UniqueFd open_at(int dir_fd, const char* path, int flags) noexcept {
    for (;;) {
        const int fd = ::openat(dir_fd, path, flags | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return UniqueFd(fd);
    }
}

int read_file(int dir_fd, const char* path, std::size_t limit, std::string& text,
              const std::function<void(std::string_view)>& take_lines) {
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

}  // namespace vantle

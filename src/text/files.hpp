#pragma once
// Opening and reading whole files, for every text reader of the module: /proc
// on Linux, sysctl values, the services list.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "boundary/unique_fd.hpp"

namespace vantle {

// openat() with O_CLOEXEC added and EINTR retried.
UniqueFd open_at(int dir_fd, const char* path, int flags) noexcept;

// No limit on what read_file reads.
inline constexpr std::size_t unlimited = static_cast<std::size_t>(-1);

// Reads the file at `path` (relative to `dir_fd`) from its start into `text`,
// until its end or `limit` bytes; files of /proc hand out at most a page per
// read(). With `take_lines`, the text is streamed instead: complete lines are
// handed to it as they come and dropped, then what is left at the end.
// Returns 0 or the errno of the failing call, with `text` emptied.
int read_file(int dir_fd, const char* path, std::size_t limit, std::string& text,
              const std::function<void(std::string_view)>& take_lines = {});

}  // namespace vantle

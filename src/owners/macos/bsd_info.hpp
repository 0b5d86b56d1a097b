#pragma once
// The libproc record that both the lookup and kill read: a process's BSD
// info, which carries its open-file count and its start time.

#include <libproc.h>
#include <sys/proc_info.h>

#include <cerrno>
#include <cstdint>
#include <expected>

namespace vantle::owners::macos {

// The BSD info of `pid`, or the errno of the failed call (ESRCH once the
// process has exited).
inline std::expected<proc_bsdinfo, int> read_bsd_info(std::uint32_t pid) {
    proc_bsdinfo info{};
    errno = 0;
    if (::proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, sizeof info) > 0) return info;
    return std::unexpected(errno != 0 ? errno : EIO);
}

// When the process started, in microseconds since the epoch.
inline std::uint64_t start_time_of(const proc_bsdinfo& info) {
    return info.pbi_start_tvsec * 1'000'000 + info.pbi_start_tvusec;
}

}  // namespace vantle::owners::macos

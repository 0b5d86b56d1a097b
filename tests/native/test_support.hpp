#pragma once
// Helpers shared by the native tests: recorded kernel answers, real sockets,
// and forked children that are always killed and reaped.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "boundary/unique_fd.hpp"

namespace vantle::test {

using vantle::UniqueFd;

std::string data_path(const std::string& name);
std::string read_text(const std::string& path);

// A recorded sock_diag answer (see tests/native/record/record_sock_diag.cpp).
struct RecordedDump {
    std::uint32_t seq = 0;
    std::uint32_t port_id = 0;
    std::vector<std::vector<std::byte>> datagrams;
};
RecordedDump load_dump(const std::string& name);

// manifest.txt: what the recorded sockets were, by role.
struct RecordedSocket {
    std::uint16_t port = 0;
    std::uint64_t inode = 0;
};
std::multimap<std::string, RecordedSocket> load_manifest();

// Sockets, all with SOCK_CLOEXEC, on ports the system picks.
UniqueFd tcp4_listener(std::uint16_t port = 0);
UniqueFd tcp6_listener(bool v6_only, std::uint16_t port = 0);  // on :: or, when v6_only, on ::1
UniqueFd udp4_socket();
UniqueFd tcp4_client(std::uint16_t port);  // connected to 127.0.0.1:port
UniqueFd accept_one(int listener);
std::uint16_t local_port(int fd);
// A port nothing listens on right now.
std::uint16_t unused_port();

// A forked child. It runs `setup`, reports the value setup returns (negative
// means setup failed), then waits until it is killed. The destructor kills it
// with SIGKILL and reaps it.
class Child {
public:
    explicit Child(const std::function<int()>& setup);
    // Runs `path` with `argv` in the child, keeping `keep_fd` open across the
    // exec; ready once the exec has succeeded.
    Child(const std::string& path, const std::vector<std::string>& argv, int keep_fd);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Setup's value, or nullopt when the child failed before reporting.
    std::optional<int> value() const { return value_; }

private:
    pid_t pid_ = -1;
    std::optional<int> value_;
};

// Runs `body` in a forked child and returns what it wrote to the pipe it is
// given, after reaping it; the child exits when `body` returns.
std::string run_in_child(const std::function<void(int out_fd)>& body);

// Writes all of `text` to `fd`.
void write_all(int fd, const std::string& text);

// Field 22 of /proc/PID/stat, read without the lookup's parser.
std::uint64_t start_time_of(pid_t pid);

}  // namespace vantle::test

#include "test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vantle::test {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

UniqueFd make_socket(int family, int type) {
    UniqueFd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    if (!fd) fail("socket");
    return fd;
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Reads until end of file.
std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::string data_path(const std::string& name) {
    return std::string(VANTLE_TEST_DATA) + "/" + name;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RecordedDump load_dump(const std::string& name) {
    const std::string bytes = read_text(data_path("sock_diag/" + name));
    std::size_t at = 0;
    const auto take = [&](std::size_t count) {
        if (bytes.size() - at < count) throw std::runtime_error("truncated recording " + name);
        const char* start = bytes.data() + at;
        at += count;
        return start;
    };
    const auto number = [&] {
        std::uint32_t value;
        std::memcpy(&value, take(sizeof value), sizeof value);
        return value;
    };
    if (std::string_view(take(4), 4) != "VNL1") throw std::runtime_error("not a recording: " + name);
    RecordedDump dump;
    dump.seq = number();
    dump.port_id = number();
    const std::uint32_t count = number();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = number();
        const auto* start = reinterpret_cast<const std::byte*>(take(length));
        dump.datagrams.emplace_back(start, start + length);
    }
    return dump;
}

std::multimap<std::string, RecordedSocket> load_manifest() {
    std::istringstream lines(read_text(data_path("sock_diag/manifest.txt")));
    std::multimap<std::string, RecordedSocket> sockets;
    std::string role;
    RecordedSocket socket;
    while (lines >> role >> socket.port >> socket.inode) sockets.emplace(role, socket);
    return sockets;
}

namespace {

// 127.0.0.1 at `port` (0: let the system choose).
sockaddr_in loopback4(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

UniqueFd tcp4_listener(std::uint16_t port) {
    UniqueFd fd = make_socket(AF_INET, SOCK_STREAM);
    sockaddr_in address = loopback4(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
    if (::listen(fd.get(), 16) != 0) fail("listen");
    return fd;
}

UniqueFd tcp6_listener(bool v6_only, std::uint16_t port) {
    UniqueFd fd = make_socket(AF_INET6, SOCK_STREAM);
    const int flag = v6_only ? 1 : 0;
    if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &flag, sizeof flag) != 0) fail("IPV6_V6ONLY");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = v6_only ? in6addr_loopback : in6addr_any;
    address.sin6_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
    if (::listen(fd.get(), 16) != 0) fail("listen");
    return fd;
}

UniqueFd udp4_socket() {
    UniqueFd fd = make_socket(AF_INET, SOCK_DGRAM);
    sockaddr_in address = loopback4(0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind udp");
    return fd;
}

UniqueFd tcp4_client(std::uint16_t port) {
    UniqueFd fd = make_socket(AF_INET, SOCK_STREAM);
    sockaddr_in address = loopback4(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    return fd;
}

UniqueFd accept_one(int listener) {
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) fail("accept");
    return fd;
}

std::uint16_t local_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

std::uint16_t unused_port() {
    // Bound without listen(): the port is reserved while the socket lives but
    // no listener or connection shows it.
    const UniqueFd fd = make_socket(AF_INET, SOCK_STREAM);
    sockaddr_in address = loopback4(0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
    return local_port(fd.get());
}

Child::Child(const std::function<int()>& setup) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) fail("pipe");
    UniqueFd read_end(ready[0]);
    UniqueFd write_end(ready[1]);
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        read_end.reset();
        int value = -1;
        try {
            value = setup();
        } catch (...) {
            ::_exit(1);  // never back into the test runner
        }
        if (::write(write_end.get(), &value, sizeof value) != sizeof value) ::_exit(1);
        for (;;) ::pause();
    }
    write_end.reset();
    int value = 0;
    ssize_t got;
    do {
        got = ::read(read_end.get(), &value, sizeof value);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof value) value_ = value;
}

Child::Child(const std::string& path, const std::vector<std::string>& argv, int keep_fd) {
    // The pipe closes at a successful exec; an exec failure writes errno.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) fail("pipe");
    UniqueFd read_end(ready[0]);
    UniqueFd write_end(ready[1]);
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        read_end.reset();
        if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
        ::execv(path.c_str(), arguments.data());
        const int error = errno;
        (void)!::write(write_end.get(), &error, sizeof error);
        ::_exit(127);
    }
    write_end.reset();
    if (read_all(read_end.get()).empty()) value_ = 0;
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_);
    }
}

std::string run_in_child(const std::function<void(int out_fd)>& body) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) fail("pipe");
    UniqueFd read_end(channel[0]);
    UniqueFd write_end(channel[1]);
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        read_end.reset();
        try {
            body(write_end.get());
        } catch (...) {
            ::_exit(1);  // never back into the test runner
        }
        ::_exit(0);
    }
    write_end.reset();
    std::string text = read_all(read_end.get());
    reap(pid);
    return text;
}

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        done += static_cast<std::size_t>(wrote);
    }
}

std::uint64_t start_time_of(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 22) return std::stoull(field);
    }
    return 0;
}

}  // namespace vantle::test

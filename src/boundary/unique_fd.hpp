#pragma once
// An owned file descriptor, closed when the holder goes away.

#include <unistd.h>

#include <utility>

namespace vantle {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        UniqueFd(std::move(other)).swap(*this);
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void swap(UniqueFd& other) noexcept { std::swap(fd_, other.fd_); }

private:
    int fd_ = -1;
};

}  // namespace vantle

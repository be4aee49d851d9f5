#pragma once

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

// A file descriptor, owned: closed when the owner goes. Below every layer, so that each owns its
// descriptors the same way.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // `fd` owned, or the system's error (errno) thrown, naming `what`.
    static UniqueFd checked(int fd, const char* what) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), what);
        return UniqueFd(fd);
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

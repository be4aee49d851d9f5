#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

// Writes every byte of `bytes` to `fd`, waiting on a descriptor left non-blocking by whoever gave it to us; 0, or
// the errno of the write that failed.
inline int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0) {
            bytes.remove_prefix(std::size_t(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

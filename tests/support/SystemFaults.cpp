#include "tests/support/SystemFaults.h"

#include <curl/curl.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> failing[3];

bool failsNow(faults::Call call) {
    std::atomic<int>& left = failing[int(call)];
    for (int n = left.load(); n != 0;)
        if (left.compare_exchange_weak(n, n < 0 ? n : n - 1)) return true;
    return false;
}

}  // namespace

void faults::fail(Call call, int times) {
    failing[int(call)] = times;
}

void faults::clear() {
    for (auto& f : failing) f = 0;
}

extern "C" {
int __real_epoll_ctl(int epfd, int op, int fd, epoll_event* event);
int __real_epoll_wait(int epfd, epoll_event* events, int max, int timeout);
CURLMcode __real_curl_multi_socket_action(CURLM* multi, curl_socket_t s, int mask, int* running);

int __wrap_epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
    if (op != EPOLL_CTL_DEL && failsNow(faults::Call::Watch)) {
        errno = ENOSPC;  // the user's watch limit
        return -1;
    }
    return __real_epoll_ctl(epfd, op, fd, event);
}

int __wrap_epoll_wait(int epfd, epoll_event* events, int max, int timeout) {
    if (failsNow(faults::Call::Wait)) {
        errno = EBADF;
        return -1;
    }
    return __real_epoll_wait(epfd, events, max, timeout);
}

CURLMcode __wrap_curl_multi_socket_action(CURLM* multi, curl_socket_t s, int mask, int* running) {
    if (failsNow(faults::Call::SocketAction)) return CURLM_OUT_OF_MEMORY;
    return __real_curl_multi_socket_action(multi, s, mask, running);
}
}

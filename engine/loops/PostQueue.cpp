#include "engine/loops/PostQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <system_error>

#include "sys/UniqueFd.h"

struct PostQueue::Queue {
    std::mutex mutex;
    std::deque<std::function<void()>> items;
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

PostQueue::PostQueue() : queue_(std::make_shared<Queue>()) {
    // Checked here rather than in the queue's constructor: make_shared's control block and a throwing
    // constructor upset the undefined-behaviour sanitizer.
    if (queue_->wake.get() < 0) throw std::system_error(errno, std::generic_category(), "the event queue");
}

PostQueue::~PostQueue() = default;

Poster PostQueue::poster() const {
    return [queue = queue_](std::function<void()> f) {
        {
            std::lock_guard lock(queue->mutex);
            queue->items.push_back(std::move(f));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(queue->wake.get(), &one, sizeof one);
    };
}

void PostQueue::watch(int fd, std::function<void()> readable) {
    watches_.push_back({fd, std::move(readable)});
}

bool PostQueue::runPosted(const std::function<bool()>& done) {
    // One at a time, so that `done` is seen right after the item that brought it about.
    for (;;) {
        std::function<void()> f;
        {
            std::lock_guard lock(queue_->mutex);
            if (queue_->items.empty()) return false;
            f = std::move(queue_->items.front());
            queue_->items.pop_front();
        }
        f();
        if (done()) return true;
    }
}

void PostQueue::runUntil(Clock::time_point until, const std::function<bool()>& done) {
    if (nextTick_ == Clock::time_point{}) nextTick_ = Clock::now() + tick;
    std::vector<pollfd> fds{{queue_->wake.get(), POLLIN, 0}};
    for (const Watch& w : watches_) fds.push_back({w.fd, POLLIN, 0});
    while (!done() && !runPosted(done)) {
        const auto now = Clock::now();
        if (now >= until) return;
        if (onTick && now >= nextTick_) {
            onTick();
            nextTick_ = now + tick;
        }
        const auto wakeAt = onTick ? std::min(until, nextTick_) : until;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(wait, 1000))) < 0 && errno != EINTR)
            return;
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(queue_->wake.get(), &count, sizeof count);
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN) watches_[i - 1].readable();
    }
}

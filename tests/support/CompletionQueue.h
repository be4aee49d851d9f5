#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/rules/Poster.h"

// Stands in for the window's event queue: check threads post, the test thread runs.
class CompletionQueue {
  public:
    Poster poster() const {
        return [state = state_](std::function<void()> f) {
            {
                std::lock_guard lock(state->mutex);
                state->items.push_back(std::move(f));
            }
            state->ready.notify_all();
        };
    }

    // Runs what is queued, waiting up to `timeout` for more, until `done()` holds. Returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::function<void()> f;
            {
                std::unique_lock lock(state_->mutex);
                if (!state_->ready.wait_until(lock, deadline, [&] { return !state_->items.empty(); })) return done();
                f = std::move(state_->items.front());
                state_->items.pop_front();
            }
            f();
        }
        return true;
    }

    std::size_t runPending() {
        std::size_t n = 0;
        for (;;) {
            std::function<void()> f;
            {
                std::lock_guard lock(state_->mutex);
                if (state_->items.empty()) return n;
                f = std::move(state_->items.front());
                state_->items.pop_front();
            }
            f();
            ++n;
        }
    }

    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->items.size();
    }

  private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::function<void()>> items;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class Diagnostics;

// Result lines to a descriptor from a thread of its own, so that a slow reader holds up neither the checks nor the
// answer to a signal. Each write carries whole lines, at most PIPE_BUF bytes of them unless one line is longer: a
// pipe takes such a write whole or not at all. A longer line goes into a pipe only once the pipe is empty and can
// hold it whole, so it never waits half written: the program may end at any moment without leaving a line cut.
// A descriptor left non-blocking is waited on, not given up.
class OutputWriter {
  public:
    using Clock = std::chrono::steady_clock;

    // `failed` runs on the writer's thread, once, with the errno of the first write that failed; nothing more is
    // written after it. With `terminal`, the lines are written around its progress line.
    OutputWriter(int fd, std::function<void(int error)> failed, Diagnostics* terminal = nullptr);
    ~OutputWriter();  // what is still queued is dropped
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void write(std::string line);  // its break included

    bool idle() const;                       // everything queued is written (or dropped after a failure)
    int error() const { return error_; }     // the errno of the write that failed, 0 while none has
    Clock::time_point lastProgress() const;  // when a write last went through, or the queue was last empty
    std::size_t unwritten() const;           // lines not yet written

  private:
    void run();
    int writeBatch(const std::string& batch);
    bool waitForRoom(std::size_t size);  // false when the writer is to end

    int fd_;
    bool pipe_;
    std::function<void(int)> failed_;
    Diagnostics* terminal_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    bool writing_ = false;
    std::atomic<int> error_{0};
    std::atomic<bool> quit_{false};
    Clock::time_point progress_ = Clock::now();
    std::thread thread_;
};

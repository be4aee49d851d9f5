#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Result lines to a descriptor from a thread of its own, so that a slow reader holds up neither the checks nor the
// answer to a signal. Each write carries whole lines, at most PIPE_BUF bytes of them unless one line is longer: a
// pipe takes such a write whole or not at all, so the program may end at any moment without leaving a line cut.
class OutputWriter {
  public:
    using Clock = std::chrono::steady_clock;

    // `failed` runs on the writer's thread, once, with the errno of the first write that failed; nothing more is
    // written after it.
    OutputWriter(int fd, std::function<void(int error)> failed);
    ~OutputWriter();  // what is still queued is dropped
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void write(std::string line);  // its break included

    bool idle() const;                       // everything queued is written (or dropped after a failure)
    Clock::time_point lastProgress() const;  // when a write last went through, or the queue was last empty
    std::size_t unwritten() const;           // lines not yet written

  private:
    void run();

    int fd_;
    std::function<void(int)> failed_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    bool writing_ = false;
    bool failedOnce_ = false;
    bool quit_ = false;
    Clock::time_point progress_ = Clock::now();
    std::thread thread_;
};

// A proxy text as a terminal may show it: control bytes and backslashes escaped as \xHH and \\ (what ls -b does),
// two-byte Shift_JIS characters left whole.
std::string escapeForTerminal(std::string_view sjis);

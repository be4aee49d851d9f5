#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/loops/CheckDriver.h"

// A socket of a front-end's own that a loop's thread serves beside libcurl's: told what epoll saw of it.
class LoopSocket {
  public:
    virtual void onEvents(std::uint32_t events) = 0;  // EPOLLIN, EPOLLOUT, EPOLLRDHUP, EPOLLERR, EPOLLHUP

  protected:
    ~LoopSocket() = default;

  private:
    friend class CommandLoop;
    static constexpr std::uint32_t kUnwatched = ~0u;
    std::uint32_t watching_ = kUnwatched;  // what epoll watches it for: unchanged, it is not asked again
};

// A thread of its own with one libcurl multi handle and epoll: the checks of any number of runs, each with the
// options, limits and read rules of the window's checks, and beside them the sockets and transfers of the front-end
// that owns it (a gateway's clients and tunnels). Lives as long as its front-end; its thread reports the checks that
// ended together in one batch per run.
class CommandLoop {
  public:
    CommandLoop();   // throws std::system_error or std::runtime_error when it cannot be set up
    ~CommandLoop();  // gives up every check and transfer without reporting them and joins the thread
    CommandLoop(const CommandLoop&) = delete;
    CommandLoop& operator=(const CommandLoop&) = delete;

    // A driver for one run's checks on this loop: its stopAll() stops its own checks only.
    std::unique_ptr<CheckDriver> checks(std::shared_ptr<const CheckPlan> plan, CheckDriver::Reports reports);

    // From any thread: runs `f` on the loop's thread soon, in the order posted.
    void post(std::function<void()> f);

    // On the loop's thread only. A socket watched (or watched otherwise): false, errno set, when epoll refuses. A
    // socket is served by one LoopSocket at a time.
    bool watch(int fd, std::uint32_t events, LoopSocket* socket);
    void unwatch(int fd, LoopSocket* socket);  // before the socket, or what serves it, goes
    // A transfer of the front-end's own, driven with the checks; `done` is called once with its result when it ends
    // (CURLE_FAILED_INIT: the loop failed it). False when the multi handle refuses it.
    bool transfer(CURL* easy, std::function<void(CURLcode)> done);
    // Out of the multi handle (closing its connection): after `done`, or before, when `done` is then not called.
    void dropTransfer(CURL* easy);
    // From any thread: `tick` every `period` on the loop's thread, from now on.
    void every(std::chrono::milliseconds period, std::function<void()> tick);

    std::size_t backlog() const;  // checks given and not yet taken up
    double busy() const;          // share of the last tenth of a second spent working

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The loops of a command, one per core, for as long as it runs.
class LoopPool {
  public:
    explicit LoopPool(int count);
    std::size_t size() const { return loops_.size(); }
    CommandLoop& operator[](std::size_t i) { return *loops_[i]; }
    // Drivers made on the loops in turn.
    DriverFactory drivers();

  private:
    std::vector<std::unique_ptr<CommandLoop>> loops_;
    std::size_t next_ = 0;
};

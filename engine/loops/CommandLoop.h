#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/loops/CheckDriver.h"
#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"

// Checks driven from a thread of its own through one libcurl multi handle and epoll, each with the options, limits
// and read rules of the window's checks. Its thread reports the checks that ended together in one batch.
struct epoll_event;

class CommandLoop final : public CheckDriver {
  public:
    // How a socket is watched: epoll_ctl, unless a test makes it fail.
    using WatchSocket = std::function<int(int epoll, int op, int fd, epoll_event* event)>;

    CommandLoop(Target target, CheckSettings settings, Reports reports, WatchSocket watch = {});
    ~CommandLoop() override;  // gives up the checks in flight without reporting them and joins the thread
    CommandLoop(const CommandLoop&) = delete;
    CommandLoop& operator=(const CommandLoop&) = delete;

    void start(std::uint64_t id, std::string proxy) override;
    void stopAll() override;
    std::size_t backlog() const override;
    double busy() const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

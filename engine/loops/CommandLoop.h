#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Verdict.h"

// What a check driven by a loop ends with.
struct LoopCheckDone {
    std::uint64_t id;
    Verdict verdict;
    bool outOfDescriptors = false;  // no socket could be had: no verdict, the check may be made again
};

// Checks driven from one thread through one libcurl multi handle and epoll, each with the options, limits and read
// rules of the window's checks. Its thread reports every check it was given to `done`, once, in batches of what
// ended together; the calls below may come from any thread.
class CommandLoop {
  public:
    using Done = std::function<void(std::vector<LoopCheckDone>&&)>;

    CommandLoop(Target target, CheckSettings settings, Done done);
    ~CommandLoop();  // gives up the checks in flight without reporting them and joins the thread
    CommandLoop(const CommandLoop&) = delete;
    CommandLoop& operator=(const CommandLoop&) = delete;

    void start(std::uint64_t id, std::string proxy);  // an empty text fetches the target directly
    void stopAll();  // every check given so far ends aborted at once, whatever stage it is in

    std::size_t inFlight() const;  // given and not yet reported
    std::size_t backlog() const;   // given and not yet taken up by the thread
    double busy() const;           // share of the last tenth of a second the thread spent working, 0 to 1

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "check/CheckOptions.h"
#include "cli/Diagnostics.h"

class CommandRun;
class CountryDb;
class EventLoop;
class OutputWriter;
class ProxyLines;
struct CommandRunConfig;

// The whole command: reads every list, fetches the page directly, checks every proxy with the window's engine and
// rules, writes a line per proxy as it ends, and sums up on standard error. execute() returns the exit status: 0
// some proxy works, 1 none does, 2 bad usage, an unreadable list, a page that cannot be fetched directly (before or
// during the run) or a write error, 130 interrupted.
class CheckCommand {
  public:
    explicit CheckCommand(std::vector<std::string> args) : args_(std::move(args)) {}
    int execute();

  private:
    struct Tally {
        long long working = 0, dead = 0, aborted = 0;
        long long checked() const { return working + dead + aborted; }
    };

    int usageError(const std::string& error);  // says it with the hint; the exit status
    int check(ProxyLines& proxies);
    int preflight(CommandRunConfig& config, EventLoop& loop);  // the exit status when no check is to start, else -1
    int drain(OutputWriter& output, EventLoop& loop);          // likewise, once the run is over
    void showProgress(const CommandRun& run, std::size_t all);
    void summary();

    std::vector<std::string> args_;
    CheckOptions options_;
    std::shared_ptr<const CountryDb> countries_;
    Diagnostics err_{kProgramName};
    Tally tally_;
    int interrupts_ = 0;
    std::chrono::steady_clock::time_point started_;
};

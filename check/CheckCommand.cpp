#include "check/CheckCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "check/ResultLines.h"
#include "cli/EventLoop.h"
#include "cli/ExitStatus.h"
#include "cli/Messages.h"
#include "cli/Output.h"
#include "cli/RunSetup.h"
#include "engine/loops/CommandLoop.h"
#include "engine/loops/CommandRun.h"
#include "engine/loops/DriveRun.h"
#include "engine/loops/Preflight.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/ProxyLines.h"
#include "sys/WriteAll.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace exitstatus;
constexpr auto kOutputStall = std::chrono::seconds(1);  // after a stop, how long a blocked reader is waited for

// A closed standard descriptor is held by /dev/null opened for reading, so that nothing the program opens takes
// its number: a closed standard output then fails every write, as it should. True when standard output was closed.
bool holdClosedStandardDescriptors() {
    bool outputClosed = false;
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            outputClosed = outputClosed || fd == 1;
            const int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0 && null != fd) {
                ::dup2(null, fd);
                ::close(null);
            }
        }
    return outputClosed;
}

// TRANSLATORS: a time in seconds, with one decimal.
std::string seconds(double s) {
    return format(_("%.1f s"), s);
}

double secondsOf(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int CheckCommand::execute() {
    const bool outputClosed = holdClosedStandardDescriptors();
    ParsedArguments parsed = parseArguments(args_);
    if (!parsed.error.empty()) return usageError(parsed.error);
    options_ = std::move(parsed.options);
    const CheckOptions& o = options_;
    if (o.help || o.version) {
        if (const int error = writeAll(1, o.help ? helpText() : versionText(kProgramName))) {
            err_.say(format(_("write error: %s"), std::strerror(error)));
            return kTrouble;
        }
        return kWorking;
    }
    if (outputClosed) {  // no check is worth starting when none of its results can be written
        err_.say(format(_("write error: %s"), std::strerror(EBADF)));
        return kTrouble;
    }
    RunFiles files = openRunFiles(o.run, err_);
    if (!files.error.empty()) {
        if (files.usage) return usageError(files.error);
        err_.say(files.error);
        return kTrouble;
    }
    countries_ = std::move(files.countries);
    ProxyLines proxies;
    if (!readLists(o.files, proxies, err_)) return kTrouble;
    try {
        return check(proxies);
    } catch (const std::system_error& e) {  // the process could not be set up for the checks
        err_.say(format(_("cannot check: %s"), e.what()));
        if (e.code() == std::errc::too_many_files_open) err_.say(starvedMessage());
        return kTrouble;
    } catch (const std::exception& e) {
        err_.say(format(_("cannot check: %s"), e.what()));
        return kTrouble;
    }
}

int CheckCommand::check(ProxyLines& proxies) {
    const ProcessSetup setup;  // before any thread, and gone after the last
    EventLoop loop;            // likewise: every thread inherits the signals it blocks
    if (!options_.quiet) err_.wantProgress();
    const Poster post = loop.poster();
    OutputWriter output(
        1, [post](int) { post([] {}); }, err_.sharesTerminal() ? &err_ : nullptr);
    const ResultLines lines(options_, countries_ != nullptr);
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    LoopPool loops(cores);  // before the descriptors are counted: the loops hold some of their own

    CommandRunConfig config = runConfig(options_.run, countries_, loops.drivers(), cores);
    const std::string page = shownName(config.target.url);  // as given, before the preflight adds a nonce
    loop.onSignal = [&](int) { ++interrupts_; };
    if (options_.run.preflight && proxies.count() > 0)
        if (const int status = preflight(config, loop); status >= 0) return status;
    config.target.proxyAnswerDecides = true;  // through a proxy; the page's own answer, directly, was the page's
    config.farEndPatience = config.curl.limits.total;
    CommandRun run(config, proxies, post, [&](const CheckResult& r) {
        ++(r.verdict.outcome == ProbeOutcome::Working ? tally_.working
           : r.verdict.outcome == ProbeOutcome::Dead  ? tally_.dead
                                                      : tally_.aborted);
        if (lines.wanted(r.verdict.outcome)) output.write(lines.format(r.proxy, r.verdict));
    });

    started_ = Clock::now();
    loop.onSignal = [&](int) {
        if (++interrupts_ > 1) ::_exit(kInterrupted);  // at once: every write so far carried whole lines
        run.stop();
    };
    if (err_.progressOn()) loop.onTick = [&] { showProgress(run, proxies.count()); };
    bool saidDescriptors = false, saidMachine = false, saidDown = false;
    const auto note = [&](bool& said, CommandRun::Hold why, const std::string& text) {
        if (said || !run.everHeld(why) || options_.quiet) return;
        said = true;
        err_.say(text);
    };
    driveRun(
        run, loop, [&] { return output.error() != 0; },
        [&] {
            note(saidDescriptors, CommandRun::Hold::Descriptors,
                 _("the descriptor limit holds back the checks in flight (ulimit -n raises it)"));
            note(saidMachine, CommandRun::Hold::Machine,
                 format(plural("this machine does not keep up with %d check a second; they start as fast as it can",
                               "this machine does not keep up with %d checks a second; they start as fast as it can",
                               unsigned(options_.run.rate)),
                        options_.run.rate));
            if (run.farEndDown() && !saidDown && !run.gaveUp())
                // TRANSLATORS: the page, and why it failed (a reason such as "connect-timeout", or "answered 503").
                err_.say(format(_("%s: %s when fetched directly; new checks wait for it, and those that ended "
                                  "meanwhile are made again once it answers"),
                                page.c_str(), farEndWhy(*run.farEndDown()).c_str()));
            if (!run.farEndDown() && saidDown) err_.say(format(_("%s: answers again"), page.c_str()));
            saidDown = run.farEndDown().has_value();
        });
    int trouble = -1;
    if (run.starved()) {
        err_.say(starvedMessage());
        trouble = kTrouble;
    }
    if (run.gaveUp()) {
        err_.say(format(_("%s: %s when fetched directly for %s; every proxy left is aborted"), page.c_str(),
                        farEndWhy(*run.farEndDown()).c_str(), seconds(secondsOf(config.farEndPatience)).c_str()));
        trouble = kTrouble;
    }
    if (output.error()) run.stop();  // nothing more can be written: the checks in flight are given up
    const int status = drain(output, loop);
    return trouble >= 0 && status != kInterrupted ? trouble : status;
}

int CheckCommand::preflight(CommandRunConfig& config, EventLoop& loop) {
    std::optional<PreflightResult> result;
    {
        const Preflight fetch(config.target, config.curl, config.makeDriver, loop.poster(),
                              [&](PreflightResult r) { result = std::move(r); });
        while (!result && interrupts_ == 0)
            loop.runUntil(Clock::now() + std::chrono::seconds(1), [&] { return result || interrupts_ > 0; });
    }
    if (interrupts_ > 0) return kInterrupted;
    const std::string url = shownName(config.target.url);
    switch (result->outcome) {
        case PreflightResult::Outcome::Ready:
            config.target = std::move(result->target);
            return -1;
        case PreflightResult::Outcome::Starved:
            err_.say(starvedMessage());
            return kTrouble;
        case PreflightResult::Outcome::Stopped:
            return kInterrupted;
        case PreflightResult::Outcome::Refused:
            break;
    }
    const std::string problem = preflightProblem(*result);
    const bool fetched =
        result->problem == PreflightResult::Problem::Answered || result->problem == PreflightResult::Problem::Failed;
    err_.say(fetched ? format(_("%s: %s; every proxy would read dead (--no-preflight checks anyway)"), url.c_str(),
                              problem.c_str())
                     : format(_("%s: %s"), url.c_str(), problem.c_str()));
    return kTrouble;
}

int CheckCommand::usageError(const std::string& error) {
    err_.say(error);
    err_.write(format(_("Try '%s --help' for more information.\n"), kProgramName));
    return kTrouble;
}

// What is left to write goes out while the reader takes it; after a stop, a reader that takes nothing more is not
// waited for.
int CheckCommand::drain(OutputWriter& output, EventLoop& loop) {
    while (!output.idle() && !output.error()) {
        if (interrupts_ > 0 && Clock::now() - output.lastProgress() > kOutputStall) break;
        loop.runUntil(Clock::now() + std::chrono::milliseconds(20), [&] { return output.idle(); });
    }
    err_.clearProgress();
    if (const int error = output.error()) {  // the last line's failure too, even after the run is over
        err_.say(format(_("write error: %s"), std::strerror(error)));
        return kTrouble;
    }
    if (!output.idle()) {
        // The writer stays blocked in its write, whole lines or nothing: the program ends around it.
        err_.say(format(plural("%zu result line not written: standard output is blocked",
                               "%zu result lines not written: standard output is blocked", output.unwritten()),
                        output.unwritten()));
        summary();
        ::_exit(kInterrupted);
    }
    summary();
    if (interrupts_ > 0) return kInterrupted;
    return tally_.working > 0 ? kWorking : kNoneWorking;
}

void CheckCommand::showProgress(const CommandRun& run, std::size_t all) {
    const double elapsed = secondsOf(Clock::now() - started_);
    const long long total = static_cast<long long>(all), done = tally_.checked();
    const double estimate = secondsLeft(elapsed, done, total);
    const std::string left = estimate >= 0 ? seconds(estimate) : "--";
    // TRANSLATORS: the progress line: checked/all, working, dead, the time so far, the time left.
    std::string text = format(_("%lld/%lld checked, %lld working, %lld dead, %s, %s left"), done, total,
                              static_cast<long long>(tally_.working), static_cast<long long>(tally_.dead),
                              seconds(elapsed).c_str(), left.c_str());
    if (run.held() == CommandRun::Hold::Descriptors) text += _(", held back by the descriptor limit");
    if (run.held() == CommandRun::Hold::Machine) text += _(", held back: the machine is not keeping up");
    if (run.held() == CommandRun::Hold::FarEnd) text += _(", held back: the page does not answer");
    err_.progress(text);
}

void CheckCommand::summary() {
    if (options_.quiet) return;
    // TRANSLATORS: the summary: checked, working, dead, aborted, the time it took.
    err_.say(format(_("%lld checked, %lld working, %lld dead, %lld aborted, %s"),
                    static_cast<long long>(tally_.checked()), static_cast<long long>(tally_.working),
                    static_cast<long long>(tally_.dead), static_cast<long long>(tally_.aborted),
                    seconds(secondsOf(Clock::now() - started_)).c_str()));
}

#include "check/CheckCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "check/EventLoop.h"
#include "check/Options.h"
#include "check/Output.h"
#include "check/Progress.h"
#include "check/ResultLines.h"
#include "engine/loops/CommandLoop.h"
#include "engine/loops/CommandRun.h"
#include "engine/loops/DriveRun.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/ListFile.h"
#include "lists/ProxyLines.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kOutputStall = std::chrono::seconds(1);  // after a stop, how long a blocked reader is waited for

void say(const std::string& message) {
    const std::string line = std::string(kProgramName) + ": " + message + "\n";
    [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
}

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

std::string reasonOf(const ListFileError& e) {
    if (e.kind() == ListFileError::Kind::TooLarge) return "larger than 64 MiB, the most the lists may hold together";
    return e.error() ? std::strerror(e.error()) : "cannot be read";
}

// Every list, read whole before anything starts; false (after saying why) on the first that cannot be read. The
// lists together stay within one list's limit.
bool readInputs(const std::vector<std::string>& files, ProxyLines& proxies) {
    std::size_t left = kMaxListBytes;
    for (const std::string& file : files) {
        const std::string name = file == "-" ? "(standard input)" : file;
        try {
            const std::string raw = file == "-" ? readStreamBytes(0, name, left) : readInputBytes(file, left);
            left -= raw.size();
            if (const auto nul = proxies.add(raw))
                say(name + ": text after a NUL byte at offset " + std::to_string(*nul) + " ignored");
        } catch (const ListFileError& e) {
            say(name + ": " + reasonOf(e));
            return false;
        }
    }
    return true;
}

std::string seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

struct Tally {
    long long working = 0, dead = 0, aborted = 0;
    long long checked() const { return working + dead + aborted; }
};

int checkAll(const CheckOptions& o, ProxyLines& proxies);

CommandRunConfig runConfig(const CheckOptions& o) {
    CommandRunConfig config;
    if (o.url) config.target.url = *o.url;
    if (o.expect) config.target.marker = *o.expect;
    config.target.bypassLocal = false;  // every check goes through its proxy, whatever the page's host
    config.curl.caFile = o.caFile;
    CheckLimits& t = config.curl.limits;
    if (o.timeout) t.total = std::min<std::chrono::milliseconds>(t.total, *o.timeout);
    if (o.connectTimeout) t.connect = *o.connectTimeout;
    if (o.idleTimeout) t.idle = *o.idleTimeout;
    t.keepWithinTotal();
    config.rate = o.rate;
    config.loops = int(std::max(1u, std::thread::hardware_concurrency()));
    config.descriptors = descriptorsForChecks();
    config.retries = o.retries;
    config.detect = o.detect;
    return config;
}

// The target without a proxy, under the checks' own limits and rules.
DriverReport fetchDirectly(const CommandRunConfig& config, EventLoop& loop, const std::function<bool()>& stop) {
    auto report = std::make_shared<std::optional<DriverReport>>();  // a report may still be queued when this returns
    const Poster post = loop.poster();
    CommandLoop direct(config.target, config.curl, [report, post](std::vector<DriverReport>&& done) {
        post([report, r = done.front()] { *report = r; });
    });
    direct.start(0, "");
    while (!*report && !stop())
        loop.runUntil(Clock::now() + std::chrono::seconds(1), [&] { return *report || stop(); });
    return report->value_or(DriverReport{0, Verdict{ProbeOutcome::Aborted, Reason::Stopped}});
}

// What a process whose descriptor limit leaves none for a check is told.
std::string starvedMessage() {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    return "the descriptor limit (ulimit -n) of " + std::to_string(files.rlim_cur) +
           " leaves no descriptor for a check; raise it";
}

}  // namespace

int runCheckCommand(const std::vector<std::string>& args) {
    const bool outputClosed = holdClosedStandardDescriptors();
    const ParsedArguments parsed = parseArguments(args);
    if (!parsed.error.empty()) {
        say(parsed.error);
        const std::string hint = std::string("Try '") + kProgramName + " --help' for more information.\n";
        [[maybe_unused]] const ssize_t n = ::write(2, hint.data(), hint.size());
        return 2;
    }
    const CheckOptions& o = parsed.options;
    if (o.help || o.version) {
        const std::string text = o.help ? helpText() : versionText();
        if (::write(1, text.data(), text.size()) != ssize_t(text.size())) {
            say(std::string("write error: ") + std::strerror(errno));
            return 2;
        }
        return 0;
    }

    if (outputClosed) {  // no check is worth starting when none of its results can be written
        say(std::string("write error: ") + std::strerror(EBADF));
        return 2;
    }
    ProxyLines proxies;
    if (!readInputs(o.files.empty() ? std::vector<std::string>{"-"} : o.files, proxies)) return 2;

    try {
        return checkAll(o, proxies);
    } catch (const std::exception& e) {  // the process could not be set up for the checks
        say(std::string("cannot check: ") + e.what());
        return 2;
    }
}

namespace {

int checkAll(const CheckOptions& o, ProxyLines& proxies) {
    const ProcessSetup setup;  // before any thread, and gone after the last
    EventLoop loop;            // likewise: every thread inherits the signals it blocks
    int writeError = 0;
    const Poster post = loop.poster();
    OutputWriter output(1, [post, &writeError](int error) { post([&writeError, error] { writeError = error; }); });
    const ResultLines lines(o);
    Progress progress(!o.quiet);
    Tally tally;

    CommandRunConfig config = runConfig(o);
    int interrupts = 0;
    if (o.preflight && proxies.count() > 0) {
        loop.onSignal = [&](int) { ++interrupts; };
        const DriverReport report = fetchDirectly(config, loop, [&] { return interrupts > 0; });
        if (interrupts > 0) return 130;
        if (report.outOfDescriptors) {
            say(starvedMessage());
            return 2;
        }
        const Verdict& direct = report.verdict;
        config.target.directStatus = direct.httpStatus;
        if (direct.outcome != ProbeOutcome::Working) {
            say(config.target.url + ": " + std::string(reasonName(direct.reason)) +
                " when fetched directly; every proxy would read dead (--no-preflight checks anyway)");
            return 2;
        }
    }
    config.target.proxyAnswerDecides = true;  // through a proxy; the page's own answer, directly, was the page's
    CommandRun run(config, proxies, post, [&](const CheckResult& r) {
        ++(r.verdict.outcome == ProbeOutcome::Working ? tally.working
           : r.verdict.outcome == ProbeOutcome::Dead  ? tally.dead
                                                      : tally.aborted);
        if (lines.wanted(r.verdict.outcome)) output.write(lines.format(r.proxy, r.verdict));
    });

    const auto started = Clock::now();
    loop.onSignal = [&](int) {
        if (++interrupts > 1) ::_exit(130);  // at once: every write so far carried whole lines
        run.stop();
    };
    bool saidDescriptors = false, saidMachine = false;
    const auto note = [&](bool& said, CommandRun::Hold why, const std::string& text) {
        if (said || !run.everHeld(why)) return;
        said = true;
        progress.clear();
        say(text);
    };
    const auto showProgress = [&] {
        const auto elapsed = Clock::now() - started;
        const long long all = static_cast<long long>(proxies.count());
        std::string left = "--";
        if (tally.checked() > 0) left = seconds(elapsed * (all - tally.checked()) / tally.checked());
        std::string text = std::to_string(tally.checked()) + "/" + std::to_string(all) + " checked, " +
                           std::to_string(tally.working) + " working, " + std::to_string(tally.dead) + " dead, " +
                           seconds(elapsed) + ", " + left + " left";
        if (run.held() == CommandRun::Hold::Descriptors) text += ", held back by the descriptor limit";
        if (run.held() == CommandRun::Hold::Machine) text += ", held back: the machine is not keeping up";
        progress.show(text);
    };
    if (progress.on()) loop.onTick = showProgress;

    driveRun(
        run, loop, [&] { return writeError != 0; },
        [&] {
            if (o.quiet) return;
            note(saidDescriptors, CommandRun::Hold::Descriptors,
                 "the descriptor limit holds back the checks in flight (ulimit -n raises it)");
            note(saidMachine, CommandRun::Hold::Machine,
                 "this machine does not keep up with " + std::to_string(o.rate) +
                     " checks a second; they start as fast as it can");
        });
    if (run.starved()) {
        progress.clear();
        say(starvedMessage());
        return 2;
    }
    if (writeError) {
        run.stop();
        progress.clear();
        say(std::string("write error: ") + std::strerror(writeError));
        return 2;
    }
    // What is left to write goes out while the reader takes it; a reader that takes nothing more is not waited for.
    while (!output.idle() && !writeError) {
        if (interrupts > 0 && !output.idle() && Clock::now() - output.lastProgress() > kOutputStall) break;
        loop.runUntil(Clock::now() + std::chrono::milliseconds(20), [&] { return output.idle() || writeError != 0; });
    }
    progress.clear();
    if (writeError) {
        say(std::string("write error: ") + std::strerror(writeError));
        return 2;
    }
    const auto summary = [&] {
        if (!o.quiet)
            say(std::to_string(tally.checked()) + " checked, " + std::to_string(tally.working) + " working, " +
                std::to_string(tally.dead) + " dead, " + std::to_string(tally.aborted) + " aborted, " +
                seconds(Clock::now() - started));
    };
    if (!output.idle()) {
        // The writer stays blocked in its write, whole lines or nothing: the program ends around it.
        say(std::to_string(output.unwritten()) + " result lines not written: standard output is blocked");
        summary();
        ::_exit(130);
    }
    summary();
    if (interrupts > 0) return 130;
    return tally.working > 0 ? 0 : 1;
}

}  // namespace

#include "check/CheckCommand.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "check/EventLoop.h"
#include "check/Output.h"
#include "check/ResultLines.h"
#include "engine/loops/CommandLoop.h"
#include "engine/loops/CommandRun.h"
#include "engine/loops/DriveRun.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/ListFile.h"
#include "lists/ProxyLines.h"
#include "sys/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;
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

// A file name as standard error shows it: control bytes escaped, so a name cannot drive the terminal.
std::string shown(const std::string& name) {
    return escapeForTerminal(name);
}

std::string reasonOf(const ListFileError& e) {
    if (e.kind() == ListFileError::Kind::TooLarge) return "larger than 64 MiB, the most the lists may hold together";
    return e.error() ? std::strerror(e.error()) : "cannot be read";
}

// Why a certificate file cannot be used, or nothing.
std::string unreadable(const std::string& file) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    return {};
}

std::string seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

// What a process whose descriptor limit leaves none for a check is told.
std::string starvedMessage() {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    return "the descriptor limit (ulimit -n) of " + std::to_string(files.rlim_cur) +
           " leaves no descriptor for a check; raise it";
}

CommandRunConfig runConfig(const CheckOptions& o, std::shared_ptr<const CountryDb> countries) {
    CommandRunConfig config;
    if (o.url) config.target.url = *o.url;
    if (o.expect) config.target.marker = *o.expect;
    if (o.judge) {
        config.target.url = *o.judge;
        config.target.page = Target::Page::Echo;
        config.target.least = o.anonymity.value_or(Anonymity::Transparent);
    }
    if (o.unaltered) config.target.page = Target::Page::Unaltered;
    config.target.countries = std::move(countries);
    config.target.keepCountries = o.countries;
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

}  // namespace

int CheckCommand::execute() {
    const bool outputClosed = holdClosedStandardDescriptors();
    ParsedArguments parsed = parseArguments(args_);
    if (!parsed.error.empty()) return usageError(parsed.error);
    options_ = std::move(parsed.options);
    const CheckOptions& o = options_;
    if (o.help || o.version) {
        const std::string text = o.help ? helpText() : versionText();
        if (::write(1, text.data(), text.size()) != ssize_t(text.size())) {
            err_.say(std::string("write error: ") + std::strerror(errno));
            return 2;
        }
        return 0;
    }
    if (outputClosed) {  // no check is worth starting when none of its results can be written
        err_.say(std::string("write error: ") + std::strerror(EBADF));
        return 2;
    }
    if (!o.caFile.empty())
        if (const std::string why = unreadable(o.caFile); !why.empty()) {
            err_.say("--cacert: " + shown(o.caFile) + ": " + why);
            return 2;
        }
    if (!openCountries()) return 2;
    if (!o.countries.empty() && !countries_)
        return usageError("--country needs a country database (--geoip=FILE); none is in the usual places");
    ProxyLines proxies;
    if (!readInputs(proxies)) return 2;
    try {
        return check(proxies);
    } catch (const std::system_error& e) {  // the process could not be set up for the checks
        err_.say(std::string("cannot check: ") + e.what());
        if (e.code() == std::errc::too_many_files_open) err_.say(starvedMessage());
        return 2;
    } catch (const std::exception& e) {
        err_.say(std::string("cannot check: ") + e.what());
        return 2;
    }
}

// Every list, read whole before anything starts; false (after saying why) on the first that cannot be read. The
// lists together stay within one list's limit.
bool CheckCommand::readInputs(ProxyLines& proxies) {
    std::size_t left = kMaxListBytes;
    const std::vector<std::string> files = options_.files.empty() ? std::vector<std::string>{"-"} : options_.files;
    for (const std::string& file : files) {
        const std::string name = file == "-" ? "(standard input)" : shown(file);
        try {
            const std::string raw = file == "-" ? readStreamBytes(0, file, left) : readInputBytes(file, left);
            left -= raw.size();
            if (const auto nul = proxies.add(raw))
                err_.say(name + ": text after a NUL byte at offset " + std::to_string(*nul) + " ignored");
        } catch (const ListFileError& e) {
            err_.say(name + ": " + reasonOf(e));
            return false;
        }
    }
    return true;
}

int CheckCommand::check(ProxyLines& proxies) {
    const ProcessSetup setup;  // before any thread, and gone after the last
    EventLoop loop;            // likewise: every thread inherits the signals it blocks
    if (!options_.quiet) err_.wantProgress();
    const Poster post = loop.poster();
    OutputWriter output(
        1, [post](int) { post([] {}); }, err_.sharesTerminal() ? &err_ : nullptr);
    const ResultLines lines(options_, countries_ != nullptr);

    CommandRunConfig config = runConfig(options_, countries_);
    loop.onSignal = [&](int) { ++interrupts_; };
    if (options_.preflight && proxies.count() > 0)
        if (const int status = preflight(config, loop); status >= 0) return status;
    config.target.proxyAnswerDecides = true;  // through a proxy; the page's own answer, directly, was the page's
    CommandRun run(config, proxies, post, [&](const CheckResult& r) {
        ++(r.verdict.outcome == ProbeOutcome::Working ? tally_.working
           : r.verdict.outcome == ProbeOutcome::Dead  ? tally_.dead
                                                      : tally_.aborted);
        if (lines.wanted(r.verdict.outcome)) output.write(lines.format(r.proxy, r.verdict));
    });

    started_ = Clock::now();
    loop.onSignal = [&](int) {
        if (++interrupts_ > 1) ::_exit(130);  // at once: every write so far carried whole lines
        run.stop();
    };
    if (err_.progressOn()) loop.onTick = [&] { showProgress(run, proxies.count()); };
    bool saidDescriptors = false, saidMachine = false;
    const auto note = [&](bool& said, CommandRun::Hold why, const std::string& text) {
        if (said || !run.everHeld(why) || options_.quiet) return;
        said = true;
        err_.say(text);
    };
    driveRun(
        run, loop, [&] { return output.error() != 0; },
        [&] {
            note(saidDescriptors, CommandRun::Hold::Descriptors,
                 "the descriptor limit holds back the checks in flight (ulimit -n raises it)");
            note(saidMachine, CommandRun::Hold::Machine,
                 "this machine does not keep up with " + std::to_string(options_.rate) +
                     " checks a second; they start as fast as it can");
        });
    if (run.starved()) {
        err_.say(starvedMessage());
        return 2;
    }
    if (output.error()) run.stop();  // nothing more can be written: the checks in flight are given up
    return drain(output, loop);
}

int CheckCommand::preflight(CommandRunConfig& config, EventLoop& loop) {
    Target& target = config.target;
    // Fetched directly: none of what a proxy may be found out by applies, and a Via of our own goes with the
    // request, which a judge must show back (one that hides it would read every proxy elite).
    CommandRunConfig direct = config;
    direct.target.sendVia = target.page == Target::Page::Echo;
    direct.target.least = Anonymity::Transparent;
    direct.target.keepCountries.clear();
    const DriverReport report = fetchDirectly(direct, loop, [&] { return interrupts_ > 0; });
    if (interrupts_ > 0) return 130;
    if (report.outOfDescriptors) {
        err_.say(starvedMessage());
        return 2;
    }
    const Verdict& fetched = report.verdict;
    target.directStatus = fetched.httpStatus;
    target.digest = fetched.digest;
    const std::string url = shown(target.url);
    if (fetched.reason == Reason::NotAJudge) {
        err_.say(url + ": not a judge page (no REMOTE_ADDR and no origin)");
        return 2;
    }
    if (fetched.outcome != ProbeOutcome::Working) {
        err_.say(url + ": " + std::string(reasonName(fetched.reason)) +
                 " when fetched directly; every proxy would read dead (--no-preflight checks anyway)");
        return 2;
    }
    if (target.page != Target::Page::Echo) return -1;
    const Sighting& seen = *fetched.sighting;
    if (std::find(seen.leaks.begin(), seen.leaks.end(), "Via") == seen.leaks.end()) {
        err_.say(url +
                 ": the judge does not show the Via header it was sent, so every proxy would read elite; "
                 "httpbin shows it when asked: /get?show_env=1");
        return 2;
    }
    if (seen.exit.empty()) {
        err_.say(url + ": the judge names no address it saw the request come from");
        return 2;
    }
    // Ours: as the judge sees us, and this machine's own, of both families (a proxy may reach us over the other).
    target.ourAddresses = machineAddresses();
    target.ourAddresses.push_back(seen.exit);
    return -1;
}

// The country database asked for, or the first in the usual places; false (after saying why) when one asked for
// cannot be read.
bool CheckCommand::openCountries() {
    try {
        if (!options_.geoip.empty()) {
            countries_ = std::make_shared<const CountryDb>(options_.geoip);
        } else {
            for (const std::string& file : usualCountryDbs())
                if (::access(file.c_str(), R_OK) == 0) {
                    countries_ = std::make_shared<const CountryDb>(file);
                    break;
                }
        }
    } catch (const std::exception& e) {
        err_.say(std::string("--geoip: ") + shown(e.what()));
        return false;
    }
    return true;
}

int CheckCommand::usageError(const std::string& error) {
    err_.say(error);
    err_.write(std::string("Try '") + kProgramName + " --help' for more information.\n");
    return 2;
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
        err_.say(std::string("write error: ") + std::strerror(error));
        return 2;
    }
    if (!output.idle()) {
        // The writer stays blocked in its write, whole lines or nothing: the program ends around it.
        err_.say(std::to_string(output.unwritten()) + " result lines not written: standard output is blocked");
        summary();
        ::_exit(130);
    }
    summary();
    if (interrupts_ > 0) return 130;
    return tally_.working > 0 ? 0 : 1;
}

void CheckCommand::showProgress(const CommandRun& run, std::size_t all) {
    const auto elapsed = Clock::now() - started_;
    const long long total = static_cast<long long>(all), done = tally_.checked();
    const std::string left = done > 0 ? seconds(elapsed * (total - done) / done) : "--";
    std::string text = std::to_string(done) + "/" + std::to_string(total) + " checked, " +
                       std::to_string(tally_.working) + " working, " + std::to_string(tally_.dead) + " dead, " +
                       seconds(elapsed) + ", " + left + " left";
    if (run.held() == CommandRun::Hold::Descriptors) text += ", held back by the descriptor limit";
    if (run.held() == CommandRun::Hold::Machine) text += ", held back: the machine is not keeping up";
    err_.progress(text);
}

void CheckCommand::summary() {
    if (options_.quiet) return;
    err_.say(std::to_string(tally_.checked()) + " checked, " + std::to_string(tally_.working) + " working, " +
             std::to_string(tally_.dead) + " dead, " + std::to_string(tally_.aborted) + " aborted, " +
             seconds(Clock::now() - started_));
}

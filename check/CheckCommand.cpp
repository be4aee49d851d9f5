#include "check/CheckCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "check/EventLoop.h"
#include "check/Options.h"
#include "engine/CheckRun.h"
#include "engine/CurlGlobal.h"
#include "engine/CurlHttp.h"
#include "engine/RunView.h"
#include "lists/LineList.h"
#include "lists/ListFile.h"
#include "lists/ShiftJis.h"
#include "ui/Cp932Codec.h"

namespace {

using Clock = std::chrono::steady_clock;

// Writes whole lines to a descriptor, one write each: what is written is never cut mid-line.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void complain(const std::string& message) {
    writeAll(2, std::string(kProgramName) + ": " + message + "\n");
}

// Result lines in the chosen encoding: the window's bytes and CR LF, or the text the window shows, in UTF-8.
class Output {
  public:
    explicit Output(bool cp932) : cp932_(cp932) {}
    void line(std::string_view sjis) const {
        std::string out = cp932_ ? std::string(sjis) : codec_.decode(sjis).toStdString();
        out += cp932_ ? sjis::kLineBreak : "\n";
        writeAll(1, out);
    }

  private:
    bool cp932_;
    Cp932Codec codec_;
};

// One line on a terminal's standard error, kept up to date and gone at the end.
class Progress {
  public:
    explicit Progress(bool wanted) : on_(wanted && ::isatty(2)), sharesTerminal_(on_ && ::isatty(1)) {}
    bool on() const { return on_; }
    void show(const std::string& text) {
        if (!on_) return;
        writeAll(2, "\r" + text + "\x1b[K");
        shown_ = true;
    }
    void clear() {
        if (!shown_) return;
        writeAll(2, "\r\x1b[K");
        shown_ = false;
    }
    void beforeOutput() {
        if (sharesTerminal_) clear();
    }

  private:
    bool on_;
    bool sharesTerminal_;
    bool shown_ = false;
};

struct Tally {
    long long working = 0, dead = 0, aborted = 0;
    long long checked() const { return working + dead + aborted; }
};

// The run's view: the list it reads, the lines it writes, and a tally of them.
class StreamView final : public RunView {
  public:
    StreamView(const LineList& list, const Output& out, Progress& progress, bool workingOnly)
        : list_(list), out_(out), progress_(progress), workingOnly_(workingOnly) {}

    void setRunFlag(const std::string&) override {}
    void setDoneCount(const std::string&) override {}
    void setTotal(const std::string&) override {}
    void setStatus(const std::string&) override {}
    std::size_t proxyCount() const override { return list_.count(); }
    std::string proxyLine(std::size_t i) const override { return list_.line(i); }

    void appendResult(const std::string& line) override {
        const std::string_view head = prefixes::headOf(line);
        const bool working = head == prefixes::kWorking;
        ++(working ? tally.working : head == prefixes::kDead ? tally.dead : tally.aborted);
        if (workingOnly_ && !working) return;
        progress_.beforeOutput();
        // -w leaves what Tidy leaves of a working line: the proxy text alone.
        out_.line(workingOnly_ ? std::string_view(line).substr(prefixes::kWidth) : std::string_view(line));
    }

    Tally tally;

  private:
    const LineList& list_;
    const Output& out_;
    Progress& progress_;
    bool workingOnly_;
};

std::string reasonOf(const ListFileError& e) {
    if (e.kind() == ListFileError::Kind::TooLarge) return "larger than 64 MiB, the most a list may hold";
    return e.error() ? std::strerror(e.error()) : "cannot be read";
}

// Every list, read whole before anything starts, as one line list; false (after saying why) on the first
// that cannot be read.
bool readInputs(const std::vector<std::string>& files, LineList& all) {
    for (const std::string& file : files) {
        const std::string name = file == "-" ? "(standard input)" : file;
        try {
            const LineList one(file == "-" ? readListStream(0, name) : readListInput(file));
            for (std::size_t i = 0; i < one.count(); ++i) all.append(one.line(i));
        } catch (const ListFileError& e) {
            complain(name + ": " + reasonOf(e));
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

}  // namespace

int runCheckCommand(const std::vector<std::string>& args) {
    const ParsedArguments parsed = parseArguments(args);
    if (!parsed.error.empty()) {
        complain(parsed.error);
        writeAll(2, std::string("Try '") + kProgramName + " --help' for more information.\n");
        return 2;
    }
    const CheckOptions& o = parsed.options;
    if (o.help) return writeAll(1, helpText()), 0;
    if (o.version) return writeAll(1, versionText()), 0;

    LineList list;
    if (!readInputs(o.files.empty() ? std::vector<std::string>{"-"} : o.files, list)) return 2;
    long long toCheck = 0;
    for (std::size_t i = 0; i < list.count(); ++i) toCheck += !list.line(i).empty();

    prepareForManyChecks();
    EventLoop loop;         // before any thread: they all inherit the blocked signals
    const CurlGlobal curl;  // likewise before any thread, and torn down after the run has joined them
    const Output out(o.cp932);
    Progress progress(!o.quiet);
    StreamView view(list, out, progress, o.workingOnly);

    CurlTimeouts timeouts;
    if (o.timeout) {
        timeouts.total = std::min<std::chrono::milliseconds>(timeouts.total, *o.timeout);
        timeouts.connect = std::min(timeouts.connect, timeouts.total);
        timeouts.idle = std::min(timeouts.idle, timeouts.total);
    }
    RunConfig config;
    config.http = std::make_shared<CurlHttpLayer>(timeouts);
    config.post = loop.poster();
    // Waves of up to ten, as the window dispatches, spaced so that `rate` start each second.
    config.waveSize = std::min(o.rate, RunConfig::kSlotCount);
    config.wavePause = std::chrono::milliseconds(1000 * config.waveSize / o.rate);
    config.pause = [&loop](std::chrono::milliseconds ms, const std::function<bool()>& interrupted) {
        loop.runUntil(Clock::now() + ms, interrupted);
    };
    config.pauseAfterLastWave = false;
    config.holdCompletionsDuringDispatch = false;
    CheckRun run(view, config);

    const auto started = Clock::now();
    int interrupts = 0;
    loop.onSignal = [&](int) {
        if (++interrupts > 1) ::_exit(130);  // at once: everything written so far is whole lines
        run.interruptDispatch();
        run.stopEveryCheck();
    };
    if (progress.on()) {
        loop.onTick = [&] {
            const Tally& t = view.tally;
            const auto elapsed = Clock::now() - started;
            std::string left = "--";
            if (t.checked() > 0) left = seconds(elapsed * (toCheck - t.checked()) / t.checked());
            progress.show(std::to_string(t.checked()) + "/" + std::to_string(toCheck) + " checked, " +
                          std::to_string(t.working) + " working, " + std::to_string(t.dead) + " dead, " +
                          seconds(elapsed) + ", " + left + " left");
        };
    }
    run.start();
    loop.runUntil(Clock::time_point::max(), [&] { return run.flag() == CheckRun::Flag::Off; });
    progress.clear();

    const Tally& t = view.tally;
    if (!o.quiet)
        complain(std::to_string(t.checked()) + " checked, " + std::to_string(t.working) + " working, " +
                 std::to_string(t.dead) + " dead, " + std::to_string(t.aborted) + " aborted, " +
                 seconds(Clock::now() - started));
    if (interrupts > 0) return 130;
    return t.working > 0 ? 0 : 1;
}

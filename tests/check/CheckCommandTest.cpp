// kiriha-check end to end: the real binary against the suite's local servers and a real tinyproxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "kiriha/Version.h"
#include "lists/ShiftJis.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

using namespace std::chrono_literals;

// kiriha-check as `launch` says. Without a page of the test's own (--url) there is no preflight: the window's page
// is not reachable from here.
Ran runCheck(Launch launch, const std::function<void(pid_t, const std::string& out)>& watch = {}) {
    launch.binary = KIRIHA_CHECK_BINARY;
    if (std::none_of(launch.args.begin(), launch.args.end(), [](const auto& a) { return a.starts_with("--url"); }))
        launch.args.insert(launch.args.begin(), "--no-preflight");
    return runProgram(launch, watch);
}

Ran runCheck(const std::vector<std::string>& args, const std::string& input = "",
             const std::function<void(pid_t, const std::string& out)>& watch = {}, bool errOnTerminal = false) {
    Launch launch;
    launch.args = args;
    launch.input = input;
    launch.errOnTerminal = errOnTerminal;
    return runCheck(launch, watch);
}

std::multiset<std::string> linesOf(const std::string& text, std::string_view lineBreak = "\n") {
    std::multiset<std::string> lines;
    for (std::size_t pos = 0, end; (end = text.find(lineBreak, pos)) != std::string::npos;
         pos = end + lineBreak.size()) {
        std::string line = text.substr(pos, end - pos);
        if (lineBreak == "\n" && line.ends_with('\r')) line.pop_back();  // a terminal's CR LF
        lines.insert(line);
    }
    return lines;
}

// Proxies of every kind, for the whole suite.
struct Proxies {
    TestServer working{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); }};
    TestServer plain{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>no marker here</p>")); }};
    TestServer silent{[](TestServer::Connection& c) { c.sleep(std::chrono::seconds(30)); }};
    TinyProxy tinyproxy{"Upstream http " + working.address() + "\n"};  // a real proxy in front of a working one
    const std::string dead = "127.0.0.1:" + std::to_string(freePort());
};
Proxies* proxies = nullptr;

class CheckCommand : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { proxies = new Proxies; }
    static void TearDownTestSuite() {
        delete proxies;
        proxies = nullptr;
    }

  public:
    std::string file(const std::string& name, const std::string& bytes) { return dir.file(name, bytes); }
    TempDir dir;
};

const std::string kDead = "死亡：", kOk = "ＯＫ：", kAborted = "中止：";

struct CommandCase : NamedCase {
    std::function<Launch(CheckCommand&)> launch;
    std::function<std::multiset<std::string>()> lines;  // UTF-8, without line breaks
    int status;
    std::string err = "";   // what standard error says, among other things
    int startsAtMost = -1;  // how many checks of the working proxy may have started, when it matters
    bool sanitized = true;  // false: the sanitizers' own runtime cannot work within the limits the case sets
};

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class CommandTable : public CheckCommand, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, PrintsTheVerdictsAndExits) {
    const CommandCase& c = GetParam();
    if (kSanitized && !c.sanitized) GTEST_SKIP() << "a sanitized build cannot run within these limits";
    const int before = proxies->working.connections();
    const Ran ran = runCheck(c.launch(*this));
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_EQ(linesOf(ran.out), c.lines()) << ran.out;
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
    if (ran.status == 2) {
        EXPECT_TRUE(ran.err.starts_with("kiriha-check: ")) << ran.err;
    }
    const int startsAtMost = ran.status == 2 && c.startsAtMost < 0 ? 0 : c.startsAtMost;  // bad usage starts none
    if (startsAtMost >= 0) {
        EXPECT_LE(proxies->working.connections() - before, startsAtMost);
    }
}

std::string list() {
    return proxies->working.address() + "\n" + proxies->dead + "\r\n\r\n" + proxies->plain.address() + "\r" +
           proxies->tinyproxy.address() + "\n";
}
std::multiset<std::string> verdicts() {
    return {kOk + proxies->working.address(), kDead + proxies->dead, kDead + proxies->plain.address(),
            kOk + proxies->tinyproxy.address()};
}
std::string many(const std::string& proxy, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += proxy + "\n";
    return text;
}
auto noLines = [] { return std::multiset<std::string>{}; };
Launch args(std::vector<std::string> a, std::string input = "", Out out = Out::Pipe) {
    Launch launch;
    launch.args = std::move(a);
    launch.input = std::move(input);
    launch.out = out;
    return launch;
}

INSTANTIATE_TEST_SUITE_P(
    All, CommandTable,
    ::testing::Values(
        CommandCase{"AFile", [](CheckCommand& t) { return args({t.file("l.txt", list())}); }, verdicts, 0},
        CommandCase{"StandardInput", [](CheckCommand&) { return args({"--rate=100"}, list()); }, verdicts, 0},
        CommandCase{"FilesAndStandardInput",
                    [](CheckCommand& t) {
                        return args({t.file("a", proxies->working.address()), "-", t.file("b", proxies->dead)},
                                    proxies->plain.address());
                    },
                    [] {
                        return std::multiset<std::string>{kOk + proxies->working.address(), kDead + proxies->dead,
                                                          kDead + proxies->plain.address()};
                    },
                    0},
        CommandCase{"WorkingOnly",
                    [](CheckCommand&) {
                        return args({"-w", "-q"}, list());
                    },
                    [] {
                        return std::multiset<std::string>{proxies->working.address(), proxies->tinyproxy.address()};
                    },
                    0},
        CommandCase{"NothingWorks",
                    [](CheckCommand&) { return args({}, proxies->dead + "\n" + proxies->plain.address()); },
                    [] {
                        return std::multiset<std::string>{kDead + proxies->dead, kDead + proxies->plain.address()};
                    },
                    1},
        CommandCase{"EmptyList", [](CheckCommand&) { return args({}); }, noLines, 1},
        // Bytes that are not Shift_JIS come out as the window shows them: U+F700 + the byte.
        CommandCase{"ShiftJisProxyTextInUtf8", [](CheckCommand&) { return args({}, "\x83\x76\x83\x8d:80\n\x80x:1\n"); },
                    [] {
                        return std::multiset<std::string>{kDead + "プロ:80", kDead + "\uf780x:1"};
                    },
                    1},
        // Blank lines start nothing and wait for nothing: at the default ten a second these would take 1,000 s.
        CommandCase{"TenThousandBlankLinesCostNothing",
                    [](CheckCommand&) { return args({}, std::string(10000, '\n') + proxies->working.address()); },
                    [] { return std::multiset<std::string>{kOk + proxies->working.address()}; }, 0},
        // The text ends at a NUL, as Load has it, but not silently.
        CommandCase{"TextAfterANulIsIgnoredWithAWord",
                    [](CheckCommand&) {
                        return args({},
                                    proxies->working.address() + "\n" + std::string(1, '\0') + "\n" + proxies->dead);
                    },
                    [] { return std::multiset<std::string>{kOk + proxies->working.address()}; }, 0,
                    "kiriha-check: (standard input): text after a NUL byte at offset 16 ignored\n"},
        // On a terminal, control bytes in a proxy text are shown, not obeyed.
        CommandCase{"ControlBytesEscapedOnATerminal",
                    [](CheckCommand&) { return args({"-q"}, "\x1b]0;title\x07\\:1\n", Out::Terminal); },
                    [] { return std::multiset<std::string>{kDead + "\\x1b]0;title\\x07\\\\:1"}; }, 1},
        CommandCase{"ControlBytesAsTheyAreInAPipe", [](CheckCommand&) { return args({"-q"}, "\x1b[2J:1\n"); },
                    [] { return std::multiset<std::string>{kDead + "\x1b[2J:1"}; }, 1},
        // A check that gets no descriptor is not dead: under a low limit the checks wait for room.
        CommandCase{"ADescriptorLimitHoldsChecksBackAndCostsNoVerdict",
                    [](CheckCommand&) {
                        Launch l = args({"--rate=10000", "--timeout=1"},
                                        many(proxies->silent.address(), 60) + many(proxies->working.address(), 30));
                        l.files = 64;
                        return l;
                    },
                    [] {
                        std::multiset<std::string> want;
                        for (int i = 0; i < 60; ++i) want.insert(kDead + proxies->silent.address());
                        for (int i = 0; i < 30; ++i) want.insert(kOk + proxies->working.address());
                        return want;
                    },
                    0, "kiriha-check: the descriptor limit holds back the checks in flight"},
        // Results that cannot be written end the run: nothing further starts, and the status says so.
        CommandCase{
            "StandardOutputClosed",
            [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::Closed); },
            noLines, 2, "kiriha-check: write error: Bad file descriptor\n", 0},
        CommandCase{"DiskFull",
                    [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::Full); },
                    noLines, 2, "kiriha-check: write error: No space left on device\n", 5},
        CommandCase{
            "ReaderGoneWithSigpipeIgnored",
            [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::ReaderGone); },
            noLines, 2, "kiriha-check: write error: Broken pipe\n", 5},
        CommandCase{"AnUnreadableFileStartsNothing",
                    [](CheckCommand& t) {
                        return args({t.file("l.txt", list()), t.dir.str() + "/missing.txt"});
                    },
                    noLines, 2},
        CommandCase{"AFolder", [](CheckCommand& t) { return args({t.dir.str()}, list()); }, noLines, 2},
        CommandCase{"TooLarge",
                    [](CheckCommand& t) {
                        const std::string big = t.file("big", "");
                        std::filesystem::resize_file(big, (64u << 20) + 1);
                        return args({big}, list());
                    },
                    noLines, 2},
        // The limit holds for the lists together.
        CommandCase{"ThreeListsOfThirtyMegabytes",
                    [](CheckCommand& t) {
                        std::vector<std::string> files;
                        for (const char* name : {"a", "b", "c"}) {
                            files.push_back(t.file(name, proxies->working.address() + "\n"));
                            std::filesystem::resize_file(files.back(), 30u << 20);
                        }
                        return args(files);
                    },
                    noLines, 2, "c: larger than 64 MiB, the most the lists may hold together"},
        // Too few descriptors to set up: a message and exit 2, not an abort.
        CommandCase{"ASetUpThatFailsSaysWhy",
                    [](CheckCommand&) {
                        Launch l = args({}, proxies->working.address());
                        l.files = 4;
                        return l;
                    },
                    noLines, 2, ": Too many open files\n", -1, false},
        CommandCase{"BadRate",
                    [](CheckCommand&) {
                        return args({"--rate", "10001"}, list());
                    },
                    noLines, 2},
        CommandCase{"UnknownOption", [](CheckCommand&) { return args({"--fast"}, list()); }, noLines, 2}),
    caseName);

// The same list through the window and through --cp932: the same bytes, line for line.
TEST_F(CheckCommand, Cp932IsTheWindowsResultList) {
    const std::string sjisList = proxies->working.address() + "\r\n" + proxies->dead + "\r\n\x83\x76\x83\x8d:80\r\n" +
                                 "\x80\xfd\x85\x40:1\r\n" + proxies->tinyproxy.address() + "\r\n";
    FormSettings settings;
    settings.wavePause = 10ms;
    TForm1 form(settings);
    form.proxyList().setText(sjisList);
    form.Button1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.kusi_th->text() == "off"; }, 20000));
    std::multiset<std::string> window = linesOf(form.results().text(), sjis::kLineBreak);
    window.erase(window.find(""));  // the result list's first, empty line

    const Ran ran = runCheck({"--cp932", "-q"}, sjisList);
    EXPECT_EQ(ran.status, 0);
    EXPECT_TRUE(ran.out.ends_with("\r\n"));
    EXPECT_EQ(linesOf(ran.out, sjis::kLineBreak), window);
    EXPECT_EQ(window.size(), 5u);
}

// The first interrupt stops every check in flight at once, whatever it waits for, and each prints its line whole.
struct InterruptCase : NamedCase {
    TestServer::Handler play;
    int checks;
};
class Interrupt : public CheckCommand, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(Interrupt, StopsEveryCheckAtOnce) {
    TestServer server(GetParam().play);
    const int n = GetParam().checks;
    bool sent = false;
    std::chrono::steady_clock::time_point at;
    const Ran ran = runCheck({"--rate", "100"}, many(server.address(), n), [&](pid_t pid, const std::string&) {
        if (!sent && server.connections() == n) {
            std::this_thread::sleep_for(100ms);  // all waiting
            at = std::chrono::steady_clock::now();
            sent = ::kill(pid, SIGINT) == 0;
        }
    });
    EXPECT_LT(std::chrono::steady_clock::now() - at, 5s);  // not the 30 s the checks would wait
    EXPECT_EQ(ran.status, 130);
    EXPECT_TRUE(ran.out.ends_with("\n"));
    const std::vector<std::string> aborted(std::size_t(n), kAborted + server.address());
    EXPECT_EQ(linesOf(ran.out), std::multiset<std::string>(aborted.begin(), aborted.end())) << ran.out;
    const std::string summary = std::to_string(n) + " checked, 0 working, 0 dead, " + std::to_string(n) + " aborted";
    EXPECT_NE(ran.err.find(summary), std::string::npos) << ran.err;
}

INSTANTIATE_TEST_SUITE_P(All, Interrupt,
                         ::testing::Values(
                             // Headers at once, then a byte now and then: checks that sit in their read loop.
                             InterruptCase{"InTheReadLoop",
                                           [](TestServer::Connection& c) {
                                               c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
                                               while (c.sleep(50ms) && c.send("x")) {
                                               }
                                           },
                                           30},
                             InterruptCase{"WaitingForTheResponse", [](TestServer::Connection& c) { c.sleep(30s); },
                                           5}),
                         caseName);

// A reader that takes nothing more does not keep the command from answering signals: the first stops the checks and
// gives up on the output a second later, a second ends it at once; no line is ever cut.
TEST_F(CheckCommand, ABlockedWriterStillAnswersSignals) {
    for (const int count : {1, 2}) {
        std::chrono::steady_clock::time_point at;
        bool sent = false;
        // Refused at once: more lines than a pipe holds, and no server thread for each.
        Launch l = args({"--rate=10000", "-q"}, many(proxies->dead, 5000), Out::NeverRead);
        const Ran ran = runCheck(l, [&](pid_t pid, const std::string&) {
            if (!sent) {
                std::this_thread::sleep_for(1500ms);  // the pipe is full long before
                at = std::chrono::steady_clock::now();
                for (int i = 0; i < count; ++i) ::kill(pid, SIGTERM);
                sent = true;
            }
        });
        EXPECT_EQ(ran.status, 130) << ran.err;
        EXPECT_LT(std::chrono::steady_clock::now() - at, count == 1 ? 3s : 1s) << count;
        if (count == 1) {
            EXPECT_NE(ran.err.find("result lines not written: standard output is blocked"), std::string::npos);
        }
    }
}

// On a terminal, a progress line is kept up to date on standard error and is gone before the summary.
TEST_F(CheckCommand, ProgressOnATerminalOnly) {
    TestServer late([](TestServer::Connection& c) {
        c.sleep(500ms);
        c.send(httpResponse(200, "<p>" + kTestMarker + "</p>"));
    });
    const std::string input = late.address() + "\n" + late.address() + "\n";
    const Ran shown = runCheck({}, input, {}, true);
    EXPECT_EQ(shown.status, 0);
    const auto summary = shown.err.find("kiriha-check: 2 checked, 2 working, 0 dead, 0 aborted");
    ASSERT_NE(summary, std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("/2 checked, "), std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.rfind("\r\x1b[K", summary), summary - 4);  // cleared just before it
    EXPECT_EQ(runCheck({"-q"}, input, {}, true).err, "");
    EXPECT_EQ(runCheck({}, input).err.find("/2 checked"), std::string::npos);  // not on a pipe
    // A terminal that knows no escape sequences gets none.
    Launch dumbTerminal = args({}, input);
    dumbTerminal.errOnTerminal = true;
    dumbTerminal.env = {"TERM=dumb"};
    const Ran dumb = runCheck(dumbTerminal);
    EXPECT_NE(dumb.err.find("/2 checked, "), std::string::npos) << dumb.err;
    EXPECT_EQ(dumb.err.find('\x1b'), std::string::npos) << dumb.err;
}

TEST_F(CheckCommand, HelpAndVersion) {
    const Ran help = runCheck(args({"--help"}));
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: kiriha-check [OPTION]... [FILE]...")) << help.out;
    const Ran version = runCheck(args({"--version"}));
    EXPECT_EQ(version.out, std::string("kiriha-check (霧葉) ") + kVersion + "\n");
}

}  // namespace

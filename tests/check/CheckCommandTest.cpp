// kiriha-check end to end: the real binary against the suite's local servers and a real tinyproxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "check/CheckOptions.h"
#include "cli/RunSetup.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/Verdict.h"
#include "kiriha/Version.h"
#include "lists/ShiftJis.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CountryDbWriter.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"
#include "tests/support/TestServer.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

using namespace std::chrono_literals;

// The binary under test: this build's, or another one, to show what a mend changed.
std::string checkBinary() {
    const char* other = std::getenv("KIRIHA_CHECK_UNDER_TEST");
    return other ? other : KIRIHA_CHECK_BINARY;
}

// kiriha-check as `launch` says. Without a page of the test's own (--url) there is no preflight: the window's page
// is not reachable from here.
Ran runCheck(Launch launch, const std::function<void(pid_t, const std::string& out)>& watch = {}) {
    launch.binary = checkBinary();
    if (std::none_of(launch.args.begin(), launch.args.end(),
                     [](const auto& a) { return a.starts_with("--url") || a.starts_with("--judge"); }))
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

// Each line of --json output, parsed by a real parser, with every field of the type the manual gives.
// `judged`: with a judge's fields (exit, anonymity, leaks); `located`: with a country database's (proxy_ip, country).
std::vector<nlohmann::json> objectsOf(const std::string& out, bool judged = false, bool located = false) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json o = nlohmann::json::parse(line);  // throws, failing the test, on a line that is not JSON
        EXPECT_EQ(o.size(), 9u + (judged ? 3 : 0) + (located ? 2 : 0)) << line;
        if (judged) {
            EXPECT_TRUE((o["exit"].is_null() || o["exit"].is_string()) && o["leaks"].is_array() &&
                        (o["anonymity"].is_null() ||
                         std::set<std::string>({"elite", "anonymous", "transparent"}).contains(o["anonymity"])))
                << line;
        }
        if (located) {
            EXPECT_TRUE(o["proxy_ip"].is_string() || o["proxy_ip"].is_null()) << line;
            EXPECT_TRUE(o["country"].is_null() ||
                        (o["country"].is_string() && o["country"].get<std::string>().size() == 2))
                << line;
        }
        EXPECT_TRUE(o["proxy"].is_string() && o["result"].is_string() && o["reason"].is_string() &&
                    o["scheme"].is_string())
            << line;
        EXPECT_TRUE(std::set<std::string>({"working", "dead", "aborted"}).contains(o["result"])) << line;
        for (const char* field : {"http_status", "connect_ms", "first_byte_ms"})
            EXPECT_TRUE(o[field].is_null() || o[field].is_number_integer()) << field << ": " << line;
        EXPECT_TRUE(o["total_ms"].is_number_integer() && o["bytes"].is_number_unsigned()) << line;
        objects.push_back(std::move(o));
    }
    return objects;
}

// Proxies of every kind, for the whole suite.
struct Proxies {
    TestServer working{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); }};
    TestServer plain{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>no marker here</p>")); }};
    TestServer silent{[](TestServer::Connection& c) { c.sleep(std::chrono::seconds(30)); }};
    TestServer resetsLate{[](TestServer::Connection& c) {  // whatever it is sent, HTTP or a SOCKS greeting
                              c.sleep(300ms);
                              c.reset();
                          },
                          false};
    TestServer unavailable{[](TestServer::Connection& c) { c.send(httpResponse(503, "<p>" + kTestMarker + "</p>")); }};
    TinyProxy tinyproxy{"Upstream http " + working.address() + "\n"};  // a real proxy in front of a working one
    const ClosedPort closed;
    const std::string dead = closed.address();
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
    std::string ja = "";    // what standard error says under a Japanese locale, where `err` is English
};

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// `launch` under LC_ALL=`locale`, the messages from the build's catalogues.
Launch inLocale(Launch launch, const std::string& locale) {
    launch.env.push_back("LC_ALL=" + locale);
    launch.env.push_back("TEXTDOMAINDIR=" KIRIHA_BUILD_DIR "/share/locale");
    return launch;
}

class CommandTable : public CheckCommand, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, PrintsTheVerdictsAndExits) {
    const CommandCase& c = GetParam();
    if (kSanitized && !c.sanitized) GTEST_SKIP() << "a sanitized build cannot run within these limits";
    const int before = proxies->working.connections();
    const Ran ran = runCheck(inLocale(c.launch(*this), "C"));
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
    // The same under a Japanese locale: what a person reads in Japanese, what a program reads the same.
    const Ran ja = runCheck(inLocale(c.launch(*this), "ja_JP.UTF-8"));
    EXPECT_EQ(ja.status, ran.status) << ja.err;
    EXPECT_EQ(linesOf(ja.out), linesOf(ran.out));
    EXPECT_NE(ja.err.find(c.ja), std::string::npos) << ja.err;
    if (ran.status == 2) {
        EXPECT_TRUE(ja.err.starts_with("kiriha-check: ")) << ja.err;
    }
    if (ran.status == 2 && ran.err.find("--help") != std::string::npos) {
        EXPECT_NE(ja.err.find("詳しくは 'kiriha-check --help' を実行してください。"), std::string::npos) << ja.err;
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
// The nonce a request to a judge carries in its query, as a judge would echo it.
std::string nonceOf(const std::string& request) {
    const auto at = request.find("kiriha=");
    return at == std::string::npos ? "" : request.substr(at, request.find_first_of(" &\r", at) - at);
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
                    "kiriha-check: (standard input): text after a NUL byte at offset 16 ignored\n", -1, true,
                    "kiriha-check: (標準入力): オフセット 16 の NUL バイト以降のテキストを無視した\n"},
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
                    0, "kiriha-check: the descriptor limit holds back the checks in flight", -1, true,
                    "kiriha-check: ディスクリプタの上限で同時に行うチェックが抑えられている"},
        // Results that cannot be written end the run: nothing further starts, and the status says so.
        CommandCase{
            "StandardOutputClosed",
            [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::Closed); },
            noLines, 2, "kiriha-check: write error: Bad file descriptor\n", 0, true, "kiriha-check: 書き込みエラー: "},
        CommandCase{"DiskFull",
                    [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::Full); },
                    noLines, 2, "kiriha-check: write error: No space left on device\n", 5, true,
                    "kiriha-check: 書き込みエラー: "},
        CommandCase{
            "ReaderGoneWithSigpipeIgnored",
            [](CheckCommand&) { return args({"--rate=20"}, many(proxies->working.address(), 40), Out::ReaderGone); },
            noLines, 2, "kiriha-check: write error: Broken pipe\n", 5, true, "kiriha-check: 書き込みエラー: "},
        CommandCase{"AnUnreadableFileStartsNothing",
                    [](CheckCommand& t) {
                        return args({t.file("l.txt", list()), t.dir.str() + "/missing.txt"});
                    },
                    noLines, 2, "/missing.txt: No such file or directory\n", -1, true,
                    "/missing.txt: そのようなファイルやディレクトリはありません\n"},
        CommandCase{"AFolder", [](CheckCommand& t) { return args({t.dir.str()}, list()); }, noLines, 2,
                    ": Is a directory\n", -1, true, ": ディレクトリです\n"},
        CommandCase{"TooLarge",
                    [](CheckCommand& t) {
                        const std::string big = t.file("big", "");
                        std::filesystem::resize_file(big, (64u << 20) + 1);
                        return args({big}, list());
                    },
                    noLines, 2, "big: larger than 64 MiB", -1, true, "big: 64 MiB を超えている"},
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
                    noLines, 2, "c: larger than 64 MiB, the most the lists may hold together", -1, true,
                    "c: 64 MiB を超えている (リスト全体で読める上限)"},
        // Too few descriptors to set up: a message and exit 2, not an abort.
        CommandCase{"ASetUpThatFailsSaysWhy",
                    [](CheckCommand&) {
                        Launch l = args({}, proxies->working.address());
                        l.files = 4;
                        return l;
                    },
                    noLines, 2, ": Too many open files\n", -1, false},
        // A try queued after the list is used up still starts, and the run ends with its line.
        CommandCase{"ARetryQueuedAfterTheListIsUsedUp",
                    [](CheckCommand&) {
                        return args({"--retries=1"},
                                    proxies->working.address() + "\n" + proxies->resetsLate.address() + "\n");
                    },
                    [] {
                        return std::multiset<std::string>{kOk + proxies->working.address(),
                                                          kDead + proxies->resetsLate.address()};
                    },
                    0},
        CommandCase{"DetectionAfterTheListIsUsedUp",
                    [](CheckCommand&) {
                        return args({"--detect"},
                                    proxies->working.address() + "\n" + proxies->resetsLate.address() + "\n");
                    },
                    [] {
                        return std::multiset<std::string>{kOk + proxies->working.address(),
                                                          kDead + proxies->resetsLate.address()};
                    },
                    0},
        // The README's cron line, with a silent proxy last.
        CommandCase{"TheCronLineWithASilentProxyLast",
                    [](CheckCommand&) {
                        return args({"-q", "-w", "--retries=1", "--idle-timeout=1"},
                                    proxies->working.address() + "\n" + proxies->silent.address() + "\n");
                    },
                    [] { return std::multiset<std::string>{proxies->working.address()}; }, 0},
        CommandCase{"TheLastLineToAFullDisk",
                    [](CheckCommand&) { return args({}, proxies->working.address(), Out::Full); }, noLines, 2,
                    "kiriha-check: write error: No space left on device\n", 1, true, "kiriha-check: 書き込みエラー: "},
        CommandCase{"ACertificateFileThatCannotBeRead",
                    [](CheckCommand&) { return args({"--cacert=/nonexistent/ca.pem"}, list()); }, noLines, 2,
                    "kiriha-check: --cacert: /nonexistent/ca.pem: No such file or directory\n", -1, true,
                    "kiriha-check: --cacert: /nonexistent/ca.pem: そのようなファイルやディレクトリはありません\n"},
        // A name is escaped on standard error as a proxy text is on a terminal: it cannot drive the terminal.
        CommandCase{"AFileNameWithControlBytes", [](CheckCommand& t) { return args({t.dir.str() + "/a\x1b[2J\\b"}); },
                    noLines, 2, "/a\\x1b[2J\\\\b: No such file or directory\n", -1, true,
                    "/a\\x1b[2J\\\\b: そのようなファイルやディレクトリはありません\n"},
        CommandCase{"BadRate",
                    [](CheckCommand&) {
                        return args({"--rate", "10001"}, list());
                    },
                    noLines, 2, "invalid rate '10001': a whole number of checks a second from 1 to 10000", -1, true,
                    "rate の値 '10001' は無効: 毎秒のチェック数 (1 から 10000 の整数)"},
        CommandCase{"UnknownOption", [](CheckCommand&) { return args({"--fast"}, list()); }, noLines, 2,
                    "unrecognized or ambiguous option '--fast'", -1, true, "認識できないか曖昧なオプション '--fast'"},
        // A page whose own answer is an error is down, whatever text its error page holds: SOCKS proxies, which
        // cannot answer HTTP themselves, would all read dead.
        CommandCase{"APageThatAnswers503WithTheText",
                    [](CheckCommand&) {
                        return args({"--url=" + proxies->unavailable.url("/"), "--expect=" + kTestMarker}, list());
                    },
                    noLines, 2,
                    ": answered 503 when fetched directly; every proxy would read dead (--no-preflight checks "
                    "anyway)\n",
                    -1, true,
                    ": 直接取得すると 503 を返した。このままではどのプロクシも死亡と判定される (--no-preflight "
                    "でそれでもチェックする)\n"}),
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
    std::vector<std::string> args = {"--rate", "100"};
};
class Interrupt : public CheckCommand, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(Interrupt, StopsEveryCheckAtOnce) {
    TestServer server(GetParam().play);
    const int n = GetParam().checks;
    bool sent = false;
    std::chrono::steady_clock::time_point at;
    const Ran ran = runCheck(GetParam().args, many(server.address(), n), [&](pid_t pid, const std::string&) {
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
                             InterruptCase{"WaitingForTheResponse", [](TestServer::Connection& c) { c.sleep(30s); }, 5},
                             // Reset at once, each waits a second for its next try: each still has its line.
                             InterruptCase{"WhileTriesWaitForTheirTurn",
                                           [](TestServer::Connection& c) { c.reset(); },
                                           20,
                                           {"--retries=5", "--rate=1000"}}),
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

// Under every descriptor limit from far too low to enough, with and without the preflight: the command ends,
// either with the verdict or with exit 2 and a word on the limit; never waiting for a descriptor that cannot come.
TEST_F(CheckCommand, EveryDescriptorLimitEndsAndSaysWhy) {
    if (kSanitized) GTEST_SKIP() << "a sanitized build cannot run within these limits";
    int starved = 0;
    for (const bool preflight : {false, true}) {
        for (rlim_t files = 8; files <= 20; ++files) {
            Launch l = args({}, proxies->working.address());
            if (preflight) l.args = {"--url=" + proxies->working.url("/"), "--expect=" + kTestMarker};
            l.files = files;
            const auto begun = std::chrono::steady_clock::now();
            const Ran ran = runCheck(l, [&](pid_t pid, const std::string&) {
                if (std::chrono::steady_clock::now() - begun > 10s) ::kill(pid, SIGKILL);
            });
            const std::string said = "the descriptor limit (ulimit -n) of " + std::to_string(files) +
                                     " leaves no descriptor for a check; raise it\n";
            if (ran.status == 0) {
                EXPECT_EQ(ran.out, kOk + proxies->working.address() + "\n");
            } else {
                EXPECT_EQ(ran.status, 2) << files << ": " << ran.err;
                EXPECT_NE(ran.err.find(said), std::string::npos) << files << ": " << ran.err;
                starved += ran.err.find("cannot check") == std::string::npos;  // not at set-up: at the check
            }
        }
    }
    EXPECT_GT(starved, 0);  // some limit let the loops start, and no check get a descriptor
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

// What a terminal shows once the bytes are in: its rows, as the cursor left them (carriage return, erase to the end
// of the row, backspace; a character a cell).
std::vector<std::string> screenRows(const std::string& bytes) {
    std::vector<std::vector<std::string>> rows(1);
    std::size_t col = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        std::vector<std::string>& row = rows.back();
        const char b = bytes[i];
        if (b == '\r') {
            col = 0, ++i;
        } else if (b == '\n') {
            rows.emplace_back(), col = 0, ++i;
        } else if (b == '\b') {
            col = col ? col - 1 : 0, ++i;
        } else if (bytes.compare(i, 3, "\x1b[K") == 0) {
            row.resize(std::min(row.size(), col)), i += 3;
        } else {
            const auto lead = static_cast<unsigned char>(b);
            const std::size_t n = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
            if (row.size() <= col) row.resize(col + 1, " ");
            row[col++] = bytes.substr(i, n), i += n;
        }
    }
    std::vector<std::string> text;
    for (const auto& row : rows) {
        std::string line;
        for (const auto& cell : row) line += cell;
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty()) text.push_back(line);
    }
    return text;
}

// Standard output and standard error on one terminal: every row is a whole result line, the summary, or the
// progress line, never progress text with a result after it.
TEST_F(CheckCommand, ResultLinesAndProgressShareATerminal) {
    TestServer late([](TestServer::Connection& c) {
        c.sleep(400ms);
        c.send(httpResponse(200, "<p>" + kTestMarker + "</p>"));
    });
    for (const char* term : {"TERM=xterm", "TERM=dumb"}) {
        Launch l = args({"--rate=4"}, many(late.address(), 3) + proxies->dead + "\n", Out::SharedTerminal);
        l.env = {term};
        const Ran ran = runCheck(l);
        EXPECT_EQ(ran.status, 0);
        const std::vector<std::string> rows = screenRows(ran.out);
        ASSERT_EQ(rows.size(), 5u) << ::testing::PrintToString(rows);
        for (const std::string& row : rows)
            EXPECT_TRUE(row == kOk + late.address() || row == kDead + proxies->dead ||
                        row.starts_with("kiriha-check: 4 checked, 3 working, 1 dead, 0 aborted"))
                << term << ": " << row;
        if (std::string(term) == "TERM=dumb") {
            EXPECT_EQ(ran.out.find('\x1b'), std::string::npos);
        }
        EXPECT_NE(ran.out.find("/4 checked, "), std::string::npos) << term;  // the progress line was there
    }
}

// A line longer than a pipe takes in one piece is written whole or not at all, also when the reader stops and the
// program gives up on it: the pipe holds whole lines only.
TEST_F(CheckCommand, ALongLineIsNeverCutWhenTheReaderStops) {
    const std::string text(4096, '\x01');  // about 24 KiB of JSON each: three fill a pipe
    bool sent = false;
    const Ran ran = runCheck(args({"--json", "-q", "--rate=10000"}, many(text, 6), Out::NeverRead),
                             [&](pid_t pid, const std::string&) {
                                 if (!sent) {
                                     std::this_thread::sleep_for(1500ms);
                                     sent = ::kill(pid, SIGTERM) == 0;
                                 }
                             });
    EXPECT_EQ(ran.status, 130) << ran.err;
    ASSERT_FALSE(ran.out.empty());
    EXPECT_TRUE(ran.out.ends_with("\n"));
    EXPECT_LT(objectsOf(ran.out).size(), 6u);  // the reader stopped: not all of them went
}

// A parent that leaves standard output non-blocking: the command waits until it takes more, and loses nothing.
TEST_F(CheckCommand, ANonBlockingOutputIsWaitedOn) {
    int reads = 0;
    const Ran ran = runCheck(args({"--json", "-q", "--rate=10000"}, many(proxies->dead, 1000), Out::NonBlocking),
                             [&](pid_t, const std::string&) {
                                 if (++reads < 6) std::this_thread::sleep_for(200ms);  // a slow reader at first
                             });
    EXPECT_EQ(ran.status, 1) << ran.err;
    EXPECT_EQ(objectsOf(ran.out).size(), 1000u);
    EXPECT_EQ(ran.err, "");
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the manual, the completion and --help say of the options is written from the options table: a hand edit
// beside it, in a template or in a build, is out of step and fails here.
TEST(OptionDocs, ComeFromTheTable) {
    const std::string manual = fileText(KIRIHA_BUILD_DIR "/data/kiriha-check.1");
    const auto from = manual.find(".SH OPTIONS\n"), to = manual.find("\n.SH ", from + 1);
    ASSERT_NE(from, std::string::npos);
    EXPECT_EQ(manual.substr(from + 12, to + 1 - from - 12), manualOptions(checkDescs()));
    const std::string completion = fileText(KIRIHA_BUILD_DIR "/data/kiriha-check.bash");
    const auto arms = completion.find("    case $prev in\n"), end = completion.find("    esac\n");
    ASSERT_NE(arms, std::string::npos);
    EXPECT_EQ(completion.substr(arms, end - arms),
              "    case $prev in\n        --help | --version | -h)\n            return\n            ;;\n" +
                  completionValues(checkDescs()));
    const Ran help = runCheck(args({"--help"}));
    EXPECT_EQ(help.out, helpText());
    // The facts it states come from where the program keeps them: none is left unfilled, none written by hand.
    EXPECT_EQ(manual.find("{{"), std::string::npos);
    for (std::string file : usualCountryDbs()) {
        file = std::regex_replace(file, std::regex("-"), "\\-");
        EXPECT_NE(manual.find(".IR " + file + " ,\n"), std::string::npos) << file;
    }
    EXPECT_NE(manual.find("at most " + std::to_string(kMaxEcho / 1024) + " KiB"), std::string::npos);
}

// Countries asked for with no database to tell them by: a usage error, before anything is read.
TEST_F(CheckCommand, CountriesNeedADatabase) {
    for (const std::string& file : usualCountryDbs())
        if (std::filesystem::exists(file)) GTEST_SKIP() << file << " is there";
    const Ran ran = runCheck(args({"--country=JP"}, list()));
    EXPECT_EQ(ran.status, 2);
    EXPECT_TRUE(ran.err.starts_with("kiriha-check: --country needs a country database (--geoip=FILE)")) << ran.err;
    EXPECT_EQ(ran.out, "");
}

TEST_F(CheckCommand, HelpAndVersion) {
    const Ran help = runCheck(args({"--help"}));
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: kiriha-check [OPTION]... [FILE]...")) << help.out;
    const Ran version = runCheck(args({"--version"}));
    EXPECT_EQ(version.out, std::string("kiriha-check (霧葉) ") + kVersion + "\n");
}

// Columns on a terminal, counted apart from the program's own count: CJK and fullwidth characters two.
std::size_t columns(std::string_view line) {
    std::size_t width = 0;
    for (std::size_t at = 0; at < line.size();) {
        const auto b = static_cast<unsigned char>(line[at]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
        char32_t c = n == 1 ? b : b & (0x3f >> (n - 1));
        for (std::size_t i = 1; i < n && at + i < line.size(); ++i) c = (c << 6) | (line[at + i] & 0x3f);
        width += (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) || (c >= 0xac00 && c <= 0xd7a3) ||
                         (c >= 0xf900 && c <= 0xfaff) || (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                         (c >= 0xffe0 && c <= 0xffe6)
                     ? 2
                     : 1;
        at += n;
    }
    return width;
}

// Both commands' --help in Japanese: every line within 80 columns, the options in their English names, and the
// English help as it was, line for line the same options.
TEST(Help, InJapaneseFitsEightyColumns) {
    for (const char* binary : {KIRIHA_CHECK_BINARY, KIRIHA_GATE_BINARY}) {
        Launch l;
        l.binary = binary;
        l.args = {"--help"};
        const Ran en = runProgram(inLocale(l, "C"));
        const Ran ja = runProgram(inLocale(l, "ja_JP.UTF-8"));
        ASSERT_EQ(ja.status, 0) << binary;
        EXPECT_TRUE(ja.out.starts_with("使い方: ")) << ja.out;
        std::istringstream lines(ja.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(columns(line), 80u) << line;
        std::istringstream english(en.out);
        for (std::string line; std::getline(english, line);) {
            EXPECT_LE(columns(line), 80u) << line;
            if (line.starts_with("  -")) {  // each option's name starts a line in both
                const std::string name = line.substr(0, line.find_first_of(" =", 6));
                EXPECT_NE(ja.out.find("\n" + name), std::string::npos) << name;
            }
        }
    }
}

// What a script leans on: pages of its own, and every way a check can fail.
struct Failures {
    TestCa ca;
    const std::string marker = "kiriha: the page came whole";  // the test's own, not the window's
    TestServer tlsOrigin{[this](TestServer::Connection& c) {
                             serveTls(c.fd(), ca.cert(), ca.key(), [this](const std::string&) {
                                 return httpResponse(200, "<p>" + marker + "</p>");
                             });
                         },
                         false};
    TestServer untrustedOrigin{[this](TestServer::Connection& c) {
                                   serveTls(c.fd(), ca.untrustedCert(), ca.untrustedKey(),
                                            [](const std::string&) { return httpResponse(200, "x"); });
                               },
                               false};
    TestServer stalls{[](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
        c.sleep(30s);
    }};
    TestServer trickles{[](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(100ms) && c.send("x")) {
        }
    }};
    TestServer speaksSsh{[](TestServer::Connection& c) {
                             c.send("SSH-2.0-OpenSSH_9.2p1\r\n");
                             c.sleep(5s);
                         },
                         false};
    TestServer resets{[](TestServer::Connection& c) { c.reset(); }};
    TestServer redirects{
        [](TestServer::Connection& c) { c.send(httpResponse(302, "", "Location: http://www.apple.com/\r\n")); }};
    // A proxy's own error pages, holding the expected text.
    TestServer authPage{[](TestServer::Connection& c) { c.send(httpResponse(407, "<p>" + kTestMarker + "</p>")); }};
    TestServer badGateway{[](TestServer::Connection& c) {
        c.send(httpResponse(502, "<p>cannot reach " + c.request().substr(0, 80) + " " + kTestMarker + "</p>"));
    }};
    TinyProxy tunnel;
    TinyProxy connectsToPort1{"ConnectPort 1\n"};
    TinyProxy wantsAuth{"BasicAuth kiriha secret\n"};
    LocalProxy microsocks{LocalProxy::Kind::Microsocks};
    LocalProxy dante{LocalProxy::Kind::Danted};

    std::string tlsUrl() const { return "--url=https://" + tlsOrigin.address() + "/"; }
    std::string caFile() const { return "--cacert=" + ca.caFile(); }
    std::string expect() const { return "--expect=" + marker; }
};
Failures* failures = nullptr;

class Scripted : public CheckCommand {
  protected:
    static void SetUpTestSuite() {
        CheckCommand::SetUpTestSuite();
        failures = new Failures;
    }
    static void TearDownTestSuite() {
        delete failures;
        failures = nullptr;
        CheckCommand::TearDownTestSuite();
    }
};

// What a site sees through a proxy: two real judges (busybox httpd's env CGI, Debian's httpbin; an https httpbin),
// and real proxies, each leaving from a loopback address of its own: one that left from 127.0.0.1 would show the
// judge our own address, and rightly read transparent.
struct Judges {
    TestCa ca;
    LocalProxy env{LocalProxy::Kind::EnvJudge, "", 0, "127.0.0.9"};
    // The env judge behind a front of its own, as squid, varnish or Apache stand in front of a site: it adds a Via and
    // an X-Forwarded-For to every request.
    LocalProxy front{LocalProxy::Kind::JudgeFront, "127.0.0.9", env.port(), "127.0.0.10"};
    LocalProxy httpbin{LocalProxy::Kind::Httpbin, "", 0, "127.0.0.9"};
    LocalProxy httpsbin{LocalProxy::Kind::Httpbin, ca.cert() + " " + ca.key()};  // on the certificate's address
    LocalProxy squid{LocalProxy::Kind::Squid, "", 0, "127.0.0.21"};              // X-Forwarded-For: our address
    LocalProxy squidUnknown{LocalProxy::Kind::Squid, "forwarded_for off\n", 0, "127.0.0.22"};
    LocalProxy squidHidden{LocalProxy::Kind::Squid, "forwarded_for delete\nvia off\n", 0, "127.0.0.23"};
    TinyProxy tinyVia{"DisableViaHeader No\n", "127.0.0.24"};
    TinyProxy tiny{"", "127.0.0.25"};
    TinyProxy tinyTells{"XTinyproxy Yes\n", "127.0.0.26"};
    LocalProxy dante{LocalProxy::Kind::Danted, "", 0, "127.0.0.27"};
    LocalProxy microsocks{LocalProxy::Kind::Microsocks, "", 0, "127.0.0.28"};
    // A static page, and a proxy of our own that hands it on with an advert.
    const std::string page = "<html><p>" + kTestMarker + "</p></html>";
    TestServer site{[this](TestServer::Connection& c) { c.send(httpResponse(200, page)); }};
    TestServer injects{[this](TestServer::Connection& c) {
        c.send(httpResponse(200, "<script src=//ads.example/a.js></script>" + page));
    }};
    TempDir dir;
    // Countries of the suite's own, written by Debian's MaxMind::DB::Writer: two exits, and this machine; and a
    // database of another kind, whose records carry no country.
    const std::string countries = dir.str() + "/countries.mmdb";
    const std::string asn = dir.str() + "/asn.mmdb";
    Judges() {
        writeCountryDb(countries, "Kiriha-Country",
                       {{"127.0.0.24/32", "JP"}, {"127.0.0.25/32", "US"}, {"127.0.0.1/32", "DE"}});
        writeCountryDb(asn, "GeoLite2-ASN", {{"127.0.0.0/8", "64500"}});
    }
    std::string envUrl() const { return "http://" + env.address() + "/cgi-bin/env"; }
    std::string httpbinUrl() const { return "http://" + httpbin.address() + "/get?show_env=1"; }
    std::string frontUrl() const { return "http://" + front.address() + "/cgi-bin/env"; }
    // Each proxy as listed, the class a judge gives it, the address it leaves from, and whether it sends an
    // X-Forwarded-For (which httpbin takes for its origin).
    struct Expected {
        std::string proxy, anonymity, exit;
        bool forwards = false;
    };
    std::vector<Expected> expected() const {
        return {{squid.address(), "transparent", "127.0.0.21", true},
                {squidUnknown.address(), "anonymous", "127.0.0.22", true},
                {squidHidden.address(), "elite", "127.0.0.23"},
                {tinyVia.address(), "anonymous", "127.0.0.24"},
                {tiny.address(), "elite", "127.0.0.25"},
                {tinyTells.address(), "transparent", "127.0.0.26"},
                {"socks5://" + dante.address(), "elite", "127.0.0.27"},
                {"socks5://" + microsocks.address(), "elite", "127.0.0.28"}};
    }
    std::string list() const {
        std::string text;
        for (const Expected& e : expected()) text += e.proxy + "\n";
        return text;
    }
};
Judges& judges() {
    static Judges all;  // started once, for the judges' tests and the reason rows alike
    return all;
}

// Every proxy gets its class from any judge: the env judge, httpbin, and the env judge behind a front of its own,
// whose Via and X-Forwarded-For are no proxy's doing. The exit is the address the proxy left from, or unknown where
// httpbin took its origin from an X-Forwarded-For the proxy sent: never ours.
TEST(Judged, EachProxyReadsItsClassByEveryJudge) {
    const Judges& j = judges();
    for (const std::string& judge : {j.envUrl(), j.httpbinUrl(), j.frontUrl()}) {
        const Ran ran = runCheck(args({"--judge=" + judge, "--json", "-q"}, j.list()));
        EXPECT_EQ(ran.status, 0) << ran.err;
        std::map<std::string, nlohmann::json> lines;
        for (const nlohmann::json& o : objectsOf(ran.out, true)) lines[o["proxy"].get<std::string>()] = o;
        for (const Judges::Expected& e : j.expected()) {
            const nlohmann::json& o = lines[e.proxy];
            EXPECT_EQ(o["result"], "working") << judge << " " << o;
            EXPECT_EQ(o["anonymity"], e.anonymity) << judge << " " << o;
            const nlohmann::json exit =
                judge == j.httpbinUrl() && e.forwards ? nlohmann::json() : nlohmann::json(e.exit);
            EXPECT_EQ(o["exit"], exit) << judge << " " << o;
            EXPECT_EQ(o["leaks"].empty(), e.anonymity == "elite") << judge << " " << o;
        }
        const nlohmann::json& leaks = lines[j.squid.address()]["leaks"];
        EXPECT_TRUE(std::find(leaks.begin(), leaks.end(), "X-Forwarded-For") != leaks.end()) << judge << leaks;
    }
    // Over https the proxy only tunnels: it adds nothing, and the judge tells the exit address.
    const Ran tls = runCheck(args(
        {"--judge=https://" + j.httpsbin.address() + "/get?show_env=1", "--cacert=" + j.ca.caFile(), "--json", "-q"},
        j.tinyVia.address() + "\n"));
    const std::vector<nlohmann::json> tunnelled = objectsOf(tls.out, true);
    ASSERT_EQ(tunnelled.size(), 1u) << tls.err;
    EXPECT_EQ(tunnelled[0]["anonymity"], "elite");
    EXPECT_EQ(tunnelled[0]["exit"], "127.0.0.24");
}

// Behind a front, the elite ones are still elite: -w --anonymity=elite keeps them.
TEST(Judged, BehindAFrontTheEliteAreKept) {
    const Judges& j = judges();
    const Ran ran = runCheck(args({"--judge=" + j.frontUrl(), "--anonymity=elite", "-w", "-q"}, j.list()));
    std::multiset<std::string> elite;
    for (const Judges::Expected& e : j.expected())
        if (e.anonymity == "elite") elite.insert(e.proxy);
    EXPECT_EQ(linesOf(ran.out), elite) << ran.err;
}

// An echo that is slow to read (thousands of header names, more than a judge writes) beside working proxies: no work
// done for one check turns another's verdict, and no check's time passes its limit.
TEST(Judged, ASlowEchoBesideWorkingProxies) {
    const Judges& j = judges();
    TestServer slow([](TestServer::Connection& c) {
        std::string body = "{\"url\":\"" + nonceOf(c.request()) + R"(","origin":"198.51.100.7","headers":{)";
        for (int i = 0; body.size() < 250'000; ++i) body += "\"X-" + std::to_string(i) + "\":\"v\",";
        c.send(httpResponse(200, body + R"("Via":"x"}})"));
    });
    const Ran ran =
        runCheck(args({"--judge=" + j.envUrl(), "--idle-timeout=2", "--timeout=10", "--rate=100", "--json", "-q"},
                      many(slow.address(), 8) + j.list()));
    std::map<std::string, std::string> results;
    for (const nlohmann::json& o : objectsOf(ran.out, true)) {
        results[o["proxy"]] = o["reason"];
        EXPECT_LE(o["total_ms"], 10000) << o;
    }
    EXPECT_EQ(results[slow.address()], "not-a-judge");
    for (const Judges::Expected& e : j.expected()) EXPECT_EQ(results[e.proxy], "echo") << e.proxy;
}

// The lists a user keeps: elite proxies only, and those of some countries.
TEST(Judged, KeepsOnlyWhatIsAskedFor) {
    const Judges& j = judges();
    std::string list;
    std::multiset<std::string> elite;
    for (const Judges::Expected& e : j.expected()) {
        list += e.proxy + "\n";
        if (e.anonymity == "elite") elite.insert(e.proxy);
    }
    const Ran ran = runCheck(args({"--judge=" + j.envUrl(), "--anonymity=elite", "-w", "-q"}, list));
    EXPECT_EQ(linesOf(ran.out), elite);
    const Ran japan =
        runCheck(args({"--judge=" + j.envUrl(), "--geoip=" + j.countries, "--country=jp", "--json", "-q"}, list));
    using Seen = std::pair<std::string, nlohmann::json>;  // result, country
    std::map<std::string, Seen> seen;
    for (const nlohmann::json& o : objectsOf(japan.out, true, true)) seen[o["proxy"]] = {o["result"], o["country"]};
    EXPECT_EQ(seen[j.tinyVia.address()], Seen("working", "JP"));
    EXPECT_EQ(seen[j.tiny.address()], Seen("dead", "US"));
    EXPECT_EQ(seen[j.squid.address()], Seen("dead", nullptr));
    EXPECT_EQ(japan.status, 0);
    // Text lines say where, beside the proxy; -w's bare list does not.
    const Ran text = runCheck(args({"--judge=" + j.envUrl(), "--geoip=" + j.countries, "--why", "-q"}, list));
    EXPECT_NE(text.out.find(kOk + j.tinyVia.address() + "\tJP\techo "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(kOk + j.squid.address() + "\t-\techo "), std::string::npos) << text.out;
    const Ran bare = runCheck(args({"--judge=" + j.envUrl(), "--geoip=" + j.countries, "-w", "-q"}, list));
    EXPECT_NE(bare.out.find("\n" + j.tinyVia.address() + "\n"), std::string::npos) << bare.out;
}

// --unaltered: a real proxy hands the page on as it is; one that adds an advert is caught.
TEST(Judged, AnUnalteredPageOnly) {
    const Judges& j = judges();
    const Ran ran = runCheck(args({"--url=" + j.site.url("/"), "--expect=" + kTestMarker, "--unaltered", "--why", "-q"},
                                  j.tiny.address() + "\n" + j.injects.address() + "\n"));
    EXPECT_NE(ran.out.find(kOk + j.tiny.address() + "\tunaltered "), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find(kDead + j.injects.address() + "\taltered "), std::string::npos) << ran.out;
    EXPECT_EQ(linesOf(ran.out).size(), 2u) << ran.err;
}

// The preflight refuses a page that is no judge, and a judge that hides forwarding headers.
TEST(Judged, ThePreflightRefusesWhatCannotJudge) {
    const Judges& j = judges();
    const std::string page = j.site.url("/");
    const Ran plain = runCheck(args({"--judge=" + page}, j.tiny.address() + "\n"));
    EXPECT_EQ(plain.status, 2);
    EXPECT_EQ(plain.err, "kiriha-check: " + page + ": not a judge page (no REMOTE_ADDR and no origin)\n");
    const std::string hiding = "http://" + j.httpbin.address() + "/get";
    const Ran hides = runCheck(args({"--judge=" + hiding}, j.tiny.address() + "\n"));
    EXPECT_EQ(hides.status, 2);
    EXPECT_NE(hides.err.find(hiding + ": the judge does not show the Via header"), std::string::npos) << hides.err;
    EXPECT_NE(hides.err.find("/get?show_env=1"), std::string::npos) << hides.err;
    EXPECT_EQ(plain.out + hides.out, "");
    // Pages that say why they are no judge: each says which.
    const std::string peer = "REMOTE_ADDR=127.0.0.1\nHTTP_VIA=1.1 kiriha-check\n";
    const std::vector<std::pair<std::function<std::string(const std::string&)>, std::string>> pages = {
        {[&](const std::string& n) { return httpResponse(200, peer + "Q=" + n + "\nX=" + std::string(kMaxEcho, 'x')); },
         "not a judge page (longer than a judge writes)"},
        {[](const std::string& n) {
             return httpResponse(200, "{\"url\":\"" + n + R"(","origin":"127.0.0.1","x":)" + std::string(20, '[') +
                                          std::string(20, ']') + "}");
         },
         "not a judge page (JSON nested deeper than a judge writes)"},
        {[&](const std::string&) { return httpResponse(200, peer); },
         "not a judge page (it does not echo the query it was asked with)"},
        {[&](const std::string& n) { return httpResponse(503, peer + "Q=" + n + "\n"); },
         "answered 503 when fetched directly; every proxy would read dead"},
    };
    for (const auto& [answer, said] : pages) {
        TestServer judge([&](TestServer::Connection& c) { c.send(answer(nonceOf(c.request()))); });
        const Ran ran = runCheck(args({"--judge=" + judge.url("/")}, j.tiny.address() + "\n"));
        EXPECT_EQ(ran.status, 2) << said;
        EXPECT_EQ(ran.err.find("kiriha-check: " + judge.url("/") + ": " + said), 0u) << ran.err;
        EXPECT_EQ(ran.out, "");
    }
}

// Echoes no judge would send, from a proxy that writes them itself (echoing the query, as a judge does, unless the
// row says not): a clear verdict each, never a crash.
struct HostileCase : NamedCase {
    std::function<std::string(const std::string& nonce)> body;
    std::string reason;
};
class HostileEcho : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileEcho, EndsWithAVerdict) {
    TestServer liar(
        [&](TestServer::Connection& c) { c.send(httpResponse(200, GetParam().body(nonceOf(c.request())))); });
    const Ran ran = runCheck(args({"--judge=" + judges().envUrl(), "--json", "-q"}, liar.address() + "\n"));
    const std::vector<nlohmann::json> lines = objectsOf(ran.out, true);
    ASSERT_EQ(lines.size(), 1u) << ran.err;
    EXPECT_EQ(lines[0]["reason"], GetParam().reason);
    EXPECT_EQ(ran.status, GetParam().reason == "echo" ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    All, HostileEcho,
    ::testing::Values(
        HostileCase{{"JsonNestedAHundredThousandDeep"},
                    [](const std::string& n) {
                        return "{\"url\":\"" + n + "\",\"origin\":\"198.51.100.7\",\"x\":" + std::string(100000, '[') +
                               "}";
                    },
                    "not-a-judge"},
        HostileCase{{"InvalidUtf8"},
                    [](const std::string& n) {
                        return "{\"url\":\"" + n + "\",\"origin\":\"198.51.100.7\",\"h\":\"\xff\xfe\"}";
                    },
                    "not-a-judge"},
        // The first of a duplicated key stands: a judge that lies only mislabels its own proxy.
        HostileCase{{"DuplicatedKeys"},
                    [](const std::string& n) {
                        return "{\"url\":\"" + n + R"(","origin":"198.51.100.7","headers":{"Via":"x"},)" +
                               R"("origin":"127.0.0.1","headers":{"X-Forwarded-For":"127.0.0.1"}})";
                    },
                    "echo"},
        HostileCase{{"ARemoteAddressOfAMegabyte"},
                    [](const std::string& n) { return "Q=" + n + "\nREMOTE_ADDR=" + std::string(1 << 20, '1') + "\n"; },
                    "not-a-judge"},
        HostileCase{{"LongerThanAJudgeWrites"},
                    [](const std::string& n) {
                        return "Q=" + n + "\nREMOTE_ADDR=198.51.100.7\nHTTP_X=" + std::string(300 * 1024, 'x') + "\n";
                    },
                    "not-a-judge"},
        // What is kept of an echo is bounded: a few KiB is what judges write.
        HostileCase{{"JustOverWhatIsKept"},
                    [](const std::string& n) {
                        return "Q=" + n + "\nREMOTE_ADDR=198.51.100.7\nHTTP_X=" + std::string(kMaxEcho, 'x') + "\n";
                    },
                    "not-a-judge"},
        // A stored echo, however well formed, is not this request's.
        HostileCase{{"ACannedEcho"},
                    [](const std::string&) { return std::string("REMOTE_ADDR=198.51.100.7\nHTTP_VIA=1.1 x\n"); },
                    "not-a-judge"}),
    caseName);

// Every reason a check can give, each from a real failure of the suite's servers and proxies.
struct ReasonCase : NamedCase {
    std::function<std::string()> proxy;
    std::function<std::vector<std::string>()> args;  // beside --json
    std::string reason;
    std::string scheme = "http";
    bool interrupt = false;                     // a SIGINT once the check has begun
    std::optional<long> status = std::nullopt;  // the proxy's or the page's, where it matters
};
auto none = [] { return std::vector<std::string>{}; };

const std::vector<ReasonCase> kReasonRows = {
    {{"Marker"}, [] { return proxies->working.address(); }, none, "marker"},
    {{"MarkerThroughSocks4"},
     [] { return "socks4://" + failures->dante.address(); },
     [] { return std::vector<std::string>{"--url=" + proxies->working.url("/")}; },
     "marker",
     "socks4"},
    {{"NoMarker"}, [] { return proxies->plain.address(); }, none, "no-marker"},
    // A page the script named goes through the proxy even on a host without a period: fetched directly, this one
    // would hold the text.
    {{"NoMarkerFromAProxyInFrontOfALocalPage"},
     [] { return proxies->plain.address(); },
     [] { return std::vector<std::string>{"--url=http://localhost:" + std::to_string(proxies->working.port()) + "/"}; },
     "no-marker"},
    {{"Refused"}, [] { return proxies->dead; }, none, "refused"},
    {{"Unreachable"}, [] { return std::string("224.0.0.1:80"); }, none, "unreachable"},  // TCP to multicast
    {{"ProxyName"}, [] { return std::string("nonexistent.invalid:8080"); }, none, "proxy-name"},
    {{"TargetName"},
     [] { return "socks5://" + failures->microsocks.address(); },
     [] {
         return std::vector<std::string>{"--url=http://nonexistent.invalid/", "--no-preflight"};
     },
     "target-name",
     "socks5"},
    {{"ConnectTimeout"},
     [] { return "socks5://" + proxies->silent.address(); },
     [] { return std::vector<std::string>{"--connect-timeout=1"}; },
     "connect-timeout",
     "socks5"},
    {{"IdleTimeout"},
     [] { return failures->stalls.address(); },
     [] { return std::vector<std::string>{"--idle-timeout=1"}; },
     "idle-timeout"},
    {{"TimeLimit"},
     [] { return failures->trickles.address(); },
     [] { return std::vector<std::string>{"--timeout=1"}; },
     "time-limit"},
    {{"ConnectRefusedByTheProxy"},
     [] { return failures->connectsToPort1.address(); },
     [] {
         return std::vector<std::string>{failures->tlsUrl(), failures->expect(), failures->caFile()};
     },
     "proxy-denied",
     "http",
     false,
     403},
    {{"SocksProxyCannotReachTheTarget"},
     [] { return "socks5://" + failures->dante.address(); },
     [] {
         return std::vector<std::string>{"--url=http://" + proxies->dead + "/", "--no-preflight"};
     },
     "proxy-denied",
     "socks5"},
    {{"ProxyAuth"}, [] { return failures->wantsAuth.address(); }, none, "proxy-auth"},
    // A proxy's own answer decides, whatever its page holds.
    {{"AProxyAuthPageHoldingTheText"},
     [] { return failures->authPage.address(); },
     none,
     "proxy-auth",
     "http",
     false,
     407},
    {{"ABadGatewayPageQuotingTheText"},
     [] { return failures->badGateway.address(); },
     none,
     "proxy-denied",
     "http",
     false,
     502},
    // tinyproxy answers a wrong password with 401; the page itself wants none.
    {{"AWrongPassword"},
     [] { return "kiriha:wrong@" + failures->wantsAuth.address(); },
     [] {
         return std::vector<std::string>{"--url=" + proxies->working.url("/"), "--expect=" + kTestMarker};
     },
     "proxy-auth",
     "http",
     false,
     401},
    {{"TheSellersFormWithItsPassword"},
     [] { return failures->wantsAuth.address() + ":kiriha:secret"; },
     [] {
         return std::vector<std::string>{"--url=" + proxies->working.url("/"), "--expect=" + kTestMarker};
     },
     "marker"},
    // Texts libcurl cannot read: refused at once, not a name that did not resolve.
    {{"ATrailingSpace"}, [] { return proxies->working.address() + " "; }, none, "unsupported", ""},
    {{"TheSellersFormWithATrailingSpace"},
     [] { return failures->wantsAuth.address() + ":kiriha:secret "; },
     none,
     "unsupported",
     ""},
    {{"AComment"}, [] { return std::string("# the proxies of the week"); }, none, "unsupported", ""},
    // Nothing came before the whole limit ran out: a passing failure, worth another try.
    {{"SilentUntilTheWholeLimit"},
     [] { return proxies->silent.address(); },
     [] { return std::vector<std::string>{"--timeout=1"}; },
     "idle-timeout"},
    {{"Tls"},
     [] { return failures->tunnel.address(); },
     [] {
         return std::vector<std::string>{"--url=https://" + failures->untrustedOrigin.address() + "/",
                                         failures->caFile(), "--no-preflight"};
     },
     "tls"},
    {{"NotAProxy"}, [] { return failures->speaksSsh.address(); }, none, "not-a-proxy"},
    {{"Reset"}, [] { return failures->resets.address(); }, none, "reset"},
    {{"Redirects"}, [] { return failures->redirects.address(); }, none, "redirects"},
    {{"Unsupported"}, [] { return std::string("ftp://127.0.0.1:21"); }, none, "unsupported", "ftp"},
    // What the far end sees decides, where asked.
    {{"Echo"},
     [] { return judges().tiny.address(); },
     [] { return std::vector<std::string>{"--judge=" + judges().envUrl()}; },
     "echo"},
    {{"Unaltered"},
     [] { return judges().tiny.address(); },
     [] {
         return std::vector<std::string>{"--url=" + judges().site.url("/"), "--expect=" + kTestMarker, "--unaltered"};
     },
     "unaltered"},
    {{"NotAJudge"},
     [] { return proxies->plain.address(); },
     [] { return std::vector<std::string>{"--judge=" + judges().envUrl()}; },
     "not-a-judge"},
    {{"LeaksAddress"},
     [] { return judges().squid.address(); },
     [] {
         return std::vector<std::string>{"--judge=" + judges().envUrl(), "--anonymity=anonymous"};
     },
     "leaks-address"},
    {{"RevealsProxy"},
     [] { return judges().tinyVia.address(); },
     [] {
         return std::vector<std::string>{"--judge=" + judges().envUrl(), "--anonymity=elite"};
     },
     "reveals-proxy"},
    {{"Country"},
     [] { return proxies->working.address(); },
     [] {
         return std::vector<std::string>{"--geoip=" + judges().countries, "--country=JP"};
     },
     "country"},
    {{"Altered"},
     [] { return judges().injects.address(); },
     [] {
         return std::vector<std::string>{"--url=" + judges().site.url("/"), "--expect=" + kTestMarker, "--unaltered"};
     },
     "altered"},
    {{"Stopped"}, [] { return proxies->silent.address(); }, none, "stopped", "http", true},
};

class ReasonTable : public Scripted, public ::testing::WithParamInterface<ReasonCase> {};

TEST_P(ReasonTable, IsInTheJsonLine) {
    const ReasonCase& c = GetParam();
    Launch launch = args(c.args(), c.proxy() + "\n");
    launch.args.push_back("--json");
    const auto begun = std::chrono::steady_clock::now();
    bool sent = false;
    const Ran ran = runCheck(launch, [&](pid_t pid, const std::string&) {
        if (c.interrupt && !sent && std::chrono::steady_clock::now() - begun > 500ms) sent = ::kill(pid, SIGINT) == 0;
    });
    const bool works = c.reason == "marker" || c.reason == "echo" || c.reason == "unaltered";
    const std::string result = works ? "working" : c.interrupt ? "aborted" : "dead";
    EXPECT_EQ(ran.status, result == "working" ? 0 : c.interrupt ? 130 : 1) << ran.err;
    const auto has = [&](const char* option) {
        return std::any_of(launch.args.begin(), launch.args.end(),
                           [&](const auto& a) { return a.starts_with(option); });
    };
    const std::vector<nlohmann::json> objects = objectsOf(ran.out, has("--judge"), has("--geoip"));
    ASSERT_EQ(objects.size(), 1u) << ran.out;
    const nlohmann::json& o = objects.front();
    EXPECT_EQ(o["proxy"], c.proxy());
    EXPECT_EQ(o["result"], result);
    EXPECT_EQ(o["reason"], c.reason);
    EXPECT_EQ(o["scheme"], c.scheme);
    if (c.status) {
        EXPECT_EQ(o["http_status"], *c.status);
        EXPECT_TRUE(o["connect_ms"].is_number()) << o;  // the proxy answered: a connection was made
    }
    if (result == "working") {
        EXPECT_EQ(o["http_status"], 200);
        EXPECT_TRUE(o["connect_ms"].is_number() && o["first_byte_ms"].is_number()) << o;
        EXPECT_GT(o["bytes"], 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(All, ReasonTable, ::testing::ValuesIn(kReasonRows), caseName);

TEST(ReasonVocabulary, EveryReasonButTheCatchAllHasARealFailureInTheTable) {
    for (int r = int(Reason::Marker); r < int(Reason::Error); ++r) {
        const std::string name(reasonName(Reason(r)));
        EXPECT_TRUE(std::any_of(kReasonRows.begin(), kReasonRows.end(), [&](const auto& row) {
            return row.reason == name;
        })) << name;
    }
}

// The options a script writes, as getopt_long reads them.
struct OptionCase : NamedCase {
    std::vector<std::string> args;
    std::function<bool(const CheckOptions&)> holds = [](const CheckOptions&) { return true; };
    std::string error = "";
};

class OptionTable : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTable, ReadsAsDocumented) {
    const ParsedArguments parsed = parseArguments(GetParam().args);
    EXPECT_EQ(parsed.error, GetParam().error);
    if (GetParam().error.empty()) {
        EXPECT_TRUE(GetParam().holds(parsed.options));
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, OptionTable,
    ::testing::Values(
        OptionCase{{"Defaults"},
                   {},
                   [](const CheckOptions& o) {
                       return !o.run.url && !o.run.expect && o.run.preflight && !o.run.detect && o.run.retries == 0 &&
                              !o.json && !o.why;
                   }},
        OptionCase{
            {"UrlAndExpectInBothForms"},
            {"--url=https://a.example/x", "--expect", "whole page"},
            [](const CheckOptions& o) { return *o.run.url == "https://a.example/x" && *o.run.expect == "whole page"; }},
        OptionCase{
            {"AbbreviatedLongOptions"},
            {"--det", "--no-pre", "--ret=3", "--js"},
            [](const CheckOptions& o) { return o.run.detect && !o.run.preflight && o.run.retries == 3 && o.json; }},
        OptionCase{{"ClusteredShortOptions"},
                   {"-wq", "list"},
                   [](const CheckOptions& o) {
                       return o.workingOnly && o.quiet && o.files == std::vector<std::string>{"list"};
                   }},
        OptionCase{{"TimeLimits"},
                   {"--timeout=20", "--connect-timeout", "3", "--idle-timeout=4"},
                   [](const CheckOptions& o) {
                       return *o.run.timeout == 20s && *o.run.connectTimeout == 3s && *o.run.idleTimeout == 4s;
                   }},
        OptionCase{{"JsonOfWorkingProxiesOnly"},
                   {"--json", "-w", "--cacert=/x.pem"},
                   [](const CheckOptions& o) { return o.json && o.workingOnly && o.run.caFile == "/x.pem"; }},
        OptionCase{
            {"DoubleDashEndsOptions"},
            {"--why", "--", "--json"},
            [](const CheckOptions& o) { return o.why && !o.json && o.files == std::vector<std::string>{"--json"}; }},
        OptionCase{{"FtpUrl"},
                   {"--url=ftp://a.example/"},
                   {},
                   "invalid URL 'ftp://a.example/': only http:// and https:// pages"},
        OptionCase{{"UrlWithoutScheme"},
                   {"--url", "www.apple.com"},
                   {},
                   "invalid URL 'www.apple.com': only http:// and https:// pages"},
        OptionCase{{"MalformedUrl"}, {"--url=http://a b/"}, {}, "invalid URL 'http://a b/': malformed"},
        OptionCase{{"EmptyExpect"}, {"--expect="}, {}, "the expected text is empty: every page would hold it"},
        OptionCase{{"TooManyRetries"}, {"--retries=6"}, {}, "invalid retries '6': a whole number from 0 to 5"},
        OptionCase{{"NegativeRetries"}, {"--retries=-1"}, {}, "invalid retries '-1': a whole number from 0 to 5"},
        OptionCase{{"IdleTimeoutOfZero"},
                   {"--idle-timeout=0"},
                   {},
                   "invalid idle timeout '0': a whole number of seconds from 1 to 60"},
        OptionCase{{"AmbiguousAbbreviation"}, {"--c"}, {}, "unrecognized or ambiguous option '--c'"},
        OptionCase{{"MissingArgument"}, {"--url"}, {}, "option '--url' requires an argument"},
        OptionCase{{"UnknownShortOption"}, {"-x"}, {}, "invalid option -- 'x'"},
        OptionCase{{"JsonIsNotShiftJis"}, {"--json", "--cp932"}, {}, "--json cannot be used with --cp932"},
        OptionCase{{"WhatTheFarEndSees"},
                   {"--judge=http://judge.example/env", "--anonymity=elite", "--geoip=c.mmdb", "--country=jp,Us"},
                   [](const CheckOptions& o) {
                       return *o.run.judge == "http://judge.example/env" && o.run.anonymity == Anonymity::Elite &&
                              o.run.geoip == "c.mmdb" && o.run.countries == std::vector<std::string>{"JP", "US"};
                   }},
        OptionCase{{"AJudgeIsThePageAndItsText"},
                   {"--judge=http://j.example/", "--expect=x"},
                   {},
                   "--judge cannot be used with --expect: the judge is the page, and its echo the text"},
        OptionCase{{"AJudgesEchoIsNeverTheSame"},
                   {"--unaltered", "--judge=http://j.example/"},
                   {},
                   "--judge cannot be used with --unaltered: the judge is the page, and its echo the text"},
        OptionCase{{"AnonymityWithoutAJudge"},
                   {"--anonymity=elite"},
                   {},
                   "--anonymity needs --judge: only a judge tells what a site sees"},
        OptionCase{{"AJudgeWithoutThePreflight"},
                   {"--judge=http://j.example/", "--no-preflight"},
                   {},
                   "--judge needs the preflight: the page fetched directly is what the proxies' are compared with"},
        OptionCase{{"TransparentIsNoFilter"},
                   {"--anonymity=transparent"},
                   {},
                   "invalid anonymity 'transparent': anonymous or elite"},
        OptionCase{{"ACountryListOfNames"},
                   {"--country=Japan"},
                   {},
                   "invalid country list 'Japan': two-letter codes, comma-separated"},
        OptionCase{{"JsonHasItsOwnReason"}, {"--why", "--json"}, {}, "--json cannot be used with --why"},
        // An empty file name is no file: not the option left out.
        OptionCase{{"AnEmptyCountryDatabase"}, {"--geoip="}, {}, "invalid geoip '': an empty file name"},
        OptionCase{{"AnEmptyCertificateFile"}, {"--cacert="}, {}, "invalid cacert '': an empty file name"},
        // A switch given a value is named, never shown as a raw byte or another letter.
        OptionCase{{"ASwitchGivenAValue"}, {"--json=1"}, {}, "option '--json' doesn't allow an argument"},
        OptionCase{{"AnAbbreviatedSwitchGivenAValue"},
                   {"--no-pre=x"},
                   {},
                   "option '--no-preflight' doesn't allow an argument"},
        OptionCase{{"HelpGivenAValue"}, {"--help=1"}, {}, "option '--help' doesn't allow an argument"},
        OptionCase{{"AControlByteForALetter"}, {"-\x02"}, {}, "invalid option -- '\\x02'"}),
    caseName);

// The page and the text of the script's own choosing: a TLS origin of the suite, verified against its CA, through a
// real proxy's CONNECT; and the preflight before it.
TEST_F(Scripted, AimsAtItsOwnPageAndFetchesItDirectlyFirst) {
    const std::string tunnel = failures->tunnel.address();
    const auto aimed = [&](const std::string& expect, const std::string& url) {
        return runCheck(args({"--url=" + url, "--expect=" + expect, failures->caFile(), "-q"}, tunnel + "\n"));
    };
    const std::string url = "https://" + failures->tlsOrigin.address() + "/";
    const Ran ok = aimed(failures->marker, url);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(linesOf(ok.out), std::multiset<std::string>{kOk + tunnel});
    // A text the page does not hold: no proxy is asked.
    const Ran missing = aimed("not on the page", url);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "kiriha-check: " + url +
                               ": no-marker when fetched directly; every proxy would read dead (--no-preflight "
                               "checks anyway)\n");
    // A page that is down: no proxy contacted.
    const int before = proxies->working.connections();
    const std::string down = "http://" + proxies->dead + "/";
    const Ran unreachable =
        runCheck(args({"--url=" + down, "--expect=x"}, proxies->working.address() + "\n" + tunnel + "\n"));
    EXPECT_EQ(unreachable.status, 2);
    EXPECT_EQ(unreachable.err, "kiriha-check: " + down +
                                   ": refused when fetched directly; every proxy would read dead (--no-preflight "
                                   "checks anyway)\n");
    EXPECT_EQ(proxies->working.connections(), before);
}

// An interrupt while the page is fetched directly ends the command at once: no check was started.
TEST_F(Scripted, AnInterruptDuringThePreflightEndsAtOnce) {
    std::chrono::steady_clock::time_point at;
    const int before = proxies->working.connections();
    const Ran ran =
        runCheck(args({"--url=" + proxies->silent.url("/")}, proxies->working.address() + "\n"),
                 [&](pid_t pid, const std::string&) {
                     if (at == std::chrono::steady_clock::time_point{} && proxies->silent.connections() > 0) {
                         at = std::chrono::steady_clock::now();
                         ::kill(pid, SIGINT);
                     }
                 });
    EXPECT_EQ(ran.status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - at, 2s);  // not the 30 s the fetch would wait
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(proxies->working.connections(), before);
}

// JSON carries every text as the UTF-8 output does: bytes that are not Shift_JIS as U+F700 + the byte. No field of
// a line, whatever bytes it holds, ends the run: a scheme of Shift_JIS text, or of bytes that are none.
TEST_F(Scripted, JsonKeepsTheTextAsTheWindowShowsIt) {
    const std::string tokyo = "# \x93\x8c\x8b\x9e\x82\xcc\x83\x76\x83\x8d\x83\x4e\x83\x56 http://127.0.0.1:9";
    const std::string wide = "\x82\x93\x82\x8f\x82\x83\x82\x8b\x82\x93://127.0.0.1:9";  // ｓｏｃｋｓ
    const Ran ran = runCheck(args({"--json", "-q"}, "\x83\x76\x83\x8d:80\n\x80\x1b:1\n" + tokyo + "\n" + wide +
                                                        "\n\x80\xff\xfe://127.0.0.1:9\n"));
    EXPECT_EQ(ran.status, 1) << ran.err;
    std::multiset<std::string> texts;
    for (const nlohmann::json& o : objectsOf(ran.out)) texts.insert(o["proxy"]);
    EXPECT_EQ(texts, (std::multiset<std::string>{"プロ:80", "\uf780\x1b:1", "# 東京のプロクシ http://127.0.0.1:9",
                                                 "ｓｏｃｋｓ://127.0.0.1:9", "\uf780\uf7ff\uf7fe://127.0.0.1:9"}))
        << ran.out;
    EXPECT_NE(ran.out.find("\\u001b"), std::string::npos) << ran.out;  // escaped, not obeyed
}

// --why: the window's line, a tab, the reason and the time.
TEST_F(Scripted, WhySaysTheReasonAndTheTime) {
    const Ran ran = runCheck(args({"--why", "-q"}, proxies->dead + "\n" + proxies->working.address() + "\n"));
    EXPECT_EQ(ran.status, 0);
    const std::multiset<std::string> lines = linesOf(ran.out);
    ASSERT_EQ(lines.size(), 2u) << ran.out;
    const std::regex dead(kDead + proxies->dead + "\trefused [0-9]+ ms");
    const std::regex working(kOk + proxies->working.address() + "\tmarker [0-9]+ ms");
    EXPECT_TRUE(std::regex_match(*lines.begin(), dead) || std::regex_match(*lines.rbegin(), dead)) << ran.out;
    EXPECT_TRUE(std::regex_match(*lines.begin(), working) || std::regex_match(*lines.rbegin(), working)) << ran.out;
}

// A SOCKS4 proxy of the suite's own that is nothing else: any other greeting is hung up on. Granted, it serves the
// page itself.
void playSocks4(TestServer::Connection& c) {
    char head[8];
    if (::recv(c.fd(), head, 1, MSG_WAITALL) != 1 || head[0] != 4) return;
    if (::recv(c.fd(), head + 1, 7, MSG_WAITALL) != 7) return;
    for (char b = 1; b != 0;)
        if (::recv(c.fd(), &b, 1, 0) != 1) return;  // the user id, to its NUL
    c.send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
    std::string request;
    char buf[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = ::recv(c.fd(), buf, sizeof buf, 0)) > 0;)
        request.append(buf, std::size_t(n));
    c.send(httpResponse(200, "<p>" + kTestMarker + "</p>"));
}

// --detect: the same-looking texts in front of an HTTP proxy, a SOCKS5 and a SOCKS4 one each print the form that
// worked; a refused or silent port is one try only.
TEST_F(Scripted, DetectFindsTheProtocol) {
    TestServer socks4(playSocks4, false);
    const std::string http = failures->tunnel.address(), socks5 = failures->microsocks.address();
    const std::string list =
        http + "\n" + socks5 + "\n" + socks4.address() + "\n" + proxies->dead + "\n" + proxies->silent.address() + "\n";
    const int silentBefore = proxies->silent.connections();
    const Ran ran =
        runCheck(args({"--detect", "--idle-timeout=1", "--url=" + proxies->working.url("/"), "--json"}, list));
    EXPECT_EQ(ran.status, 0) << ran.err;
    std::map<std::string, std::pair<std::string, std::string>> seen;  // proxy: scheme, reason
    for (const nlohmann::json& o : objectsOf(ran.out)) seen[o["proxy"]] = {o["scheme"], o["reason"]};
    const std::map<std::string, std::pair<std::string, std::string>> want{
        {http, {"http", "marker"}},
        {"socks5://" + socks5, {"socks5", "marker"}},
        {"socks4://" + socks4.address(), {"socks4", "marker"}},
        {proxies->dead, {"http", "refused"}},
        {proxies->silent.address(), {"http", "idle-timeout"}},
    };
    EXPECT_EQ(seen, want) << ran.out;
    EXPECT_EQ(proxies->silent.connections() - silentBefore, 1);
}

// --retries: a proxy that resets its first two connections works at the third try, and only the last try is
// printed; a page without the text is not tried again. With --detect, a passing failure is tried again in the same
// protocol before detection moves on.
TEST_F(Scripted, RetriesOutlastPassingResets) {
    for (const auto& [retries, detect] : {std::pair{1, false}, {2, false}, {2, true}}) {
        std::atomic<int> seen{0};
        TestServer twice([&](TestServer::Connection& c) {
            if (++seen <= 2) return c.reset();
            c.send(httpResponse(200, "<p>" + kTestMarker + "</p>"));
        });
        const int plainBefore = proxies->plain.connections();
        std::vector<std::string> a{"--retries=" + std::to_string(retries), "-q", "--why"};
        if (detect) a.push_back("--detect");
        const Ran ran = runCheck(args(a, twice.address() + "\n" + proxies->plain.address() + "\n"));
        const std::multiset<std::string> lines = linesOf(ran.out);
        ASSERT_EQ(lines.size(), 2u) << ran.out;
        const std::string last =
            retries == 2 ? kOk + twice.address() + "\tmarker " : kDead + twice.address() + "\treset ";
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(last); }))
            << ran.out;
        EXPECT_EQ(ran.status, retries == 2 ? 0 : 1);
        EXPECT_EQ(twice.connections(), retries + 1);
        EXPECT_EQ(proxies->plain.connections() - plainBefore, 1);
    }
}

// A silent proxy under a whole limit shorter than the idle one: a passing failure, tried again.
TEST_F(Scripted, SilenceUntilTheWholeLimitIsTriedAgain) {
    const int before = proxies->silent.connections();
    const Ran ran = runCheck(args({"--timeout=1", "--retries=1", "--why", "-q"}, proxies->silent.address() + "\n"));
    EXPECT_EQ(ran.status, 1);
    EXPECT_TRUE(ran.out.starts_with(kDead + proxies->silent.address() + "\tidle-timeout ")) << ran.out;
    EXPECT_EQ(proxies->silent.connections() - before, 2);
}

// Twenty lines of a real SOCKS5 proxy at a thousand a second: detection ends every one.
TEST_F(Scripted, DetectionOverManyLinesOfARealSocksProxy) {
    const std::string socks5 = failures->microsocks.address();
    const Ran ran = runCheck(
        args({"--detect", "--rate=1000", "--url=" + proxies->working.url("/"), "--expect=" + kTestMarker, "-q"},
             many(socks5, 20)));
    EXPECT_EQ(ran.status, 0) << ran.err;
    const std::vector<std::string> want(20, kOk + "socks5://" + socks5);
    EXPECT_EQ(linesOf(ran.out), std::multiset<std::string>(want.begin(), want.end())) << ran.out;
}

// A page that goes down in the middle of a run (its own 503, through a real proxy): new checks wait, and those that
// ended meanwhile are made again once it answers; when it does not within a check's whole limit, every proxy left is
// aborted and the command exits 2.
TEST_F(Scripted, ThePageGoesDownInTheMiddle) {
    for (const bool comesBack : {true, false}) {
        std::atomic<int> served{0};
        std::atomic<long> downAt{0};
        const auto msNow = [] {
            return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
        };
        TestServer page([&](TestServer::Connection& c) {
            if (++served == 6) downAt = msNow();  // the preflight and four checks see it up
            const bool down = downAt != 0 && (!comesBack || msNow() - downAt < 1500);
            c.send(down ? httpResponse(503, "<p>busy</p>") : httpResponse(200, "<p>" + kTestMarker + "</p>"));
        });
        const std::string tunnel = failures->tunnel.address();
        const Ran ran = runCheck(
            args({"--url=" + page.url("/"), "--expect=" + kTestMarker, "--rate=20", "--timeout=4"}, many(tunnel, 20)));
        const std::string url = page.url("/");
        EXPECT_NE(ran.err.find(url + ": answered 503 when fetched directly; new checks wait for it"), std::string::npos)
            << ran.err;
        std::vector<std::string> want(20, kOk + tunnel);
        if (comesBack) {
            EXPECT_EQ(ran.status, 0) << ran.err;
            EXPECT_NE(ran.err.find(url + ": answers again"), std::string::npos) << ran.err;
        } else {
            EXPECT_EQ(ran.status, 2) << ran.err;
            EXPECT_NE(ran.err.find("when fetched directly for 4.0 s; every proxy left is aborted"), std::string::npos)
                << ran.err;
            std::fill(want.begin() + 4, want.end(), kAborted + tunnel);
        }
        EXPECT_EQ(linesOf(ran.out), std::multiset<std::string>(want.begin(), want.end())) << ran.out;
    }
}

// Country databases decide no run they were not asked into. The usual places are a private folder of the child's
// own (a mount namespace; root only): a database there is read only for --country, one that cannot be used is skipped
// with a word, and one named that is no country database is refused, saying what it is.
struct CountryCase : NamedCase {
    std::vector<std::pair<std::string, std::string>> placed;  // a file in /var/lib/GeoIP: good, asn, broken or folder
    std::vector<std::string> args;                            // "{good}" and "{asn}": the suite's databases
    int status;
    std::string err;         // what standard error says, among other things; "" also: nothing at all
    std::size_t fields = 0;  // of the JSON line; 0: none
};
class CountryTable : public CheckCommand, public ::testing::WithParamInterface<CountryCase> {};

TEST_P(CountryTable, DecidesOnlyWhatItIsAskedInto) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    const CountryCase& c = GetParam();
    const Judges& j = judges();
    std::string script = "mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/GeoIP && cd /var/lib/GeoIP";
    for (const auto& [name, what] : c.placed)
        script += what == "good"     ? " && cp " + j.countries + " " + name
                  : what == "asn"    ? " && cp " + j.asn + " " + name
                  : what == "folder" ? " && mkdir " + name
                                     : " && head -c 100 " + j.countries + " > " + name;
    Launch l =
        args({"/bin/sh", "-c", script + " && exec \"$0\" \"$@\"", checkBinary(), "--no-preflight", "--json", "-q"},
             proxies->working.address() + "\n");
    l.binary = "/usr/bin/unshare";
    l.args.insert(l.args.begin(), {"--mount", "--propagation", "private"});
    for (std::string a : c.args) {
        a = std::regex_replace(a, std::regex("\\{good\\}"), j.countries);
        l.args.push_back(std::regex_replace(a, std::regex("\\{asn\\}"), j.asn));
    }
    const Ran ran = runProgram(l);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    if (c.err.empty()) {
        EXPECT_EQ(ran.err, "");
    } else {
        EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
    }
    if (c.fields == 0) {
        EXPECT_EQ(ran.out, "");
    } else {
        EXPECT_EQ(objectsOf(ran.out, false, c.fields == 11).size(), 1u) << ran.out;
    }
    // Under a Japanese locale: said in Japanese, decided the same, the same fields.
    const Ran ja = runProgram(inLocale(l, "ja_JP.UTF-8"));
    EXPECT_EQ(ja.status, ran.status) << ja.err;
    EXPECT_EQ(objectsOf(ja.out, false, c.fields == 11).size(), objectsOf(ran.out, false, c.fields == 11).size());
    for (const auto& [english, japanese] :
         {std::pair<std::string, std::string>{": skipped", ": 飛ばした"},
          {"a country database is wanted", "国のデータベース"},
          {"No such file or directory", "そのようなファイルやディレクトリはありません"}})
        if (ran.err.find(english) != std::string::npos) {
            EXPECT_NE(ja.err.find(japanese), std::string::npos) << ja.err;
        }
}

INSTANTIATE_TEST_SUITE_P(
    All, CountryTable,
    ::testing::Values(
        CountryCase{{"ABrokenOneFoundIsNotAskedInto"}, {{"GeoLite2-Country.mmdb", "broken"}}, {}, 0, "", 9},
        CountryCase{{"AGoodOneFoundAddsNothingUnasked"}, {{"GeoLite2-Country.mmdb", "good"}}, {}, 0, "", 9},
        CountryCase{{"AFolderFoundIsSkipped"},
                    {{"GeoLite2-Country.mmdb", "folder"}, {"GeoIP2-Country.mmdb", "good"}},
                    {"--country=DE"},
                    0,
                    "GeoLite2-Country.mmdb: Is a directory: skipped",
                    11},
        CountryCase{{"AnAsnOneFoundIsSkipped"},
                    {{"GeoLite2-Country.mmdb", "asn"}, {"GeoIP2-Country.mmdb", "good"}},
                    {"--country=DE"},
                    0,
                    "GeoLite2-Country.mmdb: a GeoLite2-ASN database, whose records carry no country",
                    11},
        CountryCase{{"OnlyBrokenOnesFound"},
                    {{"GeoLite2-Country.mmdb", "broken"}},
                    {"--country=DE"},
                    2,
                    "--country needs a country database (--geoip=FILE)"},
        CountryCase{{"AnAsnOneNamedIsRefused"},
                    {},
                    {"--geoip={asn}"},
                    2,
                    "asn.mmdb: a GeoLite2-ASN database, whose records carry no country; a country database is wanted"},
        CountryCase{{"AMissingOneNamedSaysWhy"},
                    {},
                    {"--geoip=/nonexistent/c.mmdb"},
                    2,
                    "kiriha-check: --geoip: /nonexistent/c.mmdb: No such file or directory\n"},
        CountryCase{{"TheSuitesOwnTypeIsACountryDatabase"}, {}, {"--geoip={good}"}, 0, "", 11}),
    caseName);

// The time left on the progress line, three hours into a list of a million lines: in seconds, not in a product of
// nanoseconds that passes 64 bits.
TEST(Progress, EstimatesALongListWithoutOverflow) {
    EXPECT_NEAR(secondsLeft(3 * 3600.0, 108'000, 1'000'000), 89'200.0, 1.0);
    EXPECT_EQ(secondsLeft(10.0, 0, 5), -1.0);  // nothing done yet: no estimate
}

}  // namespace

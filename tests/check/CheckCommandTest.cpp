// kiriha-check end to end: the real binary against the suite's local servers and a real tinyproxy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "lists/ShiftJis.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/TestServer.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

using namespace std::chrono_literals;

struct Ran {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out, err;
};

// Runs kiriha-check with `args` and `input` on standard input; `watch` is called with the process and what it
// has written so far, until it ends.
Ran runCheck(const std::vector<std::string>& args, const std::string& input = "",
             const std::function<void(pid_t, const std::string& out)>& watch = {}, bool errOnTerminal = false) {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) ||
        (errOnTerminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : ::pipe(err)))
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        std::vector<char*> argv{const_cast<char*>(KIRIHA_CHECK_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    [[maybe_unused]] const ssize_t w = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
    Ran ran;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        ::poll(fds, 2, 20);
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k ? ran.err : ran.out).append(buf, std::size_t(n));
            } else {
                ::close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
        if (watch) watch(pid, ran.out);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ran;
}

std::multiset<std::string> linesOf(const std::string& text, std::string_view lineBreak = "\n") {
    std::multiset<std::string> lines;
    for (std::size_t pos = 0, end; (end = text.find(lineBreak, pos)) != std::string::npos; pos = end + lineBreak.size())
        lines.insert(text.substr(pos, end - pos));
    return lines;
}

// Proxies of every kind, for the whole suite.
struct Proxies {
    TestServer working{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); }};
    TestServer plain{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>no marker here</p>")); }};
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
    void SetUp() override {
        char pattern[] = "/tmp/kiriha-check-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

  public:
    std::string file(const std::string& name, const std::string& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    }
    std::string dir;
};

const std::string kDead = "死亡：", kOk = "ＯＫ：", kAborted = "中止：";

struct CommandCase : NamedCase {
    std::function<std::vector<std::string>(CheckCommand&)> args;
    std::function<std::string()> input;
    std::function<std::multiset<std::string>()> lines;  // UTF-8, without line breaks
    int status;
};

class CommandTable : public CheckCommand, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, PrintsTheVerdictsAndExits) {
    const int before = proxies->working.connections();
    const Ran ran = runCheck(GetParam().args(*this), GetParam().input());
    EXPECT_EQ(ran.status, GetParam().status) << ran.err;
    EXPECT_EQ(linesOf(ran.out), GetParam().lines()) << ran.out;
    if (ran.status == 2) {
        EXPECT_EQ(proxies->working.connections(), before);  // nothing started
        EXPECT_TRUE(ran.err.starts_with("kiriha-check: ")) << ran.err;
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
auto none = [] { return std::string(); };
auto noLines = [] { return std::multiset<std::string>{}; };

INSTANTIATE_TEST_SUITE_P(
    All, CommandTable,
    ::testing::Values(
        CommandCase{"AFile", [](CheckCommand& t) { return std::vector<std::string>{t.file("l.txt", list())}; }, none,
                    verdicts, 0},
        CommandCase{"StandardInput", [](CheckCommand&) { return std::vector<std::string>{"--rate=100"}; }, list,
                    verdicts, 0},
        CommandCase{"FilesAndStandardInput",
                    [](CheckCommand& t) {
                        return std::vector<std::string>{t.file("a", proxies->working.address()), "-",
                                                        t.file("b", proxies->dead)};
                    },
                    [] { return proxies->plain.address(); },
                    [] {
                        return std::multiset<std::string>{kOk + proxies->working.address(), kDead + proxies->dead,
                                                          kDead + proxies->plain.address()};
                    },
                    0},
        CommandCase{"WorkingOnly",
                    [](CheckCommand&) {
                        return std::vector<std::string>{"-w", "-q"};
                    },
                    list,
                    [] {
                        return std::multiset<std::string>{proxies->working.address(), proxies->tinyproxy.address()};
                    },
                    0},
        CommandCase{"NothingWorks", [](CheckCommand&) { return std::vector<std::string>{}; },
                    [] { return proxies->dead + "\n" + proxies->plain.address(); },
                    [] {
                        return std::multiset<std::string>{kDead + proxies->dead, kDead + proxies->plain.address()};
                    },
                    1},
        CommandCase{"EmptyList", [](CheckCommand&) { return std::vector<std::string>{}; }, none, noLines, 1},
        // Bytes that are not Shift_JIS come out as the window shows them: U+F700 + the byte.
        CommandCase{"ShiftJisProxyTextInUtf8", [](CheckCommand&) { return std::vector<std::string>{}; },
                    [] { return std::string("\x83\x76\x83\x8d:80\n\x80x:1\n"); },
                    [] {
                        return std::multiset<std::string>{kDead + "プロ:80", kDead + "\uf780x:1"};
                    },
                    1},
        CommandCase{"AnUnreadableFileStartsNothing",
                    [](CheckCommand& t) {
                        return std::vector<std::string>{t.file("l.txt", list()), t.dir + "/missing.txt"};
                    },
                    none, noLines, 2},
        CommandCase{"AFolder", [](CheckCommand& t) { return std::vector<std::string>{t.dir}; }, list, noLines, 2},
        CommandCase{"TooLarge",
                    [](CheckCommand& t) {
                        const std::string big = t.file("big", "");
                        std::filesystem::resize_file(big, (64u << 20) + 1);
                        return std::vector<std::string>{big};
                    },
                    list, noLines, 2},
        CommandCase{"BadRate",
                    [](CheckCommand&) {
                        return std::vector<std::string>{"--rate", "101"};
                    },
                    list, noLines, 2},
        CommandCase{"UnknownOption", [](CheckCommand&) { return std::vector<std::string>{"--fast"}; }, list, noLines,
                    2}),
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

// Headers at once, then a byte now and then: checks that sit in their read loop until stopped.
TEST_F(CheckCommand, AnInterruptStopsEveryCheckAndPrintsTheirLinesWhole) {
    TestServer slow([](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(50ms) && c.send("x")) {
        }
    });
    std::string input;
    for (int i = 0; i < 30; ++i) input += slow.address() + "\n";
    bool sent = false;
    const Ran ran = runCheck({"--rate", "100"}, input, [&](pid_t pid, const std::string&) {
        if (!sent && slow.connections() == 30) {
            std::this_thread::sleep_for(100ms);  // all in their read loop
            sent = ::kill(pid, SIGINT) == 0;
        }
    });
    EXPECT_EQ(ran.status, 130);
    EXPECT_TRUE(ran.out.ends_with("\n"));
    const std::vector<std::string> aborted(30, kAborted + slow.address());
    EXPECT_EQ(linesOf(ran.out), std::multiset<std::string>(aborted.begin(), aborted.end())) << ran.out;
    EXPECT_NE(ran.err.find("30 checked, 0 working, 0 dead, 30 aborted"), std::string::npos) << ran.err;
}

// Checks still opening do not see a stop; a second interrupt ends everything at once.
TEST_F(CheckCommand, ASecondInterruptEndsAtOnce) {
    TestServer silent([](TestServer::Connection& c) { c.sleep(30s); });
    std::string input;
    for (int i = 0; i < 5; ++i) input += silent.address() + "\n";
    int sent = 0;
    const auto start = std::chrono::steady_clock::now();
    const Ran ran = runCheck({"--rate=100", "-q"}, input, [&](pid_t pid, const std::string&) {
        if (silent.connections() == 5 && sent < 2) {
            ::kill(pid, SIGTERM);
            ++sent;
            std::this_thread::sleep_for(50ms);
        }
    });
    EXPECT_EQ(ran.status, 130);
    EXPECT_EQ(ran.out, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // not the 30 s the checks would wait
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
}

TEST_F(CheckCommand, HelpAndVersion) {
    const Ran help = runCheck({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: kiriha-check [OPTION]... [FILE]...")) << help.out;
    const Ran version = runCheck({"--version"});
    EXPECT_EQ(version.out, "kiriha-check (霧葉) 1.00\n");
}

}  // namespace

// What the window system receives from our windows, on a private Xvfb: the titles as a desktop shows them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFileDialog>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <string>

#include "engine/rules/ProcessSetup.h"
#include "tests/support/TestServer.h"
#include "tests/ui/CloseProgram.h"
#include "ui/Application.h"
#include "ui/ErrorDisplay.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

namespace {

// A window's _NET_WM_NAME as xprop reads it off the X server.
QString netWmName(QWidget& w) {
    QApplication::sync();
    QProcess xprop;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    xprop.setProcessEnvironment(env);
    xprop.start("xprop", {"-id", QString::number(w.winId()), "_NET_WM_NAME"});
    if (!xprop.waitForFinished(10000)) return "(xprop did not answer)";
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const auto first = out.indexOf('"'), last = out.lastIndexOf('"');
    return first >= 0 && last > first ? out.mid(first + 1, last - first - 1) : out;
}

bool shown(QWidget& w) {
    return QTest::qWaitForWindowExposed(&w);
}

TEST(WindowTitles, AreTheCaptionsAndNothingMore) {
    TForm1 form;
    form.show();
    ASSERT_TRUE(shown(form));
    EXPECT_EQ(netWmName(form), QStringLiteral("霧葉（きりは）　　～プロクシ生存チェッカー"));

    TAboutBox about(&form);
    about.show();
    ASSERT_TRUE(shown(about));
    EXPECT_EQ(netWmName(about), QStringLiteral("バージョン情報"));
    about.hide();

    for (auto [dialog, title] : {std::pair{form.OpenDialog1.get(), QStringLiteral("プロクシリストの読み込みっ！")},
                                 std::pair{form.SaveDialog1.get(), QStringLiteral("プロクシリストの保存っ！")}}) {
        QString seen = "(no dialog)";
        QTimer::singleShot(0, [&] {
            if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                if (shown(*d)) seen = netWmName(*d);
                d->reject();
            }
        });
        dialog->execute();
        EXPECT_EQ(seen, title);
    }
}

// Desktops close a window with a WM_DELETE_WINDOW client message, which Qt holds with the user's input: during
// Start's dispatch it still ends the program at once.
TEST(DesktopClose, DuringTheDispatchOfThreeHundredLinesEndsTheProgramWithinTwoSeconds) {
    TestServer slow(trickle);
    for (int round = 0; round < 20; ++round) {  // the dispatch alone would take 3 s
        const auto [code, took] = closeProgram(slow, 300, 100, 300, "desktop");
        EXPECT_EQ(code, 0) << "round " << round;
        EXPECT_LT(took, std::chrono::seconds(2)) << "round " << round;
    }
}

// A private X server on a display nobody else uses, for as long as the tests run.
class Xvfb {
  public:
    Xvfb() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;  // the display's number and a line feed, once the server is ready
        for (char c; ::read(fds[0], &c, 1) == 1 && c != '\n';) number += c;
        ::close(fds[0]);
        if (!number.empty()) ::setenv("DISPLAY", (":" + number).c_str(), 1);
    }
    ~Xvfb() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

  private:
    pid_t pid_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();  // listing needs no display
    Xvfb server;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    const ProcessSetup setup;
    TApplication app(argc, argv);
    setUpApplication();  // as the program does
    return RUN_ALL_TESTS();
}

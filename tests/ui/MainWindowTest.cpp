#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <set>

#include "codec/Cp932Codec.h"
#include "engine/threads/WindowRun.h"
#include "lists/ShiftJis.h"
#include "tests/support/FakeHttp.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/ScriptedDialog.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "tests/ui/CloseProgram.h"
#include "ui/ErrorDisplay.h"
#include "ui/MemoLines.h"
#include "ui/RunTexts.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

namespace {

using namespace std::chrono_literals;

class MainWindow : public ::testing::Test {
  protected:
    void open(FormSettings settings = {}) {
        settings.wavePause = std::chrono::milliseconds(20);
        settings.limits = CheckLimits{2000ms, 1000ms, 5000ms};
        form = std::make_unique<TForm1>(settings);
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    bool waitFor(const std::function<bool()>& done, int ms = 10000) { return QTest::qWaitFor(done, ms); }
    // The window over fake proxies whose checks wait in their first read, `n` of them in the proxy list,
    // and the focus in the result list.
    std::shared_ptr<FakeHttp> openWithHeldProxies(int n) {
        auto http = std::make_shared<FakeHttp>();
        FormSettings settings;
        settings.http = http;
        open(settings);
        std::string list;
        for (int i = 0; i < n; ++i) list += "hold" + std::to_string(i) + "\r\n";
        form->proxyList().setText(list);
        form->Memo1->setFocus();
        return http;
    }
    std::multiset<std::string> resultLines() {
        std::multiset<std::string> lines;
        for (std::size_t i = 1; i < form->results().count(); ++i) lines.insert(form->results().line(i));
        return lines;
    }

    std::unique_ptr<TForm1> form;
};

TEST_F(MainWindow, StartsWithItsDesignTextsAndBothScrollBars) {
    open();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("霧葉（きりは）　　～プロクシ生存チェッカー"));
    EXPECT_EQ(form->scrollArea()->size(), QSize(377, 403));
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_TRUE(form->scrollArea()->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(form->scrollArea()->verticalScrollBar()->isVisible());
    EXPECT_EQ(form->results().text(), "\r\n");
    EXPECT_EQ(form->results().count(), 1u);
    EXPECT_EQ(form->kusi_now->text(), QStringLiteral("　　"));
    EXPECT_EQ(form->Button1->toolTip(), QStringLiteral("不安定だけど高速っ！"));

    // Scrolled fully right and down, the three state labels come into view with their design texts.
    QScrollArea* area = form->scrollArea();
    area->horizontalScrollBar()->setValue(area->horizontalScrollBar()->maximum());
    area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
    const QRect visible = area->viewport()->rect();
    for (QLabel* l : {form->kusi_th, form->kusi_max, form->LoadFile_NamePath}) {
        const QRect at(l->mapTo(area->viewport(), QPoint(0, 0)), l->size());
        EXPECT_TRUE(visible.contains(at)) << l->text().toStdString();
    }
    EXPECT_EQ(form->kusi_th->text(), "kusi_th");
    EXPECT_EQ(form->kusi_max->text(), "kusi_max");
    EXPECT_EQ(form->LoadFile_NamePath->text(), "LoadFile_NamePath");

    form->Button1->click();  // an empty list
    EXPECT_EQ(form->kusi_now->text(), "0");
    EXPECT_EQ(form->kusi_max->text(), "0");
    EXPECT_EQ(form->kusi_th->text(), "on");
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ生存チェック中"));
}

TEST_F(MainWindow, StartHasTheFocusAndTabVisitsTheEightControlsInOrder) {
    open();
    const std::vector<QWidget*> order = {form->Button1, form->Memo1,   form->Memo_load, form->Button2,
                                         form->Button3, form->Button4, form->Button5,   form->CheckBox1};
    EXPECT_EQ(QApplication::focusWidget(), form->Button1);
    for (std::size_t i = 1; i <= order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), order[i % order.size()]) << "after Tab " << i;
    }
}

TEST_F(MainWindow, TextsThatShowDataAreNeverMarkup) {
    open();
    const QString markup = QStringLiteral("/tmp/<b>x</b>.txt");
    form->setRememberedPath(markup.toStdString());
    for (QLabel* l : form->findChildren<QLabel*>())
        EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->text().toStdString();
    EXPECT_EQ(form->LoadFile_NamePath->text(), markup);
    QString boxText;
    Qt::TextFormat boxFormat = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        boxText = box->text();
        boxFormat = box->textFormat();
        box->accept();
    });
    runHandler([&] { throw std::runtime_error(markup.toStdString()); });
    EXPECT_EQ(boxFormat, Qt::PlainText);
    EXPECT_EQ(boxText, markup + ".");
}

TEST_F(MainWindow, AboutOpensWithTheFirstAddressFocusedAndEnterClosesIt) {
    open();
    TAboutBox about(form.get());
    QWidget* focused = nullptr;
    QTimer::singleShot(0, [&] {
        if (QTest::qWaitFor(
                [&] { return QApplication::focusWidget() && QApplication::focusWidget()->window() == &about; })) {
            focused = QApplication::focusWidget();
            QTest::keyClick(focused, Qt::Key_Return);
        }
        if (about.isVisible()) about.done(-1);  // Enter did not close it
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    EXPECT_EQ(focused, static_cast<QWidget*>(about.Edit1)) << (focused ? focused->metaObject()->className() : "none");
}

TEST_F(MainWindow, StartChecksRealProxiesIntoTheResultList) {
    TinyProxy proxy;
    TestServer site([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); });
    FormSettings settings;
    settings.target = Target{site.url("/"), kTestMarker};
    open(settings);
    std::string list;
    std::multiset<std::string> want;
    const ClosedPort closed;
    for (int i = 0; i < 12; ++i) {
        const std::string p = i % 2 ? closed.address() : proxy.address();
        list += p + "\r\n";
        want.insert(resultLine(i % 2 ? ProbeOutcome::Dead : ProbeOutcome::Working, p));
    }
    form->proxyList().setText(list);
    form->Button1->click();
    ASSERT_TRUE(waitFor([&] { return form->kusi_th->text() == "off"; }));
    EXPECT_EQ(form->results().line(0), "");
    EXPECT_EQ(resultLines(), want);
    EXPECT_EQ(form->kusi_now->text(), "12");
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック　終了！"));
}

TEST_F(MainWindow, AbortShowsTheAbortTextAndAppendsNothingMore) {
    // Headers at once, then a byte now and then: the checks sit in their read loop.
    TestServer slow([](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(50ms) && c.send("x")) {
        }
    });
    open();
    std::string list;
    for (int i = 0; i < 12; ++i) list += slow.address() + "\r\n";
    form->proxyList().setText(list);
    form->Button1->click();
    form->Button2->click();
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック終了！"));
    EXPECT_EQ(form->kusi_th->text(), "off");
    ASSERT_TRUE(waitFor([&] { return form->kusi_now->text() == "10"; }));  // the ten newest stopped
    EXPECT_EQ(form->results().text(), "\r\n");
}

// While Start pauses: a key press for the result list and a click on Abort, through the window system.
void pressXAndClickAbort(TForm1& form) {
    QWindow* window = form.windowHandle();
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, "x");
    const QPoint at = form.Button2->mapTo(&form, form.Button2->rect().center());
    const QPoint global = form.mapToGlobal(at);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, at, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, at, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}

TEST_F(MainWindow, InputDuringDispatchIsHandledAfterwards) {
    const auto http = openWithHeldProxies(11);  // slot 1's first check outlives Abort
    QString seenDuringPause = "?";
    QString flagDuringPause = "?";
    QTimer::singleShot(5, [&] { pressXAndClickAbort(*form); });
    QTimer::singleShot(15, [&] {
        seenDuringPause = form->Memo1->toPlainText();
        flagDuringPause = form->kusi_th->text();
    });
    form->Button1->click();
    EXPECT_EQ(seenDuringPause, QStringLiteral("\n"));  // nothing typed yet
    EXPECT_EQ(flagDuringPause, "on");                  // nor clicked
    EXPECT_EQ(form->kusi_max->text(), "11");
    ASSERT_TRUE(waitFor([&] { return form->Memo1->toPlainText().startsWith('x'); }));
    ASSERT_TRUE(waitFor([&] { return form->kusi_th->text() == "off"; }));
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック終了！"));  // the Abort click
    http->release();
}

// A close from the desktop during dispatch ends it at once, before the input held with it.
TEST_F(MainWindow, CloseDuringDispatchEndsItFirst) {
    const auto http = openWithHeldProxies(300);
    bool dispatchingWhenClosed = false;
    QTimer::singleShot(30, [&] {
        pressXAndClickAbort(*form);
        QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::SynchronousDelivery>(form->windowHandle());
        dispatchingWhenClosed = form->run().dispatching();
    });
    form->Button1->click();
    EXPECT_TRUE(dispatchingWhenClosed);
    EXPECT_FALSE(form->isVisible());
    EXPECT_LT(form->kusi_max->text().toInt(), 300);  // no further wave started
    EXPECT_EQ(form->kusi_th->text(), "off");
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック終了！"));
    QTest::qWait(50);
    EXPECT_EQ(form->Memo1->toPlainText(), QStringLiteral("\n"));  // the held key went nowhere
}

TEST_F(MainWindow, CompletionsArriveWhileAModalDialogIsOpen) {
    auto http = std::make_shared<FakeHttp>();
    FormSettings settings;
    settings.http = http;
    open(settings);
    form->proxyList().setText("hold1\r\nhold2\r\nhold3\r\n");
    form->Button1->click();
    std::size_t linesWhileOpen = 0;
    QTimer::singleShot(0, [&] {
        QMessageBox box(QMessageBox::Information, "t", "modal", QMessageBox::Ok, form.get());
        QTimer::singleShot(10, [&] { http->release(); });
        QTimer::singleShot(20, [&] {
            waitFor([&] { return form->results().count() == 4; });
            linesWhileOpen = form->results().count();
            box.accept();
        });
        box.exec();
    });
    ASSERT_TRUE(waitFor([&] { return linesWhileOpen != 0; }));
    EXPECT_EQ(linesWhileOpen, 4u);
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック　終了！"));
}

class ProgramExit : public ::testing::Test {
  protected:
    TestServer slow{trickle};
};

TEST_F(ProgramExit, ClosingDuringFiftySlowChecksExitsCleanly) {
    for (int round = 0; round < 20; ++round) {
        const auto [code, took] = closeProgram(slow, 50, 10, 300);
        EXPECT_EQ(code, 0) << "round " << round;
    }
    EXPECT_GE(slow.connections(), 20 * 50);
}

TEST_F(ProgramExit, ClosingDuringTheDispatchOfThreeHundredLinesEndsItWithinTwoSeconds) {
    for (int round = 0; round < 20; ++round) {  // the dispatch alone would take 3 s
        const auto [code, took] = closeProgram(slow, 300, 100, 300);
        EXPECT_EQ(code, 0) << "round " << round;
        EXPECT_LT(took, 2s) << "round " << round;
    }
}

TEST_F(ProgramExit, ClosingDuringADispatchAtTheRealPace) {
    const auto [code, took] = closeProgram(slow, 300, 1000, 1500);  // 30 s of dispatch
    EXPECT_EQ(code, 0);
    EXPECT_LT(took, 2s);
}

}  // namespace

namespace {

class ListCommandsInTheWindow : public MainWindow {
  protected:
    void SetUp() override {
        open();
        auto o = std::make_unique<ScriptedDialog>();
        auto s = std::make_unique<ScriptedDialog>();
        openDialog = o.get();
        saveDialog = s.get();
        form->OpenDialog1 = std::move(o);
        form->SaveDialog1 = std::move(s);
    }

    ScriptedDialog* openDialog;
    ScriptedDialog* saveDialog;
    TempDir folder;
    const std::string dir = folder.str();
};

TEST_F(ListCommandsInTheWindow, LoadAndSaveReproduceTheBytesInvalidCp932Included) {
    const std::string bytes = "127.0.0.1:8080\r\n\x83\x76\x83\x8d:80\r\n\x80\xa0\xfd\x85\x40\xed\x40\r\n\r\nlast";
    { std::ofstream(dir + "/in.txt", std::ios::binary) << bytes; }
    openDialog->answers = {dir + "/in.txt"};
    form->Button3Click();
    EXPECT_EQ(form->proxyList().count(), 5u);
    EXPECT_EQ(form->LoadFile_NamePath->text().toStdString(), dir + "/in.txt");
    saveDialog->answers = {dir + "/out.txt"};
    form->Button5Click();
    std::ifstream in(dir + "/out.txt", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
}

TEST_F(ListCommandsInTheWindow, ErrorsShowThePathInShiftJis) {
    const std::string missing = dir + "/存在しない.txt";  // the file system's UTF-8
    openDialog->answers = {missing};
    try {
        form->Button3Click();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(Cp932Codec().decode(sjis::withFullStop(e.what())),
                  QStringLiteral("ファイル %1 は開けません.").arg(QString::fromStdString(missing)));
    }
    EXPECT_EQ(form->LoadFile_NamePath->text(), "LoadFile_NamePath");
}

TEST_F(ListCommandsInTheWindow, TidyStripsAndRemovesInTheResultList) {
    for (const auto& line : {resultLine(ProbeOutcome::Dead, "a:1"), resultLine(ProbeOutcome::Working, "b:2"),
                             resultLine(ProbeOutcome::Aborted, "c:3"), std::string("d:4")})
        form->appendResult(line);
    form->Button4->click();
    EXPECT_EQ(form->results().text(), "\r\nb:2\r\n" + resultLine(ProbeOutcome::Aborted, "c:3") + "\r\nd:4\r\n");
}

}  // namespace

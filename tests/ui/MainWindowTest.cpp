#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
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

#include "engine/CheckRun.h"
#include "engine/Texts.h"
#include "lists/LineList.h"
#include "tests/support/FakeHttp.h"
#include "tests/support/ScriptedDialog.h"
#include "tests/support/TestServer.h"
#include "tests/support/TinyProxy.h"
#include "ui/Cp932Codec.h"
#include "ui/ErrorDisplay.h"
#include "ui/FileDialogs.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

namespace {

using namespace std::chrono_literals;

std::string sjis(const QString& s) {
    return Cp932Codec().encode(s);
}

class MainWindow : public ::testing::Test {
  protected:
    void open(FormSettings settings = {}) {
        settings.wavePause = std::chrono::milliseconds(20);
        settings.timeouts = CurlTimeouts{2000ms, 1000ms, 5000ms};
        form = std::make_unique<TForm1>(settings);
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    bool waitFor(const std::function<bool()>& done, int ms = 10000) { return QTest::qWaitFor(done, ms); }
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

TEST_F(MainWindow, StartChecksRealProxiesIntoTheResultList) {
    TinyProxy proxy;
    TestServer site([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); });
    FormSettings settings;
    settings.target = Target{site.url("/"), kTestMarker};
    open(settings);
    std::string list;
    std::multiset<std::string> want;
    for (int i = 0; i < 12; ++i) {
        const std::string p = i % 2 ? "127.0.0.1:" + std::to_string(freePort()) : proxy.address();
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

TEST_F(MainWindow, InputDuringDispatchIsHandledAfterwards) {
    auto http = std::make_shared<FakeHttp>();
    FormSettings settings;
    settings.http = http;
    open(settings);
    std::string list;
    for (int i = 0; i < 11; ++i) list += "hold" + std::to_string(i) + "\r\n";  // slot 1's first check outlives Abort
    form->proxyList().setText(list);
    form->Memo1->setFocus();
    QWindow* window = form->windowHandle();
    QString seenDuringPause = "?";
    QString flagDuringPause = "?";
    bool dispatchingWhenClosed = false;
    // While Start pauses: a key press for the result list, a click on Abort and a close request.
    QTimer::singleShot(5, [&] {
        QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
        QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, "x");
        const QPoint at = form->Button2->mapTo(form.get(), form->Button2->rect().center());
        const QPoint global = form->mapToGlobal(at);
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, at, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, at, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
        form->close();
        dispatchingWhenClosed = form->run().dispatching();
    });
    QTimer::singleShot(15, [&] {
        seenDuringPause = form->Memo1->toPlainText();
        flagDuringPause = form->kusi_th->text();
    });
    form->Button1->click();
    EXPECT_EQ(seenDuringPause, QStringLiteral("\n"));  // nothing typed yet
    EXPECT_EQ(flagDuringPause, "on");                  // nor clicked
    EXPECT_TRUE(dispatchingWhenClosed);
    EXPECT_TRUE(form->isVisible());  // the close waits for the end of dispatch
    EXPECT_EQ(form->kusi_th->text(), "on");
    ASSERT_TRUE(waitFor([&] { return !form->isVisible(); }));
    EXPECT_TRUE(form->Memo1->toPlainText().startsWith('x'));
    EXPECT_EQ(form->Label_kusi->text(), QStringLiteral("プロクシ　生存チェック終了！"));  // the Abort click
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

struct StopCase {
    const char* name;
    QString message;
    QString shown;
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class FullStopRule : public ::testing::TestWithParam<StopCase> {};

TEST_P(FullStopRule, AppendsAPeriodAfterCharactersAbovePeriod) {
    EXPECT_EQ(withFullStop(sjis(GetParam().message)), sjis(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    All, FullStopRule,
    ::testing::Values(StopCase{"Japanese", "ファイル a.txt は開けません", "ファイル a.txt は開けません."},
                      StopCase{"Empty", "", ""}, StopCase{"Period", "done.", "done."},
                      StopCase{"Paren", "failed (5)", "failed (5)"}, StopCase{"Letter", "abc", "abc."},
                      StopCase{"Slash", "a/", "a/."}, StopCase{"Hyphen", "a-", "a-"},
                      StopCase{"HalfWidthKana", "ｱ", "ｱ."}, StopCase{"Space", "a ", "a "},
                      StopCase{"FullWidthStop", "終わり。", "終わり。."}),
    [](const auto& info) { return info.param.name; });

struct BytesCase {
    const char* name;
    std::string bytes;
};
void PrintTo(const BytesCase& c, std::ostream* os) {
    *os << c.name;
}

class Cp932RoundTrip : public ::testing::TestWithParam<BytesCase> {};

TEST_P(Cp932RoundTrip, BytesSurviveTheEditor) {
    QPlainTextEdit edit;
    MemoLines lines(edit);
    const std::string text = GetParam().bytes + "\r\nnext\r\n";
    lines.setText(text);
    EXPECT_EQ(lines.text(), text);
    EXPECT_EQ(lines.line(0), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(All, Cp932RoundTrip,
                         ::testing::Values(BytesCase{"Ascii", "127.0.0.1:8080"},
                                           BytesCase{"Japanese", "\x83\x76\x83\x8d\x83\x4e\x83\x56:80"},
                                           BytesCase{"LoneHighBytes", "a\x80\xa0\xfd\xfe\xffz"},
                                           BytesCase{"LeadAtEnd", "abc\x81"}, BytesCase{"LeadBeforeSpace", "\x81 x"},
                                           BytesCase{"UnassignedPair", "\x85\x40proxy"},
                                           BytesCase{"NecDuplicate", "\xed\x40\x87\x90"},
                                           BytesCase{"HalfWidthKana", "\xb1\xb2\xb3"},
                                           BytesCase{"Control", std::string("\x01\x1a\t", 3)}),
                         [](const auto& info) { return info.param.name; });

TEST(Cp932, CharactersCp932CannotHoldBecomeQuestionMarks) {
    Cp932Codec codec;
    EXPECT_EQ(codec.encode(QString::fromUtf8("a€😀b")), "a??b");
    EXPECT_EQ(codec.encode(QStringLiteral("ＯＫ：")), "\x82\x6e\x82\x6a\x81\x46");
}

// The editor follows the same line rules as the plain line list, operation for operation.
TEST(MemoLinesRules, MatchTheLineList) {
    const std::vector<std::function<void(MemoLines&, LineList&)>> steps = {
        [](MemoLines& m, LineList& l) { m.append("a"), l.append("a"); },
        [](MemoLines& m, LineList& l) { m.append("b"), l.append("b"); },
        [](MemoLines& m, LineList& l) { m.replace(0, "x"), l.replace(0, "x"); },
        [](MemoLines& m, LineList& l) { m.remove(1), l.remove(1); },
        [](MemoLines& m, LineList& l) { m.setText("p\r\nq"), l.setText("p\r\nq"); },
        [](MemoLines& m, LineList& l) { m.remove(1), l.remove(1); },  // last line without a break
        [](MemoLines& m, LineList& l) { m.append("r"), l.append("r"); },
        [](MemoLines& m, LineList& l) { m.setText("s"), l.setText("s"); },
        [](MemoLines& m, LineList& l) { m.append("t"), l.append("t"); },
        [](MemoLines& m, LineList& l) { m.replace(5, "u"), l.replace(5, "u"); },
        [](MemoLines& m, LineList& l) { m.setText(std::string(5000, 'y')), l.setText(std::string(5000, 'y')); },
    };
    QPlainTextEdit edit;
    MemoLines memo(edit);
    LineList list;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i](memo, list);
        EXPECT_EQ(memo.text(), list.text()) << "after step " << i;
        EXPECT_EQ(memo.count(), list.count()) << "after step " << i;
        for (std::size_t k = 0; k <= list.count(); ++k) EXPECT_EQ(memo.line(k), list.line(k));
    }
}

TEST(ProgramExit, ClosingDuringFiftySlowChecksExitsCleanly) {
    TestServer slow([](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(100ms) && c.send("x")) {
        }
    });
    const QString helper = QCoreApplication::applicationDirPath() + "/kiriha_close_helper";
    for (int round = 0; round < 20; ++round) {
        QProcess p;
        p.start(helper, {QString::fromStdString(slow.address())});
        ASSERT_TRUE(p.waitForFinished(30000)) << "round " << round;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << "round " << round;
        EXPECT_EQ(p.exitCode(), 0) << "round " << round << p.readAllStandardError().toStdString();
    }
    EXPECT_GE(slow.connections(), 20 * 50);
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
        char pattern[] = "/tmp/kiriha-ui-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    ScriptedDialog* openDialog;
    ScriptedDialog* saveDialog;
    std::string dir;
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
        EXPECT_EQ(Cp932Codec().decode(withFullStop(e.what())),
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

namespace {

// Answers the file dialog that `execute` opens: checks it with `look`, then accepts `name` or cancels.
bool answerDialog(ListDialog& dialog, const std::function<void(QFileDialog&)>& look, const QString& filter,
                  const QString& name) {
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        look(*d);
        if (name.isEmpty()) return d->reject();
        d->selectNameFilter(filter);
        d->selectFile(name);
        QMetaObject::invokeMethod(d, "accept");  // the button press, as the dialog checks it
    });
    return dialog.execute();
}

TEST(FileDialogs, TitlesFiltersAndTheRememberedChoice) {
    TForm1 form;
    const QString dir = QDir::tempPath();
    const QString txt = QStringLiteral("TextFile (*.txt)"), all = QStringLiteral("AllFile (*.*)");
    ListDialog& open = *form.OpenDialog1;
    const bool confirmed = answerDialog(
        open,
        [&](QFileDialog& d) {
            EXPECT_EQ(d.windowTitle(), QStringLiteral("プロクシリストの読み込みっ！"));
            EXPECT_EQ(d.nameFilters(), (QStringList{txt, all}));
            EXPECT_EQ(d.selectedNameFilter(), txt);
            EXPECT_EQ(d.fileMode(), QFileDialog::AnyFile);  // a name that does not exist is taken
            EXPECT_EQ(d.acceptMode(), QFileDialog::AcceptOpen);
        },
        all, dir + "/kiriha-no-such-list.list");
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(open.fileName(), (dir + "/kiriha-no-such-list.list").toStdString());
    const bool again = answerDialog(
        open,
        [&](QFileDialog& d) {
            EXPECT_EQ(d.selectedNameFilter(), all);  // the confirmed choice is kept
            EXPECT_EQ(d.selectedFiles().value(0), dir + "/kiriha-no-such-list.list");
        },
        all, QString());
    EXPECT_FALSE(again);
    EXPECT_EQ(open.fileName(), (dir + "/kiriha-no-such-list.list").toStdString());  // a cancel keeps it

    answerDialog(
        *form.SaveDialog1,
        [&](QFileDialog& d) {
            EXPECT_EQ(d.windowTitle(), QStringLiteral("プロクシリストの保存っ！"));
            EXPECT_EQ(d.acceptMode(), QFileDialog::AcceptSave);
            EXPECT_TRUE(d.testOption(QFileDialog::DontConfirmOverwrite));
            EXPECT_TRUE(d.defaultSuffix().isEmpty());
            EXPECT_EQ(d.selectedNameFilter(), txt);  // each dialog keeps its own choice
        },
        txt, QString());
}

}  // namespace

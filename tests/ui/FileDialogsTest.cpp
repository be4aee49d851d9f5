#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "ui/FileDialogs.h"
#include "ui/Unit1.h"

namespace {

// The filters as the dialog shows them, and the one chosen.
QStringList shownFilters(QFileDialog& d) {
    auto* combo = d.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
}
QString shownFilter(QFileDialog& d) {
    return d.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText();
}
// Chooses the filter shown as `caption`.
void chooseFilter(QFileDialog& d, const QString& caption) {
    for (const QString& f : d.nameFilters())
        if (f.startsWith(caption + ' ')) d.selectNameFilter(f);
}

// Answers the file dialog that `execute` opens: checks it with `look`, then accepts `name` or cancels.
bool answerDialog(ListDialog& dialog, const std::function<void(QFileDialog&)>& look, const QString& filter,
                  const QString& name) {
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        look(*d);
        if (name.isEmpty()) return d->reject();
        chooseFilter(*d, filter);
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
            EXPECT_EQ(shownFilters(d), (QStringList{txt, all}));
            EXPECT_EQ(shownFilter(d), txt);
            EXPECT_EQ(d.fileMode(), QFileDialog::AnyFile);  // a name that does not exist is taken
            EXPECT_EQ(d.acceptMode(), QFileDialog::AcceptOpen);
        },
        all, dir + "/kiriha-no-such-list.list");
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(open.fileName(), (dir + "/kiriha-no-such-list.list").toStdString());
    const bool again = answerDialog(
        open,
        [&](QFileDialog& d) {
            EXPECT_EQ(shownFilter(d), all);  // the confirmed choice is kept
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
            EXPECT_EQ(shownFilter(d), txt);  // each dialog keeps its own choice
        },
        txt, QString());
}

// The names the dialog's file list shows in its folder, once they are as `settled` expects (or after 5 s).
QStringList listed(QFileDialog& d, const std::function<bool(const QStringList&)>& settled) {
    auto* view = d.findChild<QListView*>(QStringLiteral("listView"));
    QStringList names;
    [[maybe_unused]] const bool read = QTest::qWaitFor([&] {
        names.clear();
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            names << view->model()->index(r, 0, view->rootIndex()).data().toString();
        return settled(names);
    });
    return names;
}

TEST(FileDialogs, AllFileListsNamesWithoutAPeriod) {
    TForm1 form;
    QTemporaryDir dir;
    for (const char* name : {"proxies", "list.txt"}) QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    const QString txt = QStringLiteral("TextFile (*.txt)"), all = QStringLiteral("AllFile (*.*)");
    ListDialog& open = *form.OpenDialog1;
    QStringList underAll, underText;
    answerDialog(
        open, [](QFileDialog&) {}, all, dir.filePath("list.txt"));
    answerDialog(
        open,
        [&](QFileDialog& d) {
            EXPECT_EQ(shownFilter(d), all);  // the caption is as it was
            underAll = listed(d, [](const QStringList& n) { return n.contains("proxies"); });
            chooseFilter(d, txt);
            underText =
                listed(d, [](const QStringList& n) { return n.contains("list.txt") && !n.contains("proxies"); });
        },
        txt, QString());
    EXPECT_TRUE(underAll.contains(QStringLiteral("proxies"))) << underAll.join(' ').toStdString();
    EXPECT_FALSE(underText.contains(QStringLiteral("proxies"))) << underText.join(' ').toStdString();
}

}  // namespace

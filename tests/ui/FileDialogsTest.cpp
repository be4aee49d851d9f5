#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <functional>

#include "ui/FileDialogs.h"
#include "ui/Unit1.h"

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

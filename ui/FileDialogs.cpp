#include "ui/FileDialogs.h"

#include <QFile>
#include <QFileDialog>

namespace {
const QStringList kFilters = {QStringLiteral("TextFile (*.txt)"), QStringLiteral("AllFile (*.*)")};
}

TFileDialog::TFileDialog(QWidget* parent, Mode mode, QString title)
    : parent_(parent), mode_(mode), title_(std::move(title)) {}

bool TFileDialog::execute() {
    QFileDialog dialog(parent_, title_);
    dialog.setNameFilters(kFilters);
    dialog.selectNameFilter(kFilters[filterIndex_]);
    if (mode_ == Mode::Open) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);  // a typed name need not exist
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);  // and no default extension
    }
    if (!fileName_.isEmpty()) dialog.selectFile(fileName_);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    fileName_ = dialog.selectedFiles().first();
    filterIndex_ = std::max(0, int(kFilters.indexOf(dialog.selectedNameFilter())));
    return true;
}

std::string TFileDialog::fileName() const {
    return QFile::encodeName(fileName_).toStdString();
}

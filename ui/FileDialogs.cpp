#include "ui/FileDialogs.h"

#include <QFile>
#include <QFileDialog>

namespace {
// Each filter's caption as shown, then the patterns Qt matches with: "*.*" means every file where the captions
// come from, but Qt would match it only against names with a period. The dialog shows the caption alone.
const QStringList kFilters = {QStringLiteral("TextFile (*.txt) (*.txt)"), QStringLiteral("AllFile (*.*) (*)")};
}  // namespace

TFileDialog::TFileDialog(QWidget* parent, Mode mode, QString title)
    : parent_(parent), mode_(mode), title_(std::move(title)) {}

bool TFileDialog::execute() {
    QFileDialog dialog(parent_, title_);
    // Qt's own dialog everywhere: a desktop's native one would bring other titles and its own reading of "*.*".
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
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
    const QString chosen = dialog.selectedNameFilter();  // as shown, without the patterns
    for (int i = 0; i < kFilters.size(); ++i)
        if (kFilters[i] == chosen || kFilters[i].startsWith(chosen + ' ')) filterIndex_ = i;
    return true;
}

std::string TFileDialog::fileName() const {
    return QFile::encodeName(fileName_).toStdString();
}

#include "ui/ErrorDisplay.h"

#include <QMessageBox>
#include <QWidget>
#include <stdexcept>

#include "codec/Cp932Codec.h"
#include "lists/ShiftJis.h"

void ShowException(const std::exception& error) {
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    Cp932Codec codec;
    QMessageBox box(QMessageBox::Critical, applicationTitle(), codec.decode(sjis::withFullStop(error.what())),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // a path or proxy text is shown as written, never as markup
    box.exec();                        // application-modal: the other windows take no input meanwhile
}

void runHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::runtime_error("?"));
    }
    return false;
}

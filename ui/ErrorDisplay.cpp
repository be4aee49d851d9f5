#include "ui/ErrorDisplay.h"

#include <QMessageBox>
#include <QWidget>
#include <stdexcept>

#include "ui/Cp932Codec.h"

std::string withFullStop(const std::string& msg) {
    if (msg.empty()) return msg;
    std::size_t last = 0;
    for (std::size_t i = 0; i < msg.size();) {
        last = i;
        i += Cp932Codec::isLeadByte(static_cast<unsigned char>(msg[i])) && i + 1 < msg.size() ? 2 : 1;
    }
    return msg.substr(last) > std::string(".") ? msg + "." : msg;
}

void ShowException(const std::exception& error) {
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    Cp932Codec codec;
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    codec.decode(withFullStop(error.what())), QMessageBox::Ok);
    box.exec();  // application-modal: the other windows take no input meanwhile
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

#include "ui/Application.h"

#include <QIcon>
#include <QTimer>
#include <memory>

#include "engine/rules/ProcessSetup.h"
#include "ui/ErrorDisplay.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

void setUpApplication() {
    Q_INIT_RESOURCE(kiriha);  // the icon lives in a static library, so its resource is registered by hand
    QApplication::setApplicationName(QStringLiteral("kiriha"));
    QApplication::setDesktopFileName(QStringLiteral("org.kiriha.kiriha"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kiriha.svg")));
}

int runApplication(int argc, char** argv, const FormSettings& settings, const std::function<void()>& afterShow) {
    TApplication app(argc, argv);
    setUpApplication();
    try {
        const ProcessSetup setup;  // before any check thread, torn down after the window's run has joined them
        // Closing ends the loop; the window goes first, and its run gives up the checks still in flight
        // and waits for their threads, so libcurl is not torn down under a running transfer.
        const std::unique_ptr<TForm1> form(Form1 = new TForm1(settings));
        AboutBox = new TAboutBox(Form1);  // goes with Form1
        Form1->show();
        if (afterShow) QTimer::singleShot(0, afterShow);
        TApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    AboutBox = nullptr;
    return 0;
}

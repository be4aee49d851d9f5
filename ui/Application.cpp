#include "ui/Application.h"

#include <curl/curl.h>

#include <QIcon>
#include <QTimer>

#include "ui/ErrorDisplay.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

int runApplication(int argc, char** argv, const FormSettings& settings, const std::function<void()>& afterShow) {
    Q_INIT_RESOURCE(kiriha);                // the icon lives in a static library, so its resource is registered by hand
    curl_global_init(CURL_GLOBAL_DEFAULT);  // once, before any check thread
    {
        TApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("kiriha"));
        QApplication::setApplicationDisplayName(QStringLiteral("霧葉（きりは）"));
        QApplication::setDesktopFileName(QStringLiteral("org.kiriha.kiriha"));
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/kiriha.svg")));
        try {
            Form1 = new TForm1(settings);
            AboutBox = new TAboutBox(Form1);
            Form1->show();
            if (afterShow) QTimer::singleShot(0, afterShow);
            TApplication::exec();
        } catch (const std::exception& e) {
            ShowException(e);
        }
        // Closing ended the loop. The check run gives up the checks still in flight and waits
        // for their threads, so libcurl is not torn down under a running transfer.
        delete Form1;  // AboutBox goes with it
        AboutBox = nullptr;
    }
    curl_global_cleanup();
    return 0;
}

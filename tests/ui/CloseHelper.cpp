// Starts the program on a list of slow proxies and closes its window while their checks are in flight.
#include <QPushButton>
#include <QTimer>
#include <string>

#include "ui/Application.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string proxy = argv[1];
    FormSettings settings;
    settings.wavePause = std::chrono::milliseconds(10);
    settings.target = Target{"http://127.0.0.1:9/"};  // the slow proxies never deliver it anyway
    return runApplication(1, argv, settings, [proxy] {
        std::string list;
        for (int i = 0; i < 50; ++i) list += proxy + "\r\n";
        Form1->proxyList().setText(list);
        Form1->Button1->click();
        QTimer::singleShot(300, [] { Form1->close(); });
    });
}

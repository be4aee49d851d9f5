// Starts the program on a list of slow proxies, presses Start and closes the window while checks are in flight
// (and, with a long list, while Start still dispatches). Prints when it asked for the close, in steady-clock
// nanoseconds. Arguments: proxy [lines [wave pause ms [close after ms]]].
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>

#include "ui/Application.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string proxy = argv[1];
    const int lines = argc > 2 ? std::stoi(argv[2]) : 50;
    const int pauseMs = argc > 3 ? std::stoi(argv[3]) : 10;
    const int closeAfterMs = argc > 4 ? std::stoi(argv[4]) : 300;
    FormSettings settings;
    settings.wavePause = std::chrono::milliseconds(pauseMs);
    settings.target = Target{"http://127.0.0.1:9/"};  // the slow proxies never deliver it anyway
    return runApplication(1, argv, settings, [=] {
        std::string list;
        for (int i = 0; i < lines; ++i) list += proxy + "\r\n";
        Form1->proxyList().setText(list);
        QTimer::singleShot(closeAfterMs, [] {
            std::printf("%lld\n", static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
            std::fflush(stdout);
            Form1->Exit1->trigger();
        });
        Form1->Button1->click();
    });
}

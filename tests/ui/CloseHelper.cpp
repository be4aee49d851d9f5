// Starts the program on a list of slow proxies, presses Start and closes the window while checks are in flight
// (and, with a long list, while Start still dispatches). Prints when it asked for the close, in steady-clock
// nanoseconds. Arguments: proxy [lines [wave pause ms [close after ms [how]]]]; how is "menu" (Exit, the
// default) or "desktop": a WM_DELETE_WINDOW client message sent from a connection of its own, as a window
// manager sends it.
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ui/Application.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

void sendDeleteWindow(xcb_window_t window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(c, "WM_PROTOCOLS");
    message.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    // A round trip before leaving, as Xlib's XCloseDisplay makes: a server that sees the connection end first may
    // drop what it has not yet read.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string proxy = argv[1];
    const int lines = argc > 2 ? std::stoi(argv[2]) : 50;
    const int pauseMs = argc > 3 ? std::stoi(argv[3]) : 10;
    const int closeAfterMs = argc > 4 ? std::stoi(argv[4]) : 300;
    const bool fromDesktop = argc > 5 && std::string(argv[5]) == "desktop";
    FormSettings settings;
    settings.wavePause = std::chrono::milliseconds(pauseMs);
    settings.target = Target{"http://127.0.0.1:9/"};  // the slow proxies never deliver it anyway
    return runApplication(1, argv, settings, [=] {
        std::string list;
        for (int i = 0; i < lines; ++i) list += proxy + "\r\n";
        Form1->proxyList().setText(list);
        const auto asked = [] {
            std::printf("%lld\n", static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
            std::fflush(stdout);
        };
        if (fromDesktop) {  // from outside, whatever the program is doing meanwhile
            std::thread([=, window = static_cast<xcb_window_t>(Form1->winId())] {
                std::this_thread::sleep_for(std::chrono::milliseconds(closeAfterMs));
                asked();
                sendDeleteWindow(window);
            }).detach();
        } else {
            QTimer::singleShot(closeAfterMs, [=] {
                asked();
                Form1->Exit1->trigger();
            });
        }
        // As a user would: Start once the window is up on the screen.
        for (int i = 0; i < 50 && !Form1->windowHandle()->isExposed(); ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::processEvents();
        Form1->Button1->click();
    });
}

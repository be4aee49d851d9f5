#include "ui/DesktopClose.h"

#include <qpa/qplatformnativeinterface.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The X11 plugin's look into its event queue (what QX11Info::peekEventQueue used); option 0 starts at the head
// and leaves every event where it is.
using Peeker = bool (*)(xcb_generic_event_t* event, void* data);
using PeekEventQueue = bool (*)(Peeker peeker, void* data, int options, qint32 peekerId);

struct Request {
    xcb_window_t window;
    xcb_atom_t protocols;
    xcb_atom_t deleteWindow;
};

bool isCloseRequest(xcb_generic_event_t* event, void* data) {
    if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE) return false;
    const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
    const auto* wanted = static_cast<const Request*>(data);
    return message->format == 32 && message->window == wanted->window && message->type == wanted->protocols &&
           message->data.data32[0] == wanted->deleteWindow;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

PeekEventQueue peekFunction() {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!native || !qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) return nullptr;
    // Its real type is the plugin's; the generic pointer is only the carrier (hence through void*).
    return reinterpret_cast<PeekEventQueue>(
        reinterpret_cast<void*>(native->nativeResourceFunctionForIntegration("peekeventqueue")));
}

}  // namespace

bool DesktopClose::available() const {
    return peekFunction() != nullptr;
}

bool DesktopClose::requested(const QWidget& window) {
    const PeekEventQueue peek = peekFunction();
    if (!peek || !window.windowHandle()) return false;
    if (!protocols_) {
        xcb_connection_t* connection = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        protocols_ = atom(connection, "WM_PROTOCOLS");
        deleteWindow_ = atom(connection, "WM_DELETE_WINDOW");
    }
    Request wanted{static_cast<xcb_window_t>(window.winId()), protocols_, deleteWindow_};
    return peek(isCloseRequest, &wanted, 0, -1);
}

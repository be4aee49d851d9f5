// Takes the pictures in docs/ under Xvfb: the main window as it opens, a finished run against local servers
// (working, dead and aborted lines, the count and the finished status), the same after Tidy, and About.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>

#include "tests/support/Marker.h"
#include "tests/support/TestServer.h"
#include "ui/Application.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

namespace {

using namespace std::chrono_literals;

void shoot(QWidget* w, const QString& file) {
    const QRect r = w->frameGeometry();
    QApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(file);
}

// Proxies that answer at once with the marker, with a page without it, or with a trickle for a few seconds.
struct Servers {
    TestServer working{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); }};
    TestServer plain{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>not the page</p>")); }};
    TestServer slow{[](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 60 && c.sleep(50ms) && c.send("x"); ++i) {
        }
    }};
};

}  // namespace

int main(int argc, char** argv) {
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const auto servers = std::make_shared<Servers>();
    return runApplication(1, argv, FormSettings{}, [dir, servers] {
        QTimer::singleShot(800, [dir, servers] {
            shoot(Form1, dir + "/main-window.png");
            // Two slow proxies, aborted; then a second Start while they wind down, so that their aborted
            // lines come in under it, beside working and dead ones, before the run's own count is reached.
            const std::string slow = servers->slow.address();
            Form1->proxyList().setText(slow + "\r\n" + slow + "\r\n");
            Form1->Button1Click();
            Form1->Button2Click();
            const std::string dead = "127.0.0.1:" + std::to_string(freePort());
            Form1->proxyList().setText(slow + "\r\n" + slow + "\r\n" + servers->working.address() + "\r\n" + dead +
                                       "\r\n" + servers->plain.address() + "\r\n" + servers->working.address() +
                                       "\r\n");
            Form1->Button1Click();
            QTimer::singleShot(400, [dir] {
                shoot(Form1, dir + "/finished-run.png");
                Form1->Button4Click();
                QTimer::singleShot(300, [dir] {
                    shoot(Form1, dir + "/finished-run-tidied.png");
                    QTimer::singleShot(800, [dir] {
                        shoot(AboutBox, dir + "/about-dialog.png");
                        AboutBox->accept();
                        Form1->close();
                    });
                    Form1->About1->trigger();
                });
            });
        });
    });
}

// Shows the main window and then the About dialog, and saves what the screen shows of each.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include "ui/Application.h"
#include "ui/Unit1.h"
#include "ui/Unit_about.h"

namespace {

void shoot(QWidget* w, const QString& file) {
    const QRect r = w->frameGeometry();
    QApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(file);
}

}  // namespace

int main(int argc, char** argv) {
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    return runApplication(1, argv, FormSettings{}, [dir] {
        QTimer::singleShot(800, [dir] {
            shoot(Form1, dir + "/main-window.png");
            QTimer::singleShot(800, [dir] {
                shoot(AboutBox, dir + "/about-dialog.png");
                AboutBox->accept();
                Form1->close();
            });
            Form1->About1->trigger();
        });
    });
}

#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

// The application title: the error box's caption. Qt is not told it as a display name, since it would
// append that to every window's title on the desktop.
inline QString applicationTitle() {
    return QStringLiteral("霧葉（きりは）");
}

// Shows an error that ended a command: mouse capture released, a stop-icon box with one OK button
// captioned with the application title. Messages are Shift_JIS bytes.
void ShowException(const std::exception& error);

// Runs a command handler; an error it raises is shown and the program goes on.
void runHandler(const std::function<void()>& handler);

// The application object: errors that escape the handling of any event are shown, not fatal.
class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

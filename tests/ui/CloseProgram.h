#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <chrono>
#include <utility>

#include "tests/support/TestServer.h"

// Runs the program with `lines` slow proxies and closes it `closeAfterMs` after Start (through the menu, or as
// the desktop does); the exit code, and how long the exit took after the close was asked for.
inline std::pair<int, std::chrono::milliseconds> closeProgram(const TestServer& slow, int lines, int pauseMs,
                                                              int closeAfterMs, const char* how = "menu") {
    const QString helper = QCoreApplication::applicationDirPath() + "/kiriha_close_helper";
    QProcess p;
    p.start(helper, {QString::fromStdString(slow.address()), QString::number(lines), QString::number(pauseMs),
                     QString::number(closeAfterMs), how});
    if (!p.waitForFinished(60000)) return {-1, {}};
    const auto exited = std::chrono::steady_clock::now().time_since_epoch();
    const auto asked = std::chrono::nanoseconds(p.readAllStandardOutput().trimmed().toLongLong());
    const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return {code, std::chrono::duration_cast<std::chrono::milliseconds>(exited - asked)};
}

// Checks that answer with headers, then a byte every 100 ms: they stay in flight for the whole test.
inline void trickle(TestServer::Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    while (c.sleep(std::chrono::milliseconds(100)) && c.send("x")) {
    }
}

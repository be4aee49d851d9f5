#include "cli/Diagnostics.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>

#include "cli/Messages.h"
#include "lists/ShiftJis.h"

namespace {

void toError(const std::string& s) {
    [[maybe_unused]] const ssize_t n = ::write(2, s.data(), s.size());
}

bool sameTerminal(int a, int b) {
    struct stat sa {
    }, sb{};
    return ::isatty(a) && ::isatty(b) && ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

// A writer blocked on a frozen terminal is not waited for longer than this by a message.
constexpr auto kLockWait = std::chrono::seconds(1);

}  // namespace

Diagnostics::Diagnostics(std::string program) : program_(std::move(program)) {
    const char* term = std::getenv("TERM");
    dumb_ = !term || std::string_view(term) == "dumb";
}

void Diagnostics::wantProgress() {
    on_ = ::isatty(2);
    shared_ = on_ && sameTerminal(1, 2);
}

std::unique_lock<std::mutex> Diagnostics::lockWithin() {
    // Tried now and then rather than waited on by the clock: ThreadSanitizer cannot follow a timed wait on a mutex.
    std::unique_lock lock(mutex_, std::try_to_lock);
    for (const auto until = std::chrono::steady_clock::now() + kLockWait;
         !lock && std::chrono::steady_clock::now() < until && !lock.try_lock();)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return lock;
}

void Diagnostics::say(const std::string& message) {
    write(program_ + ": " + message + "\n");
}

void Diagnostics::write(const std::string& text) {
    // A writer stuck on a frozen terminal holds the lock: the message goes out all the same, the progress line's
    // state left to it.
    const std::unique_lock lock = lockWithin();
    if (lock) erase();
    toError(text);
}

void Diagnostics::progress(std::string text) {
    if (!on_) return;
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) return;
    winsize size{};
    const std::size_t width = ::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    text = fitted(text, width - 1);  // the line stays on its row, in columns, wide characters two
    const std::size_t columns = displayWidth(text);
    // Without escape sequences, spaces cover what a longer line left.
    const std::size_t cover = dumb_ && shown_ > columns ? shown_ - columns : 0;
    toError("\r" + text + (dumb_ ? std::string(cover, ' ') + std::string(cover, '\b') : "\x1b[K"));
    shown_ = columns;
    text_ = std::move(text);
}

void Diagnostics::clearProgress() {
    const std::unique_lock lock = lockWithin();
    if (!lock) return;
    erase();
    text_.clear();
}

void Diagnostics::aroundOutput(const std::function<void()>& writeResults) {
    const std::lock_guard lock(mutex_);
    erase();
    writeResults();
    draw();
}

void Diagnostics::erase() {
    if (!shown_) return;
    toError(dumb_ ? "\r" + std::string(shown_, ' ') + "\r" : "\r\x1b[K");
    shown_ = 0;
}

void Diagnostics::draw() {
    if (text_.empty()) return;
    toError("\r" + text_);
    shown_ = displayWidth(text_);
}

std::string escapeForTerminal(std::string_view sjis) {
    std::string out;
    out.reserve(sjis.size());
    for (std::size_t i = 0; i < sjis.size();) {
        const std::size_t n = sjis::charLength(sjis.substr(i));
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (n == 2) {
            out.append(sjis.substr(i, 2));
            i += 2;
            continue;
        }
        if (b < 0x20 || b == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else if (b == '\\') {
            out += "\\\\";
        } else {
            out += static_cast<char>(b);
        }
        ++i;
    }
    return out;
}

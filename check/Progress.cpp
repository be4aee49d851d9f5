#include "check/Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

void write(const std::string& s) {
    [[maybe_unused]] const ssize_t n = ::write(2, s.data(), s.size());
}

}  // namespace

Progress::Progress(bool wanted) : on_(wanted && ::isatty(2)) {
    const char* term = std::getenv("TERM");
    dumb_ = !term || std::string_view(term) == "dumb";
}

void Progress::show(std::string text) {
    if (!on_) return;
    winsize size{};
    const std::size_t width = ::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    text.resize(std::min(text.size(), width - 1));  // the ASCII line stays on its row
    // Without escape sequences, spaces cover what a longer line left.
    const std::size_t cover = dumb_ && shown_ > text.size() ? shown_ - text.size() : 0;
    write("\r" + text + (dumb_ ? std::string(cover, ' ') + std::string(cover, '\b') : "\x1b[K"));
    shown_ = text.size();
}

void Progress::clear() {
    if (!shown_) return;
    write(dumb_ ? "\r" + std::string(shown_, ' ') + "\r" : "\r\x1b[K");
    shown_ = 0;
}

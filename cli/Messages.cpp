#include "cli/Messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kDomain = "kiriha";

// One UTF-8 character at `at`: its code point and length (a stray byte counts as one narrow character).
char32_t decode(std::string_view s, std::size_t at, std::size_t& length) {
    const auto b = static_cast<unsigned char>(s[at]);
    length = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
    if (at + length > s.size()) length = 1;
    if (length == 1) return b;
    char32_t c = b & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(s[at + i]) & 0x3f);
    return c;
}

bool wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0x303e) || (c >= 0x3041 && c <= 0x33ff) ||
           (c >= 0x3400 && c <= 0x4dbf) || (c >= 0x4e00 && c <= 0x9fff) || (c >= 0xa000 && c <= 0xa4cf) ||
           (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xfe30 && c <= 0xfe4f) ||
           (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
}

// Marks a line may not begin with, and marks it may not end with.
bool closing(char32_t c) {
    return std::u32string_view(U"、。，．）」』】〕・ー：；！？)]}.,:;!?").find(c) != std::u32string_view::npos;
}
bool opening(char32_t c) {
    return std::u32string_view(U"（「『【〔([{").find(c) != std::u32string_view::npos;
}

std::string wrapLine(std::string_view line, std::size_t width) {
    std::string out;
    while (displayWidth(line) > width) {
        // The last place within the width where the line may break, and where the rest then starts.
        std::size_t used = 0, cut = 0, resume = 0;
        char32_t before = 0;
        for (std::size_t at = 0, n = 0; at < line.size(); at += n) {
            const char32_t c = decode(line, at, n);
            const std::size_t w = wide(c) ? 2 : 1;
            if (c == ' ' && at > 0 && used <= width)
                cut = at, resume = at + 1;
            else if (at > 0 && (wide(c) || wide(before)) && !closing(c) && !opening(before) && used + w <= width)
                cut = at, resume = at;
            if (used + w > width) break;
            used += w;
            before = c;
        }
        if (cut == 0) break;  // a word longer than the line: left whole
        out.append(line.substr(0, cut)).append("\n");
        line.remove_prefix(resume);
    }
    return out.append(line);
}

// Where the catalogues are: beside the program (PREFIX/bin and PREFIX/share/locale, wherever the package or the build
// tree put it), else where it was built to be installed.
std::string catalogues() {
    if (const char* dir = std::getenv("TEXTDOMAINDIR"); dir && *dir) return dir;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, std::size_t(n));
        dir = dir.substr(0, dir.rfind('/')) + "/../share/locale";
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
    }
    return KIRIHA_LOCALEDIR;
}

}  // namespace

void setUpMessages() {
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_MESSAGES, "");
    ::bindtextdomain(kDomain, catalogues().c_str());
    ::bind_textdomain_codeset(kDomain, "UTF-8");  // what the commands write is UTF-8, whatever the locale's set
}

std::string format(const char* text, ...) {
    std::va_list args, again;
    va_start(args, text);
    va_copy(again, args);
    std::vector<char> out(256);
    const int n = std::vsnprintf(out.data(), out.size(), text, args);
    va_end(args);
    if (n >= int(out.size())) {
        out.resize(std::size_t(n) + 1);
        std::vsnprintf(out.data(), out.size(), text, again);
    }
    va_end(again);
    return n < 0 ? std::string(text) : std::string(out.data(), std::size_t(n));
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t at = 0, n = 0; at < text.size(); at += n) width += wide(decode(text, at, n)) ? 2 : 1;
    return width;
}

std::string wrapped(std::string_view text, std::size_t width) {
    std::string out;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        out += wrapLine(text.substr(at, end - at), width);
        if (end == text.size()) break;
        out += '\n';
        at = end + 1;
    }
    return out;
}

std::string fitted(std::string_view text, std::size_t columns) {
    std::size_t used = 0, at = 0;
    for (std::size_t n = 0; at < text.size(); at += n) {
        const std::size_t w = wide(decode(text, at, n)) ? 2 : 1;
        if (used + w > columns) break;
        used += w;
    }
    return std::string(text.substr(0, at));
}

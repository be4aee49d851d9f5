// Fuzz targets for the line list, load normalisation and tidy, each against a plain reference.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "lists/LineList.h"
#include "lists/ListFile.h"
#include "lists/Tidy.h"
#include "tests/fuzz/FuzzTargets.h"
#include "tests/support/TidyOracle.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// The line rules, done the slow and obvious way: split the whole text every time.
struct ModelList {
    std::string text;

    std::vector<std::string> segments() const {
        std::vector<std::string> out(1);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                out.emplace_back();
                ++i;
            } else {
                out.back() += text[i];
            }
        }
        return out;
    }
    std::size_t count() const {
        const auto s = segments();
        return s.back().empty() ? s.size() - 1 : s.size();
    }
    std::string line(std::size_t i) const {
        if (i >= count()) return {};
        return segments()[i].substr(0, 4096);
    }
    void rebuild(const std::vector<std::string>& s) {
        text.clear();
        for (std::size_t k = 0; k < s.size(); ++k) text += (k ? "\r\n" : "") + s[k];
    }
    void replace(std::size_t i, const std::string& v) {
        if (i >= count()) return;
        auto s = segments();
        s[i] = v;
        rebuild(s);
    }
    void remove(std::size_t i) {
        if (i >= count()) return;
        auto s = segments();
        if (i + 1 < s.size())
            s.erase(s.begin() + long(i));
        else
            s[i].clear();  // the last line without a break: only its text goes
        rebuild(s);
    }
    void append(const std::string& v) {
        if (text.empty() || text.ends_with("\r\n"))
            text += v + "\r\n";
        else
            text += "\r\n" + v;
    }
};

std::string normaliseModel(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    std::string unified;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;  // its LF follows
        unified += raw[i] == '\r' ? '\n' : raw[i];
    }
    std::string out;
    for (char c : unified) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// Reads small values and strings off the input.
struct Input {
    const std::uint8_t* p;
    std::size_t n;
    bool empty() const { return n == 0; }
    std::uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::string bytes(std::size_t max) {
        const std::size_t len = std::min<std::size_t>(byte() % (max + 1), n);
        std::string s(reinterpret_cast<const char*>(p), len);
        p += len;
        n -= len;
        return s;
    }
};

}  // namespace

int fuzzLineList(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    LineList list;
    ModelList model;
    while (!in.empty()) {
        const std::uint8_t op = in.byte() % 6;
        const std::size_t i = in.byte() % 8;
        std::string s = in.bytes(32);
        if (in.byte() % 64 == 0) s += std::string(4100, 'L');  // now and then a line past the read limit
        switch (op) {
            case 0:
                list.append(s), model.append(s);
                break;
            case 1:
                list.replace(i, s), model.replace(i, s);
                break;
            case 2:
                list.remove(i), model.remove(i);
                break;
            case 3:
                list.setText(s), model.text = s;
                break;
            default:
                break;
        }
        require(list.text() == model.text);
        const auto segments = model.segments();
        const std::size_t count = model.count();
        require(list.count() == count);
        for (std::size_t k = 0; k <= count + 1; ++k)
            require(list.line(k) == (k < count ? segments[k].substr(0, 4096) : std::string()));
    }
    return 0;
}

int fuzzNormalise(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string text = normaliseLoadedText(raw);
    require(text == normaliseModel(raw));
    require(normaliseLoadedText(text) == text);  // already normal
    require(text.find('\0') == std::string::npos);
    return 0;
}

int fuzzTidy(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string once = tidyResults(text);
    require(once == tidyLineByLine(text));
    require(once.size() <= text.size());
    return 0;
}

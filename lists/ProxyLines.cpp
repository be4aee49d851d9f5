#include "lists/ProxyLines.h"

#include "lists/LineRules.h"
#include "lists/ListFile.h"

std::optional<std::size_t> ProxyLines::add(std::string_view raw) {
    forEachLoadedLine(raw, [this](std::string_view line, bool) {
        if (line.empty()) return;
        text_.append(line.substr(0, LineRules::kReadLimit)).push_back('\n');
        ++count_;
    });
    const std::size_t nul = raw.find('\0');
    if (nul == std::string_view::npos) return std::nullopt;
    return nul;
}

std::optional<std::string_view> ProxyLines::peek() const {
    if (at_ >= text_.size()) return std::nullopt;
    return std::string_view(text_).substr(at_, text_.find('\n', at_) - at_);
}

std::optional<std::string_view> ProxyLines::next() {
    const auto line = peek();
    if (!line) return std::nullopt;
    at_ += line->size() + 1;
    ++taken_;
    return line;
}

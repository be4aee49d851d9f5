#include "tests/support/StructuredFields.h"

#include <algorithm>
#include <cctype>

namespace sf {
namespace {

struct Reader {
    std::string_view s;
    std::size_t at = 0;
    bool done() const { return at >= s.size(); }
    char peek() const { return done() ? '\0' : s[at]; }
    void spaces() {
        while (!done() && s[at] == ' ') ++at;
    }
    void ows() {
        while (!done() && (s[at] == ' ' || s[at] == '\t')) ++at;
    }

    std::optional<std::string> key() {
        const char c = peek();
        if (!(std::islower(static_cast<unsigned char>(c)) || c == '*')) return std::nullopt;
        std::string out;
        while (!done() &&
               (std::islower(static_cast<unsigned char>(s[at])) || std::isdigit(static_cast<unsigned char>(s[at])) ||
                std::string_view("_-.*").find(s[at]) != std::string_view::npos))
            out += s[at++];
        return out;
    }

    // A bare item: its text, and whether it was a string.
    std::optional<std::pair<std::string, bool>> bare() {
        const char c = peek();
        if (c == '"') {
            std::string out;
            for (++at; !done(); ++at) {
                const char d = s[at];
                if (d == '\\') {
                    if (++at >= s.size() || (s[at] != '"' && s[at] != '\\')) return std::nullopt;
                    out += s[at];
                } else if (d == '"') {
                    ++at;
                    return std::make_pair(out, true);
                } else if (d < 0x20 || d > 0x7e) {
                    return std::nullopt;
                } else {
                    out += d;
                }
            }
            return std::nullopt;
        }
        if (c == '?') {
            if (at + 1 >= s.size() || (s[at + 1] != '0' && s[at + 1] != '1')) return std::nullopt;
            at += 2;
            return std::make_pair(std::string("?") + s[at - 1], false);
        }
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            std::string out(1, c);
            for (++at; !done() && (std::isdigit(static_cast<unsigned char>(s[at])) || s[at] == '.'); ++at) out += s[at];
            if (out == "-" || out.size() > 16) return std::nullopt;
            return std::make_pair(out, false);
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '*') {
            std::string out;
            while (!done() && (std::isalnum(static_cast<unsigned char>(s[at])) ||
                               std::string_view(":/!#$%&'*+-.^_`|~").find(s[at]) != std::string_view::npos))
                out += s[at++];
            return std::make_pair(out, false);
        }
        return std::nullopt;
    }

    std::optional<Item> item() {
        const auto b = bare();
        if (!b) return std::nullopt;
        Item i{b->first, b->second, {}};
        if (!params(i)) return std::nullopt;
        return i;
    }

    bool params(Item& i) {
        while (peek() == ';') {
            ++at;
            spaces();
            const auto k = key();
            if (!k) return false;
            std::string value = "?1";
            if (peek() == '=') {
                ++at;
                const auto b = bare();
                if (!b) return false;
                value = b->first;
            }
            i.params[*k] = value;
        }
        return true;
    }
};

}  // namespace

std::optional<List> parseList(std::string_view field) {
    Reader r{field};
    r.spaces();
    List out;
    while (!r.done()) {
        const auto i = r.item();
        if (!i) return std::nullopt;
        out.push_back(*i);
        r.ows();
        if (r.done()) return out;
        if (r.peek() != ',') return std::nullopt;
        ++r.at;
        r.ows();
        if (r.done()) return std::nullopt;  // a trailing comma
    }
    return out;
}

std::optional<Dictionary> parseDictionary(std::string_view field) {
    Reader r{field};
    r.spaces();
    Dictionary out;
    while (!r.done()) {
        const auto k = r.key();
        if (!k) return std::nullopt;
        Item i{"?1", false, {}};
        if (r.peek() == '=') {
            ++r.at;
            const auto got = r.item();
            if (!got) return std::nullopt;
            i = *got;
        } else if (!r.params(i)) {
            return std::nullopt;
        }
        out[*k] = i;
        r.ows();
        if (r.done()) return out;
        if (r.peek() != ',') return std::nullopt;
        ++r.at;
        r.ows();
        if (r.done()) return std::nullopt;
    }
    return out;
}

}  // namespace sf

namespace sf {

std::string fieldOf(std::string_view response, std::string_view name) {
    const std::string_view head = response.substr(0, response.find("\r\n\r\n"));
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;) {
        const std::size_t end = head.find("\r\n", at + 2);
        const std::string_view line = head.substr(at + 2, end == std::string_view::npos ? end : end - at - 2);
        at = end;
        if (line.size() > name.size() && line[name.size()] == ':' &&
            std::equal(name.begin(), name.end(), line.begin(),
                       [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); }))
            return std::string(
                line.substr(name.size() + 1 + (line.size() > name.size() + 1 && line[name.size() + 1] == ' ')));
    }
    return "";
}

std::string proxyStatusProblem(std::string_view response) {
    static const std::vector<std::string_view> kTypes = {"dns_timeout",
                                                         "dns_error",
                                                         "destination_not_found",
                                                         "destination_unavailable",
                                                         "destination_ip_prohibited",
                                                         "destination_ip_unroutable",
                                                         "connection_refused",
                                                         "connection_terminated",
                                                         "connection_timeout",
                                                         "connection_read_timeout",
                                                         "connection_write_timeout",
                                                         "connection_limit_reached",
                                                         "tls_protocol_error",
                                                         "tls_certificate_error",
                                                         "tls_alert_received",
                                                         "http_request_error",
                                                         "http_request_denied",
                                                         "http_response_incomplete",
                                                         "http_response_header_section_size",
                                                         "http_response_header_size",
                                                         "http_response_body_size",
                                                         "http_response_trailer_section_size",
                                                         "http_response_trailer_size",
                                                         "http_response_transfer_coding",
                                                         "http_response_content_coding",
                                                         "http_response_timeout",
                                                         "http_upgrade_failed",
                                                         "http_protocol_error",
                                                         "proxy_internal_response",
                                                         "proxy_internal_error",
                                                         "proxy_configuration_error",
                                                         "proxy_loop_detected"};
    const std::string value = fieldOf(response, "Proxy-Status");
    if (value.empty()) return "no Proxy-Status";
    const auto list = parseList(value);
    if (!list || list->empty()) return "not a structured list: " + value;
    for (const Item& m : *list) {
        if (m.value != "kiriha-gate" || m.isString) return "a member not the gate's: " + value;
        const auto error = m.params.find("error");
        if (error == m.params.end()) return "a member without an error: " + value;
        if (std::find(kTypes.begin(), kTypes.end(), error->second) == kTypes.end())
            return "an error type of no RFC: " + error->second;
        const auto hop = m.params.find("next-hop");
        if (hop != m.params.end() && hop->second.find('@') != std::string::npos) return "credentials shown: " + value;
    }
    return "";
}

}  // namespace sf

#include "engine/rules/Judge.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

// A reveal-a-proxy header: added by a proxy on its way through, or carrying the client's address.
constexpr std::string_view kRevealing[] = {
    "Via",
    "X-Via",
    "Forwarded",
    "Forwarded-For",
    "X-Forwarded-For",
    "X-Forwarded",
    "X-Forwarded-Host",
    "X-Forwarded-Server",
    "X-Real-IP",
    "Client-IP",
    "X-Client-IP",
    "True-Client-IP",
    "X-Cluster-Client-IP",
    "X-ProxyUser-IP",
    "X-Proxy-ID",
    "X-Tinyproxy",
    "X-BlueCoat-Via",
    "Proxy-Connection",
};

constexpr std::size_t kMaxDepth = 8;  // httpbin's echo is two deep

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// An address as bytes, IPv4 ones as themselves also where written IPv4-mapped.
struct Address {
    int family = 0;
    std::array<unsigned char, 16> bytes{};
    bool operator==(const Address&) const = default;
};

std::optional<Address> addressOf(std::string text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    Address a;
    if (::inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) {
        a.family = AF_INET;
        return a;
    }
    in6_addr six{};
    if (::inet_pton(AF_INET6, text.c_str(), &six) != 1) return std::nullopt;
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
        a.family = AF_INET;
        std::memcpy(a.bytes.data(), six.s6_addr + 12, 4);
    } else {
        a.family = AF_INET6;
        std::memcpy(a.bytes.data(), six.s6_addr, 16);
    }
    return a;
}

// Every address written in `value`, whole: "for=10.0.0.1:4711", "[2001:db8::1]", "a, b".
std::vector<Address> addressesIn(std::string_view value) {
    std::vector<Address> found;
    const auto part = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':'; };
    for (std::size_t i = 0; i < value.size();) {
        if (!part(value[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < value.size() && part(value[end])) ++end;
        const std::string token(value.substr(i, end - i));
        auto a = addressOf(token);
        if (!a && std::count(token.begin(), token.end(), ':') == 1) a = addressOf(token.substr(0, token.find(':')));
        if (a) found.push_back(*a);
        i = end;
    }
    return found;
}

std::string shown(const Address& a) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(a.family, a.bytes.data(), text, sizeof text);
    return text;
}

// httpbin's echo, read as it streams by: the top object's "origin" and the strings of its "headers"; the first of a
// duplicated key stands. Too deep a nesting ends the reading: no judge writes one.
class EchoReader : public nlohmann::json_sax<nlohmann::json> {
  public:
    Echo echo;
    bool sawOrigin = false;

    bool null() override { return scalar({}); }
    bool boolean(bool) override { return scalar({}); }
    bool number_integer(number_integer_t) override { return scalar({}); }
    bool number_unsigned(number_unsigned_t) override { return scalar({}); }
    bool number_float(number_float_t, const string_t&) override { return scalar({}); }
    bool string(string_t& s) override { return scalar(s); }
    bool binary(binary_t&) override { return scalar({}); }
    bool start_object(std::size_t) override { return enter(); }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override { return leave(); }
    bool key(string_t& k) override {
        key_ = k;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  private:
    bool enter() {
        if (depth_ == 1) inHeaders_ = key_ == "headers" && !sawHeaders_;
        sawHeaders_ = sawHeaders_ || inHeaders_;
        return ++depth_ <= kMaxDepth;
    }
    bool leave() {
        if (--depth_ == 1) inHeaders_ = false;
        return true;
    }
    bool scalar(const std::string& s) {
        if (depth_ == 1 && key_ == "origin" && !sawOrigin) {
            sawOrigin = true;
            echo.peerName = "origin";
            echo.peer = s;
        } else if (depth_ == 2 && inHeaders_ &&
                   std::none_of(echo.headers.begin(), echo.headers.end(),
                                [&](const auto& h) { return sameName(h.first, key_); })) {
            echo.headers.emplace_back(key_, s);
        }
        return true;
    }

    std::size_t depth_ = 0;
    std::string key_;
    bool inHeaders_ = false;
    bool sawHeaders_ = false;
};

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// HTTP_X_FORWARDED_FOR: X-Forwarded-For.
std::string headerName(std::string_view variable) {
    std::string name;
    bool start = true;
    for (const char c : variable) {
        name += c == '_' ? '-' : start ? c : char(std::tolower(static_cast<unsigned char>(c)));
        start = c == '_';
    }
    return name;
}

// CGI variables, a line each; a PHP page may end its lines with <br>.
std::optional<Echo> readVariables(std::string_view body) {
    Echo echo;
    bool sawAddress = false;
    for (std::size_t at = 0; at < body.size();) {
        std::size_t end = body.find('\n', at);
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = trimmed(body.substr(at, end - at));
        at = end + 1;
        for (const std::string_view br : {"<br>", "<br/>", "<br />", "<BR>"})
            if (line.ends_with(br)) line = trimmed(line.substr(0, line.size() - br.size()));
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            }))
            continue;
        if (name == "REMOTE_ADDR" && !sawAddress) {
            if (!addressOf(std::string(value))) return std::nullopt;  // the server's own word, and no address
            sawAddress = true;
            echo.peer = value;
        } else if (name.starts_with("HTTP_") && name.size() > 5) {
            echo.headers.emplace_back(headerName(name.substr(5)), std::string(value));
        }
    }
    if (!sawAddress) return std::nullopt;
    return echo;
}

}  // namespace

std::optional<Echo> readEcho(std::string_view body) {
    if (body.size() > kMaxEcho) return std::nullopt;
    const std::string_view text = trimmed(body.substr(std::min(body.find_first_not_of(" \t\r\n"), body.size())));
    if (!text.starts_with('{')) return readVariables(body);
    EchoReader reader;
    if (!nlohmann::json::sax_parse(text, &reader) || !reader.sawOrigin) return std::nullopt;
    return reader.echo;
}

std::string_view anonymityName(Anonymity a) {
    switch (a) {
        case Anonymity::Transparent:
            return "transparent";
        case Anonymity::Anonymous:
            return "anonymous";
        case Anonymity::Elite:
            break;
    }
    return "elite";
}

std::optional<Anonymity> anonymityNamed(std::string_view name) {
    for (const Anonymity a : {Anonymity::Elite, Anonymity::Anonymous, Anonymity::Transparent})
        if (anonymityName(a) == name) return a;
    return std::nullopt;
}

Sighting classify(const Echo& echo, const std::vector<std::string>& ours) {
    std::vector<Address> mine;
    for (const std::string& o : ours)
        if (const auto a = addressOf(o)) mine.push_back(*a);
    const auto leaksOurs = [&](std::string_view value) {
        const std::vector<Address> found = addressesIn(value);
        return std::any_of(found.begin(), found.end(),
                           [&](const Address& a) { return std::find(mine.begin(), mine.end(), a) != mine.end(); });
    };
    Sighting s;
    // The address it came from: REMOTE_ADDR, or the nearest of those httpbin's origin names.
    const std::vector<Address> peer = addressesIn(echo.peer);
    if (!peer.empty()) s.exit = shown(peer.back());
    if (leaksOurs(echo.peer)) s.leaks.push_back(echo.peerName);
    for (const auto& [name, value] : echo.headers)
        // Host names the judge, as we asked for it: a judge on our own machine is no leak.
        if (!sameName(name, "Host") && leaksOurs(value) &&
            std::find(s.leaks.begin(), s.leaks.end(), name) == s.leaks.end())
            s.leaks.push_back(name);
    if (!s.leaks.empty()) {
        s.anonymity = Anonymity::Transparent;
        return s;
    }
    for (const auto& [name, value] : echo.headers)
        for (const std::string_view revealing : kRevealing)
            if (sameName(name, revealing) && std::find(s.leaks.begin(), s.leaks.end(), revealing) == s.leaks.end())
                s.leaks.emplace_back(revealing);
    s.anonymity = s.leaks.empty() ? Anonymity::Elite : Anonymity::Anonymous;
    return s;
}

std::vector<std::string_view> revealingHeaders() {
    return {std::begin(kRevealing), std::end(kRevealing)};
}

std::vector<std::string> machineAddresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        Address a;
        if (i->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            const std::uint32_t host = ntohl(in->sin_addr.s_addr);
            if ((host >> 24) == 127 || (host >> 16) == 0xa9fe) continue;  // loopback, link-local
            a.family = AF_INET;
            std::memcpy(a.bytes.data(), &in->sin_addr, 4);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
            if (IN6_IS_ADDR_LOOPBACK(&in->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&in->sin6_addr)) continue;
            a.family = AF_INET6;
            std::memcpy(a.bytes.data(), &in->sin6_addr, 16);
        } else {
            continue;
        }
        found.push_back(shown(a));
    }
    ::freeifaddrs(list);
    return found;
}

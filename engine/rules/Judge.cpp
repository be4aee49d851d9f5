#include "engine/rules/Judge.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <unordered_set>

#include "engine/rules/CurlOptions.h"

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
// Those a front writes its client's address into, in the order the exit is read from them.
constexpr std::string_view kClientAddress[] = {"X-Forwarded-For", "Forwarded", "X-Real-IP"};
// Those every request of ours carries itself: what a front does to them says nothing.
constexpr std::string_view kOurs[] = {"Host", "User-Agent", "Accept"};

char lower(char c) {
    return char(std::tolower(static_cast<unsigned char>(c)));
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

template <std::size_t N>
bool isOneOf(std::string_view name, const std::string_view (&names)[N]) {
    return std::any_of(std::begin(names), std::end(names), [&](std::string_view n) { return sameName(n, name); });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// A header's value as the comma-separated elements a proxy appends to.
std::vector<std::string_view> elementsOf(std::string_view value) {
    std::vector<std::string_view> out;
    for (std::size_t at = 0;;) {
        const std::size_t comma = value.find(',', at);
        const std::string_view e = trimmed(value.substr(at, comma == std::string_view::npos ? comma : comma - at));
        if (!e.empty()) out.push_back(e);
        if (comma == std::string_view::npos) return out;
        at = comma + 1;
    }
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

// httpbin's echo, read as it streams by: the top object's "origin" and the strings of its "headers" object; the
// first of a duplicated key stands. Too deep a nesting ends the reading: no judge writes one.
class EchoReader : public nlohmann::json_sax<nlohmann::json> {
  public:
    Echo echo;
    bool sawOrigin = false;
    bool tooDeep = false;

    bool null() override { return other(); }
    bool boolean(bool) override { return other(); }
    bool number_integer(number_integer_t) override { return other(); }
    bool number_unsigned(number_unsigned_t) override { return other(); }
    bool number_float(number_float_t, const string_t&) override { return other(); }
    bool string(string_t& s) override {
        if (inTopObject() && key_ == "origin" && !sawOrigin) {
            sawOrigin = true;
            echo.peerName = "origin";
            echo.peer = s;
        } else if (inHeaders() && names_.insert(lowered(key_)).second) {
            echo.headers.emplace_back(key_, s);
        }
        return other();
    }
    bool binary(binary_t&) override { return other(); }
    bool start_object(std::size_t) override { return enter(true); }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(false); }
    bool end_array() override { return leave(); }
    bool key(string_t& k) override {
        key_ = k;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  private:
    bool inTopObject() const { return objects_.size() == 1 && objects_[0]; }
    bool inHeaders() const { return objects_.size() == 2 && objects_[1] && headers_; }
    bool other() {
        key_.clear();  // a value inside an array has no key
        return true;
    }
    bool enter(bool object) {
        if (inTopObject()) headers_ = object && key_ == "headers" && !sawHeaders_;
        sawHeaders_ = sawHeaders_ || headers_;
        objects_.push_back(object);
        key_.clear();
        tooDeep = objects_.size() > kMaxEchoDepth;
        return !tooDeep;
    }
    bool leave() {
        objects_.pop_back();
        if (objects_.size() <= 1) headers_ = false;
        key_.clear();
        return true;
    }

    std::vector<bool> objects_;  // the containers open: object or array
    std::string key_;
    bool headers_ = false;  // inside the top object's "headers"
    bool sawHeaders_ = false;
    std::unordered_set<std::string> names_;
};

// HTTP_X_FORWARDED_FOR: X-Forwarded-For.
std::string headerName(std::string_view variable) {
    std::string name;
    bool start = true;
    for (const char c : variable) {
        name += c == '_' ? '-' : start ? c : lower(c);
        start = c == '_';
    }
    return name;
}

// Where the line that starts at `at` ends: a line feed, or a <br>, <br/> or <br /> of any case, which a PHP page
// may write all on one line. Its end, and where the next begins.
std::pair<std::size_t, std::size_t> lineEnd(std::string_view body, std::size_t at) {
    for (std::size_t i = at; i < body.size(); ++i) {
        if (body[i] == '\n') return {i, i + 1};
        if (body[i] != '<' || i + 2 >= body.size() || lower(body[i + 1]) != 'b' || lower(body[i + 2]) != 'r') continue;
        std::size_t k = i + 3;
        while (k < body.size() && body[k] == ' ') ++k;
        if (k < body.size() && body[k] == '/') ++k;
        if (k < body.size() && body[k] == '>') return {i, k + 1};
    }
    return {body.size(), body.size()};
}

// CGI variables, a line each.
EchoRead readVariables(std::string_view body) {
    Echo echo;
    bool sawAddress = false;
    for (std::size_t at = 0; at < body.size();) {
        const auto [end, next] = lineEnd(body, at);
        const std::string_view line = trimmed(body.substr(at, end - at));
        at = next;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            }))
            continue;
        if (name == "REMOTE_ADDR" && !sawAddress) {
            if (!addressOf(std::string(value))) return {{}, EchoFault::NoAddress};  // the server's own word, no address
            sawAddress = true;
            echo.peer = value;
        } else if (name.starts_with("HTTP_") && name.size() > 5) {
            echo.headers.emplace_back(headerName(name.substr(5)), std::string(value));
        }
    }
    if (!sawAddress) return {{}, EchoFault::NoAddress};
    return {std::move(echo), EchoFault::None};
}

// How many elements the judge's front adds to the header `name`.
std::size_t frontAdds(const JudgeBaseline& b, std::string_view name) {
    for (const JudgeBaseline::Added& a : b.front)
        if (sameName(a.name, name)) return a.elements;
    return 0;
}

bool isOurToken(std::string_view element) {
    std::string collapsed;
    for (const char c : element)
        if (c != ' ' || (!collapsed.empty() && collapsed.back() != ' ')) collapsed += lower(c);
    return collapsed == kViaToken;
}

// The first address in a client header's element: "1.2.3.4", "for=1.2.3.4;proto=http".
std::string firstAddress(std::string_view element) {
    const std::vector<Address> found = addressesIn(element);
    return found.empty() ? "" : shown(found.front());
}

}  // namespace

std::string_view echoFaultText(EchoFault fault) {
    switch (fault) {
        case EchoFault::TooLong:
            return "longer than a judge writes";
        case EchoFault::TooDeep:
            return "JSON nested deeper than a judge writes";
        case EchoFault::Malformed:
            return "JSON that cannot be read";
        case EchoFault::NoAddress:
            return "no REMOTE_ADDR and no origin";
        case EchoFault::NoNonce:
            return "it does not echo the query it was asked with";
        case EchoFault::None:
            break;
    }
    return "";
}

EchoRead readEcho(std::string_view body) {
    if (body.size() > kMaxEcho) return {{}, EchoFault::TooLong};
    const std::string_view text = trimmed(body.substr(std::min(body.find_first_not_of(" \t\r\n"), body.size())));
    if (!text.starts_with('{')) return readVariables(body);
    EchoReader reader;
    if (!nlohmann::json::sax_parse(text, &reader))
        return {{}, reader.tooDeep ? EchoFault::TooDeep : EchoFault::Malformed};
    if (!reader.sawOrigin) return {{}, EchoFault::NoAddress};
    return {std::move(reader.echo), EchoFault::None};
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

bool hidesAtLeast(Anonymity seen, Anonymity least) {
    const auto shows = [](Anonymity a) {  // how much of us it shows
        switch (a) {
            case Anonymity::Transparent:
                return 2;
            case Anonymity::Anonymous:
                return 1;
            case Anonymity::Elite:
                break;
        }
        return 0;
    };
    return shows(seen) <= shows(least);
}

Sighting classify(const Echo& echo, const JudgeBaseline& baseline) {
    std::vector<Address> mine;
    for (const std::string& o : baseline.ours)
        if (const auto a = addressOf(o)) mine.push_back(*a);
    const auto leaksOurs = [&](std::string_view value) {
        const std::vector<Address> found = addressesIn(value);
        return std::any_of(found.begin(), found.end(),
                           [&](const Address& a) { return std::find(mine.begin(), mine.end(), a) != mine.end(); });
    };
    Sighting s;
    std::vector<std::string> reveals;
    std::unordered_set<std::string> leaked, revealed;  // lower case: each name once
    const auto note = [](std::vector<std::string>& into, std::unordered_set<std::string>& seen, std::string_view name) {
        if (seen.insert(lowered(name)).second) into.emplace_back(name);
    };
    // httpbin takes its origin from an X-Forwarded-For a proxy sent: then it names no exit of its own.
    const bool peerFromHeader =
        echo.peerName == "origin" && std::any_of(echo.headers.begin(), echo.headers.end(), [&](const auto& h) {
            return sameName(h.first, "X-Forwarded-For") && trimmed(h.second) == trimmed(echo.peer);
        });
    if (!baseline.behindFront && !peerFromHeader) {
        const std::vector<Address> peer = addressesIn(echo.peer);
        if (!peer.empty()) s.exit = shown(peer.back());
        if (leaksOurs(echo.peer)) note(s.leaks, leaked, echo.peerName);
    }
    std::string frontSaw[std::size(kClientAddress)];  // behind a front: the client it saw, by header
    for (const auto& [name, value] : echo.headers) {
        // Host names the judge, as we asked for it: a judge on our own machine is no leak.
        if (sameName(name, "Host")) continue;
        const std::vector<std::string_view> elements = elementsOf(value);
        const std::size_t front = std::min(frontAdds(baseline, name), elements.size());
        const std::size_t added = elements.size() - front;  // a proxy appends before the front does
        for (std::size_t k = 0; k < std::size(kClientAddress); ++k)
            if (front > 0 && sameName(name, kClientAddress[k]) && frontSaw[k].empty())
                frontSaw[k] = firstAddress(elements[added]);
        if (std::any_of(elements.begin(), elements.begin() + std::ptrdiff_t(added), leaksOurs))
            note(s.leaks, leaked, name);
        if (added > 0 && isOneOf(name, kRevealing)) note(reveals, revealed, name);
    }
    if (baseline.behindFront)
        for (const std::string& saw : frontSaw)
            if (s.exit.empty()) s.exit = saw;
    if (!s.leaks.empty()) {
        s.anonymity = Anonymity::Transparent;
        return s;
    }
    s.leaks = std::move(reveals);
    s.anonymity = s.leaks.empty() ? Anonymity::Elite : Anonymity::Anonymous;
    return s;
}

Learnt learnBaseline(const Echo& direct, std::string nonce, std::vector<std::string> machine) {
    JudgeBaseline b;
    b.nonce = std::move(nonce);
    b.ours = std::move(machine);
    bool sawToken = false;
    std::vector<std::string> frontSaw;
    for (const auto& [name, value] : direct.headers) {
        if (isOneOf(name, kOurs)) continue;
        std::vector<std::string_view> elements = elementsOf(value);
        if (sameName(name, "Via")) {
            const auto before = elements.size();
            std::erase_if(elements, isOurToken);
            sawToken = sawToken || elements.size() < before;
        }
        if (elements.empty()) continue;
        b.front.push_back({name, elements.size()});
        b.behindFront = b.behindFront || isOneOf(name, kRevealing);
        if (isOneOf(name, kClientAddress))
            for (const std::string_view e : elements)
                for (const Address& a : addressesIn(e)) frontSaw.push_back(shown(a));
    }
    if (!sawToken)
        return {{},
                "the judge does not show the Via header it was sent, so every proxy would read elite; httpbin shows it "
                "when asked: /get?show_env=1"};
    const std::vector<Address> peer = addressesIn(direct.peer);
    if (!b.behindFront && !peer.empty()) frontSaw = {shown(peer.back())};
    if (frontSaw.empty()) return {{}, "the judge names no address it saw the request come from"};
    b.ours.insert(b.ours.end(), frontSaw.begin(), frontSaw.end());
    return {std::move(b), ""};
}

std::string newNonce() {
    std::random_device random;
    std::string nonce;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", random());
        nonce += part;
    }
    return nonce;
}

std::string withNonce(const std::string& url, const std::string& nonce) {
    const UrlHandle parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return url;
    const std::string query = "kiriha=" + nonce;
    curl_url_set(parsed.get(), CURLUPART_QUERY, query.c_str(), CURLU_APPENDQUERY);
    char* text = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return url;
    const CurlText owned(text);
    return owned.get();
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

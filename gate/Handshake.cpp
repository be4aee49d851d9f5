#include "gate/Handshake.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "cli/Messages.h"
#include "gate/ProxyStatus.h"

namespace {

using Step = Handshake::Step;

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string::npos;
}
bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

char lower(char c) {
    return char(std::tolower(static_cast<unsigned char>(c)));
}
bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::uint16_t> portOf(std::string_view s) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || s.size() > 5 || ec != std::errc() || end != s.data() + s.size() || value > 65535)
        return std::nullopt;
    return std::uint16_t(value);
}

// A host as a URI may name it: a name of letters, digits, '-', '.', '_' and '~', or an IPv6 address (brackets
// already taken off).
bool isHost(std::string_view host, bool bracketed) {
    if (host.empty() || host.size() > 255) return false;
    if (bracketed) {
        in6_addr six{};
        return ::inet_pton(AF_INET6, std::string(host).c_str(), &six) == 1;
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
    });
}

// host:port or [v6]:port, with the port given or `defaultPort` (0: it must be given).
std::optional<Destination> authorityOf(std::string_view a, std::uint16_t defaultPort) {
    Destination d;
    std::string_view host = a, port;
    bool bracketed = false;
    if (a.starts_with('[')) {
        const auto close = a.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = a.substr(1, close - 1);
        bracketed = true;
        const std::string_view rest = a.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
        port = rest.empty() ? "" : rest.substr(1);
    } else if (const auto colon = a.rfind(':'); colon != std::string_view::npos) {
        host = a.substr(0, colon);
        port = a.substr(colon + 1);
    }
    if (!isHost(host, bracketed)) return std::nullopt;
    d.host = std::string(host);
    if (port.empty() && a.ends_with(':')) return std::nullopt;
    const std::optional<std::uint16_t> p = port.empty() ? std::optional<std::uint16_t>(defaultPort) : portOf(port);
    if (!p || *p == 0) return std::nullopt;
    d.port = *p;
    return d;
}

// The gate's own answer: what went wrong, for a person in the body and for a program in Proxy-Status.
std::string httpError(int status, std::string_view reason, const std::string& text, const std::string& status9209,
                      std::string_view extra = "") {
    const std::string body = text + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nProxy-Status: " + status9209 + "\r\nConnection: close\r\n" + std::string(extra) + "\r\n" + body;
}

std::string ownStatus(std::string_view error, const std::string& details) {
    return proxyStatus({StatusMember{"", std::string(error), details}});
}

Step refused(std::string reply, std::string why) {
    Step s;
    s.is = Step::Is::Refused;
    s.reply = std::move(reply);
    s.why = std::move(why);
    return s;
}

// `why` in English for the log and Proxy-Status; the body in the gate's language.
Step badRequest(const char* why, int status = 400, std::string_view reason = "Bad Request", std::string body = "") {
    if (body.empty()) body = _(why);
    return refused(
        httpError(status, reason, format(_("kiriha-gate: %s"), body.c_str()), ownStatus("http_request_error", why)),
        why);
}

// `text` for a person, `detail` in English for Proxy-Status, `why` for the log.
Step wantCredentials(const std::string& text, const std::string& detail, std::string why) {
    return refused(httpError(407, "Proxy Authentication Required", format(_("kiriha-gate: %s"), text.c_str()),
                             ownStatus("http_request_denied", detail),
                             "Proxy-Authenticate: Basic realm=\"kiriha-gate\"\r\n"),
                   std::move(why));
}

std::string socks5Reply(std::uint8_t code) {
    return std::string("\x05", 1) + char(code) + std::string("\x00\x01\x00\x00\x00\x00\x00\x00", 8);
}
std::string socks4Reply(std::uint8_t code) {
    return std::string("\x00", 1) + char(code) + std::string(6, '\0');
}

// Bytes a line of a head may not hold: controls but HTAB, and DEL (a bare CR or LF among them).
bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

// The end of a chunked body, read on from where `scan` stopped; nothing while it has not all come, kMalformed when
// the framing is wrong, kTooLarge when it is longer than `limit`.
constexpr long kMalformed = -1, kTooLarge = -2;
std::optional<long> chunkedEnd(std::string_view in, ChunkScan& scan, std::size_t limit) {
    const auto notYet = [&] { return in.size() > limit ? std::optional<long>(kTooLarge) : std::nullopt; };
    for (;;) {
        const auto line = in.find("\r\n", std::max(scan.at, scan.searched));
        if (line == std::string_view::npos) {
            scan.searched = in.empty() ? 0 : in.size() - 1;  // a CR at the end may meet its LF
            if (hasControl(in.substr(scan.at, scan.searched - std::min(scan.searched, scan.at)))) return kMalformed;
            return notYet();
        }
        const std::string_view text = in.substr(scan.at, line - scan.at);
        if (hasControl(text)) return kMalformed;  // a bare LF or CR, a control in an extension or a trailer
        if (scan.trailers) {                      // trailers, then an empty line
            if (line == scan.at) return long(line + 2);
            const auto colon = text.find(':');
            if (colon == std::string_view::npos || !isToken(text.substr(0, colon))) return kMalformed;
            scan.at = line + 2;
            continue;
        }
        std::string_view size = text.substr(0, text.find(';'));  // chunk extensions
        std::size_t n = 0;
        const auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), n, 16);
        if (size.empty() || ec != std::errc() || end != size.data() + size.size()) return kMalformed;
        if (n > limit) return kTooLarge;
        if (n == 0) {
            scan.at = line + 2;
            scan.trailers = true;
            continue;
        }
        if (in.size() < line + 2 + n + 2) return notYet();
        if (in.substr(line + 2 + n, 2) != "\r\n") return kMalformed;
        scan.at = line + 2 + n + 2;
    }
}

// A request head's fields, as the framing rules and the plain request want them.
struct HeadFields {
    std::vector<std::string> lengths;  // every Content-Length value
    int lengthFields = 0, encodings = 0;
    bool chunked = false;  // the last Transfer-Encoding is chunked
    std::string credentials;
    std::vector<std::string> named;  // hop-by-hop, named in Connection
    std::vector<std::pair<std::string_view, std::string_view>> fields;
};

void commaList(std::string_view value, std::vector<std::string>& out) {
    for (std::size_t k = 0; k <= value.size();) {
        const auto comma = std::min(value.find(',', k), value.size());
        out.emplace_back(trimmed(value.substr(k, comma - k)));
        k = comma + 1;
    }
}

// Every line ends in CR LF, and no NUL is among them.
std::optional<Step> lineEnds(std::string_view head) {
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\0') return badRequest(N_("a NUL byte in the request head"));
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
            return badRequest(N_("a line feed without a carriage return"));
        if (head[i] == '\r' && (i + 1 >= head.size() || head[i + 1] != '\n'))
            return badRequest(N_("a bare carriage return"));
    }
    return std::nullopt;
}

std::optional<Step> requestLine(std::string_view line, ClientRequest& r, std::string_view& target) {
    if (line.empty()) return badRequest(N_("an empty line before the request"));
    const auto sp1 = line.find(' '), sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp1 == sp2) return badRequest(N_("malformed request line"));
    r.method = std::string(line.substr(0, sp1));
    target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!isToken(r.method) || target.empty() || target.find(' ') != std::string_view::npos || hasControl(target) ||
        (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return badRequest(N_("malformed request line"));
    if (std::any_of(r.method.begin(), r.method.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return badRequest(N_("a method in lower case (methods are case-sensitive)"));
    return std::nullopt;
}

std::optional<Step> readFields(std::string_view head, HeadFields& h) {
    for (std::size_t at = head.find("\r\n") + 2; at < head.size();) {
        const auto end = head.find("\r\n", at);
        const std::string_view field = head.substr(at, end - at);
        at = end + 2;
        if (field.front() == ' ' || field.front() == '\t') return badRequest(N_("obsolete line folding"));
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || !isToken(field.substr(0, colon)))
            return badRequest(N_("malformed header field"));
        const std::string_view name = field.substr(0, colon), value = trimmed(field.substr(colon + 1));
        if (hasControl(value)) return badRequest(N_("a control byte in a header value"));
        if (sameName(name, "Content-Length")) {
            ++h.lengthFields;
            commaList(value, h.lengths);
        } else if (sameName(name, "Transfer-Encoding")) {
            ++h.encodings;
            const auto last = value.rfind(',');
            h.chunked = sameName(trimmed(last == std::string_view::npos ? value : value.substr(last + 1)), "chunked");
        } else if (sameName(name, "Proxy-Authorization")) {
            h.credentials = decodeBasic(value);
        } else if (sameName(name, "Connection")) {
            commaList(value, h.named);
        }
        h.fields.emplace_back(name, value);
    }
    return std::nullopt;
}

// Whatever two hops could read differently is refused: the gate never passes on a request it frames otherwise than
// the next one would.
std::optional<Step> framing(const HeadFields& h, std::optional<std::size_t>& length) {
    if (h.encodings && !h.lengths.empty()) return badRequest(N_("Transfer-Encoding beside Content-Length"));
    if (h.encodings > 1) return badRequest(N_("Transfer-Encoding given twice"));
    if (h.encodings && !h.chunked) return badRequest(N_("a Transfer-Encoding that does not end in chunked"));
    if (h.lengthFields > 1 || h.lengths.size() > 1) return badRequest(N_("Content-Length given twice"));
    for (const std::string& hop : h.named)
        if (sameName(hop, "Content-Length") || sameName(hop, "Transfer-Encoding") || sameName(hop, "Host"))
            return badRequest(("Connection names " + hop + ", which frames the request").c_str(), 400, "Bad Request",
                              format(_("Connection names %s, which frames the request"), hop.c_str()));
    for (const std::string& v : h.lengths) {
        std::size_t n = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (v.empty() || v.size() > 18 || ec != std::errc() || end != v.data() + v.size())
            return badRequest(N_("malformed Content-Length"));
        length = n;
    }
    return std::nullopt;
}

// Plain http, in absolute form (the gate is a proxy, not an origin), without the hop's own fields.
std::optional<Step> plainRequest(std::string_view target, const HeadFields& h, ClientRequest& r) {
    constexpr std::string_view kHttp = "http://";
    if (target.size() < kHttp.size() || !sameName(target.substr(0, kHttp.size()), kHttp))
        return badRequest(N_("not an absolute http:// URL (https goes through CONNECT)"));
    const std::string_view rest = target.substr(kHttp.size());
    const auto pathAt = std::min(rest.find_first_of("/?#"), rest.size());
    r.authority = std::string(rest.substr(0, pathAt));
    if (r.authority.find('@') != std::string::npos) return badRequest(N_("credentials in the URL"));
    const std::optional<Destination> to = authorityOf(r.authority, 80);
    if (!to) return badRequest(N_("malformed host in the URL"));
    r.path = std::string(rest.substr(pathAt));
    if (r.path.find('#') != std::string::npos) return badRequest(N_("a fragment in the URL"));
    if (r.path.empty() || r.path.front() == '?') r.path.insert(0, "/");
    r.kind = ClientRequest::Kind::Plain;
    r.to = *to;
    for (const auto& [name, value] : h.fields) {
        const bool hop =
            sameName(name, "Connection") || sameName(name, "Keep-Alive") || sameName(name, "Proxy-Connection") ||
            sameName(name, "Proxy-Authorization") || sameName(name, "TE") || sameName(name, "Trailer") ||
            sameName(name, "Upgrade") || sameName(name, "Host") ||
            std::any_of(h.named.begin(), h.named.end(), [&](const std::string& n) { return sameName(n, name); });
        if (!hop) r.headers += std::string(name) + ": " + std::string(value) + "\r\n";
    }
    return std::nullopt;
}

}  // namespace

Handshake::Handshake(std::shared_ptr<const Access> access, Abilities can) : access_(std::move(access)), can_(can) {}

std::string Handshake::identify(std::string_view user, std::string_view password, bool given, ProxyPool::Want& want) {
    if (!given) return access_->required() ? "no credentials" : "";
    if (access_->required() && access_->admits(user, password)) return "";  // a name of its own, hyphens and all
    UserName u = parseUserName(user, can_);
    if (!u.error.empty()) {
        told_ = u.error;
        toldDetail_ = u.detail;
        return u.error;
    }
    if (access_->required() && !access_->admits(u.name, password)) return "wrong credentials";
    want = std::move(u.want);
    return "";
}

Step Handshake::feed(std::string& in) {
    Step all;
    for (;;) {
        const Stage before = stage_;
        Step s;
        switch (stage_) {
            case Stage::First:
                if (in.empty()) return all;
                if (in[0] == '\x05')
                    stage_ = Stage::Socks5Methods;
                else if (in[0] == '\x04')
                    stage_ = Stage::Socks4;
                else if ((in[0] >= 0x21 && in[0] < 0x7f) || in[0] == '\r' || in[0] == '\n')
                    stage_ = Stage::Http;  // read as HTTP, and refused with a 400 where it is none
                else
                    s = refused("", "not a proxy client");
                break;
            case Stage::Socks5Methods:
                s = socks5Methods(in);
                break;
            case Stage::Socks5Auth:
                s = socks5Auth(in);
                break;
            case Stage::Socks5Request:
                s = socks5Request(in);
                break;
            case Stage::Socks4:
                s = socks4(in);
                break;
            case Stage::Http:
                s = http(in);
                break;
            case Stage::Done:
                return all;
        }
        all.reply += s.reply;
        if (s.is != Step::Is::More) {
            stage_ = Stage::Done;
            s.reply = std::move(all.reply);
            return s;
        }
        if (stage_ == before) return all;  // it waits for more; a SOCKS5 step answered goes on with what came next
    }
}

Step Handshake::socks5Methods(std::string& in) {
    if (in.size() < 2) return {};
    const std::size_t n = static_cast<unsigned char>(in[1]);
    if (n == 0) return refused("\x05\xff", "SOCKS5 with no method");
    if (in.size() < 2 + n) return {};
    const std::string_view methods(in.data() + 2, n);
    const bool plain = methods.find('\x00') != std::string_view::npos;
    const bool password = methods.find('\x02') != std::string_view::npos;
    in.erase(0, 2 + n);
    Step s;
    // Credentials are asked for whenever the client has some: its user name may say how it wants to leave.
    if (password) {
        s.reply = std::string("\x05\x02", 2);
        stage_ = Stage::Socks5Auth;
    } else if (plain && !access_->required()) {
        s.reply = std::string("\x05\x00", 2);
        stage_ = Stage::Socks5Request;
    } else {
        return refused("\x05\xff",
                       access_->required() ? "SOCKS5 without credentials" : "SOCKS5 with no method we take");
    }
    return s;
}

Step Handshake::socks5Auth(std::string& in) {
    if (in.size() < 2) return {};
    if (in[0] != '\x01') return refused(std::string("\x01\x01", 2), "SOCKS5 credentials of an unknown version");
    const std::size_t ulen = static_cast<unsigned char>(in[1]);
    if (in.size() < 2 + ulen + 1) return {};
    const std::size_t plen = static_cast<unsigned char>(in[2 + ulen]);
    if (in.size() < 3 + ulen + plen) return {};
    const std::string user = in.substr(2, ulen), password = in.substr(3 + ulen, plen);
    in.erase(0, 3 + ulen + plen);
    if (const std::string why = identify(user, password, true, want_); !why.empty())
        return refused(std::string("\x01\x01", 2), told_.empty() ? why : "user name refused");
    Step s;
    s.reply = std::string("\x01\x00", 2);
    stage_ = Stage::Socks5Request;
    return s;
}

Step Handshake::socks5Request(std::string& in) {
    if (in.size() < 4) return {};
    if (in[0] != '\x05' || in[2] != '\x00') return refused(socks5Reply(0x01), "SOCKS5 request malformed");
    if (in[1] != '\x01') return refused(socks5Reply(0x07), "SOCKS5 command other than CONNECT");
    Destination to;
    std::size_t at = 4;
    switch (in[3]) {
        case '\x01': {
            if (in.size() < at + 6) return {};
            char text[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, in.data() + at, text, sizeof text);
            to.host = text;
            at += 4;
            break;
        }
        case '\x04': {
            if (in.size() < at + 18) return {};
            char text[INET6_ADDRSTRLEN];
            ::inet_ntop(AF_INET6, in.data() + at, text, sizeof text);
            to.host = text;
            at += 16;
            break;
        }
        case '\x03': {
            if (in.size() < 5) return {};
            const std::size_t n = static_cast<unsigned char>(in[4]);
            if (in.size() < at + 1 + n + 2) return {};
            to.host = in.substr(at + 1, n);
            at += 1 + n;
            if (!isHost(to.host, false)) return refused(socks5Reply(0x01), "SOCKS5 host malformed");
            break;
        }
        default:
            return refused(socks5Reply(0x08), "SOCKS5 address type unknown");
    }
    to.port = std::uint16_t((static_cast<unsigned char>(in[at]) << 8) | static_cast<unsigned char>(in[at + 1]));
    in.erase(0, at + 2);
    if (to.port == 0) return refused(socks5Reply(0x02), "port 0");
    Step s;
    s.is = Step::Is::Ready;
    s.request.kind = ClientRequest::Kind::Socks5;
    s.request.to = std::move(to);
    s.request.want = std::move(want_);
    return s;
}

Step Handshake::socks4(std::string& in) {
    if (in.size() < 9) return {};
    const auto user = in.find('\0', 8);
    if (user == std::string::npos)
        return in.size() > 8 + 255 ? refused(socks4Reply(0x5b), "SOCKS4 user id too long") : Step{};
    if (in[1] != '\x01') return refused(socks4Reply(0x5b), "SOCKS4 command other than CONNECT");
    if (access_->required()) return refused(socks4Reply(0x5b), "SOCKS4 carries no credentials");
    Destination to;
    to.port = std::uint16_t((static_cast<unsigned char>(in[2]) << 8) | static_cast<unsigned char>(in[3]));
    std::size_t end = user + 1;
    const bool named = in[4] == 0 && in[5] == 0 && in[6] == 0 && in[7] != 0;  // SOCKS4a: the host follows
    if (named) {
        const auto host = in.find('\0', end);
        if (host == std::string::npos)
            return in.size() > end + 255 ? refused(socks4Reply(0x5b), "SOCKS4a host too long") : Step{};
        to.host = in.substr(end, host - end);
        end = host + 1;
        if (!isHost(to.host, false)) return refused(socks4Reply(0x5b), "SOCKS4a host malformed");
    } else {
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, in.data() + 4, text, sizeof text);
        to.host = text;
    }
    in.erase(0, end);
    if (to.port == 0) return refused(socks4Reply(0x5b), "port 0");
    Step s;
    s.is = Step::Is::Ready;
    s.request.kind = ClientRequest::Kind::Socks4;
    s.request.to = std::move(to);
    return s;
}

Step Handshake::http(std::string& in) {
    if (body_) return httpBody(in);
    // Read on from where the last look stopped: a head sent a byte at a time costs no more than one sent whole.
    const auto headEnd = in.find("\r\n\r\n", scanned_ >= 3 ? scanned_ - 3 : 0);
    if (headEnd == std::string::npos) {
        if (in.size() >= kMaxRequest)
            return badRequest(N_("request head larger than 64 KiB"), 431, "Request Header Fields Too Large");
        if (in.find('\0', scanned_) != std::string::npos) return badRequest(N_("a NUL byte in the request head"));
        scanned_ = in.size();
        return {};
    }
    if (headEnd + 4 > kMaxRequest)
        return badRequest(N_("request head larger than 64 KiB"), 431, "Request Header Fields Too Large");
    const std::string_view head(in.data(), headEnd + 2);  // every line with its CR LF
    if (auto wrong = lineEnds(head)) return *wrong;
    ClientRequest r;
    std::string_view target;
    if (auto wrong = requestLine(head.substr(0, head.find("\r\n")), r, target)) return *wrong;
    HeadFields h;
    std::optional<std::size_t> length;
    if (auto wrong = readFields(head, h)) return *wrong;
    if (auto wrong = framing(h, length)) return *wrong;
    {
        const auto colon = h.credentials.find(':');
        const bool given = colon != std::string::npos;
        const std::string_view all(h.credentials);
        const std::string why =
            identify(all.substr(0, given ? colon : 0), given ? all.substr(colon + 1) : "", given, r.want);
        if (!why.empty())
            return told_.empty() ? wantCredentials(_("credentials wanted"), "credentials wanted", why)
                                 : wantCredentials(told_, toldDetail_, "user name refused");
    }
    if (sameName(r.method, "CONNECT")) {
        const std::optional<Destination> to = authorityOf(target, 0);
        if (!to) return badRequest(N_("malformed CONNECT target (HOST:PORT, a port from 1 to 65535)"));
        r.kind = ClientRequest::Kind::Connect;
        r.to = *to;
        in.erase(0, headEnd + 4);
        Step s;
        s.is = Step::Is::Ready;
        s.request = std::move(r);
        return s;
    }
    if (auto wrong = plainRequest(target, h, r)) return *wrong;
    // The head is read once; its body may still be coming.
    body_ = Body{std::move(r), headEnd + 4, h.chunked, length.value_or(0), ChunkScan{headEnd + 4}};
    return httpBody(in);
}

Step Handshake::httpBody(std::string& in) {
    Body& b = *body_;
    ClientRequest& r = b.request;
    if (b.chunked) {  // the whole body, framed as sent, or none of it
        const std::optional<long> end = chunkedEnd(in, b.scan, kMaxRequest);
        if (!end) return {};
        if (*end == kTooLarge) return badRequest(N_("a chunked body larger than 64 KiB"), 413, "Content Too Large");
        if (*end < 0) return badRequest(N_("a chunked body malformed"));
        r.body = in.substr(b.at, std::size_t(*end) - b.at);
        r.whole = true;
        in.erase(0, std::size_t(*end));
    } else if (b.length <= kMaxRequest && b.at + b.length <= kMaxRequest) {
        if (in.size() < b.at + b.length) return {};  // the rest of the body
        r.body = in.substr(b.at, b.length);
        r.whole = true;
        in.erase(0, b.at + b.length);
    } else {  // sent on as it comes, to its length: no replay
        r.body = in.substr(b.at, std::min(b.length, in.size() - b.at));
        r.owed = b.length - r.body.size();
        in.erase(0, b.at + r.body.size());
    }
    Step s;
    s.is = Step::Is::Ready;
    s.request = std::move(r);
    body_.reset();
    return s;
}

std::string tunnelReady(ClientRequest::Kind kind) {
    switch (kind) {
        case ClientRequest::Kind::Connect:
            return "HTTP/1.1 200 Connection established\r\n\r\n";
        case ClientRequest::Kind::Socks5:
            return socks5Reply(0x00);
        case ClientRequest::Kind::Socks4:
            return socks4Reply(0x5a);
        case ClientRequest::Kind::Plain:
            break;
    }
    return "";
}

std::string refusalReply(ClientRequest::Kind kind, Refusal why, const std::string& text,
                         const std::string& status9209) {
    if (kind == ClientRequest::Kind::Socks4) return socks4Reply(0x5b);
    if (kind == ClientRequest::Kind::Socks5) {
        switch (why) {
            case Refusal::Refused:
                return socks5Reply(0x05);
            case Refusal::Unreachable:
            case Refusal::SessionLost:
                return socks5Reply(0x04);
            case Refusal::NotAllowed:
                return socks5Reply(0x02);
            case Refusal::NoProxy:
            case Refusal::NoMatch:
            case Refusal::AllFailed:
            case Refusal::Late:
                break;
        }
        return socks5Reply(0x01);
    }
    if (why == Refusal::NoProxy || why == Refusal::NoMatch)
        return httpError(503, "Service Unavailable", text, status9209);
    if (why == Refusal::Late) return httpError(504, "Gateway Timeout", text, status9209);
    return httpError(502, "Bad Gateway", text, status9209);
}

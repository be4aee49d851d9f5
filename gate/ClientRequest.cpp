#include "gate/ClientRequest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string Destination::shown() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Access::Access(std::vector<std::string> credentials) : credentials_(std::move(credentials)) {}

bool Access::admits(std::string_view user, std::string_view password) const {
    const std::string given = std::string(user) + ":" + std::string(password);
    bool any = false;
    for (const std::string& c : credentials_) {
        // Every credential is compared, each in full, whatever matched before.
        const bool same = c.size() == given.size() && CRYPTO_memcmp(c.data(), given.data(), c.size()) == 0;
        any = any || same;
    }
    return any;
}

std::string ClientRequest::forwarded(bool toHttpProxy, const std::string& proxyCredentials) const {
    std::string out = method + " " + (toHttpProxy ? "http://" + authority + path : path) + " HTTP/1.1\r\n";
    out += "Host: " + authority + "\r\n" + headers;
    if (toHttpProxy && !proxyCredentials.empty())
        out += "Proxy-Authorization: Basic " + basicCredentials(proxyCredentials) + "\r\n";
    return out + "Connection: close\r\n\r\n" + body;
}

std::string basicCredentials(std::string_view userAndPassword) {
    std::string out(4 * ((userAndPassword.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(userAndPassword.data()), int(userAndPassword.size()));
    out.resize(std::size_t(std::max(n, 0)));
    return out;
}

std::string decodeBasic(std::string_view value) {
    value = trimmed(value);
    if (value.size() < 6 || !sameName(value.substr(0, 6), "Basic ")) return "";
    std::string_view code = trimmed(value.substr(6));
    if (code.empty() || code.size() % 4 != 0 || code.size() > 4096) return "";
    std::string out(code.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(code.data()), int(code.size()));
    if (n < 0) return "";
    const std::size_t padding = std::size_t(std::count(code.end() - 2, code.end(), '='));
    out.resize(std::size_t(n) - padding);
    return out;
}

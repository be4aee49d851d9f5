#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A real proxy server from the system's packages on 127.0.0.1, with a configuration of its own in a folder of
// its own, for as long as the object lives.
class LocalProxy {
  public:
    enum class Kind {
        Tinyproxy,   // HTTP, CONNECT to any port unless the extra lines say otherwise
        Squid,       // HTTP, no cache
        Microsocks,  // SOCKS5
        Danted,      // SOCKS4 and SOCKS5
        Stunnel,     // TLS in front of `upstream`: an https:// proxy; `extra` names the certificate and key
    };
    explicit LocalProxy(Kind kind, std::string extra = "", std::uint16_t upstream = 0);
    ~LocalProxy();
    LocalProxy(const LocalProxy&) = delete;
    LocalProxy& operator=(const LocalProxy&) = delete;

    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    std::vector<std::string> configure(Kind kind, const std::string& extra, std::uint16_t upstream);

    std::uint16_t port_ = 0;
    int pid_ = -1;
    std::string dir_;
};

class TinyProxy : public LocalProxy {
  public:
    explicit TinyProxy(std::string extra = "") : LocalProxy(Kind::Tinyproxy, std::move(extra)) {}
};

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
        Microsocks,  // SOCKS5; `extra`, when given, the user and the password it wants, a space between
        Danted,      // SOCKS4 and SOCKS5
        Stunnel,     // TLS in front of `upstream`: an https:// proxy; `extra` names the certificate and key
        Httpbin,     // Debian's python3-httpbin, a judge: /get?show_env=1; over TLS, `extra` the certificate and key
        EnvJudge,    // busybox httpd running an env CGI, a judge: /cgi-bin/env
        JudgeFront,  // squid as a judge's own front (a reverse proxy) to `upstream` on the host `extra`'s first line
                     // names; its further lines are squid's
    };
    // `from`: the loopback address a proxy's requests leave from, or a judge listens on (default 127.0.0.1).
    explicit LocalProxy(Kind kind, std::string extra = "", std::uint16_t upstream = 0, std::string from = "");
    ~LocalProxy();
    LocalProxy(const LocalProxy&) = delete;
    LocalProxy& operator=(const LocalProxy&) = delete;

    std::uint16_t port() const { return port_; }
    std::string address() const { return host_ + ":" + std::to_string(port_); }
    int pid() const { return pid_; }
    // Killed (SIGKILL, as a crash would end it), and started again on the same port.
    void kill();
    void restart();

  private:
    std::vector<std::string> configure(Kind kind, const std::string& extra, std::uint16_t upstream);
    bool launch(const std::vector<std::string>& args);  // true once it accepts
    std::string squidName() const;
    void removeSegments() const;

    Kind kind_;
    std::string from_;
    std::string extra_;
    std::uint16_t upstream_ = 0;
    std::string host_ = "127.0.0.1";  // where it listens
    std::uint16_t port_ = 0;
    int pid_ = -1;
    std::string dir_;
};

class TinyProxy : public LocalProxy {
  public:
    explicit TinyProxy(std::string extra = "", std::string from = "")
        : LocalProxy(Kind::Tinyproxy, std::move(extra), 0, std::move(from)) {}
};

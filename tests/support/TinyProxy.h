#pragma once

#include <cstdint>
#include <string>

// A real tinyproxy on 127.0.0.1 with a configuration of its own, for as long as the object lives.
class TinyProxy {
  public:
    TinyProxy();
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    std::uint16_t port_ = 0;
    int pid_ = -1;
    std::string dir_;
};

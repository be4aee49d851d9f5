#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A small TCP server on 127.0.0.1 that plays one scripted part per connection.
class TestServer {
  public:
    class Connection {
      public:
        Connection(int fd, std::string request, TestServer& server)
            : fd_(fd), request_(std::move(request)), server_(server) {}
        const std::string& request() const { return request_; }
        int fd() const { return fd_; }
        std::string peer() const;           // the address the connection came from
        bool send(std::string_view bytes);  // false once the peer is gone
        void reset();                       // close with RST
        void abort();                       // a reset alone, with no end of stream before it
        bool sleep(std::chrono::milliseconds ms) { return server_.sleepUnlessStopped(ms); }

      private:
        int fd_;
        std::string request_;
        TestServer& server_;
    };
    using Handler = std::function<void(Connection&)>;

    explicit TestServer(Handler handler, bool readRequest = true);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string address() const;                     // 127.0.0.1:port
    std::string url(const std::string& path) const;  // http://127.0.0.1:port/path
    int connections() const { return connections_.load(); }
    std::vector<std::string> peers() const;                 // the address each connection came from, in order
    bool sleepUnlessStopped(std::chrono::milliseconds ms);  // false when the server is stopping

  private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    bool readRequest_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> peers_;
    std::condition_variable stopped_;
    std::vector<int> clientFds_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders = "");
// A 200 response sent in HTTP chunks: these, or `body` cut every `chunk` bytes.
std::string chunkedResponse(const std::vector<std::string>& chunks);
std::string chunkedResponse(const std::string& body, std::size_t chunk = 8192);
std::uint16_t freePort();  // a port on 127.0.0.1 nobody listens on right now, for a server to take

// A port on 127.0.0.1 that refuses connections for as long as the object lives.
class ClosedPort {
  public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::string address() const;

  private:
    std::uint16_t port_ = 0;
    int fd_;
};

#include "tests/support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace {

// A socket bound to 127.0.0.1:port (0: any), listening unless `listening` is false.
int listenOn(std::uint16_t port, std::uint16_t& bound, bool listening = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    const int one = 1;
    if (listening) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || (listening && ::listen(fd, 1024) != 0)) {
        ::close(fd);
        throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    bound = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

std::uint16_t freePort() {
    std::uint16_t port = 0;
    ::close(listenOn(0, port));
    return port;
}

// Bound without SO_REUSEADDR and never listening: connections are refused, and no other socket, of this process or
// another test's, can take the port meanwhile.
ClosedPort::ClosedPort() : fd_(listenOn(0, port_, false)) {}

ClosedPort::~ClosedPort() {
    ::close(fd_);
}

std::string ClosedPort::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string TestServer::Connection::peer() const {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char text[INET_ADDRSTRLEN] = "";
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&from), &length) == 0)
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return text;
}

std::vector<std::string> TestServer::peers() const {
    std::lock_guard lock(mutex_);
    return peers_;
}

std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

std::string chunkedResponse(const std::vector<std::string>& chunks) {
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    char size[32];
    for (const std::string& c : chunks) {
        std::snprintf(size, sizeof size, "%zx\r\n", c.size());
        out.append(size).append(c).append("\r\n");
    }
    return out + "0\r\n\r\n";
}

std::string chunkedResponse(const std::string& body, std::size_t chunk) {
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < body.size(); at += chunk) chunks.push_back(body.substr(at, chunk));
    return chunkedResponse(chunks);
}

bool TestServer::Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void TestServer::Connection::abort() {
    const linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    // The socket goes now, with a reset and nothing before it; its number stays valid for the server's own close.
    const int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::dup2(spare, fd_);
    ::close(spare);
}

void TestServer::Connection::reset() {
    const linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::shutdown(fd_, SHUT_RDWR);
}

TestServer::TestServer(Handler handler, bool readRequest) : handler_(std::move(handler)), readRequest_(readRequest) {
    listenFd_ = listenOn(0, port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : clientFds_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    acceptor_.join();
    for (auto& w : workers_) w.join();
    ::close(listenFd_);
}

std::string TestServer::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}
std::string TestServer::url(const std::string& path) const {
    return "http://" + address() + path;
}

bool TestServer::sleepUnlessStopped(std::chrono::milliseconds ms) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, ms, [this] { return stopping_.load(); });
}

void TestServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        ++connections_;
        peers_.push_back(Connection(fd, "", *this).peer());
        clientFds_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestServer::serve(int fd) {
    std::string request;
    if (readRequest_) {
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
    }
    Connection c(fd, request, *this);
    handler_(c);
    std::lock_guard lock(mutex_);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
    std::erase(clientFds_, fd);
}

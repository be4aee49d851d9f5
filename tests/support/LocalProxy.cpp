#include "tests/support/LocalProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/TestServer.h"

namespace {

// Never blocks: a server that listens but does not accept yet fills its backlog with our probes, and a blocking
// connect would then wait out the kernel's SYN retries (two minutes).
bool accepts(const std::string& host, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    addr.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        ok = ::poll(&p, 1, 100) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return ok;
}

std::string find(const char* name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/usr/local/sbin/"})
        if (const std::string p = std::string(dir) + name; ::access(p.c_str(), X_OK) == 0) return p;
    throw std::runtime_error(std::string(name) + " is not installed (scripts/dev.sh installs it)");
}

}  // namespace

// The program and its arguments for `kind`, after writing its configuration into dir_.
std::vector<std::string> LocalProxy::configure(Kind kind, const std::string& extra, std::uint16_t upstream) {
    const std::string conf = dir_ + "/proxy.conf";
    const std::string port = std::to_string(port_);
    const std::string from = from_.empty() ? "127.0.0.1" : from_;
    std::ofstream out(conf);
    switch (kind) {
        case Kind::Tinyproxy:
            out << "Port " << port << "\nListen 127.0.0.1\nTimeout 600\nMaxClients 1000\nAllow 127.0.0.1\n"
                << "LogLevel Critical\nDisableViaHeader Yes\nPidFile \"" << dir_ << "/pid\"\n"
                << (from_.empty() ? "" : "Bind " + from_ + "\n") << extra;
            return {find("tinyproxy"), "-d", "-c", conf};
        case Kind::Squid:  // `extra` first: rules of its own go before the rest
            out << extra << "\nhttp_port 127.0.0.1:" << port
                << "\nhttp_access allow all\ncache deny all\ncache_mem 0 MB\n"
                << "access_log none\ncache_log /dev/null\ncache_store_log none\npid_filename " << dir_
                << "/squid.pid\ncoredump_dir " << dir_ << "\nshutdown_lifetime 0 seconds\npinger_enable off\n"
                << (from_.empty() ? "" : "tcp_outgoing_address " + from_ + "\n");
            return {find("squid"), "-N", "-n", squidName(), "-f", conf};
        case Kind::JudgeFront: {
            const std::string judge = extra.substr(0, extra.find('\n'));
            out << "http_port 127.0.0.1:" << port << " accel defaultsite=" << judge << ":" << upstream
                << " no-vhost\ncache_peer " << judge << " parent " << upstream
                << " 0 no-query originserver name=judge\nhttp_access allow all\ncache deny all\ncache_mem 0 MB\n"
                << "visible_hostname judge-front\naccess_log none\ncache_log /dev/null\ncache_store_log none\n"
                << "pid_filename " << dir_ << "/squid.pid\ncoredump_dir " << dir_
                << "\nshutdown_lifetime 0 seconds\npinger_enable off\n"
                << (from_.empty() ? "" : "tcp_outgoing_address " + from_ + "\n")
                << (extra.find('\n') == std::string::npos ? "" : extra.substr(extra.find('\n') + 1));
            return {find("squid"), "-N", "-n", squidName(), "-f", conf};
        }
        case Kind::Microsocks:
            if (!extra.empty())
                return {find("microsocks"),
                        "-i",
                        "127.0.0.1",
                        "-p",
                        port,
                        "-b",
                        from,
                        "-u",
                        extra.substr(0, extra.find(' ')),
                        "-P",
                        extra.substr(extra.find(' ') + 1)};
            return {find("microsocks"), "-i", "127.0.0.1", "-p", port, "-b", from};
        case Kind::Danted:
            out << "logoutput: /dev/null\ninternal: 127.0.0.1 port = " << port << "\nexternal: " << from << "\n"
                << "clientmethod: none\nsocksmethod: none\nuser.privileged: root\nuser.unprivileged: nobody\n"
                << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
            return {find("danted"), "-f", conf, "-p", dir_ + "/danted.pid"};
        case Kind::Stunnel:
            out << "foreground = yes\npid =\n"
                << extra << "\n[proxy]\naccept = 127.0.0.1:" << port << "\nconnect = " << from << ":" << upstream
                << "\n";
            return {find("stunnel4"), conf};
        case Kind::Httpbin:
            if (extra.empty()) return {"/usr/bin/python3", "-m", "httpbin.core", "--host", host_, "--port", port};
            // Over TLS: `extra` is the certificate and the key, a space between.
            return {"/usr/bin/python3",
                    "-c",
                    "import sys; from httpbin import app; app.run(host=sys.argv[1], port=int(sys.argv[2]), "
                    "ssl_context=(sys.argv[3], sys.argv[4]))",
                    host_,
                    port,
                    extra.substr(0, extra.find(' ')),
                    extra.substr(extra.find(' ') + 1)};
        case Kind::EnvJudge: {
            std::filesystem::create_directories(dir_ + "/cgi-bin");
            std::ofstream(dir_ + "/cgi-bin/env") << "#!/bin/sh\necho 'Content-Type: text/plain'\necho\nenv\n";
            ::chmod((dir_ + "/cgi-bin/env").c_str(), 0755);
            // A clean environment: the page shows the request's variables, not the test's.
            return {"/usr/bin/env", "-i", find("busybox"), "httpd", "-f", "-p", host_ + ":" + port, "-h", dir_};
        }
    }
    return {};
}

bool LocalProxy::launch(const std::vector<std::string>& args) {
    std::vector<char*>
        argv;  // made before the fork: a child that allocated could wait for ever on another thread's lock
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);  // squid takes a few seconds
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(host_, port_)) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) break;  // lost the port race: try another
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    removeSegments();
    return false;
}

LocalProxy::LocalProxy(Kind kind, std::string extra, std::uint16_t upstream, std::string from)
    : kind_(kind), from_(std::move(from)), extra_(std::move(extra)), upstream_(upstream) {
    if ((kind == Kind::Httpbin || kind == Kind::EnvJudge) && !from_.empty()) host_ = from_;
    char pattern[] = "/tmp/kiriha-proxy-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0777);  // squid writes as its own user when started by root
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        if (launch(configure(kind, extra_, upstream_))) return;
    }
    throw std::runtime_error("the proxy in " + dir_ + " did not start");
}

void LocalProxy::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    removeSegments();
}

void LocalProxy::restart() {
    kill();
    for (int attempt = 0; attempt < 50; ++attempt) {  // the port may linger a moment
        if (launch(configure(kind_, extra_, upstream_))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the proxy in " + dir_ + " did not start again");
}

// Squids of one service name share their shared-memory segments: one starting beside another (in another test's
// process) would reset the other's. Each gets a name of its own, from its folder's.
std::string LocalProxy::squidName() const {
    return "kiriha" + dir_.substr(dir_.rfind('-') + 1);
}

// A squid killed leaves its segments behind.
void LocalProxy::removeSegments() const {
    if (kind_ != Kind::Squid && kind_ != Kind::JudgeFront) return;
    std::error_code ec;
    for (const char* part : {"metadata", "queues", "readers"})
        std::filesystem::remove("/dev/shm/" + squidName() + "-cf__" + part + ".shm", ec);
}

LocalProxy::~LocalProxy() {
    if (pid_ > 0) {
        // A proxy may wait for its client threads on the way out (tinyproxy, up to its own time-out): a few
        // seconds, then it is killed. Squid, which holds nothing here, would spend two seconds shutting down.
        ::kill(pid_, kind_ == Kind::Squid || kind_ == Kind::JudgeFront ? SIGKILL : SIGTERM);
        bool ended = false;
        for (int i = 0; i < 300 && !(ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    removeSegments();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

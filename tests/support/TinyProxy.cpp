#include "tests/support/TinyProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/TestServer.h"

namespace {

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::string findTinyproxy() {
    for (const char* p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "/usr/local/bin/tinyproxy"})
        if (::access(p, X_OK) == 0) return p;
    throw std::runtime_error("tinyproxy is not installed");
}

}  // namespace

TinyProxy::TinyProxy() {
    const std::string binary = findTinyproxy();
    char pattern[] = "/tmp/kiriha-tinyproxy-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        const std::string conf = dir_ + "/tinyproxy.conf";
        std::ofstream(conf) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 600\nMaxClients 1000\n"
                            << "Allow 127.0.0.1\nLogLevel Critical\nDisableViaHeader Yes\nPidFile \"" << dir_
                            << "/pid\"\n";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(binary.c_str(), binary.c_str(), "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            if (accepts(port_)) return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) break;  // lost the port race: try another
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    throw std::runtime_error("tinyproxy did not start");
}

TinyProxy::~TinyProxy() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

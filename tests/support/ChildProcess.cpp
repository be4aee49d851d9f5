#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

Ran runProgram(const Launch& launch, const std::function<void(pid_t, const std::string& out)>& watch) {
    int in[2], out[2] = {-1, -1}, err[2];
    const bool shared = launch.out == Out::SharedTerminal;
    if (::pipe(in) || (launch.errOnTerminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : ::pipe(err)))
        return {};
    if (launch.out == Out::Terminal || shared ? ::openpty(&out[0], &out[1], nullptr, nullptr, nullptr)
        : launch.out == Out::Full             ? (out[1] = ::open("/dev/full", O_WRONLY)) < 0
        : launch.out == Out::Closed           ? false
                                              : ::pipe(out))
        return {};
    if (launch.out == Out::NonBlocking) ::fcntl(out[1], F_SETFL, ::fcntl(out[1], F_GETFL) | O_NONBLOCK);
    if (launch.out == Out::ReaderGone) ::close(std::exchange(out[0], -1));
    // Everything the child needs is made before the fork: the test's other threads may hold the allocator's lock
    // at that moment, and a child that allocated would wait for it for ever.
    std::vector<char*> argv{const_cast<char*>(launch.binary.c_str())};
    for (const auto& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        const std::string_view name(*e, std::string_view(*e).find('='));
        if (std::none_of(launch.env.begin(), launch.env.end(), [&](const std::string& ours) {
                return ours.compare(0, name.size() + 1, std::string(name) + "=") == 0;
            }))
            envp.push_back(*e);
    }
    for (const auto& e : launch.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0), ::dup2(shared ? out[1] : err[1], 2);
        if (out[1] >= 0) ::dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd > 2) ::close(fd);
        ::close_range(3, ~0U, 0);  // what the parent left open is not the child's
        if (launch.out == Out::Closed) ::close(1);
        if (launch.out == Out::ReaderGone) ::signal(SIGPIPE, SIG_IGN);
        if (launch.files) {
            const rlimit files{launch.files, launch.files};
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]), ::close(err[1]);
    if (out[1] >= 0) ::close(out[1]);
    [[maybe_unused]] const ssize_t w = ::write(in[1], launch.input.data(), launch.input.size());
    ::close(in[1]);
    Ran ran;
    const int neverRead = launch.out == Out::NeverRead ? std::exchange(out[0], -1) : -1;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = out[0] >= 0 ? 2 : 1; open > 0;) {
        ::poll(fds, 2, 20);
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k ? ran.err : ran.out).append(buf, std::size_t(n));
            } else {
                ::close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
        if (watch) watch(pid, ran.out);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (neverRead >= 0) {  // what the program left in the pipe
        ::fcntl(neverRead, F_SETFL, O_NONBLOCK);
        char buf[65536];
        for (ssize_t n; (n = ::read(neverRead, buf, sizeof buf)) > 0;) ran.out.append(buf, std::size_t(n));
        ::close(neverRead);
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto ms = [](const timeval& t) { return double(t.tv_sec) * 1000 + double(t.tv_usec) / 1000; };
    ran.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    return ran;
}

long procField(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key)) return std::stol(line.substr(key.size()));
    return -1;
}

long fdsOf(pid_t pid) {
    long n = 0;
    std::error_code ec;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        ++n;
    return n;
}

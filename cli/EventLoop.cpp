#include "cli/EventLoop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

EventLoop::EventLoop(std::initializer_list<int> also) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    for (const int s : also) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signals_ = UniqueFd::checked(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK), "the signal queue");
    watch(signals_.get(), [this] {
        for (signalfd_siginfo info{}; ::read(signals_.get(), &info, sizeof info) == sizeof info;)
            if (onSignal) onSignal(static_cast<int>(info.ssi_signo));
    });
}

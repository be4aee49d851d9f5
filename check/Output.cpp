#include "check/Output.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lists/ShiftJis.h"

OutputWriter::OutputWriter(int fd, std::function<void(int error)> failed)
    : fd_(fd), failed_(std::move(failed)), thread_([this] { run(); }) {}

OutputWriter::~OutputWriter() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    ready_.notify_all();
    thread_.join();
}

void OutputWriter::write(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (failedOnce_) return;
        if (lines_.empty() && !writing_) progress_ = Clock::now();  // a stall counts from here
        lines_.push_back(std::move(line));
    }
    ready_.notify_one();
}

bool OutputWriter::idle() const {
    std::lock_guard lock(mutex_);
    return lines_.empty() && !writing_;
}

OutputWriter::Clock::time_point OutputWriter::lastProgress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::size_t OutputWriter::unwritten() const {
    std::lock_guard lock(mutex_);
    return lines_.size() + (writing_ ? 1 : 0);
}

void OutputWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return quit_ || !lines_.empty(); });
        if (quit_) return;
        // Whole lines, up to what a pipe takes in one piece.
        std::string batch = std::move(lines_.front());
        lines_.pop_front();
        while (!lines_.empty() && batch.size() + lines_.front().size() <= PIPE_BUF) {
            batch += lines_.front();
            lines_.pop_front();
        }
        writing_ = true;
        lock.unlock();
        int error = 0;
        for (std::string_view rest = batch; !rest.empty();) {
            const ssize_t n = ::write(fd_, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                break;
            }
            rest.remove_prefix(std::size_t(n));
        }
        lock.lock();
        writing_ = false;
        progress_ = Clock::now();
        if (error) {
            failedOnce_ = true;
            lines_.clear();
            lock.unlock();
            failed_(error);
            lock.lock();
        }
    }
}

std::string escapeForTerminal(std::string_view sjis) {
    std::string out;
    out.reserve(sjis.size());
    for (std::size_t i = 0; i < sjis.size();) {
        const std::size_t n = sjis::charLength(sjis.substr(i));
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (n == 2) {
            out.append(sjis.substr(i, 2));
            i += 2;
            continue;
        }
        if (b < 0x20 || b == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else if (b == '\\') {
            out += "\\\\";
        } else {
            out += static_cast<char>(b);
        }
        ++i;
    }
    return out;
}

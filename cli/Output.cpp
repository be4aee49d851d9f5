#include "cli/Output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/Diagnostics.h"
#include "sys/WriteAll.h"

namespace {

constexpr int kRoomLook = 5;  // ms between looks at a pipe a long line waits to go into

bool isPipe(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

OutputWriter::OutputWriter(int fd, std::function<void(int error)> failed, Diagnostics* terminal)
    : fd_(fd), pipe_(isPipe(fd)), failed_(std::move(failed)), terminal_(terminal), thread_([this] { run(); }) {}

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
        if (error_) return;
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
        if (batch.size() > PIPE_BUF && pipe_ && !waitForRoom(batch.size())) return;
        int error = 0;
        if (terminal_)
            terminal_->aroundOutput([&] { error = writeBatch(batch); });
        else
            error = writeBatch(batch);
        lock.lock();
        writing_ = false;
        progress_ = Clock::now();
        if (error) {
            error_ = error;
            lines_.clear();
            lock.unlock();
            failed_(error);
            lock.lock();
        }
    }
}

int OutputWriter::writeBatch(const std::string& batch) {
    return writeAll(fd_, batch);
}

bool OutputWriter::waitForRoom(std::size_t size) {
    int capacity = ::fcntl(fd_, F_GETPIPE_SZ);
    if (capacity > 0 && std::size_t(capacity) < size) capacity = ::fcntl(fd_, F_SETPIPE_SZ, int(size));
    if (capacity <= 0 || std::size_t(capacity) < size) return true;  // no pipe holds it: written as it goes
    for (int queued = 0; ::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0;) {
        if (quit_) return false;
        ::poll(nullptr, 0, kRoomLook);
    }
    return true;
}

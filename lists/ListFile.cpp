#include "lists/ListFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

#include "sys/UniqueFd.h"

namespace {

// Removes the temporary file unless the save got as far as renaming it.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

  private:
    std::string path_;
};

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a save replaces: a symbolic link's target (followed through every link), else the path itself.
std::string resolveTarget(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n <= 0) return target;
        link.resize(static_cast<std::size_t>(n));
        if (link.front() != '/') {
            const auto slash = target.rfind('/');
            if (slash != std::string::npos) link = target.substr(0, slash + 1) + link;
        }
        target = link;
    }
    return target;
}

// Opens without waiting for the other end of a pipe, then blocks as usual.
int openNow(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

[[noreturn]] void fail(ListFileError::Kind kind, const std::string& path, int error = errno) {
    throw ListFileError(kind, path, error);
}

// What is not a regular file is written as it is: renaming would replace the device node or pipe.
void writeToDevice(const std::string& path, const std::string& shown, std::string_view bytes) {
    UniqueFd fd(openNow(path, O_WRONLY | O_TRUNC));
    if (fd.get() < 0) fail(ListFileError::Kind::CannotCreate, shown);
    if (!writeAll(fd.get(), bytes)) fail(ListFileError::Kind::WriteFailed, shown);
}

bool writeAllAt(int fd, std::string_view bytes) {
    for (off_t at = 0; !bytes.empty();) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += n;
    }
    return true;
}

// A regular file written in place, as editors do where replacing it would change what it is (its owner,
// its other links) or where nothing can be made beside it. A failed write puts the old bytes back, which fit
// in the blocks the file already had.
void writeInPlace(const std::string& path, const std::string& shown, std::string_view bytes) {
    UniqueFd fd(openNow(path, O_RDWR));
    std::string old;
    bool keptOld = fd.get() >= 0;
    if (!keptOld) fd.reset(openNow(path, O_WRONLY));  // writable but not readable: nothing to put back
    if (fd.get() < 0) fail(ListFileError::Kind::CannotCreate, shown);
    char buffer[65536];
    for (ssize_t n; keptOld && (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            keptOld = false;
        else
            old.append(buffer, static_cast<std::size_t>(n));
    }
    if (!writeAllAt(fd.get(), bytes) || ::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0 ||
        ::fsync(fd.get()) != 0) {
        const int error = errno;
        if (keptOld && writeAllAt(fd.get(), old) && ::ftruncate(fd.get(), static_cast<off_t>(old.size())) == 0)
            ::fsync(fd.get());
        fail(ListFileError::Kind::WriteFailed, shown, error);
    }
}

std::string readCapped(int fd, const std::string& path, std::size_t sizeHint, std::size_t limit) {
    std::string raw;
    raw.reserve(std::min(sizeHint, limit));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(ListFileError::Kind::CannotOpen, path);
        if (n == 0) break;
        // A file that grows while it is read, or a stream with no end, is refused at the limit.
        if (raw.size() + static_cast<std::size_t>(n) > limit) fail(ListFileError::Kind::TooLarge, path, EFBIG);
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    return raw;
}

}  // namespace

ListFileError::ListFileError(Kind kind, std::string path, int error)
    : kind_(kind), path_(std::move(path)), error_(error) {}

std::string normaliseLoadedText(std::string_view raw) {
    // Sized first: a list of line feeds alone is 64 Mi breaks at the size limit.
    std::size_t size = 0;
    forEachLoadedLine(raw, [&](std::string_view piece, bool broken) { size += piece.size() + (broken ? 2 : 0); });
    std::string text(size, '\0');
    char* out = text.data();
    forEachLoadedLine(raw, [&](std::string_view piece, bool broken) {
        out = std::copy(piece.begin(), piece.end(), out);
        if (broken) *out++ = '\r', *out++ = '\n';
    });
    return text;
}

std::string readRegularListFile(const std::string& path) {
    if (path.empty()) fail(ListFileError::Kind::CannotOpen, path, ENOENT);
    UniqueFd fd(openNow(path, O_RDONLY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) fail(ListFileError::Kind::CannotOpen, path);
    if (!S_ISREG(st.st_mode)) fail(ListFileError::Kind::CannotOpen, path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::size_t>(st.st_size) > kMaxListBytes) fail(ListFileError::Kind::TooLarge, path, EFBIG);
    return normaliseLoadedText(readCapped(fd.get(), path, static_cast<std::size_t>(st.st_size), kMaxListBytes));
}

std::string readStreamBytes(int fd, const std::string& name, std::size_t limit) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail(ListFileError::Kind::CannotOpen, name);
    if (S_ISDIR(st.st_mode)) fail(ListFileError::Kind::CannotOpen, name, EISDIR);
    if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > limit)
        fail(ListFileError::Kind::TooLarge, name, EFBIG);
    return readCapped(fd, name, S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0, limit);
}

std::string readInputBytes(const std::string& path, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail(ListFileError::Kind::CannotOpen, path);
    return readStreamBytes(fd.get(), path, limit);
}

void writeListFile(const std::string& path, std::string_view bytes) {
    if (path.empty()) fail(ListFileError::Kind::CannotCreate, path, ENOENT);
    const std::string target = resolveTarget(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return writeToDevice(target, path, bytes);
    if (exists) {
        // A file the user may not write stays as it is, whatever the folder allows.
        UniqueFd writable(openNow(target, O_WRONLY));
        if (writable.get() < 0) fail(ListFileError::Kind::CannotCreate, path);
        if (st.st_nlink > 1) return writeInPlace(target, path, bytes);  // every link sees the new list
    }
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    // A short name of its own, so that any name the file system takes can be saved.
    std::string pattern = folder + "/.kiriha-XXXXXX";
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        if (exists) return writeInPlace(target, path, bytes);  // a folder we may not write: the file itself
        fail(ListFileError::Kind::CannotCreate, path);
    }
    TempFile temp(pattern);

    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
        // Replacing must not hand the list to another owner; where ours cannot be made theirs, write in place.
        if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
            ::close(fd.release());
            return writeInPlace(target, path, bytes);
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0)
        fail(ListFileError::Kind::WriteFailed, path);
    if (::close(fd.release()) != 0) fail(ListFileError::Kind::WriteFailed, path);
    if (::rename(temp.path().c_str(), target.c_str()) != 0) fail(ListFileError::Kind::CannotCreate, path);
    temp.keep();
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());  // the rename itself survives a crash
}

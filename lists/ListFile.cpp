#include "lists/ListFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

namespace {

// The messages, Shift_JIS.
constexpr std::string_view kFile = "\x83\x74\x83\x40\x83\x43\x83\x8b ";                        // ファイル
constexpr std::string_view kCannotOpen = " \x82\xcd\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";  // は開けません
constexpr std::string_view kCannotCreate =
    " \x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";  // を作成できません
// ストリームへの書き込みエラー
constexpr std::string_view kWriteFailed =
    "\x83\x58\x83\x67\x83\x8a\x81\x5b\x83\x80\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b";
// 文字列の大きさが メモ の制限を越えました
constexpr std::string_view kTooLarge =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x91\xe5\x82\xab\x82\xb3\x82\xaa \x83\x81\x83\x82 \x82\xcc\x90\xa7\x8c\xc0\x82\xf0"
    "\x89\x7a\x82\xa6\x82\xdc\x82\xb5\x82\xbd";

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

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

void writeInPlace(const std::string& path, std::string_view bytes) {
    Fd fd(openNow(path, O_WRONLY | O_TRUNC));
    if (fd.get() < 0) throw ListFileError(ListFileError::Kind::CannotCreate, path);
    if (!writeAll(fd.get(), bytes)) throw ListFileError(ListFileError::Kind::WriteFailed, path);
}

}  // namespace

ListFileError::ListFileError(Kind kind, std::string path)
    : std::runtime_error(compose(kind, path)), kind_(kind), path_(std::move(path)) {}

std::string ListFileError::compose(Kind kind, std::string_view shownPath) {
    switch (kind) {
        case Kind::CannotOpen:
            return std::string(kFile).append(shownPath).append(kCannotOpen);
        case Kind::CannotCreate:
            return std::string(kFile).append(shownPath).append(kCannotCreate);
        case Kind::WriteFailed:
            return std::string(kWriteFailed);
        case Kind::TooLarge:
            break;
    }
    return std::string(kTooLarge);
}

std::string normaliseLoadedText(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    std::string text;
    text.reserve(raw.size() + raw.size() / 16);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r') {
            text += "\r\n";
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    return text;
}

std::string readListFile(const std::string& path) {
    Fd fd(path.empty() ? -1 : openNow(path, O_RDONLY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
        throw ListFileError(ListFileError::Kind::CannotOpen, path);
    if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > kMaxListBytes)
        throw ListFileError(ListFileError::Kind::TooLarge, path);
    std::string raw;
    if (S_ISREG(st.st_mode)) raw.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ListFileError(ListFileError::Kind::CannotOpen, path);
        if (n == 0) break;
        // A file that grows, or one with no end (a device, a pipe), is refused at the limit.
        if (raw.size() + static_cast<std::size_t>(n) > kMaxListBytes)
            throw ListFileError(ListFileError::Kind::TooLarge, path);
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    return normaliseLoadedText(raw);
}

void writeListFile(const std::string& path, std::string_view bytes) {
    if (path.empty()) throw ListFileError(ListFileError::Kind::CannotCreate, path);
    const std::string target = resolveTarget(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be replaced by renaming; it is written as it is.
        writeInPlace(target, bytes);
        return;
    }
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + "/." + name + ".kiriha-XXXXXX";
    Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) throw ListFileError(ListFileError::Kind::CannotCreate, path);
    TempFile temp(pattern);

    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
        // Keeping the owner needs privileges; without them the file is ours, as a new file would be.
        [[maybe_unused]] const int owned = ::fchown(fd.get(), st.st_uid, st.st_gid);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0)
        throw ListFileError(ListFileError::Kind::WriteFailed, path);
    if (::close(fd.release()) != 0) throw ListFileError(ListFileError::Kind::WriteFailed, path);
    if (::rename(temp.path().c_str(), target.c_str()) != 0)
        throw ListFileError(ListFileError::Kind::CannotCreate, path);
    temp.keep();
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());  // the rename itself survives a crash
}

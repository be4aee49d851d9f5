#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

// A failed list-file command. It holds the facts; each front-end words them in its own words.
class ListFileError : public std::exception {
  public:
    enum class Kind { CannotOpen, CannotCreate, WriteFailed, TooLarge };
    ListFileError(Kind kind, std::string path, int error = 0);
    const char* what() const noexcept override { return "list file error"; }  // the facts are below
    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }  // as the file system names it
    int error() const { return error_; }               // the system's reason (errno), 0 where there is none

  private:
    Kind kind_;
    std::string path_;
    int error_;
};

// The list editor's capacity. Larger files are refused before they are read whole; lists of more lines,
// before the editor is touched. The line limit is the largest list the editor loads within 5 s and 1 GiB
// on a 2-core machine, measured with the longest lines the byte limit allows (scripts/bench.sh).
inline constexpr std::size_t kMaxListBytes = 64u << 20;
inline constexpr std::size_t kMaxListLines = 800'000;

// Calls `piece(text, broken)` for each piece of `raw` between line breaks (CR LF, lone CR, lone LF), in order;
// `broken` tells whether a break follows it. The text ends at its first NUL.
template <typename Piece>
void forEachLoadedLine(std::string_view raw, Piece&& piece) {
    raw = raw.substr(0, raw.find('\0'));
    std::size_t start = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r' && raw[i] != '\n') continue;
        piece(raw.substr(start, i - start), true);
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < raw.size()) piece(raw.substr(start), false);
}

// The text as the list holds it: cut at the first NUL, every CR LF, lone CR and lone LF made CR LF.
std::string normaliseLoadedText(std::string_view raw);

// Reads a list file whole (other readers allowed) and normalises it. Only a regular file (or a link to one)
// is read: a pipe or a device could keep the reader waiting for ever.
std::string readRegularListFile(const std::string& path);

// Reads an open stream of any kind but a folder to its end, a pipe included, as it is; past `limit` bytes it is
// refused. `name` is what errors call it.
std::string readStreamBytes(int fd, const std::string& name, std::size_t limit = kMaxListBytes);

// Opens a named input of any kind but a folder (a pipe waits for its writer, as with any command) and reads it
// as readStreamBytes does.
std::string readInputBytes(const std::string& path, std::size_t limit = kMaxListBytes);

// Writes the bytes exactly. A file the user may not write is refused. A regular file is replaced through a
// temporary file in the same folder, flushed to disk and renamed over it with the old file's permissions and
// owner, so a failed save never destroys the old list; a symbolic link's target is what gets replaced.
// Where that would change the file's owner or links, or no temporary file can be made beside it, it is
// written in place, and a failed write puts the old bytes back.
void writeListFile(const std::string& path, std::string_view bytes);

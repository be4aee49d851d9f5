#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

// A failed list-file command. The message is Shift_JIS; the path goes in as the caller shows it.
class ListFileError : public std::runtime_error {
  public:
    enum class Kind { CannotOpen, CannotCreate, WriteFailed, TooLarge };
    ListFileError(Kind kind, std::string path);
    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    std::string message(std::string_view shownPath) const { return compose(kind_, shownPath); }

  private:
    static std::string compose(Kind kind, std::string_view shownPath);  // %s replaced by shownPath

    Kind kind_;
    std::string path_;
};

// The list editor's capacity: larger files are refused before they are read whole.
inline constexpr std::size_t kMaxListBytes = 64u << 20;

// The text as the list holds it: cut at the first NUL, every CR LF, lone CR and lone LF made CR LF.
std::string normaliseLoadedText(std::string_view raw);

// Reads a list file whole (other readers allowed) and normalises it.
std::string readListFile(const std::string& path);

// Writes the bytes exactly. A regular file is replaced through a temporary file in the same folder,
// flushed to disk and renamed over it with the old file's permissions, so a failed save never
// destroys the old list; a symbolic link's target is what gets replaced.
void writeListFile(const std::string& path, std::string_view bytes);

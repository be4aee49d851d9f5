#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Rules of the program's text, which is Shift_JIS (code page 932) bytes everywhere but on screen.
namespace sjis {

inline constexpr std::string_view kLineBreak = "\r\n";

// The first byte of a two-byte character, and what may follow it.
constexpr bool isLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
constexpr bool isTrailByte(unsigned char b) {
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}
// ASCII and half-width katakana.
constexpr bool isSingleByte(unsigned char b) {
    return b < 0x80 || (b >= 0xA1 && b <= 0xDF);
}

// Length of the character at the start of `s` (not empty): 1 or 2, or 0 for a byte that starts none.
std::size_t charLength(std::string_view s);

// A message as the error display shows it: a "." is added when its last character (one or two bytes,
// a lead byte at the very end counting alone) compares byte-wise greater than ".".
std::string withFullStop(std::string message);

}  // namespace sjis

// Result-line prefixes: three full-width characters, six bytes each.
namespace prefixes {
inline constexpr std::string_view kDead = "\x8e\x80\x96\x53\x81\x46";     // 死亡：
inline constexpr std::string_view kWorking = "\x82\x6e\x82\x6a\x81\x46";  // ＯＫ：
inline constexpr std::string_view kAborted = "\x92\x86\x8e\x7e\x81\x46";  // 中止：
inline constexpr std::size_t kWidth = 6;

// The head a line is judged by: its first six bytes (fewer in a shorter line).
constexpr std::string_view headOf(std::string_view line) {
    return line.substr(0, kWidth);
}
}  // namespace prefixes

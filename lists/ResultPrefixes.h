#pragma once

#include <string_view>

// Result-line prefixes, Shift_JIS: three full-width characters, six bytes each.
namespace prefixes {
inline constexpr std::string_view kDead = "\x8e\x80\x96\x53\x81\x46";     // 死亡：
inline constexpr std::string_view kWorking = "\x82\x6e\x82\x6a\x81\x46";  // ＯＫ：
inline constexpr std::string_view kAborted = "\x92\x86\x8e\x7e\x81\x46";  // 中止：
inline constexpr std::size_t kWidth = 6;
}  // namespace prefixes

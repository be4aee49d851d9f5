#pragma once

#include <string_view>

// The run's texts, as Shift_JIS bytes.
namespace texts {
// プロクシ生存チェック中
inline constexpr std::string_view kStatusRunning =
    "\x83\x76\x83\x8d\x83\x4e\x83\x56\x90\xb6\x91\xb6\x83\x60\x83\x46\x83\x62\x83\x4e\x92\x86";
// プロクシ　生存チェック終了！ (after Abort or close)
inline constexpr std::string_view kStatusAborted =
    "\x83\x76\x83\x8d\x83\x4e\x83\x56\x81\x40\x90\xb6\x91\xb6\x83\x60\x83\x46\x83\x62\x83\x4e\x8f\x49\x97\xb9\x81\x49";
// プロクシ　生存チェック　終了！ (last completion)
inline constexpr std::string_view kStatusFinished =
    "\x83\x76\x83\x8d\x83\x4e\x83\x56\x81\x40\x90\xb6\x91\xb6\x83\x60\x83\x46\x83\x62\x83\x4e\x81\x40\x8f\x49\x97\xb9"
    "\x81\x49";

inline constexpr std::string_view kFlagOn = "on";
inline constexpr std::string_view kFlagOff = "off";
}  // namespace texts

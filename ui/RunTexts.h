#pragma once

#include <string>
#include <string_view>

#include "engine/threads/RunView.h"

// How the window shows the run's state, as Shift_JIS bytes. Qt-free, so the run's tests show it the same way.
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

inline std::string flagText(RunFlag flag) {
    return std::string(flag == RunFlag::On ? kFlagOn : kFlagOff);
}
inline std::string statusText(RunStatus status) {
    switch (status) {
        case RunStatus::Running:
            return std::string(kStatusRunning);
        case RunStatus::Aborted:
            return std::string(kStatusAborted);
        case RunStatus::Finished:
            break;
    }
    return std::string(kStatusFinished);
}
}  // namespace texts

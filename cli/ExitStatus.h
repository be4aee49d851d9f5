#pragma once

// What both commands exit with, grep's way: 0 found, 1 none, 2 trouble.
namespace exitstatus {
inline constexpr int kWorking = 0;      // a proxy works (the gate: it ended as asked)
inline constexpr int kNoneWorking = 1;  // none does
inline constexpr int kTrouble = 2;      // bad usage, a list or a page that cannot be read, a write error
inline constexpr int kInterrupted = 130;
}  // namespace exitstatus

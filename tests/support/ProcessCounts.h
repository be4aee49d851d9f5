#pragma once

#include <filesystem>

// Open descriptors and live threads of this process, for leak checks.
inline long countEntries(const char* dir) {
    long n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}
inline long openDescriptors() {
    return countEntries("/proc/self/fd");
}
inline long liveThreads() {
    return countEntries("/proc/self/task");
}

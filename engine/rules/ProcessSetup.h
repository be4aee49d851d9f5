#pragma once

#include <cstddef>

// What a program that runs checks sets up first, before any thread, and keeps until the last check has ended.
// One lives in each program's main and each test main.
// - Each check in flight holds descriptors, so hundreds in flight pass a desktop's soft limit of 1,024 and the
//   checks beyond it would fail as dead proxies: the soft limit is raised to the hard one.
// - Each check frees its buffers as it ends; with the default trim threshold they went back to the system at
//   once and the next check faulted them in again (a fifth of a thread-per-check run's CPU): the C library may
//   now keep a megabyte per arena, and a heap grows by a megabyte at a time.
// - libcurl's global state, torn down after the last check.
class ProcessSetup {
  public:
    ProcessSetup();  // throws std::runtime_error when libcurl cannot be set up
    ~ProcessSetup();
    ProcessSetup(const ProcessSetup&) = delete;
    ProcessSetup& operator=(const ProcessSetup&) = delete;
};

// Descriptors that checks may hold together: the soft limit, less what the process holds now and a margin for
// what it opens besides.
std::size_t descriptorsForChecks();

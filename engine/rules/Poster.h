#pragma once

#include <functional>

// Hands a closure to the thread that owns a run (the window's, or the command's main thread); callable from any
// thread.
using Poster = std::function<void(std::function<void()>)>;

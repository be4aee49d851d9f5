#pragma once

#include <cstddef>
#include <string>

#include "engine/rules/ProbeRules.h"

enum class RunFlag { NotStarted, On, Off };
enum class RunStatus { Running, Aborted, Finished };

// What the check run tells a front-end, and what it needs of it. The run keeps its state itself and reports each
// change as an event; the front-end decides how to show it. Proxy texts are Shift_JIS bytes.
class RunView {
  public:
    virtual ~RunView() = default;

    virtual void flagChanged(RunFlag flag) = 0;        // kusi_th
    virtual void doneChanged(long long done) = 0;      // kusi_now
    virtual void totalChanged(long long total) = 0;    // kusi_max
    virtual void statusChanged(RunStatus status) = 0;  // Label_kusi

    virtual std::size_t proxyCount() const = 0;               // Memo_load
    virtual std::string proxyLine(std::size_t i) const = 0;   // cut to 4096 bytes, empty past the end
    virtual void resultAdded(const CheckResult& result) = 0;  // Memo1
};

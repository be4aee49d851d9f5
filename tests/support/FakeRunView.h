#pragma once

#include <string>

#include "engine/threads/RunView.h"
#include "lists/LineList.h"
#include "ui/RunTexts.h"

// What the window shows of the run, starting from its design texts, and two line lists, without a window.
class FakeRunView : public RunView {
  public:
    std::string flag = "kusi_th";
    std::string now = "\x81\x40\x81\x40";  // two full-width spaces
    std::string max = "kusi_max";
    std::string statusText = "\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40";
    LineList proxies;
    LineList results{"\r\n"};

    void flagChanged(RunFlag f) override { flag = texts::flagText(f); }
    void doneChanged(long long done) override { now = std::to_string(done); }
    void totalChanged(long long total) override { max = std::to_string(total); }
    void statusChanged(RunStatus s) override { statusText = texts::statusText(s); }
    std::size_t proxyCount() const override { return proxies.count(); }
    std::string proxyLine(std::size_t i) const override { return proxies.line(i); }
    void resultAdded(const CheckResult& r) override { results.append(resultLine(r.verdict.outcome, r.proxy)); }
};

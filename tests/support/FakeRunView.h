#pragma once

#include <string>

#include "engine/RunView.h"
#include "lists/LineList.h"

// What the window shows of the run, starting from its design texts, and two line lists, without a window.
class FakeRunView : public RunView {
  public:
    std::string flag = "kusi_th";
    std::string now = "\x81\x40\x81\x40";  // two full-width spaces
    std::string max = "kusi_max";
    std::string statusText = "\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40";
    LineList proxies;
    LineList results{"\r\n"};

    void setRunFlag(const std::string& t) override { flag = t; }
    void setDoneCount(const std::string& t) override { now = t; }
    void setTotal(const std::string& t) override { max = t; }
    void setStatus(const std::string& t) override { statusText = t; }
    std::size_t proxyCount() const override { return proxies.count(); }
    std::string proxyLine(std::size_t i) const override { return proxies.line(i); }
    void appendResult(const std::string& line) override { results.append(line); }
};

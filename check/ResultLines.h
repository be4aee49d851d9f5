#pragma once

#include <string>
#include <string_view>

#include "check/CheckOptions.h"
#include "codec/Cp932Codec.h"
#include "engine/rules/Verdict.h"

// Result lines in the chosen form: the window's bytes and CR LF, the text the window shows in UTF-8 (on a terminal,
// control bytes escaped), or a JSON object; each with its line break.
class ResultLines {
  public:
    // `countries`: a country database is in use, so each line says where.
    ResultLines(const CheckOptions& o, bool countries);
    std::string format(std::string_view proxy, const Verdict& v) const;
    bool wanted(ProbeOutcome outcome) const { return !workingOnly_ || outcome == ProbeOutcome::Working; }

  private:
    std::string object(std::string_view proxy, const Verdict& v) const;  // one JSON object, without line break

    bool cp932_;
    bool json_;
    bool why_;
    bool workingOnly_;
    bool terminal_;
    bool judged_;
    bool countries_;
    Cp932Codec codec_;
};

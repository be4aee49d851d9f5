#include "check/ResultLines.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/Diagnostics.h"
#include "engine/rules/ProbeRules.h"
#include "lists/ShiftJis.h"

namespace {

std::string_view resultWord(ProbeOutcome outcome) {
    switch (outcome) {
        case ProbeOutcome::Working:
            return "working";
        case ProbeOutcome::Aborted:
            return "aborted";
        case ProbeOutcome::Dead:
            break;
    }
    return "dead";
}

}  // namespace

ResultLines::ResultLines(const CheckOptions& o, bool countries)
    : cp932_(o.cp932),
      json_(o.json),
      why_(o.why),
      workingOnly_(o.workingOnly),
      terminal_(::isatty(1)),
      judged_(o.run.judge.has_value()),
      countries_(countries) {}

std::string ResultLines::format(std::string_view proxy, const Verdict& v) const {
    if (json_) return object(proxy, v) + "\n";
    // -w leaves what Tidy leaves of a working line: the proxy text alone.
    std::string sjis = workingOnly_ ? std::string(proxy) : resultLine(v.outcome, proxy);
    if (terminal_) sjis = escapeForTerminal(sjis);
    std::string out = cp932_ ? sjis : codec_.decode(sjis).toStdString();
    // With a database in use, where the proxy is: beside it, but for the bare list -w writes.
    if (countries_ && (!workingOnly_ || why_)) out += "\t" + v.country.value_or("-");
    if (why_) out += "\t" + std::string(reasonName(v.reason)) + " " + std::to_string(v.totalMs) + " ms";
    if (why_ && v.sighting)
        out += "\t" + std::string(anonymityName(v.sighting->anonymity)) + " " +
               (v.sighting->exit.empty() ? "-" : v.sighting->exit);
    out += cp932_ ? sjis::kLineBreak : "\n";
    return out;
}

std::string ResultLines::object(std::string_view proxy, const Verdict& v) const {
    using Json = nlohmann::ordered_json;
    const auto orNull = [](const std::optional<long>& n) { return n ? Json(*n) : Json(); };
    // Every text as the window shows it, bytes that are not Shift_JIS as U+F7xx: always UTF-8.
    const auto text = [&](std::string_view sjis) {
        if (std::all_of(sjis.begin(), sjis.end(), [](unsigned char c) { return c < 0x80; })) return std::string(sjis);
        return codec_.decode(std::string(sjis)).toStdString();
    };
    Json line{
        {"proxy", text(proxy)},
        {"result", resultWord(v.outcome)},
        {"reason", reasonName(v.reason)},
        {"scheme", text(v.scheme)},
        {"http_status", orNull(v.httpStatus)},
        {"connect_ms", orNull(v.connectMs)},
        {"first_byte_ms", orNull(v.firstByteMs)},
        {"total_ms", v.totalMs},
        {"bytes", v.bytes},
    };
    const auto orNullText = [&](const std::string& t) { return t.empty() ? Json() : Json(text(t)); };
    if (judged_) {
        Json leaks = Json::array();
        for (const std::string& name : v.sighting ? v.sighting->leaks : std::vector<std::string>{})
            leaks.push_back(text(name));
        line["exit"] = orNullText(v.sighting ? v.sighting->exit : "");
        line["anonymity"] = v.sighting ? Json(anonymityName(v.sighting->anonymity)) : Json();
        line["leaks"] = std::move(leaks);
    }
    if (countries_) {
        line["proxy_ip"] = orNullText(v.proxyIp);
        line["country"] = orNullText(v.country.value_or(""));
    }
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);  // whatever a field holds, no line ends the run
}

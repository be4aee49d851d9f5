#include "gate/UserName.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "cli/Messages.h"

namespace {

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

bool isAlpha2(std::string_view s) {
    return s.size() == 2 && std::all_of(s.begin(), s.end(), [](char c) { return std::isalpha((unsigned char)c); });
}

bool isSessionId(std::string_view s) {
    return !s.empty() && s.size() <= 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum((unsigned char)c) || c == '_'; });
}

// Printable as it came, within bounds: a hostile name never reaches the log or the terminal raw.
std::string quoted(std::string_view s) {
    std::string out = "'";
    for (const char c : s.substr(0, 80)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out + (s.size() > 80 ? "...'" : "'");
}

}  // namespace

UserName parseUserName(std::string_view user, const Abilities& can) {
    UserName u;
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t dash = user.find('-', at);
        parts.push_back(user.substr(at, dash == std::string_view::npos ? dash : dash - at));
        if (dash == std::string_view::npos) break;
        at = dash + 1;
    }
    u.name = std::string(parts[0]);
    const std::string shown = quoted(user);
    // Said in English for Proxy-Status and the log, and in the gate's language for a person.
    const auto fail = [&](const char* why, const std::string& a = "", const std::string& b = "") {
        u.detail = format("user name %s: ", shown.c_str()) + format(why, a.c_str(), b.c_str());
        u.error = format(_("user name %s: %s"), shown.c_str(), format(_(why), a.c_str(), b.c_str()).c_str());
        return u;
    };
    if (u.name.empty()) return fail(N_("no NAME before its parameters"));
    std::string sessionId;
    bool timed = false, anonymity = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string key = lowered(parts[i]);
        if (key == "strict") {
            if (u.want.strict) return fail(N_("%s given twice"), "strict");
            u.want.strict = true;
            continue;
        }
        if (key != "country" && key != "anonymity" && key != "session" && key != "sesstime")
            return fail(N_("unknown key %s (%s)"), quoted(parts[i]), std::string(kUserNameForm));
        if (i + 1 >= parts.size()) return fail(N_("%s without a value"), key);
        const std::string_view value = parts[++i];
        if (key == "country") {
            if (!u.want.countries.empty()) return fail(N_("%s given twice"), "country");
            for (std::size_t at = 0;;) {
                const std::size_t comma = value.find(',', at);
                const std::string_view code = value.substr(at, comma == std::string_view::npos ? comma : comma - at);
                if (!isAlpha2(code)) return fail(N_("country %s: ISO 3166 codes, comma-separated"), quoted(value));
                std::string upper(code);
                for (char& c : upper) c = char(std::toupper((unsigned char)c));
                if (std::find(u.want.countries.begin(), u.want.countries.end(), upper) == u.want.countries.end())
                    u.want.countries.push_back(upper);
                if (comma == std::string_view::npos) break;
                at = comma + 1;
            }
        } else if (key == "anonymity") {
            if (anonymity) return fail(N_("%s given twice"), "anonymity");
            anonymity = true;
            const std::string v = lowered(value);
            if (v != "elite" && v != "anonymous") return fail(N_("anonymity %s: elite or anonymous"), quoted(value));
            u.want.least = v == "elite" ? Anonymity::Elite : Anonymity::Anonymous;
        } else if (key == "session") {
            if (!sessionId.empty()) return fail(N_("%s given twice"), "session");
            if (!isSessionId(value)) return fail(N_("session %s: 1 to 64 letters, digits or _"), quoted(value));
            sessionId = std::string(value);
        } else {
            if (timed) return fail(N_("%s given twice"), "sesstime");
            timed = true;
            int minutes = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), minutes);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size() || minutes < 1 ||
                minutes > kMostSessionMinutes)
                return fail(N_("sesstime %s: minutes, from 1 to 1440"), quoted(value));
            u.want.sessionTime = std::chrono::minutes(minutes);
        }
    }
    if ((timed || u.want.strict) && sessionId.empty())
        return fail(N_("%s without a session"), timed ? "sesstime" : "strict");
    if (!u.want.countries.empty() && !can.countries)
        return fail(N_("a country is asked, but the gate has no country database (--geoip)"));
    if (u.want.least && !can.anonymity) return fail(N_("an anonymity is asked, but the gate has no judge (--judge)"));
    if (!sessionId.empty()) u.want.session = u.name + "-" + sessionId;
    return u;
}

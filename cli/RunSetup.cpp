#include "cli/RunSetup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "cli/Diagnostics.h"
#include "cli/Messages.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/ListFile.h"
#include "lists/ProxyLines.h"
#include "sys/UniqueFd.h"

RunFiles openRunFiles(const RunOptions& o, Diagnostics& err) {
    if (!o.caFile.empty())
        if (const std::string why = unreadableFile(o.caFile); !why.empty())
            return {nullptr, format(_("--cacert: %s: %s"), shownName(o.caFile).c_str(), why.c_str())};
    CountryChoice countries = chooseCountryDb(o.geoip, !o.countries.empty());
    for (const CountryDbProblem& p : countries.skipped) err.say(skippedText(p));
    if (!countries.error) return {std::move(countries.db), ""};
    if (o.geoip) return {nullptr, format(_("--geoip: %s"), countryDbText(*countries.error).c_str())};
    return {nullptr, countryDbText(*countries.error), true};
}

CommandRunConfig runConfig(const RunOptions& o, std::shared_ptr<const CountryDb> countries, DriverFactory drivers,
                           int loops) {
    CommandRunConfig config;
    if (o.url) config.target.url = *o.url;
    if (o.expect) config.target.marker = *o.expect;
    if (o.judge) {
        config.target.url = *o.judge;
        config.target.page = Target::Page::Echo;
        config.target.least = o.anonymity.value_or(Anonymity::Transparent);
    }
    if (o.unaltered) config.target.page = Target::Page::Unaltered;
    config.target.countries = std::move(countries);
    config.target.keepCountries = o.countries;
    config.target.bypassLocal = false;  // every check goes through its proxy, whatever the page's host
    config.curl.caFile = o.caFile;
    CheckLimits& t = config.curl.limits;
    if (o.timeout) t.total = std::min<std::chrono::milliseconds>(t.total, *o.timeout);
    if (o.connectTimeout) t.connect = *o.connectTimeout;
    if (o.idleTimeout) t.idle = *o.idleTimeout;
    t.keepWithinTotal();
    config.rate = o.rate;
    config.loops = loops;
    config.makeDriver = std::move(drivers);
    config.descriptors = descriptorsForChecks();
    config.retries = o.retries;
    config.detect = o.detect;
    config.watchFarEnd = o.preflight;  // only a page that answered directly can be asked again
    return config;
}

bool readLists(const std::vector<std::string>& given, ProxyLines& proxies, Diagnostics& err) {
    std::size_t left = kMaxListBytes;
    const std::vector<std::string> files = given.empty() ? std::vector<std::string>{"-"} : given;
    for (const std::string& file : files) {
        const std::string name = file == "-" ? _("(standard input)") : shownName(file);
        try {
            const std::string raw = file == "-" ? readStreamBytes(0, file, left) : readInputBytes(file, left);
            left -= raw.size();
            if (const auto nul = proxies.add(raw))
                err.say(format(_("%s: text after a NUL byte at offset %zu ignored"), name.c_str(), std::size_t(*nul)));
        } catch (const ListFileError& e) {
            if (e.kind() == ListFileError::Kind::TooLarge)
                err.say(format(_("%s: larger than %zu MiB, the most the lists may hold together"), name.c_str(),
                               std::size_t(kMaxListBytes >> 20)));
            else
                err.say(format(_("%s: %s"), name.c_str(), e.error() ? std::strerror(e.error()) : _("cannot be read")));
            return false;
        }
    }
    return true;
}

std::string unreadableFile(const std::string& file) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    return {};
}

std::string shownName(const std::string& name) {
    return escapeForTerminal(name);
}

std::string starvedMessage() {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    return format(_("the descriptor limit (ulimit -n) of %llu leaves no descriptor for a check; raise it"),
                  static_cast<unsigned long long>(files.rlim_cur));
}

std::string farEndWhy(const Verdict& v) {
    std::string why(reasonName(v.reason));
    if (v.httpStatus && !pageAnswered(v.httpStatus)) why = format(_("answered %ld"), *v.httpStatus);
    return why;
}

std::string countryDbText(const CountryDbProblem& p) {
    using Kind = CountryDbProblem::Kind;
    const std::string file = shownName(p.file);
    switch (p.kind) {
        case Kind::Unreadable:
            return format(_("%s: %s"), file.c_str(), std::strerror(p.error));
        case Kind::NotMaxMind:
            // TRANSLATORS: the file, then libmaxminddb's own reason, in English.
            return format(_("%s: not a MaxMind DB database (%s)"), file.c_str(), shownName(p.detail).c_str());
        case Kind::Empty:
            // TRANSLATORS: the file, then the database's type as it names itself ("GeoLite2-ASN").
            return format(_("%s: a %s database that holds no record; a country database is wanted"), file.c_str(),
                          shownName(p.detail).c_str());
        case Kind::NoCountry:
            return format(_("%s: a %s database, whose records carry no country; a country database is wanted "
                            "(GeoLite2-Country, GeoIP2-Country, DB-IP's country lite)"),
                          file.c_str(), shownName(p.detail).c_str());
        case Kind::NoneFound:
            break;
    }
    return _("--country needs a country database (--geoip=FILE); none is in the usual places");
}

std::string skippedText(const CountryDbProblem& p) {
    return format(_("%s: skipped"), countryDbText(p).c_str());
}

std::string preflightProblem(const PreflightResult& r) {
    switch (r.problem) {
        case PreflightResult::Problem::Answered:
            return format(_("answered %ld when fetched directly"), r.status);
        case PreflightResult::Problem::Failed:
            // TRANSLATORS: a reason, such as "refused" or "connect-timeout", as the result lines name it.
            return format(_("%s when fetched directly"), std::string(reasonName(r.reason)).c_str());
        case PreflightResult::Problem::NotAJudge:
            return format(_("not a judge page (%s)"), _(std::string(echoFaultText(r.fault)).c_str()));
        case PreflightResult::Problem::Judge:
            return _(r.judge.c_str());
        case PreflightResult::Problem::None:
            break;
    }
    return "";
}

namespace {

// What the judge's rules and the URLs' say, as the catalogue holds it.
[[maybe_unused]] constexpr const char* kEngineWords[] = {
    N_("longer than a judge writes"),
    N_("JSON nested deeper than a judge writes"),
    N_("JSON that cannot be read"),
    N_("no REMOTE_ADDR and no origin"),
    N_("it does not echo the query it was asked with"),
    N_("the judge does not show the Via header it was sent, so every proxy would read elite; httpbin shows it when "
       "asked: /get?show_env=1"),
    N_("the judge names no address it saw the request come from"),
    N_("only http:// and https:// pages"),
    N_("malformed"),
};

}  // namespace

double secondsLeft(double elapsed, long long done, long long total) {
    if (done <= 0) return -1;
    return elapsed / double(done) * double(total - done);  // in doubles: counts times nanoseconds pass 64 bits
}

#include "cli/RunSetup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "cli/Diagnostics.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/ListFile.h"
#include "lists/ProxyLines.h"
#include "sys/UniqueFd.h"

RunFiles openRunFiles(const RunOptions& o, Diagnostics& err) {
    if (!o.caFile.empty())
        if (const std::string why = unreadableFile(o.caFile); !why.empty())
            return {nullptr, "--cacert: " + shownName(o.caFile) + ": " + why};
    CountryChoice countries = chooseCountryDb(o.geoip, !o.countries.empty());
    for (const std::string& note : countries.notes) err.say(shownName(note));
    if (countries.error.empty()) return {std::move(countries.db), ""};
    if (o.geoip) return {nullptr, "--geoip: " + shownName(countries.error)};
    return {nullptr, countries.error, true};
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
        const std::string name = file == "-" ? "(standard input)" : shownName(file);
        try {
            const std::string raw = file == "-" ? readStreamBytes(0, file, left) : readInputBytes(file, left);
            left -= raw.size();
            if (const auto nul = proxies.add(raw))
                err.say(name + ": text after a NUL byte at offset " + std::to_string(*nul) + " ignored");
        } catch (const ListFileError& e) {
            if (e.kind() == ListFileError::Kind::TooLarge)
                err.say(name + ": larger than " + std::to_string(kMaxListBytes >> 20) +
                        " MiB, the most the lists may hold together");
            else
                err.say(name + ": " + (e.error() ? std::strerror(e.error()) : "cannot be read"));
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
    return "the descriptor limit (ulimit -n) of " + std::to_string(files.rlim_cur) +
           " leaves no descriptor for a check; raise it";
}

std::string farEndWhy(const Verdict& v) {
    std::string why(reasonName(v.reason));
    if (v.httpStatus && !pageAnswered(v.httpStatus)) why = "answered " + std::to_string(*v.httpStatus);
    return why;
}

double secondsLeft(double elapsed, long long done, long long total) {
    if (done <= 0) return -1;
    return elapsed / double(done) * double(total - done);  // in doubles: counts times nanoseconds pass 64 bits
}

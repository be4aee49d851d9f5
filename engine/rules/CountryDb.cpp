#include "engine/rules/CountryDb.h"

#include <maxminddb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace {

// How much of the search tree is walked, and how many records are looked at, to tell what the records carry.
constexpr std::size_t kNodesWalked = 100'000;
constexpr int kRecordsLooked = 64;

bool carriesCountry(MMDB_entry_s entry) {
    MMDB_entry_data_s code{};
    return MMDB_get_value(&entry, &code, "country", "iso_code", nullptr) == MMDB_SUCCESS && code.has_data &&
           code.type == MMDB_DATA_TYPE_UTF8_STRING;
}

// Whether the records met first in the tree carry a country; nothing when it holds no record at all.
std::optional<bool> recordsCarryCountry(MMDB_s& db) {
    std::vector<std::uint32_t> stack{0};
    std::unordered_set<std::uint32_t> seen;
    int looked = 0;
    while (!stack.empty() && seen.size() < kNodesWalked && looked < kRecordsLooked) {
        const std::uint32_t node = stack.back();
        stack.pop_back();
        MMDB_search_node_s n{};
        if (!seen.insert(node).second || MMDB_read_node(&db, node, &n) != MMDB_SUCCESS) continue;
        for (const auto& [type, next, entry] :
             {std::tuple{n.left_record_type, n.left_record, n.left_record_entry},
              std::tuple{n.right_record_type, n.right_record, n.right_record_entry}}) {
            if (type == MMDB_RECORD_TYPE_SEARCH_NODE) stack.push_back(std::uint32_t(next));
            if (type != MMDB_RECORD_TYPE_DATA) continue;
            if (carriesCountry(entry)) return true;
            ++looked;
        }
    }
    if (looked == 0) return std::nullopt;
    return false;
}

}  // namespace

struct CountryDb::Handle {
    MMDB_s db{};
    bool open = false;
    ~Handle() {
        if (open) MMDB_close(&db);
    }
};

CountryDbError::CountryDbError(CountryDbProblem p) : std::runtime_error(englishText(p)), problem_(std::move(p)) {}

std::string englishText(const CountryDbProblem& p) {
    switch (p.kind) {
        case CountryDbProblem::Kind::Unreadable:
            return p.file + ": " + std::strerror(p.error);
        case CountryDbProblem::Kind::NotMaxMind:
            return p.file + ": not a MaxMind DB database (" + p.detail + ")";
        case CountryDbProblem::Kind::Empty:
            return p.file + ": a " + p.detail + " database that holds no record; a country database is wanted";
        case CountryDbProblem::Kind::NoCountry:
            return p.file + ": a " + p.detail +
                   " database, whose records carry no country; a country database is wanted (GeoLite2-Country, "
                   "GeoIP2-Country, DB-IP's country lite)";
        case CountryDbProblem::Kind::NoneFound:
            break;
    }
    return "--country needs a country database (--geoip=FILE); none is in the usual places";
}

CountryDb::CountryDb(const std::string& file) : handle_(std::make_unique<Handle>()), file_(file) {
    using Kind = CountryDbProblem::Kind;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || ::access(file.c_str(), R_OK) != 0)
        throw CountryDbError({Kind::Unreadable, file, "", errno});
    if (S_ISDIR(st.st_mode)) throw CountryDbError({Kind::Unreadable, file, "", EISDIR});
    if (const int status = MMDB_open(file.c_str(), MMDB_MODE_MMAP, &handle_->db); status != MMDB_SUCCESS)
        throw CountryDbError({Kind::NotMaxMind, file, MMDB_strerror(status)});
    handle_->open = true;
    const std::string type = handle_->db.metadata.database_type ? handle_->db.metadata.database_type : "MaxMind DB";
    const std::optional<bool> countries = recordsCarryCountry(handle_->db);
    if (!countries) throw CountryDbError({Kind::Empty, file, type});
    if (!*countries) throw CountryDbError({Kind::NoCountry, file, type});
}

CountryDb::~CountryDb() = default;

std::optional<std::string> CountryDb::country(const std::string& address) const {
    int gaiError = 0, status = 0;
    MMDB_lookup_result_s found = MMDB_lookup_string(&handle_->db, address.c_str(), &gaiError, &status);
    if (gaiError != 0 || status != MMDB_SUCCESS || !found.found_entry) return std::nullopt;
    MMDB_entry_data_s code{};
    if (MMDB_get_value(&found.entry, &code, "country", "iso_code", nullptr) != MMDB_SUCCESS || !code.has_data ||
        code.type != MMDB_DATA_TYPE_UTF8_STRING)
        return std::nullopt;
    return std::string(code.utf8_string, code.data_size);
}

std::vector<std::string> usualCountryDbs() {
    return {"/var/lib/GeoIP/GeoLite2-Country.mmdb", "/var/lib/GeoIP/GeoIP2-Country.mmdb",
            "/usr/share/GeoIP/GeoLite2-Country.mmdb", "/usr/share/GeoIP/dbip-country-lite.mmdb"};
}

CountryChoice chooseCountryDb(const std::optional<std::string>& named, bool wanted) {
    CountryChoice choice;
    try {
        if (named) choice.db = std::make_shared<const CountryDb>(*named);
    } catch (const CountryDbError& e) {
        choice.error = e.problem();
    }
    if (named || !wanted) return choice;
    for (const std::string& file : usualCountryDbs()) {
        if (::access(file.c_str(), F_OK) != 0) continue;
        try {
            choice.db = std::make_shared<const CountryDb>(file);
            return choice;
        } catch (const CountryDbError& e) {
            choice.skipped.push_back(e.problem());
        }
    }
    choice.error = CountryDbProblem{};
    return choice;
}

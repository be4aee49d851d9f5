#include "engine/rules/CountryDb.h"

#include <maxminddb.h>

#include <stdexcept>

struct CountryDb::Handle {
    MMDB_s db{};
};

CountryDb::CountryDb(const std::string& file) : handle_(std::make_unique<Handle>()), file_(file) {
    if (const int status = MMDB_open(file.c_str(), MMDB_MODE_MMAP, &handle_->db); status != MMDB_SUCCESS)
        throw std::runtime_error(file + ": " + MMDB_strerror(status));
}

CountryDb::~CountryDb() {
    MMDB_close(&handle_->db);
}

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

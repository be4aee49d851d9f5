#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A MaxMind DB country database (GeoLite2-Country, DB-IP's, or one of the user's own), open for lookups from any
// thread.
class CountryDb {
  public:
    // Throws std::runtime_error, naming the file and why, when it cannot be opened or its records carry no country
    // (an ASN database).
    explicit CountryDb(const std::string& file);
    ~CountryDb();
    CountryDb(const CountryDb&) = delete;
    CountryDb& operator=(const CountryDb&) = delete;

    // The ISO 3166 code of the country `address` is in, or nothing when the database has none for it.
    std::optional<std::string> country(const std::string& address) const;
    const std::string& file() const { return file_; }

  private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string file_;
};

// Why a file is no country database, as facts a front-end words: the file, and what was found of it.
struct CountryDbProblem {
    enum class Kind {
        Unreadable,  // `error`: the errno of opening it (EISDIR for a folder)
        NotMaxMind,  // `detail`: libmaxminddb's reason
        Empty,       // `detail`: its database type
        NoCountry,   // likewise
        NoneFound,   // no file: none in the usual places
    } kind = Kind::NoneFound;
    std::string file;
    std::string detail;
    int error = 0;
};
// What CountryDb throws: what() says it in English, problem() as facts.
class CountryDbError : public std::runtime_error {
  public:
    explicit CountryDbError(CountryDbProblem p);
    const CountryDbProblem& problem() const { return problem_; }

  private:
    CountryDbProblem problem_;
};
std::string englishText(const CountryDbProblem& p);

// Where Debian's geoipupdate and users put such a database, in the order they are looked for.
std::vector<std::string> usualCountryDbs();

// The database a run uses: the one named (`named`), else, where countries are asked for (`wanted`), the first of the
// usual places that opens; else none. A database found but unusable is skipped with a note, never the end of a run;
// one named that cannot be used, or none found where one is wanted, is `error`.
struct CountryChoice {
    std::shared_ptr<const CountryDb> db;
    std::vector<CountryDbProblem> skipped;  // found, and skipped
    std::optional<CountryDbProblem> error;
};
CountryChoice chooseCountryDb(const std::optional<std::string>& named, bool wanted);

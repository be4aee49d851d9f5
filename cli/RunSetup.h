#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/RunOptions.h"
#include "engine/loops/CommandRun.h"
#include "engine/loops/Preflight.h"

class CountryDb;
struct CountryDbProblem;
class Diagnostics;
class ListFileError;
class ProxyLines;

// What both commands make of the checks' options before a run: the run's settings, its lists, and the words for
// what cannot be read.

// The run the options ask for, on `drivers`, its page and text, judge, countries, limits and pace. The descriptors
// are counted now: make the loops first.
CommandRunConfig runConfig(const RunOptions& o, std::shared_ptr<const CountryDb> countries, DriverFactory drivers,
                           int loops);

// Every list in `files` ("-" is standard input), read whole into `proxies`; false, after saying why, on the first
// that cannot be read. The lists together stay within one list's limit.
bool readLists(const std::vector<std::string>& files, ProxyLines& proxies, Diagnostics& err);

// Why a file of certificates cannot be used, or nothing.
std::string unreadableFile(const std::string& file);

// The files the checks' options name, made ready before anything else: the certificates readable and the country
// database chosen, what was found and skipped said on `err`. On failure `error` says why, `usage` when it is bad
// usage (to be said with the hint) rather than a file that cannot be used.
struct RunFiles {
    std::shared_ptr<const CountryDb> countries;
    std::string error;
    bool usage = false;
};
RunFiles openRunFiles(const RunOptions& o, Diagnostics& err);

// A file name as standard error shows it: control bytes escaped, so a name cannot drive the terminal.
std::string shownName(const std::string& name);

// What a process whose descriptor limit leaves none for a check is told.
std::string starvedMessage();

// Why the page stopped answering, as the run's messages say it: the reason, and the status where one came.
std::string farEndWhy(const Verdict& v);

// Why a file is no country database, as standard error says it; and that one found was skipped for it.
std::string countryDbText(const CountryDbProblem& p);
std::string skippedText(const CountryDbProblem& p);

// Why the preflight refused the page, as a message says it ("answered 503 when fetched directly").
std::string preflightProblem(const PreflightResult& r);

// The time a run has left, in seconds, from the time it took so far and how much of it is done; -1 before anything
// is done.
double secondsLeft(double elapsed, long long done, long long total);

#pragma once

#include <curl/curl.h>

#include <string>

#include "engine/CurlHttp.h"

// The options of every check's transfer, whichever driver runs it: the page, the agent, the proxy text as written
// (no proxy at all when `direct`: a local host under the "<local>" bypass), redirects, protocols, certificates and
// the connect and total limits. The idle limit is the driver's to keep.
void setCheckOptions(CURL* h, const CurlSettings& settings, const std::string& agent, const std::string& proxy,
                     bool direct, const std::string& url);

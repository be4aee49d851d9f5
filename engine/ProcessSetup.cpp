#include "engine/CurlGlobal.h"

#include <curl/curl.h>

#include <stdexcept>
#include <string>

CurlGlobal::CurlGlobal() {
    if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
        throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(rc));
}

CurlGlobal::~CurlGlobal() {
    curl_global_cleanup();
}

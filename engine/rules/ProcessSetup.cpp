#include "engine/rules/ProcessSetup.h"

#include <curl/curl.h>
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdint>
#include <stdexcept>
#include <string>

ProcessSetup::ProcessSetup() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    mallopt(M_TRIM_THRESHOLD, 1 << 20);
    mallopt(M_TOP_PAD, 1 << 20);  // likewise a heap grows by a megabyte, not by the page: no system call per check
    if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
        throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(rc));
}

ProcessSetup::~ProcessSetup() {
    curl_global_cleanup();
}

std::size_t descriptorsForChecks() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    std::size_t open = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(dir)) open += e->d_name[0] != '.';
        ::closedir(dir);
    }
    const std::size_t reserve = open + 32;
    return files.rlim_cur > reserve ? files.rlim_cur - reserve : 1;
}

#pragma once

// libcurl's global state: set up once, before any check thread starts, and torn down after the last one
// has ended. One instance lives in each program's main.
class CurlGlobal {
  public:
    CurlGlobal();  // throws std::runtime_error when libcurl cannot be set up
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/threads/Probe.h"
#include "tests/support/Marker.h"

// Proxies by name: "ok…" serves the marker, "dead…" cannot be opened, "hold…" waits in its first read
// until a stop request (then ends without the marker) or until the test releases it (then with it).
class FakeHttp : public HttpLayer {
  public:
    std::unique_ptr<HttpSession> openSession(std::string_view, const std::string& proxy, std::string_view,
                                             const StopRequest& stop) const override {
        {
            std::lock_guard lock(mutex_);
            opened_.push_back(proxy);
        }
        if (proxy.starts_with("dead")) return nullptr;
        return std::make_unique<Session>(*this, proxy, stop);
    }

    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }
    std::vector<std::string> opened() const {  // sorted: threads open in any order
        std::lock_guard lock(mutex_);
        std::vector<std::string> sorted = opened_;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

  private:
    struct Request : HttpRequest {
        Request(const FakeHttp& h, std::string p, const StopRequest& s) : http(h), proxy(std::move(p)), stop(s) {}
        bool read(char* buffer, std::size_t size, std::size_t& got) override {
            got = 0;
            if (served) return true;
            served = true;
            std::string body = "<p>" + kTestMarker + "</p>";
            if (proxy.starts_with("hold")) {
                std::unique_lock lock(http.mutex_);
                while (!http.released_ && !stop.stopRequested())
                    http.changed_.wait_for(lock, std::chrono::milliseconds(5));
                if (!http.released_) body = "<p>no</p>";
            }
            got = std::min(size, body.size());
            std::memcpy(buffer, body.data(), got);
            return true;
        }
        const FakeHttp& http;
        std::string proxy;
        const StopRequest& stop;
        bool served = false;
    };
    struct Session : HttpSession {
        Session(const FakeHttp& h, std::string p, const StopRequest& s) : http(h), proxy(std::move(p)), stop(s) {}
        std::unique_ptr<HttpRequest> openUrl(const std::string&) override {
            return std::make_unique<Request>(http, proxy, stop);
        }
        const FakeHttp& http;
        std::string proxy;
        const StopRequest& stop;
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::vector<std::string> opened_;
    bool released_ = false;
};

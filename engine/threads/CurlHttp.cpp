#include "engine/threads/CurlHttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/rules/CurlOptions.h"
#include "engine/rules/Urls.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSliceMs = 200;  // how often a waiting transfer looks at the abandon flag and its clocks
// Bytes held for the reader, in chunks, before the transfer pauses: pausing makes libcurl copy what it
// holds back, so a few chunks of slack keep a fast page from pausing at every chunk.
constexpr std::size_t kHeldChunks = 4;

// One transfer on its own multi handle. The body is pulled: the write callback keeps a few chunks at most
// and pauses the transfer beyond that, so a slow reader never makes the page pile up in memory.
class CurlRequest final : public HttpRequest {
  public:
    CurlRequest(EasyHandle easy, const CheckLimits& limits, const StopRequest& stop)
        : easy_(std::move(easy)), limits_(limits), stop_(stop) {}

    ~CurlRequest() override {
        // An abandoned check must not wait for a name lookup still running; the program is ending.
        if (stop_.abandoned()) curl_easy_setopt(easy_.get(), CURLOPT_QUICK_EXIT, 1L);
        if (multi_) curl_multi_remove_handle(multi_.get(), easy_.get());
    }

    bool start() {
        multi_.reset(curl_multi_init());
        if (!multi_) return false;
        CURL* h = easy_.get();
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlRequest::onBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlRequest::onHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
        clock_ = CheckClock();
        if (curl_multi_add_handle(multi_.get(), h) != CURLM_OK) return false;
        // Open returns once the final response's headers are in (or the body began, or it all ended).
        drive([this] { return headersFinal_ || available() > 0; });
        return headersFinal_ || available() > 0 || (done_ && result_ == CURLE_OK);
    }

    bool read(char* buffer, std::size_t size, std::size_t& got) override {
        got = 0;
        if (available() == 0 && !done_) {
            // Nothing held: let the transfer write straight into the reader's buffer.
            direct_ = {buffer, size, 0};
            if (paused_) {
                paused_ = false;
                curl_easy_pause(easy_.get(), CURLPAUSE_CONT);  // may hand over held bytes right here
            }
            drive([this] { return direct_.used > 0 || available() > 0; });
            got = direct_.used;
            direct_ = {};
            if (got > 0) return true;
        }
        if (available() == 0) return done_ && result_ == CURLE_OK;
        got = std::min(size, available());
        std::memcpy(buffer, pending_.data() + taken_, got);
        taken_ += got;
        if (taken_ == pending_.size()) {
            pending_.clear();
            taken_ = 0;
        }
        return true;
    }

    void describe(Verdict& v) const override {
        if (stop_.abandoned() || limit_) {
            v.reason = limit_ ? *limit_ : Reason::Stopped;
            readTimers(easy_.get(), v);
        } else {
            readTransfer(easy_.get(), done_ ? result_ : CURLE_OK, clock_.any, v);  // whole, or the read rules ended it
        }
    }

  private:
    std::size_t available() const { return pending_.size() - taken_; }

    template <typename Ready>
    void drive(Ready ready) {
        while (!done_) {
            int running = 0;
            if (const CURLMcode rc = curl_multi_perform(multi_.get(), &running); rc != CURLM_OK) {
                fail(fromMulti(rc));
                return;
            }
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &queued)) {
                if (msg->msg == CURLMSG_DONE) {
                    done_ = true;
                    result_ = msg->data.result;
                }
            }
            if (ready() || done_) return;
            const auto now = Clock::now();
            if (stop_.abandoned()) return fail(CURLE_ABORTED_BY_CALLBACK);
            if ((limit_ = limitPassed(clock_, limits_, now))) return fail(CURLE_OPERATION_TIMEDOUT);
            if (const CURLMcode rc = curl_multi_poll(multi_.get(), nullptr, 0, kPollSliceMs, nullptr); rc != CURLM_OK)
                return fail(fromMulti(rc));
        }
    }

    void fail(CURLcode why) {
        done_ = true;
        result_ = why;
    }

    static CURLcode fromMulti(CURLMcode rc) {
        return rc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    }

    static std::size_t onBody(char* data, std::size_t, std::size_t n, void* self) {
        auto* r = static_cast<CurlRequest*>(self);
        if (r->available() >= kHeldChunks * kChunkSize) {
            r->paused_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        r->clock_.received(Clock::now());
        Direct& d = r->direct_;
        const std::size_t direct = r->available() == 0 ? std::min(n, d.size - d.used) : 0;
        if (direct > 0) std::memcpy(d.buffer + d.used, data, direct);
        d.used += direct;
        r->pending_.append(data + direct, n - direct);
        return n;
    }

    // Tells when the headers of the response the body will come from are complete.
    static std::size_t onHeader(char* data, std::size_t, std::size_t n, void* self) {
        auto* r = static_cast<CurlRequest*>(self);
        r->clock_.received(Clock::now());
        long status = 0;
        if (endsFinalHeaders(r->easy_.get(), std::string_view(data, n), status)) r->headersFinal_ = true;
        return n;
    }

    EasyHandle easy_;
    MultiHandle multi_;
    CheckLimits limits_;
    const StopRequest& stop_;
    struct Direct {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::size_t used = 0;
    };
    Direct direct_;        // the reader's buffer while a read waits for bytes
    std::string pending_;  // bytes that came beyond it, in order after them
    std::size_t taken_ = 0;
    bool paused_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    bool headersFinal_ = false;
    std::optional<Reason> limit_;  // the limit it was given up for
    CheckClock clock_;
};

class CurlSession final : public HttpSession {
  public:
    CurlSession(std::string agent, std::string proxy, bool bypassLocal, const CheckSettings& settings,
                const StopRequest& stop)
        : agent_(std::move(agent)),
          proxy_(std::move(proxy)),
          bypassLocal_(bypassLocal),
          settings_(settings),
          stop_(stop) {}

    std::unique_ptr<HttpRequest> openUrl(const std::string& url) override {
        EasyHandle easy(curl_easy_init());
        if (!easy) return nullptr;
        setCheckOptions(easy.get(), settings_, agent_, proxy_, bypassLocal_ && isLocalHost(url), url);
        auto request = std::make_unique<CurlRequest>(std::move(easy), settings_.limits, stop_);
        if (!request->start()) {
            failure_ = Verdict{};
            request->describe(failure_);
            return nullptr;
        }
        return request;
    }

    void describeFailure(Verdict& v) const override {
        v.reason = failure_.reason;
        v.httpStatus = failure_.httpStatus;
        v.connectMs = failure_.connectMs;
        v.firstByteMs = failure_.firstByteMs;
    }

  private:
    std::string agent_;
    std::string proxy_;
    bool bypassLocal_;
    const CheckSettings& settings_;
    const StopRequest& stop_;
    Verdict failure_;
};

}  // namespace

std::unique_ptr<HttpSession> CurlHttpLayer::openSession(std::string_view agent, const std::string& proxy,
                                                        std::string_view bypass, const StopRequest& stop) const {
    if (reachesUnixSocket(proxy)) return nullptr;
    return std::make_unique<CurlSession>(std::string(agent), proxy, bypass == kProxyBypass, settings_, stop);
}

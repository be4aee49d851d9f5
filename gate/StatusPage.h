#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/loops/CommandLoop.h"
#include "sys/UniqueFd.h"

class ProxyPool;
struct Gate;

// The gate's state for people and for Prometheus: GET / (each proxy, as JSON), GET /metrics (the text format) and
// GET /connections (the open ones, with the proxy and exit each has); and POST /feedback, a client's word that a site
// refuses the proxy one of its connections went through. Served on a loop of its own, so that a page of a hundred
// thousand proxies never stalls a tunnel. Its clients are bounded in number, time and descriptors (taken from the
// gate's budget); off loopback they give the gate's credentials.
class StatusPage {
  public:
    StatusPage(CommandLoop& loop, UniqueFd listening, ProxyPool& pool, Gate& gate, bool credentials);
    ~StatusPage();
    StatusPage(const StatusPage&) = delete;
    StatusPage& operator=(const StatusPage&) = delete;
    void close();  // on the loop's thread

  private:
    struct Client;
    struct Listener;
    void accept();
    void pause();
    bool evictSilent();  // the client silent longest goes: false when none is
    void tick();
    std::string answer(const std::string& request);
    std::string feedback(const std::string& body);

    CommandLoop& loop_;
    ProxyPool& pool_;
    Gate& gate_;
    bool credentials_;  // clients must give the gate's
    std::unique_ptr<Listener> listener_;
    std::unordered_map<Client*, std::unique_ptr<Client>> clients_;
    bool paused_ = false;
    bool closed_ = false;
};

// What the page shows, written from the pool and the counts.
std::string statusJson(const ProxyPool& pool, const Gate& gate);
std::string statusMetrics(const ProxyPool& pool, const Gate& gate);
std::string connectionsJson(const ProxyPool& pool, const Gate& gate);

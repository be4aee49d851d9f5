#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/loops/CommandLoop.h"
#include "sys/UniqueFd.h"

class ProxyPool;
struct Gate;

// The gate's state for people and for Prometheus: GET / (each proxy, as JSON) and GET /metrics (the text format),
// served on one loop's thread, a request per connection.
class StatusPage {
  public:
    StatusPage(CommandLoop& loop, UniqueFd listening, const ProxyPool& pool, const Gate& gate);
    ~StatusPage();
    StatusPage(const StatusPage&) = delete;
    StatusPage& operator=(const StatusPage&) = delete;
    void close();  // on the loop's thread

  private:
    struct Client;
    struct Listener;
    void accept();
    std::string answer(const std::string& request) const;

    CommandLoop& loop_;
    const ProxyPool& pool_;
    const Gate& gate_;
    std::unique_ptr<Listener> listener_;
    std::unordered_map<Client*, std::unique_ptr<Client>> clients_;
};

// What the page shows, written from the pool and the counts.
std::string statusJson(const ProxyPool& pool, const Gate& gate);
std::string statusMetrics(const ProxyPool& pool, const Gate& gate);

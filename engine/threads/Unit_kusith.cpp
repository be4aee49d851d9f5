#include "engine/threads/Unit_kusith.h"

kusi_check_thread::kusi_check_thread(int slot, std::string proxy, std::shared_ptr<const HttpLayer> http, Target target,
                                     Poster post, Completion completion)
    : slot_(slot),
      proxy_(std::move(proxy)),
      http_(std::move(http)),
      target_(std::move(target)),
      post_(std::move(post)),
      completion_(std::move(completion)) {}

kusi_check_thread::~kusi_check_thread() {
    if (thread_.joinable()) {
        stop_->abandon();
        thread_.join();
    }
}

void kusi_check_thread::Resume(const Spawner& spawn) {
    thread_ = spawn([this] { Execute(); });
}

void kusi_check_thread::Execute() {
    CheckResult result{proxy_, runProbe(*http_, target_, proxy_, *stop_)};
    if (stop_->abandoned()) return;  // the program is ending: no completion
    post_([completion = completion_, result = std::move(result)]() mutable { completion(std::move(result)); });
}

Spawner defaultSpawner() {
    return [](std::function<void()> body) { return std::thread(std::move(body)); };
}

#include "gate/Gate.h"

bool DescriptorBudget::take(long n) {
    for (long left = free_.load(); left >= n;)
        if (free_.compare_exchange_weak(left, left - n)) return true;
    return false;
}

std::shared_ptr<const Access> Gate::access() const {
    const std::lock_guard lock(accessMutex_);
    return access_;
}

void Gate::setAccess(std::shared_ptr<const Access> a) {
    const std::lock_guard lock(accessMutex_);
    access_ = std::move(a);
}

std::string_view unmatchedName(Unmatched u) {
    switch (u) {
        case Unmatched::Country:
            return "country";
        case Unmatched::Anonymity:
            return "anonymity";
        case Unmatched::CountryAndAnonymity:
            return "country_anonymity";
        case Unmatched::StrictSession:
            break;
    }
    return "strict_session";
}

void ConnectionBook::set(const std::string& client, Open open) {
    const std::lock_guard lock(mutex_);
    open_.insert_or_assign(client, std::move(open));
}

void ConnectionBook::drop(const std::string& client) {
    const std::lock_guard lock(mutex_);
    open_.erase(client);
}

std::optional<ConnectionBook::Open> ConnectionBook::find(const std::string& client) const {
    const std::lock_guard lock(mutex_);
    const auto it = open_.find(client);
    return it == open_.end() ? std::nullopt : std::optional<Open>(it->second);
}

std::vector<std::pair<std::string, ConnectionBook::Open>> ConnectionBook::all() const {
    const std::lock_guard lock(mutex_);
    return {open_.begin(), open_.end()};
}

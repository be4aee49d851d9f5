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

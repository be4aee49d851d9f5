#include "engine/loops/WorkingSet.h"

#include <algorithm>

namespace {

std::size_t lowBit(std::size_t n) {
    return n & (~n + 1);
}

}  // namespace

std::size_t WorkingSet::add(std::uint64_t id, double weight) {
    ids_.push_back(id);
    weights_.push_back(0);
    tree_.push_back(0);
    // The new last node of the tree covers the slots below it: its sum is theirs, and then its own weight's.
    const std::size_t node = ids_.size();
    double covered = 0;
    for (std::size_t child = node - 1; child > node - lowBit(node); child -= lowBit(child)) covered += tree_[child - 1];
    tree_[node - 1] = covered;
    setWeight(node - 1, weight);
    return node - 1;
}

std::optional<std::uint64_t> WorkingSet::remove(std::size_t slot) {
    const std::size_t last = ids_.size() - 1;
    std::optional<std::uint64_t> moved;
    setWeight(slot, 0);
    if (slot != last) {  // the last one takes its place
        const double w = weights_[last];
        setWeight(last, 0);
        ids_[slot] = ids_[last];
        setWeight(slot, w);
        moved = ids_[slot];
    }
    ids_.pop_back();
    weights_.pop_back();
    tree_.pop_back();
    return moved;
}

void WorkingSet::setWeight(std::size_t slot, double w) {
    const double delta = w - weights_[slot];
    weights_[slot] = w;
    for (std::size_t node = slot + 1; node <= tree_.size(); node += lowBit(node)) tree_[node - 1] += delta;
    // Sums kept by differences drift: made anew from the weights now and then, which costs as much as the changes did.
    if (++changes_ < 4 * tree_.size() + 64) return;
    changes_ = 0;
    tree_ = weights_;
    for (std::size_t node = 1; node <= tree_.size(); ++node)
        if (const std::size_t parent = node + lowBit(node); parent <= tree_.size())
            tree_[parent - 1] += tree_[node - 1];
}

double WorkingSet::total() const {
    double sum = 0;
    for (std::size_t node = tree_.size(); node; node -= lowBit(node)) sum += tree_[node - 1];
    return sum;
}

std::size_t WorkingSet::draw(double r) const {
    // The first slot whose running sum passes r, by the tree's halves.
    std::size_t at = 0;
    std::size_t step = 1;
    while (step * 2 <= tree_.size()) step *= 2;
    for (; step; step /= 2)
        if (at + step <= tree_.size() && tree_[at + step - 1] <= r) {
            at += step;
            r -= tree_[at - 1];
        }
    return std::min(at, ids_.size() - 1);
}

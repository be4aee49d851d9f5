#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Proxies that may serve, in no order, each with a weight: one is drawn by its place, or by weight, in a time that
// grows with the logarithm of their number. A proxy knows its place (its slot); taking one out moves the last into
// its place, and says which.
class WorkingSet {
  public:
    std::size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    std::uint64_t operator[](std::size_t slot) const { return ids_[slot]; }
    const std::vector<std::uint64_t>& ids() const { return ids_; }

    std::size_t add(std::uint64_t id, double weight);  // its slot
    // The one in `slot` out: the id that took its place, if one did.
    std::optional<std::uint64_t> remove(std::size_t slot);
    void setWeight(std::size_t slot, double weight);
    double total() const;
    std::size_t draw(double r) const;  // the slot where the running sum of weights passes r (0 <= r < total)

  private:
    std::vector<std::uint64_t> ids_;
    std::vector<double> tree_;  // the weights as a Fenwick tree (1-based)
    std::vector<double> weights_;
    std::size_t changes_ = 0;  // to the tree since it was made anew
};

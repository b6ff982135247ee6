// A binary heap bounded to k entries that keeps the worst kept entry on top, and the one rule
// (offer) that decides whether a new entry enters it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quillmere/knn.h"

namespace quillmere {

// Distance order: every NaN above every number, NaNs equal, -0.0 == +0.0.
inline int compare_distance(float a, float b) noexcept {
  const bool an = std::isnan(a), bn = std::isnan(b);
  if (an || bn) return static_cast<int>(an) - static_cast<int>(bn);
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Neighbor order: distance, then position.
inline bool neighbor_less(const Neighbor& a, const Neighbor& b) noexcept {
  const int c = compare_distance(a.distance, b.distance);
  return c < 0 || (c == 0 && a.position < b.position);
}

// l2: a max-heap (top = greatest); dot: a min-heap (top = least).
template <Metric M>
class TopKHeap {
 public:
  TopKHeap() = default;
  // `k` bounds the entries; `reserve` is the room taken up front.
  TopKHeap(std::uint64_t k, std::size_t reserve) : k_(k) { v_.reserve(reserve); }

  std::size_t size() const noexcept { return v_.size(); }
  bool empty() const noexcept { return v_.empty(); }
  const Neighbor& top() const { return v_.front(); }
  // Storage order (slot 0 is the top; children of i at 2i+1 and 2i+2).
  const std::vector<Neighbor>& storage() const noexcept { return v_; }
  std::vector<Neighbor> release() && { return std::move(v_); }

  // True when `a` sits above `b` in this heap.
  static bool higher(const Neighbor& a, const Neighbor& b) noexcept {
    if constexpr (M == Metric::l2) return neighbor_less(b, a);
    else return neighbor_less(a, b);
  }

  void push(const Neighbor& e) {
    v_.push_back(e);
    sift_up(v_.size() - 1);
  }

  void replace_top(const Neighbor& e) noexcept {
    v_[0] = e;
    if (v_.size() > 1) sift_down(0);
  }

  std::optional<Neighbor> pop() {
    if (v_.empty()) return std::nullopt;
    Neighbor top = v_.front();
    Neighbor last = v_.back();
    v_.pop_back();
    if (!v_.empty()) {
      // Down to the bottom along the higher children, then up to its place.
      const std::size_t n = v_.size();
      std::size_t hole = 0;
      for (std::size_t child = 1; child < n; child = 2 * hole + 1) {
        if (child + 1 < n && higher(v_[child + 1], v_[child])) ++child;
        v_[hole] = v_[child];
        hole = child;
      }
      v_[hole] = last;
      sift_up(hole);
    }
    return top;
  }

  // Whether `e` enters, and how (see the class comment).
  void offer(const Neighbor& e) {
    const std::size_t len = v_.size();
    if (len < k_) {
      push(e);
      return;
    }
    if (len == 0) return;  // k == 0
    const Neighbor& t = v_.front();
    if constexpr (M == Metric::l2) {
      // Equal distances never replace, and a NaN never replaces anything.
      if (!std::isnan(e.distance) && (e.distance < t.distance || std::isnan(t.distance))) replace_top(e);
    } else {
      if (neighbor_less(t, e)) replace_top(e);
    }
  }

  // Offers every entry of `other` in its storage order, then frees it.
  void merge(TopKHeap&& other) {
    for (const Neighbor& e : other.v_) offer(e);
    std::vector<Neighbor>().swap(other.v_);
  }

 private:
  void sift_up(std::size_t i) noexcept {
    const Neighbor e = v_[i];
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!higher(e, v_[parent])) break;
      v_[i] = v_[parent];
      i = parent;
    }
    v_[i] = e;
  }

  void sift_down(std::size_t i) noexcept {
    const Neighbor e = v_[i];
    const std::size_t n = v_.size();
    for (std::size_t child = 2 * i + 1; child < n; child = 2 * i + 1) {
      if (child + 1 < n && higher(v_[child + 1], v_[child])) ++child;
      if (!higher(v_[child], e)) break;
      v_[i] = v_[child];
      i = child;
    }
    v_[i] = e;
  }

  std::uint64_t k_ = 0;
  std::vector<Neighbor> v_;
};

}  // namespace quillmere

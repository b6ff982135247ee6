#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/topk_heap.h"

using quillmere::Metric;
using quillmere::Neighbor;
using quillmere::TopKHeap;

namespace {

template <Metric M>
std::vector<std::uint64_t> positions_of(TopKHeap<M> h) {
  std::vector<std::uint64_t> out;
  while (auto top = h.pop()) out.push_back(top->position);
  return out;
}

TEST(TopKHeap, L2EqualDistanceNeverReplaces) {
  TopKHeap<Metric::l2> h(2, 3);
  for (std::uint64_t i = 0; i < 6; ++i) h.offer({1.0f, i});
  EXPECT_EQ(positions_of(h), (std::vector<std::uint64_t>{1, 0}));  // worst first
  h.offer({0.5f, 9});
  EXPECT_EQ(positions_of(h), (std::vector<std::uint64_t>{0, 9}));
}

TEST(TopKHeap, L2NanIsReplacedFirstAndNeverReplaces) {
  TopKHeap<Metric::l2> h(2, 3);
  h.offer({NAN, 0});
  h.offer({3.0f, 1});
  EXPECT_TRUE(std::isnan(h.top().distance));
  h.offer({NAN, 2});  // full: a NaN never enters
  h.offer({5.0f, 3});  // replaces the NaN on top
  EXPECT_EQ(positions_of(h), (std::vector<std::uint64_t>{3, 1}));
}

TEST(TopKHeap, DotKeepsGreatestInNeighborOrder) {
  TopKHeap<Metric::dot> h(2, 3);
  h.offer({1.0f, 0});
  h.offer({1.0f, 1});
  h.offer({1.0f, 5});  // equal score, greater position: replaces position 0
  h.offer({0.5f, 7});
  h.offer({NAN, 2});  // NaN is always kept
  EXPECT_EQ(positions_of(h), (std::vector<std::uint64_t>{5, 2}));
}

TEST(TopKHeap, ZeroBoundKeepsNothing) {
  TopKHeap<Metric::dot> h(0, 1);
  h.offer({NAN, 0});
  h.offer({1.0f, 1});
  EXPECT_TRUE(h.empty());
}

// Pops come out worst first, in a random sequence of pushes, replacements and merges.
template <Metric M>
void random_rounds() {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> val(0, 20);  // coarse values: many ties
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t k = 1 + rng() % 12;
    TopKHeap<M> a(k, k + 1), b(k, k + 1);
    std::vector<Neighbor> all;
    for (std::uint64_t i = 0; i < 40; ++i) {
      Neighbor nb{val(rng) == 0 ? NAN : static_cast<float>(val(rng)), i};
      all.push_back(nb);
      (i < 20 ? a : b).offer(nb);
    }
    a.merge(std::move(b));
    EXPECT_TRUE(b.empty());
    std::vector<Neighbor> popped;
    while (auto t = a.pop()) popped.push_back(*t);
    ASSERT_EQ(popped.size(), k);
    for (std::size_t i = 1; i < popped.size(); ++i)
      EXPECT_TRUE(TopKHeap<M>::higher(popped[i - 1], popped[i])) << "round " << round;
    // Kept entries are never beaten by a dropped one (ties aside for l2).
    for (const Neighbor& x : all) {
      const bool kept = std::any_of(popped.begin(), popped.end(), [&](const Neighbor& p) { return p.position == x.position; });
      if (kept) continue;
      const Neighbor& worst = popped.front();
      if constexpr (M == Metric::dot) EXPECT_TRUE(quillmere::neighbor_less(x, worst));
      else EXPECT_GE(quillmere::compare_distance(x.distance, worst.distance), 0);
    }
  }
}

TEST(TopKHeap, RandomOffersAndMergesL2) { random_rounds<Metric::l2>(); }
TEST(TopKHeap, RandomOffersAndMergesDot) { random_rounds<Metric::dot>(); }

}  // namespace

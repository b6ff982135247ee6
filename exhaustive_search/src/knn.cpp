#include "quillmere/knn.h"

#include <algorithm>
#include <exception>
#include <new>

#include <tbb/parallel_invoke.h>
#include <tbb/task_arena.h>

#include "quillmere/kernels.h"
#include "quillmere/pool.h"
#include "quillmere/topk_heap.h"

namespace quillmere {
namespace {

// Leaf sizes in values read. Below the minimum, scheduling a piece costs more than scanning
// it; above the maximum, a piece whose thread is preempted holds back the whole search, so it
// is split even when the budget is spent. (768-value records: 256 to 1024 candidates.)
constexpr std::size_t kMinLeafValues = 256 * 768;
constexpr std::size_t kMaxLeafValues = 1024 * 768;
constexpr std::size_t kMinLeafCandidates = 256;

using Kernel = void (*)(const float*, const float*, std::uint64_t, double*);

template <Metric M>
struct Fold {
  std::span<const std::span<const float>> candidates;
  const float* query;
  std::uint64_t dim;
  std::uint64_t k;
  Kernel kernel;
  std::size_t threads = 1;
  std::size_t min_leaf = kMinLeafCandidates;  // candidates
  std::size_t max_leaf = 4 * kMinLeafCandidates;

  void size_leaves() {
    const std::size_t values = std::max<std::size_t>(dim, 1);
    min_leaf = std::max(kMinLeafCandidates, kMinLeafValues / values);
    max_leaf = std::max(2 * min_leaf, kMaxLeafValues / values);
  }

  // Folds positions [begin, end) in increasing order into one heap.
  TopKHeap<M> leaf(std::size_t begin, std::size_t end) const {
    const std::uint64_t len = end - begin;
    TopKHeap<M> heap(k, static_cast<std::size_t>(std::min(k, len)) + 1);
    for (std::size_t i = begin; i < end; ++i) {
      double d = 0.0;
      kernel(query, candidates[i].data(), dim, &d);
      heap.offer(Neighbor{static_cast<float>(d), i});
    }
    return heap;
  }

  // Halves a piece while the split budget allows: a piece that was stolen renews the budget
  // to at least the thread count, one that stays on its creator's thread halves it. Leaf
  // sizes only bound this; any split gives the same answer up to equal l2 distances at the cut.
  TopKHeap<M> run(std::size_t begin, std::size_t end, std::size_t budget, int creator) const {
    const int me = tbb::this_task_arena::current_thread_index();
    const std::size_t len = end - begin;
    bool split = false;
    if (len / 2 >= min_leaf) {
      if (me != creator) {
        budget = std::max(budget / 2, threads);
        split = true;
      } else if (budget > 0) {
        budget /= 2;
        split = true;
      } else if (len > max_leaf) {
        split = true;
      }
    }
    if (!split) return leaf(begin, end);
    const std::size_t mid = begin + len / 2;
    TopKHeap<M> left, right;
    tbb::parallel_invoke([&] { left = run(begin, mid, budget, me); }, [&] { right = run(mid, end, budget, me); });
    left.merge(std::move(right));
    return left;
  }
};

template <Metric M>
std::vector<Neighbor> search(std::span<const std::span<const float>> candidates, std::span<const float> query,
                             std::uint64_t k, Kernel kernel) {
  Fold<M> fold{candidates, query.data(), query.size(), k, kernel};
  fold.size_leaves();
  const std::size_t n = candidates.size();
  TopKHeap<M> result;
  if (pool::parallel_available()) {
    pool::arena().execute([&] {
      const int threads = tbb::this_task_arena::max_concurrency();
      fold.threads = threads > 0 ? static_cast<std::size_t>(threads) : 1;
      result = fold.run(0, n, fold.threads, tbb::this_task_arena::current_thread_index());
    });
  } else {
    result = fold.leaf(0, n);
  }
  // Popping yields worst first; the answer is best first.
  std::vector<Neighbor> out;
  out.reserve(result.size());
  while (auto top = result.pop()) out.push_back(*top);
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace

Result<std::vector<Neighbor>> knn_search(std::span<const std::span<const float>> candidates,
                                         std::span<const float> query, std::uint64_t k, Metric metric) {
  // A kernel reads both vectors for the query's length, so a shorter candidate would be read
  // past its end and a longer one compared in part: refuse the search instead.
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].size() != query.size())
      return fail(Error::invalid_value("knn_search: the query has " + std::to_string(query.size()) +
                                       " values but candidate " + std::to_string(i) + " has " +
                                       std::to_string(candidates[i].size())));
  }
  if (k == 0 || candidates.empty()) return std::vector<Neighbor>{};
  try {
    if (metric == Metric::l2) return search<Metric::l2>(candidates, query, k, &kernels::l2sq_f32);
    return search<Metric::dot>(candidates, query, k, &kernels::dot_f32);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the heaps of an exact search"));
  } catch (...) {
    // The pool hands a task's exception to the caller whatever its type.
    return fail(Error::internal("knn_search: a worker failed with an unknown exception"));
  }
}

}  // namespace quillmere

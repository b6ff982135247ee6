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
  std::span<const RecordBlock> blocks;
  std::vector<std::uint64_t> starts;  // position of each block's first record, then the total
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

  // Folds positions [begin, end) in increasing order into `heap`, block by block.
  void fold(TopKHeap<M>& heap, std::uint64_t begin, std::uint64_t end) const {
    auto b = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
    for (std::uint64_t i = begin; i < end; ++b) {
      const std::uint64_t stop = std::min(end, starts[b + 1]);
      const float* record = blocks[b].values + (i - starts[b]) * dim;
      for (; i < stop; ++i, record += dim) {
        double d = 0.0;
        kernel(query, record, dim, &d);
        heap.offer(Neighbor{static_cast<float>(d), i});
      }
    }
  }

  // Halves a piece while the split budget allows: a piece that was stolen renews the budget
  // to at least the thread count, one that stays on its creator's thread halves it. Leaf
  // sizes only bound this; any split gives the same answer up to equal l2 distances at the cut.
  TopKHeap<M> run(std::uint64_t begin, std::uint64_t end, std::size_t budget, int creator) const {
    const int me = tbb::this_task_arena::current_thread_index();
    const std::uint64_t len = end - begin;
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
    if (!split) {
      TopKHeap<M> heap(k, static_cast<std::size_t>(std::min(k, len)) + 1);
      fold(heap, begin, end);
      return heap;
    }
    const std::uint64_t mid = begin + len / 2;
    TopKHeap<M> left, right;
    tbb::parallel_invoke([&] { left = run(begin, mid, budget, me); }, [&] { right = run(mid, end, budget, me); });
    left.merge(std::move(right));
    return left;
  }
};

template <Metric M>
std::vector<Neighbor> search(std::span<const RecordBlock> blocks, std::span<const float> query, std::uint64_t k,
                             Kernel kernel) {
  Fold<M> fold{blocks, {}, query.data(), query.size(), k, kernel};
  fold.starts.reserve(blocks.size() + 1);
  std::uint64_t n = 0;
  for (const RecordBlock& b : blocks) {
    fold.starts.push_back(n);
    n += b.count;
  }
  fold.starts.push_back(n);
  fold.size_leaves();
  TopKHeap<M> result;
  if (pool::parallel_available()) {
    pool::arena().execute([&] {
      const int threads = tbb::this_task_arena::max_concurrency();
      fold.threads = threads > 0 ? static_cast<std::size_t>(threads) : 1;
      result = fold.run(0, n, fold.threads, tbb::this_task_arena::current_thread_index());
    });
  } else {
    result = TopKHeap<M>(k, static_cast<std::size_t>(std::min(k, n)) + 1);
    fold.fold(result, 0, n);
  }
  // Popping yields worst first; the answer is best first.
  std::vector<Neighbor> out;
  out.reserve(result.size());
  while (auto top = result.pop()) out.push_back(*top);
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace

Result<std::vector<Neighbor>> knn_search(std::span<const RecordBlock> blocks, std::span<const float> query,
                                         std::uint64_t k, Metric metric) {
  // A kernel reads both vectors for the query's length, so a block of shorter records would
  // be read past its end and longer ones compared in part: refuse the search instead.
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].count > 0 && blocks[i].dim != query.size())
      return fail(Error::invalid_value("knn_search: the query has " + std::to_string(query.size()) +
                                       " values but the records of block " + std::to_string(i) + " have " +
                                       std::to_string(blocks[i].dim)));
    n += blocks[i].count;
  }
  if (k == 0 || n == 0) return std::vector<Neighbor>{};
  try {
    if (metric == Metric::l2) return search<Metric::l2>(blocks, query, k, &kernels::l2sq_f32);
    return search<Metric::dot>(blocks, query, k, &kernels::dot_f32);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the heaps of an exact search"));
  } catch (...) {
    // The pool hands a task's exception to the caller whatever its type.
    return fail(Error::internal("knn_search: a worker failed with an unknown exception"));
  }
}

}  // namespace quillmere

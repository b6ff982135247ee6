#include "quillmere/knn.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <new>

#include "quillmere/kernels.h"
#include "quillmere/pool.h"
#include "quillmere/topk_heap.h"

namespace quillmere {
namespace {

// Work is handed out in pieces of about this many bytes of records, in increasing position
// order, to whichever thread asks next (pool::share): a worker that is preempted holds back
// at most one piece, and one that wakes late takes none. (Measured on 6,300 visited records of 784 values under a load of 5 to
// 11 on 8 cores: pieces of 64 to 256 records were 3 to 13 percent faster than halving into
// 16 leaves of 390, and alike among themselves.)
constexpr std::uint64_t kPieceBytes = 256 * 1024;
// Below two pieces the calling thread scans alone: waking the pool costs more than it saves
// (measured with warm workers: 64 records of 784 values in 9 us alone, 12 us shared; 256
// records in 33 us alone, 24 us shared; with workers asleep sharing costs 25 to 30 us more).
constexpr std::uint64_t kSerialBytes = 2 * kPieceBytes;
// The last pieces of a scan shrink down to this share of a piece (pool::share), so that the
// caller does not wait at the end for one thread finishing a whole piece alone.
constexpr std::uint64_t kLastPieceShare = 8;
// When shared scans follow each other closely (the last began within this time of the one
// before ending), the helpers spin this long after each before they may sleep, so that the
// next does not wait for them to wake. Measured with 0.5 ms between searches of 6,300
// records of 784 values: 500 us a search instead of 1,000; searches further apart keep no
// spinning, and an idle process uses no CPU. On a busy machine the pool itself stops the
// spinning (a spinner that loses its core ends it for a while). Spinning used to need, too,
// a search that every helper joined; but helpers that wake one another in turn often come
// after a short search is over, and 100 searches over 10,000 records then took 185 us each
// against 112 us with spinning after every close search (beside one CPU-bound process per
// core, the same either way).
constexpr std::chrono::microseconds kKeepWarm{1000};
std::atomic<std::int64_t> g_last_shared_end{0};  // steady-clock ticks

std::int64_t ticks_now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

using Kernel = void (*)(const float*, const float*, std::uint64_t, double*);

template <Metric M>
struct Fold {
  std::span<const RecordBlock> blocks;
  std::vector<std::uint64_t> starts;  // position of each block's first record, then the total
  const float* query;
  std::uint64_t dim;
  std::uint64_t k;
  Kernel kernel;

  std::uint64_t total() const { return starts.back(); }

  TopKHeap<M> empty_heap() const { return TopKHeap<M>(k, static_cast<std::size_t>(std::min(k, total())) + 1); }

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

  // Each taking thread folds its pieces, in the increasing order it takes them, into a heap
  // of its own; the heaps are merged at the end. Which pieces a thread takes only decides,
  // as any split does, among equal l2 distances at the k-th place.
  TopKHeap<M> shared(std::uint64_t piece) const {
    const std::uint64_t n = total();
    const std::uint64_t pieces = (n + piece - 1) / piece;
    const std::size_t helpers = static_cast<std::size_t>(std::min<std::uint64_t>(pool::thread_count() - 1, pieces - 1));
    std::vector<TopKHeap<M>> heaps;
    heaps.reserve(helpers + 1);
    for (std::size_t s = 0; s <= helpers; ++s) heaps.push_back(empty_heap());
    const std::size_t joined = pool::share(
        n, piece, helpers, [&](std::size_t slot, std::size_t begin, std::size_t end) { fold(heaps[slot], begin, end); },
        std::max<std::uint64_t>(piece / kLastPieceShare, 1));
    for (std::size_t s = 1; s < joined; ++s) heaps[0].merge(std::move(heaps[s]));
    return std::move(heaps[0]);
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
  const std::uint64_t record_bytes = fold.dim * sizeof(float);
  TopKHeap<M> result;
  if (!pool::parallel_available() || record_bytes == 0 || n < kSerialBytes / record_bytes) {
    result = fold.empty_heap();
    fold.fold(result, 0, n);
  } else {
    const bool close = ticks_now() - g_last_shared_end.load(std::memory_order_relaxed) <
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(kKeepWarm).count();
    const std::uint64_t piece = std::max<std::uint64_t>(kPieceBytes / record_bytes, 1);
    result = fold.shared(piece);
    g_last_shared_end.store(ticks_now(), std::memory_order_relaxed);
    if (close) pool::keep_warm(kKeepWarm);
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

#include "quillmere/pool.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>

#include <pthread.h>

#include <tbb/global_control.h>
#include <tbb/info.h>

namespace quillmere::pool {
namespace {

// Creating thousands of threads only exhausts the process; nothing sensible asks for more.
constexpr std::size_t kMaxThreads = 1024;

std::mutex g_mutex;                      // guards set-up only; the fast path reads g_arena
std::size_t g_requested = 0;             // 0: not set, use the default
std::atomic<tbb::task_arena*> g_arena{nullptr};

std::atomic<bool> g_forked_child{false};
// A forked child's own arena of one slot: it never wakes the inherited (dead) workers.
std::atomic<tbb::task_arena*> g_child_arena{nullptr};

// Set-up is never half done across a fork; the child also learns whether it inherited a
// started scheduler.
void before_fork() { g_mutex.lock(); }
void after_fork_parent() { g_mutex.unlock(); }
void after_fork_child() {
  if (g_arena.load(std::memory_order_relaxed) != nullptr) g_forked_child.store(true, std::memory_order_relaxed);
  // An arena made by the parent may have been in use by another thread at the fork.
  g_child_arena.store(nullptr, std::memory_order_relaxed);
  g_mutex.unlock();
}
[[maybe_unused]] const int g_atfork = pthread_atfork(before_fork, after_fork_parent, after_fork_child);

std::size_t default_count() {
  int n = tbb::info::default_concurrency();
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// Keeping workers warm. `g_epoch` counts starts of parallel work; the spinners of one quiet
// spell belong to the epoch in which they were sent and leave as soon as it changes.
std::atomic<std::uint64_t> g_epoch{0};
std::atomic<std::uint64_t> g_warm_epoch{~std::uint64_t{0}};  // the epoch whose spinners are out
std::atomic<std::int64_t> g_warm_until{0};                   // steady-clock ticks
std::atomic<int> g_spinners{0};

std::int64_t ticks_now() noexcept { return std::chrono::steady_clock::now().time_since_epoch().count(); }

void spin(std::uint64_t epoch) noexcept {
  for (unsigned i = 0;; ++i) {
    if (g_epoch.load(std::memory_order_relaxed) != epoch) break;
    if (i % 32 == 0 && ticks_now() > g_warm_until.load(std::memory_order_relaxed)) break;
    _mm_pause();
  }
  g_spinners.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

void work_started() noexcept { g_epoch.fetch_add(1, std::memory_order_relaxed); }

void keep_warm(std::chrono::microseconds window) noexcept {
  if (!parallel_available() || window.count() <= 0) return;
  const std::int64_t now = ticks_now();
  const std::int64_t until = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(window).count();
  const std::uint64_t epoch = g_epoch.load(std::memory_order_relaxed);
  std::int64_t seen = g_warm_until.load(std::memory_order_relaxed);
  if (g_warm_epoch.load(std::memory_order_relaxed) == epoch && seen >= now) {
    // This spell's spinners are still out: they see the later end and stay.
    while (seen < until && !g_warm_until.compare_exchange_weak(seen, until, std::memory_order_relaxed)) {
    }
    return;
  }
  g_warm_until.store(until, std::memory_order_relaxed);
  g_warm_epoch.store(epoch, std::memory_order_relaxed);
  try {
    tbb::task_arena& a = arena();
    const int workers = a.max_concurrency() - 1;
    // Spinners of earlier spells leave on their own; never let them pile up.
    if (g_spinners.load(std::memory_order_relaxed) > 2 * workers) return;
    // One task for the caller to hand over; the spinners fan out from a worker.
    a.enqueue([epoch, workers] {
      tbb::parallel_for(0, workers, [epoch](int) { spin(epoch); }, tbb::simple_partitioner());
    });
    g_spinners.fetch_add(workers, std::memory_order_relaxed);
  } catch (...) {
    // Only a missed chance to save a wake-up.
  }
}

namespace {

// One share() call. Workers reach it through tasks that may run long after the call has
// returned, so it lives on the heap for as long as one of them holds it; `body` and what it
// refers to are touched only by threads that got in through the door before it shut.
struct Shared {
  static constexpr std::uint32_t kShut = 1u << 31;  // the door; the low bits count those inside

  std::size_t n = 0, grain = 1;
  detail::PieceFn fn = nullptr;
  void* body = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint32_t> door{0};
  std::atomic<std::size_t> joined{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by whoever set `failed`

  std::size_t claim() noexcept { return next.fetch_add(grain, std::memory_order_relaxed); }

  // Runs the piece starting at `at`, then claims more until none are left.
  void take(std::size_t slot, std::size_t at) noexcept {
    try {
      for (; at < n; at = claim()) fn(body, slot, at, std::min(n, at + grain));
    } catch (...) {
      if (!failed.exchange(true, std::memory_order_relaxed)) error = std::current_exception();
      next.store(n, std::memory_order_relaxed);  // hand out nothing more
    }
  }

  void help() noexcept {
    std::uint32_t d = door.load(std::memory_order_relaxed);
    do {
      if (d & kShut) return;
    } while (!door.compare_exchange_weak(d, d + 1, std::memory_order_acquire, std::memory_order_relaxed));
    take(1 + joined.fetch_add(1, std::memory_order_relaxed), claim());
    if (door.fetch_sub(1, std::memory_order_release) == (kShut | 1)) door.notify_one();
  }
};

}  // namespace

std::size_t detail::share(std::size_t n, std::size_t grain, std::size_t helpers, PieceFn fn, void* body) {
  if (n == 0) return 1;
  if (grain == 0) grain = 1;
  const std::size_t pieces = n / grain + (n % grain != 0);
  if (!parallel_available() || pieces < 2 || helpers == 0) {
    // Still piece by piece: a body may size its memory by the piece.
    for (std::size_t at = 0; at < n; at += grain) fn(body, 0, at, std::min(n, at + grain));
    return 1;
  }
  tbb::task_arena& a = arena();
  helpers = std::min({helpers, pieces - 1, static_cast<std::size_t>(std::max(a.max_concurrency() - 1, 0))});
  auto shared = std::make_shared<Shared>();
  shared->n = n;
  shared->grain = grain;
  shared->fn = fn;
  shared->body = body;
  work_started();
  // The caller's first piece is claimed before any helper can run, so the caller always takes
  // part even when it loses its core right after waking them.
  const std::size_t first = shared->claim();
  try {
    for (std::size_t i = 0; i < helpers; ++i) a.enqueue([shared] { shared->help(); });
  } catch (...) {
    // Fewer helpers; the caller takes what they would have.
  }
  shared->take(0, first);
  // Shut the door, then wait for those inside to finish their pieces.
  std::uint32_t d = shared->door.fetch_or(Shared::kShut, std::memory_order_acquire) | Shared::kShut;
  while (d != Shared::kShut) {
    shared->door.wait(d, std::memory_order_acquire);
    d = shared->door.load(std::memory_order_acquire);
  }
  if (shared->failed.load(std::memory_order_relaxed)) std::rethrow_exception(shared->error);
  return 1 + shared->joined.load(std::memory_order_relaxed);
}

std::expected<void, std::string> set_thread_count(std::size_t n) {
  std::lock_guard lock(g_mutex);
  if (g_arena.load(std::memory_order_acquire) != nullptr)
    return std::unexpected(std::string(
        "the worker pool is already running; its worker count can be set only before first use"));
  if (n == 0) return std::unexpected(std::string("the worker count must be at least 1"));
  if (n > kMaxThreads)
    return std::unexpected("the worker count " + std::to_string(n) + " exceeds the limit of " +
                           std::to_string(kMaxThreads));
  g_requested = n;
  return {};
}

std::size_t thread_count() {
  std::lock_guard lock(g_mutex);
  return g_requested != 0 ? g_requested : default_count();
}

bool parallel_available() noexcept { return !g_forked_child.load(std::memory_order_relaxed); }

tbb::task_arena& arena() {
  if (!parallel_available()) {
    if (tbb::task_arena* a = g_child_arena.load(std::memory_order_acquire)) return *a;
    std::lock_guard lock(g_mutex);
    if (tbb::task_arena* a = g_child_arena.load(std::memory_order_acquire)) return *a;
    auto* a = new tbb::task_arena(1, 1);
    g_child_arena.store(a, std::memory_order_release);
    return *a;
  }
  if (tbb::task_arena* a = g_arena.load(std::memory_order_acquire)) return *a;
  std::lock_guard lock(g_mutex);
  if (tbb::task_arena* a = g_arena.load(std::memory_order_acquire)) return *a;
  std::size_t n = g_requested != 0 ? g_requested : default_count();
  if (n > default_count()) {
    // The scheduler otherwise caps its workers at the core count. Never destroyed: the
    // limit must hold for the life of the arena, which is the life of the process.
    new tbb::global_control(tbb::global_control::max_allowed_parallelism, n);
  }
  // Never destroyed: tearing an arena down during exit races the scheduler's own teardown.
  auto* a = new tbb::task_arena(static_cast<int>(n), 1);
  a->initialize();
  g_arena.store(a, std::memory_order_release);
  return *a;
}

}  // namespace quillmere::pool

#include "quillmere/pool.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <tbb/global_control.h>
#include <tbb/info.h>

namespace quillmere::pool {
namespace {

// Creating thousands of threads only exhausts the process; nothing sensible asks for more.
constexpr std::size_t kMaxThreads = 1024;

// The scheduler slice a helper asks for. Helpers run in bursts of well under a millisecond and
// sleep in between; with the default slice of a few milliseconds, a helper woken on a core
// where another process is running waits for that process's slice to end, long after the
// search it was woken for is over. A short slice lets it run at once; the kernel's fairness is
// unchanged (it is not a larger share). Measured beside one CPU-bound process per core on 8
// cores, 30,000 records of 784 values, n_candidates 5,000: with it 5.5 to 6 of 7 helpers took
// part in a search, most within 100 us of being woken; without, 1 to 2.5, most after 0.3 to
// 3 ms. Kernels that do not know the request ignore it.
using detail::kHelperSliceNs;

// A spinning helper that finds this much time gone between two looks at the clock was
// descheduled: the cores are wanted by other work, and keep_warm does nothing for a while.
// (Beside one CPU-bound process per core, every helper took part in most searches once woken
// helpers got their short slice, so "every helper came" no longer tells an idle machine, and
// spinners took the cores from the other work and the callers. At 50 us the brief stops of a
// virtual machine's own cores counted too and cost a quiet machine 10 to 15 percent of its
// searches; at 500 us they did not.)
constexpr std::chrono::microseconds kPreempted{500};
constexpr std::chrono::microseconds kNoSpinAfterPreempted{100'000};
// Stops of several spinners closer together than this are one pause of the whole machine.
constexpr std::chrono::microseconds kOneMachinePause{1000};
// How often (turns of the spin loop, a few microseconds) a spinning helper may yield its core.
constexpr unsigned kYieldEvery = 128;
// How often the count of runnable threads on the machine is read, by one of the spinners.
constexpr std::chrono::microseconds kLoadEvery{1000};

// How long a caller that has taken its last piece spins for the helpers still inside one
// before it sleeps. (Beside one CPU-bound process per core: 2,000 to 2,300 searches a second
// with 200 us, 1,700 to 1,900 with 20 us, 1,200 with 2 ms, which spends the caller's own slice.)
constexpr std::chrono::microseconds kDoorSpin{200};

std::mutex g_mutex;                      // guards set-up only; the fast path reads atomics
std::size_t g_requested = 0;             // 0: not set, use the default
// The count in force, once the pool has started and it can no longer change: searches read
// it on every call, and need not take the mutex for it.
std::atomic<std::size_t> g_fixed_count{0};
std::atomic<tbb::task_arena*> g_arena{nullptr};

std::atomic<bool> g_forked_child{false};
// A forked child's own arena of one slot: it never wakes the inherited (dead) workers.
std::atomic<tbb::task_arena*> g_child_arena{nullptr};

std::size_t default_count() {
  int n = tbb::info::default_concurrency();
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// The count set, else the default. Called with g_mutex held.
std::size_t configured_count() { return g_requested != 0 ? g_requested : default_count(); }

std::int64_t ticks_now() noexcept { return std::chrono::steady_clock::now().time_since_epoch().count(); }

std::int64_t ticks(std::chrono::microseconds d) noexcept {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(d).count();
}

// Sleeping and waking without the library's atomic wait, which yields the CPU a few times before
// it sleeps: on a busy machine a thread that yields loses its core to the other work for that
// work's whole slice (measured: most searches then took 4 ms instead of under one).
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept {
  (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}
void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept {
  (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// One share() call. Helpers reach it through their mailboxes and may get to it long after the call
// has returned, so it lives on the heap for as long as one of them holds it; `body` and what it
// refers to are touched only by threads that got in through the door before it shut.
struct Shared {
  static constexpr std::uint32_t kShut = 1u << 31;  // the door; the low bits count those inside

  struct Piece {
    std::size_t begin, end;
  };

  std::size_t n = 0, grain = 1, last_grain = 1, tail_parts = 1;
  detail::PieceFn fn = nullptr;
  void* body = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint32_t> door{0};
  std::atomic<std::size_t> joined{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by whoever set `failed`
  // The mailboxes asked to join, woken in a cascade (see wake_some): `asked` is complete and
  // no longer changes once `asked_count` is set.
  std::vector<std::uint32_t> asked;
  std::atomic<std::size_t> asked_count{0};
  std::atomic<std::size_t> to_wake{0};

  // Pieces of `grain`; with a smaller `last_grain`, a piece is a 1 / `tail_parts` share of
  // what is left once that is less, but never under `last_grain`. (Sized from what is left and
  // claimed by compare-and-swap, so that `next` never passes n and wraps next to SIZE_MAX.)
  Piece claim() noexcept {
    std::size_t at = next.load(std::memory_order_relaxed);
    for (;;) {
      if (at >= n) return Piece{n, n};
      const std::size_t left = n - at;
      const std::size_t end = at + std::min(left, std::clamp(left / tail_parts, last_grain, grain));
      if (next.compare_exchange_weak(at, end, std::memory_order_relaxed)) return Piece{at, end};
    }
  }

  // Runs the piece `p`, then claims more until none are left.
  void take(std::size_t slot, Piece p) noexcept {
    try {
      for (; p.begin < p.end; p = claim()) fn(body, slot, p.begin, p.end);
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
    if (door.fetch_sub(1, std::memory_order_release) == (kShut | 1)) futex_wake(door, 1);
  }
};

// ---- the helpers ------------------------------------------------------------------------
//
// share() runs on threads of its own rather than on the scheduler's workers: those look for
// work by spinning and yielding after every task, so on a busy machine they have used up their
// claim to the CPU by the time the next search wakes them (beside one CPU-bound process per
// core, about 4 in 5 arrived after the caller had taken every piece). A helper here either
// takes a call from its mailbox, spins through a window that keep_warm opened, or sleeps.

// Each helper has a mailbox of the calls it is asked to join, guarded by a lock of its own that
// only it and posting callers take: helpers never queue behind each other for work, and a
// caller that finds a mailbox in use passes that helper by rather than wait.
struct alignas(64) Mailbox {
  std::mutex mutex;
  std::vector<std::shared_ptr<Shared>> calls;  // newest last
  // Changes whenever the helper should look at its mail; it sleeps on this word, so a call
  // wakes only the helpers it asks.
  std::atomic<std::uint32_t> posts{0};
  std::atomic<bool> sleeping{false};  // asleep on `posts`, or about to be

  // Only those asleep need a system call.
  void call() noexcept {
    posts.fetch_add(1, std::memory_order_seq_cst);
    if (sleeping.load(std::memory_order_seq_cst)) futex_wake(posts, 1);
  }
};

std::atomic<Mailbox*> g_mailboxes{nullptr};  // one per helper; never freed (helpers outlive exit)
std::atomic<std::size_t> g_helpers{0};       // helper threads running + 1; set once, under g_mutex
std::atomic<std::size_t> g_next_box{0};      // where the next call starts posting, round robin
std::atomic<std::int64_t> g_warm_until{0};   // steady-clock ticks
std::atomic<std::int64_t> g_spin_again_at{0};  // keep_warm does nothing before this
std::atomic<std::int64_t> g_preempted_at{0};    // when a spinner last found it had been descheduled

// Whether a spinner that was just descheduled (at `now`) shows a busy machine: only if another
// such stop came between 1 and 100 ms before. A lone stop is a kernel thread's moment on the
// core; stops within a millisecond of each other are the whole virtual machine pausing, which
// every spinner sees at once. (At 500 us the lone stops ended the spinning of a quiet machine
// for half of a run of 1,000 searches over 10,000 records: 169 us a search instead of 90.)
bool preempted_again(std::int64_t now) noexcept {
  const std::int64_t since = now - g_preempted_at.exchange(now, std::memory_order_relaxed);
  return since > ticks(kOneMachinePause) && since < ticks(kNoSpinAfterPreempted);
}

std::atomic<std::int64_t> g_load_read_at{0};  // steady-clock ticks
std::atomic<bool> g_cores_to_spare{false};

// Whether the machine has no more runnable threads than the pool has threads (those of this
// process spinning included), read from /proc/loadavg at most every kLoadEvery; false where
// it cannot be read.
bool cores_to_spare(std::int64_t now) noexcept {
  std::int64_t at = g_load_read_at.load(std::memory_order_relaxed);
  if (now - at >= ticks(kLoadEvery) && g_load_read_at.compare_exchange_strong(at, now, std::memory_order_relaxed)) {
    bool spare = false;
    const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char text[128];
      const ssize_t got = read(fd, text, sizeof text);
      close(fd);
      if (got > 0) {
        const auto runnable = detail::runnable_in_loadavg(std::string_view(text, static_cast<std::size_t>(got)));
        spare = runnable && *runnable <= g_fixed_count.load(std::memory_order_relaxed);
      }
    }
    g_cores_to_spare.store(spare, std::memory_order_relaxed);
  }
  return g_cores_to_spare.load(std::memory_order_relaxed);
}

bool warm() noexcept { return ticks_now() < g_warm_until.load(std::memory_order_seq_cst); }

bool done(const std::shared_ptr<Shared>& call) noexcept {
  return (call->door.load(std::memory_order_relaxed) & Shared::kShut) != 0;
}

void ask_for_a_short_slice() noexcept {
  detail::SchedAttr a{};
  if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0 || a.policy != SCHED_OTHER) return;
  a.size = sizeof a;
  a.flags = 0;
  a.runtime = kHelperSliceNs;
  (void)syscall(SYS_sched_setattr, 0, &a, 0);  // only a hint: older kernels ignore it
}

// The newest call in the mailbox that is still open; calls already done are dropped.
std::shared_ptr<Shared> take_call(Mailbox& box) {
  std::lock_guard lock(box.mutex);
  while (!box.calls.empty()) {
    std::shared_ptr<Shared> call = std::move(box.calls.back());
    box.calls.pop_back();
    if (!done(call)) return call;
  }
  return nullptr;
}

// Wakes up to `n` more of the helpers a call asked that are asleep. The caller wakes the first
// and every helper that joins wakes two more, so no thread makes more than a few of these
// system calls: a woken helper may take the waker's own core (measured on 8 idle cores: a
// caller that woke all 7 itself was held off its core until the first one it woke had done the
// whole scan alone).
void wake_some(Shared& call, std::size_t n) noexcept {
  Mailbox* boxes = g_mailboxes.load(std::memory_order_acquire);
  const std::size_t count = call.asked_count.load(std::memory_order_acquire);
  for (std::size_t woke = 0; woke < n;) {
    const std::size_t k = call.to_wake.fetch_add(1, std::memory_order_relaxed);
    if (k >= count) return;
    Mailbox& box = boxes[call.asked[k]];
    // One awake sees the post by itself; and one going to sleep finds `posts` changed.
    if (box.sleeping.load(std::memory_order_seq_cst)) {
      futex_wake(box.posts, 1);
      ++woke;
    }
  }
}

void helper_main(Mailbox* box) noexcept {
  ask_for_a_short_slice();
  for (;;) {
    // Read before looking, so that a call posted after the look changes it.
    const std::uint32_t seen = box->posts.load(std::memory_order_seq_cst);
    if (std::shared_ptr<Shared> call = take_call(*box)) {
      wake_some(*call, 2);
      call->help();
      continue;
    }
    if (warm()) {
      std::int64_t last = ticks_now();
      for (unsigned i = 1; box->posts.load(std::memory_order_acquire) == seen; ++i) {
        if (i % 32 == 0) {
          const std::int64_t now = ticks_now();
          if (now - last > ticks(kPreempted) && preempted_again(now)) {
            // Descheduled while spinning: other work wants the cores, and spinners would take
            // them from it and from the callers. No spinning for a while.
            g_spin_again_at.store(now + ticks(kNoSpinAfterPreempted), std::memory_order_relaxed);
            g_warm_until.store(0, std::memory_order_relaxed);
            break;
          }
          if (now >= g_warm_until.load(std::memory_order_relaxed)) break;
          last = now;
          // While the machine has a core for every runnable thread, a spinner gives its core
          // now and then to whatever waits for it. The scheduler may put a helper on the
          // caller's core (or another helper's), and a spinner that never yields holds that
          // thread off it: after 30,000 inserts, 2 percent of the searches that followed waited
          // 1 to 2 ms for a helper so placed, and they ran at 0.9 of the rate of searches with
          // yields every 128 turns. Beside busy cores the same yields hand the cores to the
          // other work, and woken helpers then join late: searches ran at 0.7 of the rate.
          if (i % kYieldEvery == 0 && cores_to_spare(now)) {
            sched_yield();
            last = ticks_now();  // a core handed over is not one taken away
          }
        }
        _mm_pause();
      }
      continue;
    }
    // keep_warm writes the window, then looks for sleepers; this is the other way round, so
    // one of the two sees the other.
    box->sleeping.store(true, std::memory_order_seq_cst);
    if (box->posts.load(std::memory_order_seq_cst) == seen && !warm()) futex_wait(box->posts, seen);
    box->sleeping.store(false, std::memory_order_relaxed);
  }
}

// Asks up to `helpers` helpers to join `call` and wakes the first of them; returns how many
// were asked. A mailbox in use (its helper looking at it, for nanoseconds) is tried once more
// after the others.
std::size_t post(const std::shared_ptr<Shared>& call, std::size_t helpers) noexcept {
  Mailbox* boxes = g_mailboxes.load(std::memory_order_acquire);
  const std::size_t total = g_helpers.load(std::memory_order_acquire) - 1;
  const std::size_t start = g_next_box.fetch_add(helpers, std::memory_order_relaxed);
  try {
    call->asked.reserve(helpers);
  } catch (...) {
    return 0;  // no memory: no helpers
  }
  // Each helper is asked at most once: one that entered a call twice would take a second slot.
  std::bitset<kMaxThreads> asked_boxes;
  for (std::size_t pass = 0; pass < 2 && call->asked.size() < helpers; ++pass) {
    for (std::size_t i = 0; i < total && call->asked.size() < helpers; ++i) {
      const std::size_t b = (start + i) % total;
      if (asked_boxes[b]) continue;
      Mailbox& box = boxes[b];
      std::unique_lock lock(box.mutex, std::try_to_lock);
      if (!lock.owns_lock()) continue;
      asked_boxes[b] = true;
      // Calls whose callers have returned leave here or when their helper looks, never
      // through their caller, which would have to wait for a lock after its work.
      std::erase_if(box.calls, done);
      try {
        box.calls.push_back(call);
      } catch (...) {
        pass = 2;  // no memory: fewer helpers
        break;
      }
      lock.unlock();
      call->asked.push_back(static_cast<std::uint32_t>(b));  // within the reserved room
      box.posts.fetch_add(1, std::memory_order_seq_cst);
    }
  }
  const std::size_t asked = call->asked.size();
  call->asked_count.store(asked, std::memory_order_release);
  wake_some(*call, 1);
  return asked;
}

// Starts the helpers on first use: one fewer than the pool's threads (the caller is one).
std::size_t helpers_running() {
  if (std::size_t n = g_helpers.load(std::memory_order_acquire)) return n;
  std::lock_guard lock(g_mutex);
  if (std::size_t n = g_helpers.load(std::memory_order_acquire)) return n;
  const std::size_t want = configured_count() - 1;
  g_fixed_count.store(want + 1, std::memory_order_release);
  // Asynchronous signals belong to the host's own threads: helpers start with them blocked.
  sigset_t all, old;
  sigfillset(&all);
  // Faults in a piece still reach the host's handlers (a crash reporter, a memory checker).
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  std::size_t started = 0;
  try {
    Mailbox* boxes = want > 0 ? new Mailbox[want] : nullptr;
    g_mailboxes.store(boxes, std::memory_order_release);
    for (; started < want; ++started) std::thread(helper_main, boxes + started).detach();
  } catch (...) {
    // Fewer helpers: callers take what they would have.
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  // Marks the pool as started even with no helper, so the count stays fixed from here on.
  g_helpers.store(started + 1, std::memory_order_release);
  return started + 1;
}

// Set-up is never half done across a fork; the child also learns whether it inherited a
// started pool.
void before_fork() { g_mutex.lock(); }
void after_fork_parent() { g_mutex.unlock(); }
void after_fork_child() {
  if (g_arena.load(std::memory_order_relaxed) != nullptr || g_helpers.load(std::memory_order_relaxed) > 1)
    g_forked_child.store(true, std::memory_order_relaxed);
  // An arena made by the parent may have been in use by another thread at the fork.
  g_child_arena.store(nullptr, std::memory_order_relaxed);
  g_mutex.unlock();
}
[[maybe_unused]] const int g_atfork = pthread_atfork(before_fork, after_fork_parent, after_fork_child);

}  // namespace

void work_started() noexcept { g_warm_until.store(0, std::memory_order_relaxed); }

void keep_warm(std::chrono::microseconds window) noexcept {
  if (!parallel_available() || window.count() <= 0) return;
  try {
    if (helpers_running() < 2) return;
  } catch (...) {
    return;  // only a missed chance to save a wake-up
  }
  const std::int64_t now = ticks_now();
  if (now < g_spin_again_at.load(std::memory_order_relaxed)) return;
  const std::int64_t until = now + ticks(window);
  std::int64_t seen = g_warm_until.load(std::memory_order_relaxed);
  while (seen < until && !g_warm_until.compare_exchange_weak(seen, until, std::memory_order_seq_cst)) {
  }
  // Those asleep find no mail and spin through the window.
  Mailbox* boxes = g_mailboxes.load(std::memory_order_acquire);
  const std::size_t total = g_helpers.load(std::memory_order_acquire) - 1;
  for (std::size_t i = 0; i < total; ++i)
    if (boxes[i].sleeping.load(std::memory_order_seq_cst)) boxes[i].call();
}

std::optional<std::size_t> detail::runnable_in_loadavg(std::string_view text) noexcept {
  // "0.52 0.41 0.30 3/412 12345": the fourth field counts the runnable, then all, threads.
  std::size_t at = 0;
  for (int field = 0; field < 3; ++field) {
    const std::size_t space = text.find(' ', at);
    if (space == std::string_view::npos) return std::nullopt;
    at = space + 1;
  }
  std::size_t runnable = 0, digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9; ++at, ++digits)
    runnable = runnable * 10 + static_cast<std::size_t>(text[at] - '0');
  if (digits == 0 || at >= text.size() || text[at] != '/') return std::nullopt;
  return runnable;
}

std::size_t detail::share(std::size_t n, std::size_t grain, std::size_t last_grain, std::size_t helpers, PieceFn fn,
                          void* body) {
  if (n == 0) return 1;
  if (grain == 0) grain = 1;
  last_grain = std::clamp<std::size_t>(last_grain, 1, grain);
  const std::size_t pieces = n / grain + (n % grain != 0);
  const bool parallel = parallel_available() && pieces >= 2 && helpers > 0;
  if (parallel) helpers = std::min({helpers, pieces - 1, helpers_running() - 1});
  if (!parallel || helpers == 0) {
    // Still piece by piece: a body may size its memory by the piece.
    for (std::size_t at = 0; at < n;) {
      const std::size_t end = at + std::min(n - at, grain);
      fn(body, 0, at, end);
      at = end;
    }
    return 1;
  }
  auto shared = std::make_shared<Shared>();
  shared->n = n;
  shared->grain = grain;
  shared->last_grain = last_grain;
  // Pieces shrink once less is left than two for every thread, so that the threads end close
  // together (the caller waits for the last piece; measured on 30,000 records of 784 values,
  // n_candidates 5,000: 6 us a search at the door with whole pieces to the end, under 2 us).
  shared->tail_parts = 2 * (helpers + 1);
  shared->fn = fn;
  shared->body = body;
  // The caller's first piece is claimed before any helper can run, so the caller always takes
  // part even when it loses its core right after waking them.
  const Shared::Piece first = shared->claim();
  post(shared, helpers);
  shared->take(0, first);
  // Shut the door, then wait for those inside to finish their pieces: spinning first, since
  // a piece takes microseconds and a sleeping caller on a busy machine waits a whole slice of
  // other work to get its core back.
  std::uint32_t d = shared->door.fetch_or(Shared::kShut, std::memory_order_acquire) | Shared::kShut;
  const std::int64_t spin_until = ticks_now() + ticks(kDoorSpin);
  for (unsigned i = 1; d != Shared::kShut; ++i) {
    if (i % 32 == 0 && ticks_now() > spin_until) {
      futex_wait(shared->door, d);
    } else {
      _mm_pause();
    }
    d = shared->door.load(std::memory_order_acquire);
  }
  if (shared->failed.load(std::memory_order_relaxed)) {
    // Not left in the call, which a helper may hold on to for a while yet.
    std::exception_ptr error = std::exchange(shared->error, nullptr);
    std::rethrow_exception(error);
  }
  return 1 + shared->joined.load(std::memory_order_relaxed);
}

std::expected<void, std::string> set_thread_count(std::size_t n) {
  std::lock_guard lock(g_mutex);
  if (g_arena.load(std::memory_order_acquire) != nullptr || g_helpers.load(std::memory_order_acquire) != 0)
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
  if (std::size_t n = g_fixed_count.load(std::memory_order_acquire)) return n;
  std::lock_guard lock(g_mutex);
  return configured_count();
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
  const std::size_t n = configured_count();
  g_fixed_count.store(n, std::memory_order_release);
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

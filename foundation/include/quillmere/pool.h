// The process-wide worker pool: the exact search, k-means and placement share their work
// through share and for_each_range below, on helper threads of the pool's own.
//
// share and for_each_range never make the caller wait for a helper that has not started (on a
// busy machine the caller does the work itself). Helpers sleep between calls rather than spin,
// and ask the kernel for a short scheduler slice, so that one woken on a core where other work
// runs gets the CPU at once instead of after that work's slice. Parallel work may start more
// parallel work (no deadlock), and an exception thrown by a piece reaches the caller.
//
// arena() is a oneTBB arena of the same size for code that wants the scheduler's own fork/join
// (quillmere::pool::arena().execute([&] { tbb::parallel_for(...); })), which waits for every
// piece it handed out.
//
// After fork(): threads do not survive into the child, and their locks may have been held by
// one of them at the fork. In a child of a process whose pool had started, parallel_available()
// is false: share, for_each_range and the search then run on the calling thread alone. arena()
// still hands out an arena of one slot there, but entering it can hang on such a lock; use
// for_each_range instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace quillmere::pool {

// Fix the number of workers (the calling thread counts as one). Possible only before the
// pool's first use (the first share or call of arena()); afterwards, or for 0 or an absurd count,
// returns an explanation.
std::expected<void, std::string> set_thread_count(std::size_t n);

// Workers of the process-wide pool: the count set above, else as many as the cores this
// process may run on.
std::size_t thread_count();

// The process-wide arena, created on first use and kept until the process ends (in a forked
// child, see above, an arena of one slot).
tbb::task_arena& arena();

// False in a process forked from one whose pool had started (see above).
bool parallel_available() noexcept;

// Keeps every helper awake, spinning, until work_started() is next called or `window` has
// passed, so that parallel work arriving soon does not wait for sleeping threads to wake
// (waking them costs a search tens of microseconds). Returns at once; a second call before
// the window ends only moves its end. Once it ends, the helpers fall asleep, so an idle
// process uses no CPU. Does nothing where the pool has no helpers.
void keep_warm(std::chrono::microseconds window) noexcept;

// Ends the window of keep_warm: spinning helpers go to sleep. Call it before starting
// parallel work on the arena directly, whose workers would otherwise share the cores with
// them until the window ends.
void work_started() noexcept;

namespace detail {
using PieceFn = void (*)(void* body, std::size_t slot, std::size_t begin, std::size_t end);
std::size_t share(std::size_t n, std::size_t grain, std::size_t last_grain, std::size_t helpers, PieceFn fn,
                  void* body);

// The count of runnable threads in the text of /proc/loadavg, or none if it is not there.
std::optional<std::size_t> runnable_in_loadavg(std::string_view text) noexcept;

// The scheduler slice, in nanoseconds, that helper threads ask for.
inline constexpr std::uint64_t kHelperSliceNs = 100'000;

// Linux's sched_attr, first version: the fields every kernel since 3.14 reads.
struct SchedAttr {
  std::uint32_t size, policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime, deadline, period;
};
}  // namespace detail

// Hands the pieces [0, grain), [grain, 2 grain), ... of [0, n) out in increasing order to
// whichever thread asks next and calls body(slot, begin, end) for each: the calling thread
// (slot 0) takes pieces from the start, and up to `helpers` workers join as they get to run
// (slots 1, 2, ... in the order they arrive). The caller never waits for a worker that has
// not begun: once the last piece is taken, latecomers touch nothing and the caller waits only
// for those still inside a piece. On a machine whose cores are all busy the caller so does
// about what it would alone, rather than wait for workers that get no CPU. Returns the number
// of slots that took part (1 + the workers that joined, at most 1 + helpers). Where parallel
// work is not available the caller takes every piece. An exception from body reaches the
// caller once the pieces in progress have ended; the pieces not yet handed out are dropped.
// With `last_grain` between 1 and `grain`, the last pieces shrink down to it so that the
// threads end close together (worth it where a piece costs little more than its work).
template <class Body>
std::size_t share(std::size_t n, std::size_t grain, std::size_t helpers, Body&& body, std::size_t last_grain = 0) {
  using B = std::remove_reference_t<Body>;
  return detail::share(
      n, grain, last_grain == 0 ? grain : last_grain, helpers,
      [](void* b, std::size_t slot, std::size_t begin, std::size_t end) { (*static_cast<B*>(b))(slot, begin, end); },
      const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

// Calls body(begin, end) over pieces of [0, n) of `grain` indices (the last may be shorter),
// shared as above between the calling thread and the pool's workers. Exceptions from `body`
// reach the caller.
template <class Body>
void for_each_range(std::size_t n, std::size_t grain, Body&& body) {
  if (grain == 0) grain = 1;
  const std::size_t pieces = n / grain + (n % grain != 0);
  if (pieces == 0) return;
  share(n, grain, pieces - 1, [&](std::size_t, std::size_t begin, std::size_t end) { body(begin, end); });
}

}  // namespace quillmere::pool

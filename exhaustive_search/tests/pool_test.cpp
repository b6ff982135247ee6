#include <sched.h>
#include <time.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/parallel_for.h>

#include "quillmere/kernels.h"
#include "quillmere/knn.h"
#include "quillmere/pool.h"

namespace pool = quillmere::pool;

namespace {

int affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  return CPU_COUNT(&set);
}

// The worker count can be set only in a process whose pool has not started, so these run
// in a freshly started copy of this test program.
class PoolSetup : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void finish(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "failed: %s\n", what);
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST_F(PoolSetup, CountIsSetOnceBeforeFirstUse) {
  EXPECT_EXIT(
      {
        if (!pool::set_thread_count(3)) finish(false, "set 3");
        if (!pool::set_thread_count(2)) finish(false, "set 2 before use");
        if (pool::thread_count() != 2) finish(false, "count 2");
        if (pool::arena().max_concurrency() != 2) finish(false, "arena concurrency");
        auto again = pool::set_thread_count(4);
        if (again || again.error().empty()) finish(false, "set after use must fail with a text");
        if (pool::thread_count() != 2) finish(false, "count unchanged");
        finish(true, "");
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(PoolSetup, DefaultsToTheUsableCores) {
  EXPECT_EXIT(
      {
        const int cpus = affinity_cpus();
        if (cpus > 0 && pool::thread_count() != static_cast<std::size_t>(cpus)) finish(false, "default count");
        if (pool::arena().max_concurrency() != static_cast<int>(pool::thread_count())) finish(false, "arena");
        finish(true, "");
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(PoolSetup, MoreWorkersThanCoresAllRun) {
  EXPECT_EXIT(
      {
        const std::size_t want = static_cast<std::size_t>(std::max(affinity_cpus(), 1)) + 3;
        if (!pool::set_thread_count(want)) finish(false, "set");
        // Every worker blocks until all have arrived: only a pool of `want` threads finishes.
        std::atomic<std::size_t> arrived{0};
        pool::arena().execute([&] {
          tbb::parallel_for(std::size_t{0}, want, std::size_t{1}, [&](std::size_t) {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (arrived.load() < want && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
          });
        });
        if (arrived.load() != want) finish(false, "all workers");
        // The same of share's helpers: each piece waits (a while) until every thread holds
        // one. A helper that happens to be looking at its mailbox is passed by, so try again.
        bool all = false;
        for (int attempt = 0; attempt < 20 && !all; ++attempt) {
          std::atomic<std::size_t> inside{0};
          const std::size_t slots = pool::share(want, 1, want - 1, [&](std::size_t, std::size_t, std::size_t) {
            inside.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (inside.load() < want && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
          });
          all = slots == want && inside.load() == want;
        }
        finish(all, "all helpers");
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Pool, RefusesAbsurdCounts) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1} << 40, ~std::size_t{0}}) {
    auto r = pool::set_thread_count(n);
    ASSERT_FALSE(r.has_value()) << n;
    EXPECT_FALSE(r.error().empty());
  }
}

// share hands out every index once, in pieces of `grain` that each thread takes in increasing
// order; the caller is slot 0 and always takes part, and no more slots than asked for (a worker
// that came when nothing was left counts and takes none). With a `last_grain`, the pieces in
// order of position never grow, stay within [last_grain, grain] (but for the one that ends at
// n) and come down to last_grain at the end.
TEST(Pool, ShareCoversEveryIndexOnceInIncreasingPieces) {
  struct Case {
    std::size_t n, grain, helpers, last_grain = 0;
  };
  for (const Case& c : std::vector<Case>{{0, 4, 3},
                                         {1, 4, 3},
                                         {10, 3, 0},
                                         {10, 3, 2},
                                         {1000, 7, 64},
                                         {5000, 1, 5},
                                         {5000, 64, 3, 4},
                                         {5000, 64, 64, 1},
                                         {100, 64, 3, 8},
                                         {1000, 7, 2, 7}}) {
    SCOPED_TRACE(testing::Message() << "n " << c.n << ", grain " << c.grain << ", helpers " << c.helpers
                                    << ", last grain " << c.last_grain);
    std::vector<std::atomic<int>> seen(c.n);
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> taken(c.helpers + 1);
    const std::size_t slots = pool::share(
        c.n, c.grain, c.helpers,
        [&](std::size_t slot, std::size_t b, std::size_t e) {
          ASSERT_LT(slot, taken.size());
          taken[slot].emplace_back(b, e);
          for (std::size_t i = b; i < e; ++i) seen[i]++;
        },
        c.last_grain);
    for (std::size_t i = 0; i < c.n; ++i) EXPECT_EQ(seen[i].load(), 1) << "index " << i;
    EXPECT_GE(slots, 1u);
    EXPECT_LE(slots, c.helpers + 1);
    if (c.n > 0) EXPECT_FALSE(taken[0].empty()) << "the caller took no piece";
    std::vector<std::pair<std::size_t, std::size_t>> all;
    for (std::size_t s = 0; s < taken.size(); ++s) {
      if (s >= slots) EXPECT_TRUE(taken[s].empty()) << "slot " << s << " was not counted";
      for (std::size_t p = 0; p < taken[s].size(); ++p) {
        if (p > 0) EXPECT_LT(taken[s][p - 1].first, taken[s][p].first);
        all.push_back(taken[s][p]);
      }
    }
    std::sort(all.begin(), all.end());
    const std::size_t last = c.last_grain == 0 ? c.grain : c.last_grain;
    for (std::size_t p = 0; p < all.size(); ++p) {
      const auto [b, e] = all[p];
      const std::size_t size = e - b;
      if (last == c.grain) {
        EXPECT_EQ(b % c.grain, 0u);
        EXPECT_EQ(e, std::min(c.n, b + c.grain));
        continue;
      }
      EXPECT_LE(size, c.grain) << "piece at " << b;
      if (e != c.n) EXPECT_GE(size, last) << "piece at " << b;
      if (p > 0 && e != c.n) EXPECT_LE(size, all[p - 1].second - all[p - 1].first) << "piece at " << b;
    }
    // (On the calling thread alone the pieces keep their size: nobody waits for an end.)
    if (last < c.grain && c.helpers > 0 && pool::thread_count() > 1 && pool::parallel_available() && all.size() >= 2)
      EXPECT_EQ(all[all.size() - 2].second - all[all.size() - 2].first, last) << "the pieces did not shrink";
  }
  // Next to SIZE_MAX the pieces still tile [0, n): none wraps around.
  for (const std::size_t last_grain : {std::size_t{0}, std::size_t{7}}) {
    const std::size_t n = SIZE_MAX, grain = SIZE_MAX / 4;
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    pool::share(
        n, grain, 3,
        [&](std::size_t, std::size_t b, std::size_t e) {
          std::lock_guard lock(m);
          pieces.emplace_back(b, e);
        },
        last_grain);
    std::sort(pieces.begin(), pieces.end());
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.front().first, 0u) << "last grain " << last_grain;
    EXPECT_EQ(pieces.back().second, n) << "last grain " << last_grain;
    for (std::size_t p = 1; p < pieces.size(); ++p) EXPECT_EQ(pieces[p].first, pieces[p - 1].second);
  }
}

// Spinners yield only while the machine's runnable threads are no more than the pool's: the
// count is the numerator of /proc/loadavg's fourth field; anything else reads as unknown.
TEST(Pool, RunnableThreadsReadFromLoadavg) {
  const std::vector<std::pair<std::string, std::optional<std::size_t>>> cases = {
      {"0.52 0.41 0.30 3/412 12345\n", 3},
      {"12.00 9.10 6.30 17/160 25847\n", 17},
      {"0.00 0.00 0.00 0/1 1", 0},
      {"0.52 0.41 0.30 /412 12345\n", std::nullopt},
      {"0.52 0.41 0.30 3 412\n", std::nullopt},
      {"0.52 0.41 3/412\n", std::nullopt},
      {"0 0 0 3", std::nullopt},
      {"0.52 0.41 0.30 99999999999999999999/4 1\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(pool::detail::runnable_in_loadavg(text), want) << text;
}

// With every helper held inside another thread's call, share returns once the caller has done
// all the work itself, and the helpers that come later take nothing.
TEST(Pool, ShareDoesNotWaitForWorkersThatNeverStarted) {
  const std::size_t helpers = pool::thread_count() - 1;
  if (helpers < 1) GTEST_SKIP() << "no helpers";
  static std::atomic<std::size_t> pieces{0};
  bool all_held = false;
  std::size_t slots = 0;
  // A helper that happens to be looking at its mailbox is passed by; then try again.
  for (int attempt = 0; attempt < 10 && !all_held; ++attempt) {
    std::atomic<std::size_t> holding{0};
    std::atomic<bool> release{false};
    // One piece for the other caller and one for each helper, each held until released.
    std::thread other([&] {
      pool::share(helpers + 1, 1, helpers, [&](std::size_t, std::size_t, std::size_t) {
        holding++;
        while (!release.load()) std::this_thread::yield();
      });
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (holding.load() < helpers + 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    all_held = holding.load() == helpers + 1;
    pieces = 0;
    if (all_held) slots = pool::share(100, 10, 8, [](std::size_t, std::size_t, std::size_t) { pieces++; });
    release = true;
    other.join();
  }
  ASSERT_TRUE(all_held) << "the helpers never came";
  EXPECT_EQ(slots, 1u);
  EXPECT_EQ(pieces.load(), 10u);
  std::atomic<std::size_t> sum{0};
  pool::for_each_range(1000, 10, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) sum += i;
  });
  EXPECT_EQ(sum.load(), 999u * 1000u / 2);
  EXPECT_EQ(pieces.load(), 10u);
}

TEST(Pool, ExceptionsReachTheCaller) {
  EXPECT_THROW(pool::arena().execute([] {
    tbb::parallel_for(0, 1000, [](int i) {
      if (i == 617) throw std::runtime_error("boom");
    });
  }),
               std::runtime_error);
  EXPECT_THROW(pool::for_each_range(1000, 10,
                                    [](std::size_t b, std::size_t e) {
                                      if (b <= 400 && 400 < e) throw std::out_of_range("x");
                                    }),
               std::out_of_range);
  // Still usable afterwards.
  std::atomic<std::size_t> sum{0};
  pool::for_each_range(1000, 7, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) sum += i;
  });
  EXPECT_EQ(sum.load(), 999u * 1000u / 2);
}

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// CPU the whole process uses while this thread sleeps for `ms` milliseconds.
double cpu_over(int ms) {
  const double c0 = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return process_cpu_seconds() - c0;
}

// Kept-warm helpers spin, and stop when their window ends, when parallel work starts, or
// after the closely spaced searches that keep them warm: an idle process uses no CPU. (Half
// a second idle may cost 25 ms of CPU at most: the spinners of 7 helpers would burn 3.5 s.)
// Helpers that find their cores taken by other work (other tests running beside this one)
// stop spinning for a while, so the first window is tried until one finds the cores free.
TEST(Pool, KeptWarmWorkersStopSoAnIdleProcessUsesNoCpu) {
  if (pool::thread_count() < 2) GTEST_SKIP() << "no workers to keep warm";
  bool spun = false, busy = false;
  for (int attempt = 0; attempt < 60 && !spun; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pool::keep_warm(std::chrono::milliseconds(200));
    spun = cpu_over(100) > 0.02;
    std::ifstream loadavg("/proc/loadavg");
    const std::string text((std::istreambuf_iterator<char>(loadavg)), std::istreambuf_iterator<char>());
    const auto runnable = pool::detail::runnable_in_loadavg(text);
    busy = busy || !runnable || *runnable > pool::thread_count();
  }
  // Beside work that wants every core the spinners stop at once, as they should, and there is
  // no spinning to see stop; with cores to spare they must spin.
  if (!spun && busy) GTEST_SKIP() << "the cores were never free for 15 s: the helpers did not spin";
  ASSERT_TRUE(spun) << "the helpers did not spin, though the machine had cores to spare";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(cpu_over(500), 0.025) << "still spinning after the window";

  pool::keep_warm(std::chrono::seconds(60));
  pool::work_started();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LT(cpu_over(500), 0.025) << "still spinning after work started";

  const std::size_t n = 4000, dim = 256;
  std::vector<float> flat(n * dim, 0.5f);
  const std::vector<quillmere::RecordBlock> blocks = {{flat.data(), n, dim}};
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(quillmere::knn_search(blocks, std::span(flat.data(), dim), 5, quillmere::Metric::l2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(cpu_over(500), 0.025) << "still spinning after the last search";
}

using SchedAttr = pool::detail::SchedAttr;

SchedAttr attr_of(pid_t tid) {
  SchedAttr a{};
  if (syscall(SYS_sched_getattr, tid, &a, sizeof a, 0) != 0) a.size = 0;
  return a;
}

// Helpers ask for a short scheduler slice where the kernel keeps one; the calling thread is
// the host's, and its own scheduling stays as it was.
TEST(Pool, OnlyHelpersAskForAShortSlice) {
  if (pool::thread_count() < 2) GTEST_SKIP() << "no helpers";
  const SchedAttr before = attr_of(0);
  ASSERT_NE(before.size, 0u);
  std::atomic<std::size_t> sum{0};
  pool::for_each_range(1000, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) sum += i;
  });
  ASSERT_EQ(sum.load(), 999u * 1000u / 2);
  const SchedAttr after = attr_of(0);
  EXPECT_EQ(after.policy, before.policy);
  EXPECT_EQ(after.nice, before.nice);
  EXPECT_EQ(after.runtime, before.runtime);

  constexpr std::uint64_t kShort = pool::detail::kHelperSliceNs;
  bool kept = false;
  std::thread([&] {
    SchedAttr a = attr_of(0);
    a.size = sizeof a;
    a.runtime = kShort;
    kept = syscall(SYS_sched_setattr, 0, &a, 0) == 0 && attr_of(0).runtime == kShort;
  }).join();
  if (!kept) GTEST_SKIP() << "this kernel does not keep a requested slice";
  // Helpers ask as they start, which on a loaded machine may be a little later.
  std::size_t short_sliced = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (short_sliced != pool::thread_count() - 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    short_sliced = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
      if (attr_of(std::stoi(entry.path().filename().string())).runtime == kShort) ++short_sliced;
  }
  EXPECT_EQ(short_sliced, pool::thread_count() - 1);
}

// A child forked from a process whose pool is running (and may be busy) must finish its own
// searches without hanging.
TEST(Pool, UsableInAForkedChild) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g;
  const std::size_t n = 6000, dim = 24;
  std::vector<float> flat(n * dim);
  for (float& x : flat) x = g(rng);
  const std::vector<quillmere::RecordBlock> cands = {{flat.data(), n, dim}};
  const std::span<const float> query(flat.data() + 5 * dim, dim);
  ASSERT_TRUE(quillmere::knn_search(cands, query, 3, quillmere::Metric::l2).has_value());
  ASSERT_TRUE(pool::parallel_available());

  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) (void)quillmere::knn_search(cands, query, 3, quillmere::Metric::dot);
  });
  for (int round = 0; round < 16; ++round) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto r = quillmere::knn_search(cands, query, 3, quillmere::Metric::l2);
      bool ok = r.has_value() && r->size() == 3 && (*r)[0].position == 5 && (*r)[0].distance == 0.0f;
      std::atomic<std::size_t> sum{0};
      pool::for_each_range(100, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) sum += i;
      });
      ok = ok && sum.load() == 4950 && !pool::parallel_available();
      std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "forked child hung in round " << round;
      break;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
  }
  stop = true;
  busy.join();
}

}  // namespace

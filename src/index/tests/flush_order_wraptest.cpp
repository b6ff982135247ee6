// A dump's durability, seen through the calls it makes. fsync and rename are wrapped at link
// time (-Wl,--wrap), so this binary records the library's own calls and can fail any one flush.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);

namespace {

struct Call {
  std::string op, path, to;
};

std::mutex g_mutex;
std::vector<Call> g_calls;
std::string g_fail_path;  // the fsync of this path fails with EIO

std::string fd_path(int fd) {
  char buf[4096];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

extern "C" int __wrap_fsync(int fd) {
  const std::string path = fd_path(fd);
  {
    std::lock_guard lock(g_mutex);
    g_calls.push_back({"fsync", path, {}});
    if (!g_fail_path.empty() && path == g_fail_path) {
      errno = EIO;
      return -1;
    }
  }
  return __real_fsync(fd);
}

extern "C" int __wrap_rename(const char* from, const char* to) {
  {
    std::lock_guard lock(g_mutex);
    g_calls.push_back({"rename", from, to});
  }
  return __real_rename(from, to);
}

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using test::listing;

class FlushOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qm-flush-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = fs::canonical(tmpl);
    auto index = test::small_builder(10, 2, 10, 4).build();
    ASSERT_TRUE(index.has_value());
    std::mt19937 rng(7);
    for (std::uint32_t id = 0; id < 75; ++id) ASSERT_TRUE(index->insert(test::random_record(rng, 4), id).has_value());
    ASSERT_GE(index->n_levels(), 2u);
    index_.emplace(std::move(*index));
  }
  void TearDown() override {
    g_fail_path.clear();
    fs::remove_all(root_);
  }

  // Dumps into root/name with the fsync of `fail` (a path under it, or root) failing.
  std::pair<Result<void>, std::vector<Call>> dump(const std::string& name, const std::string& fail = {}) {
    {
      std::lock_guard lock(g_mutex);
      g_calls.clear();
      g_fail_path = fail;
    }
    auto result = index_->dump((root_ / name).string());
    std::lock_guard lock(g_mutex);
    g_fail_path.clear();
    return {std::move(result), g_calls};
  }

  fs::path root_;
  std::optional<Index> index_;
};

std::ptrdiff_t position(const std::vector<Call>& calls, const std::string& op, const std::string& path) {
  auto it = std::find_if(calls.begin(), calls.end(), [&](const Call& c) { return c.op == op && c.path == path; });
  return it == calls.end() ? -1 : it - calls.begin();
}

// Every file is flushed before meta.json is renamed into place (meta.json's own temporary
// among them); the directory and then its parent are flushed after the rename.
TEST_F(FlushOrder, EveryFileBeforeTheRenameAndTheDirectoriesAfter) {
  auto [result, calls] = dump("dump");
  ASSERT_TRUE(result.has_value()) << result.error().message();
  const fs::path dir = root_ / "dump";
  const std::ptrdiff_t rename = position(calls, "rename", (dir / ".meta.json.partial").string());
  ASSERT_GE(rename, 0);
  EXPECT_EQ(calls[rename].to, (dir / "meta.json").string());

  std::set<std::string> files = listing(dir);
  ASSERT_EQ(files.erase("meta.json"), 1u);
  ASSERT_GE(files.size(), 8u);  // two levels of three files, and the buffer's two
  files.insert(".meta.json.partial");
  for (const std::string& f : files) {
    const std::ptrdiff_t flushed = position(calls, "fsync", (dir / f).string());
    EXPECT_GE(flushed, 0) << f << " never flushed";
    EXPECT_LT(flushed, rename) << f << " flushed after meta.json named it";
  }
  const std::ptrdiff_t dir_flush = position(calls, "fsync", dir.string());
  const std::ptrdiff_t parent_flush = position(calls, "fsync", root_.string());
  EXPECT_GT(dir_flush, rename);
  EXPECT_GT(parent_flush, dir_flush);
}

// A failed flush fails the dump. Before the rename it leaves no meta.json (nor its temporary),
// so the directory can never be loaded as a complete dump; after it the error still reaches
// the caller.
TEST_F(FlushOrder, AFailedFlushFailsTheDumpAndNamesNoIncompleteFiles) {
  auto [ok, reference] = dump("reference");
  ASSERT_TRUE(ok.has_value());
  const std::string ref = (root_ / "reference").string();
  std::vector<std::string> flushed;  // relative to the dump, "" the dump itself, ".." its parent
  for (const Call& c : reference) {
    if (c.op != "fsync") continue;
    if (c.path == root_.string()) flushed.push_back("..");
    else if (c.path == ref) flushed.push_back("");
    else if (c.path.starts_with(ref + "/")) flushed.push_back(c.path.substr(ref.size() + 1));
  }
  ASSERT_GE(flushed.size(), 11u);  // eight data files, the temporary, the directory, its parent

  for (std::size_t i = 0; i < flushed.size(); ++i) {
    const std::string& f = flushed[i];
    SCOPED_TRACE("failing the flush of '" + f + "'");
    const std::string name = "fail-" + std::to_string(i);
    const fs::path dir = root_ / name;
    const std::string target = f == ".." ? root_.string() : f.empty() ? dir.string() : (dir / f).string();
    auto [result, calls] = dump(name, target);
    ASSERT_FALSE(result.has_value());
    // Each kind as the writer of that file reports its failures.
    const ErrorKind kind = f.starts_with("model-")       ? ErrorKind::ModelCreation
                           : f == ".meta.json.partial" ? ErrorKind::InvalidJsonConfig
                                                       : ErrorKind::FileOperation;
    EXPECT_EQ(result.error().kind, kind);
    EXPECT_NE(result.error().message().find(target + ": Input/output error"), std::string::npos)
        << result.error().message();
    const std::set<std::string> left = listing(dir);
    EXPECT_EQ(left.count(".meta.json.partial"), 0u);
    const bool before_rename = f != "" && f != "..";
    EXPECT_EQ(left.count("meta.json"), before_rename ? 0u : 1u);
  }
}

}  // namespace
}  // namespace quillmere

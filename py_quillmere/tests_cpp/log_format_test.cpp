#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_format.h"

namespace quillmere::pylog {
namespace {

using log::KeyValue;
using log::Level;
using log::Record;

Record make_record(Level level, const std::vector<KeyValue>& kvs, std::string_view module = "quillmere::index",
                   std::string_view file = "src/index/src/index.cpp", std::uint32_t line = 42) {
  return Record{level, "quillmere::index", "index:compact", kvs, module, file, line};
}

TEST(RecordLine, FullErrorLineIsCompactSortedAndNewlineTerminated) {
  const std::vector<KeyValue> kvs = {{"level_idx", std::uint64_t{2}}, {"Zeta", std::string("z")}};
  const Record r = make_record(Level::Error, kvs);
  EXPECT_EQ(format_record(r, 1700000000123),
            R"({"Zeta":"z","file":"src/index/src/index.cpp","level":"ERROR","level_idx":2,"line":42,)"
            R"("message":"index:compact","module":"quillmere::index","target":"quillmere::index",)"
            R"("timestamp":1700000000123})"
            "\n");
}

struct SourceKeysCase {
  Level level;
  const char* name;
  bool source_keys;
};

class SourceKeys : public testing::TestWithParam<SourceKeysCase> {};

TEST_P(SourceKeys, OnlyErrorAndWarnCarryModuleFileLine) {
  const auto& c = GetParam();
  const auto line = format_record(make_record(c.level, {}), 5);
  ASSERT_EQ(line.back(), '\n');
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j.at("level"), c.name);
  EXPECT_EQ(j.contains("module"), c.source_keys);
  EXPECT_EQ(j.contains("file"), c.source_keys);
  EXPECT_EQ(j.contains("line"), c.source_keys);
  if (c.source_keys) {
    EXPECT_EQ(j.at("module"), "quillmere::index");
    EXPECT_EQ(j.at("file"), "src/index/src/index.cpp");
    EXPECT_EQ(j.at("line"), 42);
  }
  EXPECT_EQ(j.size(), c.source_keys ? 7u : 4u);
}

INSTANTIATE_TEST_SUITE_P(Levels, SourceKeys,
                         testing::Values(SourceKeysCase{Level::Error, "ERROR", true},
                                         SourceKeysCase{Level::Warn, "WARN", true},
                                         SourceKeysCase{Level::Info, "INFO", false},
                                         SourceKeysCase{Level::Debug, "DEBUG", false},
                                         SourceKeysCase{Level::Trace, "TRACE", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordLine, SourceKeysThatTheRecordDoesNotCarryAreLeftOut) {
  const auto j = nlohmann::json::parse(format_record(make_record(Level::Warn, {}, "", "", 0), 1));
  EXPECT_FALSE(j.contains("module"));
  EXPECT_FALSE(j.contains("file"));
  EXPECT_FALSE(j.contains("line"));
}

TEST(RecordLine, BuiltInKeysReplaceKeyValuesOfTheSameName) {
  const std::vector<KeyValue> kvs = {{"level", std::string("fake")},     {"target", std::uint64_t{1}},
                                     {"message", std::string("fake")},   {"timestamp", std::string("x")},
                                     {"line", std::uint64_t{7}},         {"file", std::string("kv.cpp")}};
  const auto warn = nlohmann::json::parse(format_record(make_record(Level::Warn, kvs), 99));
  EXPECT_EQ(warn.at("level"), "WARN");
  EXPECT_EQ(warn.at("target"), "quillmere::index");
  EXPECT_EQ(warn.at("message"), "index:compact");
  EXPECT_EQ(warn.at("timestamp"), 99);
  EXPECT_EQ(warn.at("line"), 42);
  EXPECT_EQ(warn.at("file"), "src/index/src/index.cpp");
  // A debug record has no source keys, so key-values with those names stay.
  const auto debug = nlohmann::json::parse(format_record(make_record(Level::Debug, kvs), 99));
  EXPECT_EQ(debug.at("level"), "DEBUG");
  EXPECT_EQ(debug.at("line"), 7);
  EXPECT_EQ(debug.at("file"), "kv.cpp");
}

TEST(RecordLine, KeysSortByBytesAndTextStaysRawUtf8) {
  const std::vector<KeyValue> kvs = {{"\xC3\xA9t\xC3\xA9", std::string("1")},  // "été" sorts after ASCII
                                     {"_x", std::string("2")},
                                     {"Big", std::string("3")},
                                     {"time", std::string("1.5\xC2\xB5s")},
                                     {"quote", std::string("a\"b\\c\nd\x01")}};
  const auto line = format_record(make_record(Level::Debug, kvs), 0);
  EXPECT_EQ(line,
            "{\"Big\":\"3\",\"_x\":\"2\",\"level\":\"DEBUG\",\"message\":\"index:compact\","
            "\"quote\":\"a\\\"b\\\\c\\nd\\u0001\",\"target\":\"quillmere::index\",\"time\":\"1.5\xC2\xB5s\","
            "\"timestamp\":0,\"\xC3\xA9t\xC3\xA9\":\"1\"}\n");
  // Invalid UTF-8 is replaced, not fatal.
  const std::vector<KeyValue> bad = {{"path", std::string("a\xFF" "b")}};
  EXPECT_EQ(nlohmann::json::parse(format_record(make_record(Level::Debug, bad), 0)).at("path"), "a\xEF\xBF\xBD" "b");
}

TEST(FailureLine, HasTheFixedShape) {
  EXPECT_EQ(format_failure_line("ValueError: \"no\"", 1234),
            "{\"level\":\"ERROR\",\"message\":\"Logger failed to log: ValueError: \\\"no\\\"\","
            "\"target\":\"structured_logger\",\"timestamp\":1234}\n");
}

TEST(LevelFilter, NamesIgnoreAsciiCaseAndEverythingElseIsInfo) {
  const std::vector<std::pair<std::string, Level>> cases = {
      {"off", Level::Off},     {"OFF", Level::Off},       {"Error", Level::Error}, {"wArN", Level::Warn},
      {"info", Level::Info},   {"DEBUG", Level::Debug},   {"tRaCe", Level::Trace}, {"", Level::Info},
      {"verbose", Level::Info}, {"debug ", Level::Info},  {"warning", Level::Info}, {"err", Level::Info},
      {"\xC4\xB0NFO", Level::Info}};
  for (const auto& [text, level] : cases) EXPECT_EQ(parse_level_filter(text), level) << text;
  EXPECT_EQ(parse_level_filter(std::string("trace\0", 6)), Level::Info);
}

// Reads a whole file.
std::string slurp(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "text after the last newline";
  return lines;
}

class FileLogger : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pylog_test_XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    path_ = tmpl;
    logger_ = std::make_unique<JsonLinesLogger>(std::make_unique<FileSink>(fd), Level::Debug);
  }
  void TearDown() override {
    logger_.reset();
    std::remove(path_.c_str());
  }
  std::string path_;
  std::unique_ptr<JsonLinesLogger> logger_;
};

TEST_F(FileLogger, KeepsRecordsUpToTheFilterOnly) {
  for (Level level : {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace})
    logger_->log(make_record(level, {}));
  const auto lines = split_lines(slurp(path_));
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"ERROR", "WARN", "INFO", "DEBUG"};
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(nlohmann::json::parse(lines[i]).at("level"), expected[i]);
}

TEST_F(FileLogger, LinesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8, kPerThread = 200;
  const std::string padding(3000, 'p');  // long lines make torn writes visible
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::vector<KeyValue> kvs = {{"thread", std::uint64_t(t)}, {"i", std::uint64_t(i)}, {"pad", padding}};
        logger_->log(make_record(Level::Debug, kvs));
      }
    });
  for (auto& th : threads) th.join();
  const auto lines = split_lines(slurp(path_));
  ASSERT_EQ(lines.size(), std::size_t{kThreads * kPerThread});
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    const auto j = nlohmann::json::parse(line);
    const int t = j.at("thread");
    EXPECT_EQ(j.at("i"), next[t]++) << "lines of one thread out of order";
  }
}

TEST(FailureReport, WriteErrorGoesToStandardErrorAndLoggingGoesOn) {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // writes fail with EBADF
  ASSERT_GE(fd, 0);
  JsonLinesLogger logger(std::make_unique<FileSink>(fd), Level::Trace);
  testing::internal::CaptureStderr();
  logger.log(make_record(Level::Debug, {}));
  logger.log(make_record(Level::Info, {}));
  const auto lines = split_lines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) {
    const auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j.at("message"), "Logger failed to log: Bad file descriptor (os error 9)");
    EXPECT_EQ(j.at("target"), "structured_logger");
    EXPECT_EQ(j.at("level"), "ERROR");
    EXPECT_TRUE(j.at("timestamp").is_number_integer());
  }
}

// Everything the pipe's non-blocking read end holds now.
std::string drain(int fd) {
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

TEST(FailureReport, ALineCutShortWhereItCannotBeTakenBackLeavesTheNextWhole) {
  // A pipe cannot be truncated. Its 64 KiB take a first cut of a longer line, then the
  // non-blocking write fails; the next record must not be glued to that fragment.
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(::fcntl(p[1], F_SETPIPE_SZ, 65536), 65536);
  JsonLinesLogger logger(std::make_unique<FileSink>(p[1]), Level::Debug);
  testing::internal::CaptureStderr();
  logger.log(make_record(Level::Debug, {{"pad", std::string(70000, 'p')}}));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Resource temporarily unavailable"), std::string::npos);
  const std::string cut = drain(p[0]);
  ASSERT_EQ(cut.size(), 65536u);
  logger.log(make_record(Level::Debug, {{"after", std::uint64_t{1}}}));
  const std::string next = drain(p[0]);
  ASSERT_EQ(next.front(), '\n');
  const auto lines = split_lines(next.substr(1));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(lines[0]).at("after"), 1);
  ::close(p[0]);
}

// A sink that logs again from inside its own write, as a writer object calling back might.
class ReentrantSink final : public LineSink {
 public:
  std::expected<void, std::string> write_line(std::string_view line) noexcept override {
    lines.emplace_back(line);
    active_inside = writer_active_on_this_thread();
    if (logger != nullptr && lines.size() == 1) logger->log(make_record(Level::Error, {}));
    return {};
  }
  JsonLinesLogger* logger = nullptr;
  std::vector<std::string> lines;
  bool active_inside = false;
};

TEST(FailureReport, NestedRecordIsDroppedWithAFailureLineNotADeadlock) {
  auto owned = std::make_unique<ReentrantSink>();
  ReentrantSink* sink = owned.get();
  JsonLinesLogger logger(std::move(owned), Level::Debug);
  sink->logger = &logger;
  testing::internal::CaptureStderr();
  logger.log(make_record(Level::Debug, {}));
  const auto err = split_lines(testing::internal::GetCapturedStderr());
  EXPECT_TRUE(sink->active_inside);
  EXPECT_FALSE(writer_active_on_this_thread());
  ASSERT_EQ(sink->lines.size(), 1u);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(err[0]).at("message"),
            std::string("Logger failed to log: ") + std::string(kNestedRecordError));
  logger.log(make_record(Level::Debug, {}));  // the flag was cleared: the next record goes through
  EXPECT_EQ(sink->lines.size(), 2u);
}

}  // namespace
}  // namespace quillmere::pylog

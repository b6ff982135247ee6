#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "quillmere/disk.h"

namespace quillmere {
namespace {

constexpr std::uint64_t kMax = 18446744073709551615ULL;

DiskIndex sample() {
  DiskIndex d;
  d.compaction_strategy = {RebuildStrategy::basic_rebuild};
  d.levels_config.model.layers = {ModelLayer::linear(128), ModelLayer::relu()};
  d.levels_config.model.train_params = {1000, 256, 3, 10, RetrainStrategy::no_retrain};
  d.levels_config.bucket_size = 5000;
  d.buffer_size = 5000;
  d.input_shape = 4;
  d.arity = 3;
  d.distance_fn = DistanceFn::l2;
  d.delete_method = DeleteMethod::oid_to_bucket;
  DiskLevelIndex level;
  level.records_path = "/d/bucket-records-0.bin";
  level.ids_path = "/d/bucket-ids-0.bin";
  level.buckets = {{0, 0, 2}, {32, 8, 0}, {32, 8, kMax}};
  level.config.model.layers = {ModelLayer::relu()};
  level.config.model.train_params = {1, 2, 3, 4, RetrainStrategy::from_scratch};
  level.config.model.weights_path = "/d/model-0.safetensors";
  level.config.bucket_size = 7;
  d.levels = {level};
  d.disk_buffer = {"/d/buffer_records.bin", "/d/buffer_ids.bin", 1};
  return d;
}

// Written out by hand from the record layout.
const std::string kSampleJson =
    R"({"compaction_strategy":{"type":"bentley_saxe","rebuild_strategy":"basic_rebuild"},)"
    R"("levels_config":{"model":{"layers":[{"type":"linear","value":128},{"type":"relu"}],)"
    R"("train_params":{"threshold_samples":1000,"batch_size":256,"epochs":3,"max_iters":10,)"
    R"("retrain_strategy":"no_retrain"},"weights_path":null},"bucket_size":5000},)"
    R"("buffer_size":5000,"input_shape":4,"arity":3,"distance_fn":"l2","delete_method":"oid_to_bucket",)"
    R"("levels":[{"records_path":"/d/bucket-records-0.bin","ids_path":"/d/bucket-ids-0.bin",)"
    R"("buckets":[{"records_offset":0,"ids_offset":0,"count":2},{"records_offset":32,"ids_offset":8,"count":0},)"
    R"({"records_offset":32,"ids_offset":8,"count":18446744073709551615}],)"
    R"("config":{"model":{"layers":[{"type":"relu"}],"train_params":{"threshold_samples":1,"batch_size":2,)"
    R"("epochs":3,"max_iters":4,"retrain_strategy":"from_scratch"},"weights_path":"/d/model-0.safetensors"},)"
    R"("bucket_size":7}}],"disk_buffer":{"records_path":"/d/buffer_records.bin","ids_path":"/d/buffer_ids.bin",)"
    R"("count":1}})";

TEST(MetaJson, WritesTheExactCompactText) {
  auto text = write_meta_json(sample());
  ASSERT_TRUE(text.has_value()) << text.error().message();
  EXPECT_EQ(*text, kSampleJson);

  DiskIndex empty = sample();
  empty.levels.clear();
  empty.disk_buffer.count = 0;
  empty.distance_fn = DistanceFn::dot;
  empty.compaction_strategy.rebuild_strategy = RebuildStrategy::greedy_rebuild;
  auto e = write_meta_json(empty);
  ASSERT_TRUE(e.has_value());
  EXPECT_NE(e->find(R"("rebuild_strategy":"greedy_rebuild"})"), std::string::npos);
  EXPECT_NE(e->find(R"("distance_fn":"dot","delete_method":"oid_to_bucket","levels":[],"disk_buffer":)"),
            std::string::npos);
  EXPECT_TRUE(e->ends_with(R"("ids_path":"/d/buffer_ids.bin","count":0}})"));
}

TEST(MetaJson, EscapesPathsAndKeepsUtf8) {
  DiskIndex d = sample();
  d.disk_buffer.records_path = "/t\"q\\b\b\t\n\f\r\x01\x1f\x7f/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  auto text = write_meta_json(d);
  ASSERT_TRUE(text.has_value());
  const std::string want = std::string(R"("records_path":"/t\"q\\b\b\t\n\f\r\u0001\u001f)") +
                           "\x7f/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"";
  EXPECT_NE(text->find(want), std::string::npos) << *text;
  auto back = read_meta_json(*text);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, d);
}

// Python's json module re-encoding our text compactly must give the same bytes.
TEST(MetaJson, AgreesWithPythonsCompactEncoding) {
  std::ifstream probe("/usr/bin/python3");
  if (!probe) GTEST_SKIP() << "no /usr/bin/python3";
  DiskIndex d = sample();
  d.levels.push_back(d.levels[0]);
  d.levels[1].records_path = "/x/\x02\"\\\t\xc3\xa9/r";
  d.levels[1].config.model.weights_path.reset();
  auto text = write_meta_json(d);
  ASSERT_TRUE(text.has_value());
  const std::string file = ::testing::TempDir() + "quillmere_meta_python.json";
  std::ofstream(file, std::ios::binary) << *text;
  const std::string cmd =
      "/usr/bin/python3 -c \"import json,sys; d=json.load(open(sys.argv[1], encoding='utf-8')); "
      "sys.stdout.buffer.write(json.dumps(d, separators=(',', ':'), ensure_ascii=False).encode('utf-8'))\" " + file;
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ASSERT_EQ(::pclose(p), 0);
  std::remove(file.c_str());
  EXPECT_EQ(out, *text);
}

TEST(MetaJson, InvalidUtf8PathFailsBeforeAnythingIsWritten) {
  for (std::string bad : {std::string("/d/\xff.bin"), std::string("/d/\xc3"), std::string("/d/\xed\xa0\x80")}) {
    DiskIndex d = sample();
    d.levels[0].config.model.weights_path = bad;
    auto text = write_meta_json(d);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().kind, ErrorKind::InvalidJsonConfig);
    EXPECT_EQ(text.error().message(), "Invalid JSON config: path contains invalid UTF-8 characters");

    const std::string file = ::testing::TempDir() + "quillmere_meta_bad.json";
    std::remove(file.c_str());
    auto w = write_meta_json_file(file, d);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().kind, ErrorKind::InvalidJsonConfig);
    EXPECT_FALSE(std::ifstream(file).good());
  }
}

TEST(MetaJson, FileWriteAndCreateFailure) {
  const std::string file = ::testing::TempDir() + "quillmere_meta_ok.json";
  ASSERT_TRUE(write_meta_json_file(file, sample()).has_value());
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, kSampleJson);
  std::remove(file.c_str());

  const std::string unreachable = ::testing::TempDir() + "no/such/dir/meta.json";
  auto w = write_meta_json_file(unreachable, sample());
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().kind, ErrorKind::FileOperation);
  EXPECT_EQ(w.error().message(), "File operation failed: cannot create " + unreachable + ": No such file or directory");
}

TEST(MetaJson, RoundTrips) {
  std::vector<DiskIndex> cases;
  cases.push_back(sample());
  DiskIndex empty;
  cases.push_back(empty);
  DiskIndex extremes = sample();
  extremes.buffer_size = kMax;
  extremes.input_shape = 0;
  extremes.arity = kMax;
  extremes.levels_config.model.layers.clear();
  extremes.levels_config.model.weights_path = "";
  extremes.levels_config.model.train_params = {0, kMax, 0, kMax, RetrainStrategy::from_scratch};
  extremes.levels_config.model.layers = {ModelLayer::linear(0), ModelLayer::linear(kMax)};
  cases.push_back(extremes);
  for (const auto& d : cases) {
    auto text = write_meta_json(d);
    ASSERT_TRUE(text.has_value());
    auto back = read_meta_json(*text);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    EXPECT_EQ(*back, d);
  }
}

TEST(MetaJson, ReadsTolerantForms) {
  // Keys reordered, unknown keys (a device among them) at every depth, records as
  // positional arrays, tagged records as two-element arrays, weights_path absent.
  const std::string text = R"(
  {
    "device": "cpu",
    "disk_buffer": {"count": 1, "ids_path": "/d/buffer_ids.bin", "extra": [1, {"deep": null}],
                    "records_path": "/d/buffer_records.bin"},
    "levels": [
      ["/d/bucket-records-0.bin", "/d/bucket-ids-0.bin",
       [[0, 0, 2], {"count": 0, "ids_offset": 8, "records_offset": 32}, [32, 8, 18446744073709551615]],
       {"bucket_size": 7,
        "model": [[["relu", null]], [1, 2, 3, 4, "from_scratch"], "/d/model-0.safetensors"]}]
    ],
    "delete_method": "oid_to_bucket",
    "distance_fn": "l2",
    "arity": 3, "input_shape": 4, "buffer_size": 5000,
    "levels_config": {"bucket_size": 5000, "model": {
        "train_params": {"retrain_strategy": "no_retrain", "max_iters": 10, "epochs": 3, "batch_size": 256,
                         "threshold_samples": 1000, "note": "skipped"},
        "layers": [{"value": 128, "type": "linear", "x": 1}, ["relu"]]}},
    "compaction_strategy": ["bentley_saxe", "basic_rebuild"]
  }
  )";
  auto d = read_meta_json(text);
  ASSERT_TRUE(d.has_value()) << d.error().message();
  EXPECT_EQ(*d, sample());

  // weights_path: absent, null and a string.
  for (auto [wp, want] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"", std::nullopt}, {R"(,"weights_path":null)", std::nullopt}, {R"(,"weights_path":"w.pt")", "w.pt"}}) {
    std::string t = kSampleJson;
    const std::string from = R"(,"weights_path":null)";
    t.replace(t.find(from), from.size(), wp);
    auto r = read_meta_json(t);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->levels_config.model.weights_path, want);
  }
}

std::string at_column(std::size_t one_based) { return "at line 1 column " + std::to_string(one_based); }

TEST(MetaJson, ReadErrors) {
  struct Case {
    std::string text;
    std::string detail;
  };
  const std::string s = kSampleJson;
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = s;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const std::string no_arity = replace(R"("arity":3,)", "");
  const std::string twice = replace(R"("arity":3,)", R"("arity":3,"arity":3,)");
  const std::size_t second_arity = twice.find(R"("arity")", twice.find(R"("arity")") + 1);
  const std::string upper = replace(R"("distance_fn":"l2")", R"("distance_fn":"L2")");
  const std::string negative = replace(R"("count":1})", R"("count":-1})");
  const std::string fraction = replace(R"("count":1})", R"("count":1.5})");

  const std::vector<Case> cases{
      {no_arity, "missing field `arity` " + at_column(no_arity.size())},
      {twice, "duplicate field `arity` " + at_column(second_arity + 7)},
      {upper, "unknown variant `L2`, expected `l2` or `dot` " + at_column(upper.find(R"("L2")") + 4)},
      {negative, "invalid value: integer `-1`, expected usize " + at_column(negative.rfind("-1") + 2)},
      {fraction,
       "invalid type: floating point `1.5`, expected usize " + at_column(fraction.rfind("1.5") + 3)},
      {s + " {}", "trailing characters " + at_column(s.size() + 2)},
      {"{\n  \"compaction_strategy\": {\"type\": \"bentley_saxe\", \"rebuild_strategy\": \"no_rebuild\"},\n"
       "  \"levels_config\": 5\n}",
       "invalid type: integer `5`, expected struct LevelIndexConfig at line 3 column 20"},
      {R"({"levels":[{"buckets":[]}]})", "invalid length 0, expected a level with at least one bucket at line 1 column 24"},
      {R"({"disk_buffer":["a","b"]})", "invalid length 2, expected struct DiskBuffer with 3 elements at line 1 column 24"},
      {R"({"levels_config":{"model":{"train_params":[1,2,3,4]}}})",
       "invalid length 4, expected struct TrainParams with 5 elements at line 1 column 51"},
      {R"({"levels_config":[[[],[1,2,3,4,"no_retrain"]]]})",
       "invalid length 2, expected struct ModelConfig with 3 elements at line 1 column 45"},
      {R"({"levels_config":[[[],[1,2,3,4,"no_retrain"],null]]})",
       "invalid length 1, expected struct LevelIndexConfig with 2 elements at line 1 column 51"},
      {R"({"levels":[["a","b",[[1,2,3,4]]]]})", "invalid length 4, expected struct DiskBucket with 3 elements at line 1 column 29"},
      {R"({"levels_config":{"model":{"layers":[{"type":"relu","value":3}]}}})",
       "invalid type: integer `3`, expected unit variant ModelLayer::ReLU at line 1 column 61"},
      {R"({"levels_config":{"model":{"layers":[{"type":"linear"}]}}})", "missing field `value` at line 1 column 54"},
      {R"({"compaction_strategy":{"rebuild_strategy":"no_rebuild"}})", "missing field `type` at line 1 column 56"},
      // Quoted as meta.json is written: DEL as it is.
      {R"({"levels":[{"records_path":"a\u0000\b\u007fb"}]})",
       "invalid value: string \"a\\u0000\\b\x7f" "b\", expected a path without NUL characters at line 1 column 45"},
      {"{\"x\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {"nope", "expected value at line 1 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"buffer_size":)", "EOF while parsing a value at line 1 column 15"},
      {"[]", "invalid length 0, expected struct DiskIndex with 9 elements at line 1 column 2"},
      {"5", "invalid type: integer `5`, expected struct DiskIndex at line 1 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = read_meta_json(c.text);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind, ErrorKind::InvalidJsonConfig);
    EXPECT_EQ(got.error().message(), "Invalid JSON config: " + c.detail);
  }

  // Whitespace after the root value is fine.
  EXPECT_TRUE(read_meta_json(s + "\n \t\r\n").has_value());
}

TEST(MetaJson, HostileNestingIsRefused) {
  auto nest = [](std::size_t n) { return R"({"x":)" + std::string(n, '[') + std::string(n, ']') + "}"; };
  const std::string ok = nest(127);
  auto a = read_meta_json(ok);
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(a.error().message(), "Invalid JSON config: missing field `compaction_strategy` at line 1 column " +
                                     std::to_string(ok.size()));
  auto b = read_meta_json(nest(128));
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(b.error().message(), "Invalid JSON config: recursion limit exceeded at line 1 column 133");
  auto c = read_meta_json(R"({"x":)" + std::string(500000, '['));
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().message(), "Invalid JSON config: recursion limit exceeded at line 1 column 133");
}

}  // namespace
}  // namespace quillmere

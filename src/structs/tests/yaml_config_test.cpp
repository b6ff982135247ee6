#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quillmere/config_reader.h"

namespace quillmere {
namespace {

// A complete configuration, one key per line; error cases edit one spot of it.
const std::string kBase =
    "compaction_strategy:\n"              // 1
    "  type: bentley_saxe\n"              // 2
    "  rebuild_strategy: no_rebuild\n"    // 3
    "levels:\n"                           // 4
    "  model:\n"                          // 5
    "    layers:\n"                       // 6
    "      - type: linear\n"              // 7
    "        value: 128\n"                // 8
    "      - type: relu\n"                // 9
    "    train_params:\n"                 // 10
    "      threshold_samples: 1000\n"     // 11
    "      batch_size: 256\n"             // 12
    "      epochs: 3\n"                   // 13
    "      max_iters: 10\n"               // 14
    "      retrain_strategy: no_retrain\n"// 15
    "  bucket_size: 5000\n"               // 16
    "buffer_size: 5000\n"                 // 17
    "input_shape: 768\n"                  // 18
    "arity: 3\n"                          // 19
    "device: cpu\n"                       // 20
    "distance_fn: dot\n"                  // 21
    "delete_method: oid_to_bucket\n";     // 22

std::string edited(const std::string& from, const std::string& to) {
  std::string s = kBase;
  const auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

IndexConfig base_config() {
  IndexConfig c;
  c.compaction_strategy = {RebuildStrategy::no_rebuild};
  c.levels.model.layers = {ModelLayer::linear(128), ModelLayer::relu()};
  c.levels.model.train_params = {1000, 256, 3, 10, RetrainStrategy::no_retrain};
  c.levels.model.weights_path = std::nullopt;
  c.levels.bucket_size = 5000;
  c.buffer_size = 5000;
  c.input_shape = 768;
  c.arity = 3;
  c.device = ModelDevice::cpu();
  c.distance_fn = DistanceFn::dot;
  c.delete_method = DeleteMethod::oid_to_bucket;
  return c;
}

TEST(YamlConfig, BaseReadsAsWritten) {
  auto c = read_index_config_yaml(kBase);
  ASSERT_TRUE(c.has_value()) << c.error().message();
  EXPECT_EQ(*c, base_config());
}

TEST(YamlConfig, EveryKeyReorderedWithIntegerFormsAndUnknownKeys) {
  const std::string text =
      "# keys in an unusual order\n"
      "delete_method: oid_to_bucket\n"
      "extra_root: {nested: [1, 2, {deep: x}], other: !gpu 3, levels: bogus}\n"
      "distance_fn: l2\n"
      "device: !gpu 2\n"
      "arity: 0b101\n"
      "input_shape: 0o17\n"
      "buffer_size: 0x10\n"
      "levels:\n"
      "  bucket_size: +5000\n"
      "  unknown_level_key: [a, b]\n"
      "  model:\n"
      "    weights_path: /tmp/w eights.safetensors\n"
      "    train_params:\n"
      "      retrain_strategy: from_scratch\n"
      "      max_iters: 18446744073709551615\n"
      "      epochs: 0\n"
      "      batch_size: 0xFF\n"
      "      threshold_samples: 1000\n"
      "      comment: ignored\n"
      "    layers:\n"
      "      - value: 64\n"
      "        type: linear\n"
      "        note: skipped\n"
      "      - type: relu\n"
      "      - type: relu\n"
      "        value: ~\n"
      "      - {type: linear, value: 0}\n"
      "compaction_strategy:\n"
      "  rebuild_strategy: greedy_rebuild\n"
      "  why: skipped\n"
      "  type: bentley_saxe\n";
  IndexConfig want;
  want.compaction_strategy = {RebuildStrategy::greedy_rebuild};
  want.levels.model.layers = {ModelLayer::linear(64), ModelLayer::relu(), ModelLayer::relu(), ModelLayer::linear(0)};
  want.levels.model.train_params = {1000, 255, 0, 18446744073709551615ULL, RetrainStrategy::from_scratch};
  want.levels.model.weights_path = "/tmp/w eights.safetensors";
  want.levels.bucket_size = 5000;
  want.buffer_size = 16;
  want.input_shape = 15;
  want.arity = 5;
  want.device = ModelDevice::gpu(2);
  want.distance_fn = DistanceFn::l2;
  want.delete_method = DeleteMethod::oid_to_bucket;

  auto c = read_index_config_yaml(text);
  ASSERT_TRUE(c.has_value()) << c.error().message();
  EXPECT_EQ(*c, want);
}

TEST(YamlConfig, EquivalentForms) {
  struct Case {
    std::string from, to;
    IndexConfig want;
  };
  std::vector<Case> cases;
  auto with = [](auto edit) {
    IndexConfig c = base_config();
    edit(c);
    return c;
  };
  cases.push_back({"  bucket_size: 5000\n", "  bucket_size: 5000\n  model_extra: 1\n", base_config()});
  cases.push_back({"layers:\n      - type: linear\n        value: 128\n      - type: relu\n", "layers: []\n",
                   with([](IndexConfig& c) { c.levels.model.layers.clear(); })});
  cases.push_back({"    train_params:", "    weights_path: null\n    train_params:", base_config()});
  cases.push_back({"    train_params:", "    weights_path: ~\n    train_params:", base_config()});
  cases.push_back({"    train_params:", "    weights_path: 'null'\n    train_params:",
                   with([](IndexConfig& c) { c.levels.model.weights_path = "null"; })});
  cases.push_back({"device: cpu", "device: !gpu 0", with([](IndexConfig& c) { c.device = ModelDevice::gpu(0); })});
  cases.push_back({"device: cpu", "device: !gpu 18446744073709551615",
                   with([](IndexConfig& c) { c.device = ModelDevice::gpu(18446744073709551615ULL); })});
  cases.push_back({"buffer_size: 5000", "buffer_size: 0", with([](IndexConfig& c) { c.buffer_size = 0; })});
  cases.push_back({"buffer_size: 5000", "buffer_size: 0xffffffffffffffff",
                   with([](IndexConfig& c) { c.buffer_size = 18446744073709551615ULL; })});
  cases.push_back({"buffer_size: 5000\ninput_shape: 768", "buffer_size: &n 42\ninput_shape: *n",
                   with([](IndexConfig& c) { c.buffer_size = c.input_shape = 42; })});
  cases.push_back({"distance_fn: dot", "distance_fn: \"l2\"", with([](IndexConfig& c) { c.distance_fn = DistanceFn::l2; })});
  cases.push_back({"      - type: relu\n", "      - type: relu\n        value:\n", base_config()});
  cases.push_back({"rebuild_strategy: no_rebuild", "rebuild_strategy: basic_rebuild",
                   with([](IndexConfig& c) { c.compaction_strategy.rebuild_strategy = RebuildStrategy::basic_rebuild; })});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    auto got = read_index_config_yaml(edited(c.from, c.to));
    ASSERT_TRUE(got.has_value()) << got.error().message();
    EXPECT_EQ(*got, c.want);
  }
}

struct ErrorCase {
  std::string text;
  std::string detail;
};

void expect_yaml_errors(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = read_index_config_yaml(c.text);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind, ErrorKind::InvalidYamlConfig);
    EXPECT_EQ(got.error().message(), "Invalid YAML config: " + c.detail);
  }
}

TEST(YamlConfig, ContentErrors) {
  expect_yaml_errors({
      {edited("distance_fn: dot", "distance_fn: L2"),
       "distance_fn: unknown variant `L2`, expected `l2` or `dot` at line 21 column 14"},
      {edited("delete_method: oid_to_bucket", "delete_method: Oid_to_bucket"),
       "delete_method: unknown variant `Oid_to_bucket`, expected `oid_to_bucket` at line 22 column 16"},
      {edited("      - type: relu\n", "      - type: relu\n        value: 3\n"),
       "levels.model.layers[1].value: invalid type: integer `3`, expected unit variant ModelLayer::ReLU at line 10 "
       "column 16"},
      {edited("        value: 128\n", ""), "levels.model.layers[0]: missing field `value` at line 7 column 9"},
      {edited("      - type: linear", "      - type: Linear"),
       "levels.model.layers[0].type: unknown variant `Linear`, expected `linear` or `relu` at line 7 column 15"},
      {edited("      - type: relu\n", "      - [relu]\n"),
       "levels.model.layers[1]: invalid type: sequence, expected adjacently tagged enum ModelLayer at line 9 column 9"},
      {edited("  rebuild_strategy: no_rebuild\n", ""),
       "compaction_strategy: missing field `rebuild_strategy` at line 2 column 3"},
      {edited("  type: bentley_saxe\n", ""), "compaction_strategy: missing field `type` at line 2 column 3"},
      {edited("rebuild_strategy: no_rebuild", "rebuild_strategy: No_rebuild"),
       "compaction_strategy.rebuild_strategy: unknown variant `No_rebuild`, expected one of `no_rebuild`, "
       "`basic_rebuild`, `greedy_rebuild` at line 3 column 21"},
      {edited("buffer_size: 5000", "buffer_size: -1"),
       "buffer_size: invalid value: integer `-1`, expected usize at line 17 column 14"},
      {edited("input_shape: 768", "input_shape: 7.5"),
       "input_shape: invalid type: floating point `7.5`, expected usize at line 18 column 14"},
      {edited("arity: 3", "arity: 18446744073709551616"),
       "arity: invalid value: integer `18446744073709551616`, expected usize at line 19 column 8"},
      {edited("arity: 3", "arity: '3'"), "arity: invalid type: string \"3\", expected usize at line 19 column 8"},
      {edited("arity: 3", "arity: [3]"), "arity: invalid type: sequence, expected usize at line 19 column 8"},
      {edited("device: cpu", "device: gpu"),
       "device: invalid type: unit variant, expected newtype variant at line 20 column 9"},
      {edited("device: cpu", "device: {gpu: 1}"),
       "device: invalid type: map, expected a YAML tag starting with '!' at line 20 column 9"},
      {edited("device: cpu", "device: tpu"), "device: unknown variant `tpu`, expected `cpu` or `gpu` at line 20 column 9"},
      {edited("device: cpu", "device: !tpu 1"),
       "device: unknown variant `tpu`, expected `cpu` or `gpu` at line 20 column 9"},
      {edited("arity: 3\n", "arity: 3\narity: 3\n"), "duplicate field `arity` at line 20 column 1"},
      {edited("      epochs: 3", "      epochs: true"),
       "levels.model.train_params.epochs: invalid type: boolean `true`, expected usize at line 13 column 15"},
      {edited("      max_iters: 10\n", ""), "levels.model.train_params: missing field `max_iters` at line 11 column 7"},
      {edited("retrain_strategy: no_retrain", "retrain_strategy: From_scratch"),
       "levels.model.train_params.retrain_strategy: unknown variant `From_scratch`, expected `no_retrain` or "
       "`from_scratch` at line 15 column 25"},
      {edited("    train_params:", "    weights_path: [a]\n    train_params:"),
       "levels.model.weights_path: invalid type: sequence, expected a path string at line 10 column 19"},
      {edited("arity: 3", "arity: *nowhere"), "unknown anchor at line 19 column 8"},
      {"levels:\n  - model: {}\n", "levels: invalid type: sequence, expected struct LevelIndexConfig at line 2 column 3"},
      {"levels:\n", "levels: missing field `model` at line 1 column 8"},
      {"{}", "missing field `compaction_strategy` at line 1 column 1"},
      {"---\n", "missing field `compaction_strategy` at line 2 column 1"},
      {"", "EOF while parsing a value"},
      {"# nothing but a comment\n", "EOF while parsing a value"},
      {kBase + "---\n" + kBase, "deserializing from YAML containing more than one document is not supported"},
      {"key: [unclosed\n", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line "
                           "1 column 6"},
  });
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(YamlConfig, HostileNestingAndAliasesAreRefused) {
  // 127 brackets under the root mapping make 128 levels: accepted (the root keys are then missing).
  expect_yaml_errors({
      {"x: " + repeat("[", 127) + repeat("]", 127) + "\n", "missing field `compaction_strategy` at line 1 column 1"},
      {"x: " + repeat("[", 128) + repeat("]", 128) + "\n", "recursion limit exceeded at line 1 column 131"},
  });
  // Far deeper than any stack could follow.
  auto deep = read_index_config_yaml("x: " + repeat("[", 200000));
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error().message(), "Invalid YAML config: recursion limit exceeded at line 1 column 131");
  auto deep_block = read_index_config_yaml("x:\n  " + repeat("- ", 5000) + "y\n");
  ASSERT_FALSE(deep_block.has_value());
  EXPECT_TRUE(deep_block.error().message().starts_with("Invalid YAML config: recursion limit exceeded at line 2"))
      << deep_block.error().message();

  // Each level repeats the previous one ten times: 10^12 nodes if expanded.
  std::string laughs = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int i = 1; i <= 12; ++i) {
    laughs += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
    for (int k = 0; k < 10; ++k) laughs += (k ? ", *a" : "*a") + std::to_string(i - 1);
    laughs += "]\n";
  }
  auto bomb = read_index_config_yaml(laughs);
  ASSERT_FALSE(bomb.has_value());
  EXPECT_EQ(bomb.error().kind, ErrorKind::InvalidYamlConfig);
  EXPECT_TRUE(bomb.error().message().starts_with("Invalid YAML config: repetition limit exceeded at line "))
      << bomb.error().message();

  // Aliases that stack nested sequences would exceed the nesting limit once resolved.
  std::string tower = "a0: &a0 " + repeat("[", 100) + repeat("]", 100) + "\n";
  tower += "a1: &a1 " + repeat("[", 60) + "*a0" + repeat("]", 60) + "\n";
  auto stacked = read_index_config_yaml(tower);
  ASSERT_FALSE(stacked.has_value());
  EXPECT_EQ(stacked.error().message(), "Invalid YAML config: recursion limit exceeded at line 2 column 69");
}

class YamlFile : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return ::testing::TempDir() + "quillmere_yaml_" + name; }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  void TearDown() override {
    for (auto n : {"good.yaml", "bad_utf8.yaml", "syntax.yaml"}) std::remove(path(n).c_str());
  }
};

TEST_F(YamlFile, ReadsAndReportsFileErrors) {
  auto good = read_index_config_yaml_file(write("good.yaml", kBase));
  ASSERT_TRUE(good.has_value()) << good.error().message();
  EXPECT_EQ(*good, base_config());

  auto missing = read_index_config_yaml_file(path("does_not_exist.yaml"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::FileOperation);
  EXPECT_EQ(missing.error().message(),
            "File operation failed: cannot open " + path("does_not_exist.yaml") + ": No such file or directory");

  auto utf8 = read_index_config_yaml_file(write("bad_utf8.yaml", "buffer_size: 1\nname: caf\xe9\n"));
  ASSERT_FALSE(utf8.has_value());
  EXPECT_EQ(utf8.error().message(), "File operation failed: stream did not contain valid UTF-8");

  auto syntax = read_index_config_yaml_file(write("syntax.yaml", "a: [1\n"));
  ASSERT_FALSE(syntax.has_value());
  EXPECT_EQ(syntax.error().kind, ErrorKind::InvalidYamlConfig);
}

TEST_F(YamlFile, OnlyRegularFilesUpToFourMiBAreRead) {
  // A file of exactly 4 MiB is read; one byte more is refused unread, as is anything that is
  // not a regular file, however it would behave when read.
  const std::string padded = kBase + "#" + std::string((std::size_t{4} << 20) - kBase.size() - 2, 'x') + "\n";
  auto limit = read_index_config_yaml_file(write("limit.yaml", padded));
  ASSERT_TRUE(limit.has_value()) << limit.error().message();
  EXPECT_EQ(*limit, base_config());

  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ASSERT_EQ(::write(p[1], kBase.data(), kBase.size()), static_cast<ssize_t>(kBase.size()));
  const std::string fifo = path("fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> refused[] = {
      {write("over.yaml", padded + " "), "is larger than the 4 MiB a configuration file may hold"},
      {"/dev/zero", "is not a regular file"},
      {"/proc/self/fd/" + std::to_string(p[0]), "is not a regular file"},
      {fifo, "is not a regular file"},
      {::testing::TempDir(), "is not a regular file"},
  };
  for (const auto& [file, text] : refused) {
    auto r = read_index_config_yaml_file(file);
    ASSERT_FALSE(r.has_value()) << file;
    EXPECT_EQ(r.error().message(), "File operation failed: " + file + " " + text);
  }
  ::close(p[0]);
  ::close(p[1]);
  for (auto n : {"fifo", "limit.yaml", "over.yaml"}) std::remove(path(n).c_str());
}

}  // namespace
}  // namespace quillmere

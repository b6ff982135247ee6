// Weights files: the saved safetensors file read back by a reader written here, round trips
// through every extension, and hostile or mismatched files refused while the process lives on.
#include <nlohmann/json.hpp>

#include <cstring>
#include <map>

#include "model_test_util.h"

namespace quillmere::test {
namespace {

using L = ModelLayer;

std::vector<float> ramp(std::size_t n, float start, float step) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<float>(i);
  return v;
}

// A small model with known parameters: 3 inputs, hidden 5 with relu, 4 buckets.
BucketModel known_model() {
  BucketModel m = make(builder(3, 4, {L::linear(5), L::relu()}));
  EXPECT_TRUE(m.set_parameter("0.weight", ramp(15, -0.7f, 0.1f)));
  EXPECT_TRUE(m.set_parameter("0.bias", ramp(5, 0.05f, -0.02f)));
  EXPECT_TRUE(m.set_parameter("2.weight", ramp(20, 0.9f, -0.09f)));
  EXPECT_TRUE(m.set_parameter("2.bias", ramp(4, -0.1f, 0.07f)));
  return m;
}

std::uint64_t le64(const std::string& bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::string le64_bytes(std::uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

// A safetensors image from a header text and a data area, padded as the format asks.
std::string st_image(std::string header, const std::string& data) {
  header.append((8 - header.size() % 8) % 8, ' ');
  return le64_bytes(header.size()) + header + data;
}

template <class T>
std::string raw(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// Builds a header entry and appends its bytes to `data`.
void add_tensor(nlohmann::ordered_json& header, std::string& data, const std::string& name, const std::string& dtype,
                std::vector<std::int64_t> shape, const std::string& bytes) {
  header[name] = {{"dtype", dtype}, {"shape", shape}, {"data_offsets", {data.size(), data.size() + bytes.size()}}};
  data += bytes;
}

std::vector<std::vector<BucketProbability>> rankings(const BucketModel& m, const std::vector<float>& queries) {
  std::vector<std::vector<BucketProbability>> out;
  for (std::size_t i = 0; i + m.input_shape() <= queries.size(); i += m.input_shape()) {
    auto p = m.predict(std::span<const float>(queries).subspan(i, m.input_shape()));
    EXPECT_TRUE(p);
    out.push_back(p.value_or(std::vector<BucketProbability>{}));
  }
  return out;
}

void expect_model_creation_failure(const Result<BucketModel>& m, const std::string& what) {
  ASSERT_FALSE(m.has_value()) << what;
  EXPECT_EQ(m.error().kind, ErrorKind::ModelCreation) << what;
  EXPECT_TRUE(m.error().message().starts_with("Model creation failed: ")) << what;
  EXPECT_GT(m.error().message().size(), std::string("Model creation failed: ").size()) << what;
}

// ---------------------------------------------------------------------------------------------

TEST(SafetensorsFile, ReadsBackWithAnIndependentReader) {
  TempDir dir;
  BucketModel m = known_model();
  const std::string path = dir.file("model-0.safetensors");
  auto cfg = m.save_weights(path);
  ASSERT_TRUE(cfg) << cfg.error().message();

  const std::string bytes = read_bytes(path);
  ASSERT_GE(bytes.size(), 8u);
  const std::uint64_t n = le64(bytes, 0);
  ASSERT_LE(8 + n, bytes.size());
  EXPECT_EQ((8 + n) % 8, 0u) << "the data area starts on an 8-byte boundary";
  const std::string header_text = bytes.substr(8, n);
  const std::size_t json_end = header_text.find_last_not_of(' ') + 1;
  EXPECT_EQ(header_text[0], '{');
  EXPECT_EQ(header_text[json_end - 1], '}');
  const auto header = nlohmann::json::parse(header_text.substr(0, json_end));
  const std::string data = bytes.substr(8 + n);

  const std::map<std::string, std::pair<std::vector<std::int64_t>, std::vector<float>>> expected = {
      {"0.weight", {{5, 3}, ramp(15, -0.7f, 0.1f)}},
      {"0.bias", {{5}, ramp(5, 0.05f, -0.02f)}},
      {"2.weight", {{4, 5}, ramp(20, 0.9f, -0.09f)}},
      {"2.bias", {{4}, ramp(4, -0.1f, 0.07f)}},
  };
  std::size_t tensors = 0, covered = 0;
  for (const auto& [name, entry] : header.items()) {
    if (name == "__metadata__") continue;
    ++tensors;
    ASSERT_TRUE(expected.count(name)) << name;
    const auto& [shape, values] = expected.at(name);
    EXPECT_EQ(entry.at("dtype"), "F32");
    EXPECT_EQ(entry.at("shape").get<std::vector<std::int64_t>>(), shape);
    const auto begin = entry.at("data_offsets")[0].get<std::size_t>();
    const auto end = entry.at("data_offsets")[1].get<std::size_t>();
    ASSERT_LE(begin, end);
    ASSERT_LE(end, data.size());
    ASSERT_EQ(end - begin, values.size() * 4) << name;
    covered += end - begin;
    for (std::size_t i = 0; i < values.size(); ++i) {
      // Little-endian f32, assembled byte by byte.
      std::uint32_t word = 0;
      for (int b = 3; b >= 0; --b) word = (word << 8) | static_cast<unsigned char>(data[begin + 4 * i + b]);
      float v;
      std::memcpy(&v, &word, 4);
      EXPECT_EQ(v, values[i]) << name << "[" << i << "]";
    }
  }
  EXPECT_EQ(tensors, expected.size());
  EXPECT_EQ(covered, data.size()) << "tensors cover the data area without gaps or overlap";
}

TEST(WeightsFile, RoundTripsThroughEveryExtension) {
  TempDir dir;
  BucketModelBuilder b = builder(6, 9, {L::linear(8), L::relu(), L::linear(7)});
  BucketModel original = make(b);
  const std::vector<float> queries = random_values(6 * 40, 3);
  const auto ranked = rankings(original, queries);
  const auto placed = original.predict_labels(queries);
  ASSERT_TRUE(placed);
  for (const char* name : {"w.safetensors", "w.ot", "weights", "w.pt", "w.bin", "w.SAFETENSORS"}) {
    const std::string path = dir.file(name);
    auto cfg = original.save_weights(path);
    ASSERT_TRUE(cfg) << name << ": " << cfg.error().message();
    BucketModelBuilder again = b;
    again.weights_path = path;
    auto loaded = BucketModel::create(again);
    ASSERT_TRUE(loaded) << name << ": " << loaded.error().message();
    EXPECT_EQ(rankings(*loaded, queries), ranked) << name;
    EXPECT_EQ(loaded->predict_labels(queries).value_or(std::vector<std::uint64_t>{}), *placed) << name;
  }
}

TEST(WeightsFile, IgnoresExtraTensorsAndWidensOtherFloatTypes) {
  TempDir dir;
  BucketModel reference = known_model();
  nlohmann::ordered_json header;
  std::string data;
  auto as_f64 = [](const std::vector<float>& v) { return raw(std::vector<double>(v.begin(), v.end())); };
  add_tensor(header, data, "2.bias", "F64", {4}, as_f64(ramp(4, -0.1f, 0.07f)));
  add_tensor(header, data, "unused", "I64", {2}, raw(std::vector<std::int64_t>{1, 2}));
  add_tensor(header, data, "0.weight", "F64", {5, 3}, as_f64(ramp(15, -0.7f, 0.1f)));
  add_tensor(header, data, "0.bias", "F32", {5}, raw(ramp(5, 0.05f, -0.02f)));
  add_tensor(header, data, "2.weight", "F64", {4, 5}, as_f64(ramp(20, 0.9f, -0.09f)));
  header["__metadata__"] = {{"format", "pt"}};
  const std::string path = dir.file("mixed.safetensors");
  write_bytes(path, st_image(header.dump(), data));

  BucketModelBuilder b = builder(3, 4, {L::linear(5), L::relu()});
  b.weights_path = path;
  auto loaded = BucketModel::create(b);
  ASSERT_TRUE(loaded) << loaded.error().message();
  const auto queries = random_values(3 * 20, 11);
  EXPECT_EQ(rankings(*loaded, queries), rankings(reference, queries));
}

TEST(WeightsFile, LibtorchArchivesLoadTheValuesLibtorchReads) {
  // Written by libtorch's OutputArchive in every floating type, with the f32 values libtorch's
  // own InputArchive read back (fixtures/make_archive_fixtures.cpp).
  const fs::path fixtures = fs::path(__FILE__).parent_path() / "fixtures";
  const auto expected = nlohmann::json::parse(read_bytes((fixtures / "archive_expected.json").string()));
  ASSERT_EQ(expected.size(), 4u);
  TempDir dir;
  for (const auto& [file, tensors] : expected.items()) {
    BucketModelBuilder b = builder(3, 2, {L::linear(4), L::relu()});
    BucketModel reference = make(b);
    for (const auto& [name, values] : tensors.items())
      ASSERT_TRUE(reference.set_parameter(name, values.get<std::vector<float>>())) << file << " " << name;
    b.weights_path = (fixtures / file).string();
    auto loaded = BucketModel::create(b);
    ASSERT_TRUE(loaded) << file << ": " << loaded.error().message();
    // Equal parameters write equal files.
    ASSERT_TRUE(loaded->save_weights(dir.file("loaded.safetensors")));
    ASSERT_TRUE(reference.save_weights(dir.file("reference.safetensors")));
    EXPECT_EQ(read_bytes(dir.file("loaded.safetensors")), read_bytes(dir.file("reference.safetensors"))) << file;
  }
}

// ---------------------------------------------------------------------------------------------
// Refusals: every case fails creation with a readable text, and the next case still runs.

struct Refusal {
  std::string what;
  std::string file_name;
  std::string bytes;  // written to file_name when `write` is set
  bool write = true;
  BucketModelBuilder target = builder(3, 4, {L::linear(5), L::relu()});
};

TEST(WeightsFile, RefusesMismatchedAndMalformedFiles) {
  TempDir dir;
  BucketModel m = known_model();
  ASSERT_TRUE(m.save_weights(dir.file("good.safetensors")));
  ASSERT_TRUE(m.save_weights(dir.file("good.ot")));
  const std::string good = read_bytes(dir.file("good.safetensors"));
  const std::uint64_t n = le64(good, 0);

  BucketModel three = make(builder(3, 3, {L::linear(5), L::relu()}));
  ASSERT_TRUE(three.save_weights(dir.file("three.safetensors")));
  ASSERT_TRUE(three.save_weights(dir.file("three.ot")));
  ASSERT_TRUE(three.save_weights(dir.file("three.pt")));
  BucketModel flat = make(builder(3, 4));
  ASSERT_TRUE(flat.save_weights(dir.file("flat.safetensors")));

  auto entry = [](std::uint64_t b, std::uint64_t e, nlohmann::json shape, const char* dtype = "F32") {
    return nlohmann::json{{"dtype", dtype}, {"shape", shape}, {"data_offsets", {b, e}}};
  };
  auto one = [&](nlohmann::json e, std::size_t data_bytes) {
    nlohmann::json h;
    h["0.weight"] = e;
    return st_image(h.dump(), std::string(data_bytes, '\0'));
  };
  // The known model's tensors but "2.bias".
  nlohmann::ordered_json three_of_four;
  std::string three_data;
  add_tensor(three_of_four, three_data, "0.weight", "F32", {5, 3}, raw(ramp(15, 0, 1)));
  add_tensor(three_of_four, three_data, "0.bias", "F32", {5}, raw(ramp(5, 0, 1)));
  add_tensor(three_of_four, three_data, "2.weight", "F32", {4, 5}, raw(ramp(20, 0, 1)));

  std::vector<Refusal> cases;
  auto add = [&](std::string what, std::string file, std::string bytes) {
    cases.push_back({std::move(what), std::move(file), std::move(bytes)});
  };
  auto existing = [&](std::string what, std::string file, BucketModelBuilder target) {
    cases.push_back({std::move(what), std::move(file), "", false, std::move(target)});
  };
  existing("other bucket count (safetensors)", "three.safetensors", builder(3, 4, {L::linear(5), L::relu()}));
  existing("other bucket count (archive)", "three.ot", builder(3, 4, {L::linear(5), L::relu()}));
  existing("other bucket count (pt)", "three.pt", builder(3, 4, {L::linear(5), L::relu()}));
  existing("other hidden layers", "flat.safetensors", builder(3, 4, {L::linear(5), L::relu()}));
  existing("more layers than the file", "good.safetensors", builder(3, 4, {L::linear(5), L::relu(), L::linear(2)}));
  existing("other input width", "good.ot", builder(2, 4, {L::linear(5), L::relu()}));
  existing("no such file (safetensors)", "absent.safetensors", builder(3, 4, {L::linear(5), L::relu()}));
  existing("no such file (archive)", "absent.ot", builder(3, 4, {L::linear(5), L::relu()}));
  for (const char* name : {"dir.safetensors", "dir.ot", "dir.pt"}) {
    fs::create_directory(dir.file(name));
    existing(std::string("a directory: ") + name, name, builder(3, 4, {L::linear(5), L::relu()}));
  }
  add("missing tensor", "missing.safetensors", st_image(three_of_four.dump(), three_data));
  for (std::size_t cut : {std::size_t{0}, std::size_t{4}, std::size_t{7}, std::size_t{8}, std::size_t{20},
                          static_cast<std::size_t>(8 + n - 1), static_cast<std::size_t>(8 + n), good.size() - 1}) {
    add("truncated at " + std::to_string(cut), "cut" + std::to_string(cut) + ".safetensors", good.substr(0, cut));
  }
  for (std::uint64_t len : {std::uint64_t{1} << 63, ~std::uint64_t{0}, std::uint64_t{1} << 40,
                            static_cast<std::uint64_t>(good.size()), static_cast<std::uint64_t>(good.size() - 7)}) {
    add("header length " + std::to_string(len), "len.safetensors", le64_bytes(len) + good.substr(8));
  }
  add("header not JSON", "notjson.safetensors", st_image("{\"0.weight\": {", ""));
  add("header an array", "array.safetensors", st_image("[1, 2, 3]", ""));
  add("header nested deeply", "deep.safetensors", st_image(std::string(200000, '[') + std::string(200000, ']'), ""));
  add("entry not an object", "entry.safetensors", one(nlohmann::json::array({1, 2}), 60));
  add("unknown dtype", "dtype.safetensors", one(entry(0, 60, {5, 3}, "F8"), 60));
  add("negative dimension", "neg.safetensors", one(entry(0, 60, {-5, -3}), 60));
  add("fractional dimension", "frac.safetensors", one(entry(0, 60, {5.5, 3}), 60));
  add("offsets beyond the data", "beyond.safetensors", one(entry(0, 60, {5, 3}), 59));
  add("offsets reversed", "reversed.safetensors", one(entry(60, 0, {5, 3}), 60));
  add("offsets not integers", "offtext.safetensors", one({{"dtype", "F32"}, {"shape", {5, 3}}, {"data_offsets", {"0", "60"}}}, 60));
  add("shape product overflows", "overflow.safetensors",
      one(entry(0, 64, {std::uint64_t{1} << 32, std::uint64_t{1} << 32, std::uint64_t{1} << 32}), 64));
  add("size does not match the shape", "size.safetensors", one(entry(0, 56, {5, 3}), 60));
  add("archive of garbage", "garbage.ot", std::string(300, 'x'));
  add("pt of garbage", "garbage.pt", std::string(300, 'x'));
  add("empty archive", "empty.bin", "");

  for (auto& c : cases) {
    const std::string path = dir.file(c.file_name);
    if (c.write) write_bytes(path, c.bytes);
    c.target.weights_path = path;
    expect_model_creation_failure(BucketModel::create(c.target), c.what);
  }
  // The good file still loads after all of that.
  BucketModelBuilder b = builder(3, 4, {L::linear(5), L::relu()});
  b.weights_path = dir.file("good.safetensors");
  EXPECT_TRUE(BucketModel::create(b));
}

TEST(WeightsFile, NamesTheMissingTensorAndTheShapes) {
  TempDir dir;
  BucketModel three = make(builder(3, 3, {L::linear(5), L::relu()}));
  ASSERT_TRUE(three.save_weights(dir.file("three.safetensors")));
  BucketModelBuilder b = builder(3, 9, {L::linear(5), L::relu()});
  b.weights_path = dir.file("three.safetensors");
  auto m = BucketModel::create(b);
  ASSERT_FALSE(m);
  EXPECT_NE(m.error().message().find("2.weight"), std::string::npos) << m.error().message();
  EXPECT_NE(m.error().message().find("[3, 5]"), std::string::npos) << m.error().message();
  EXPECT_NE(m.error().message().find("[9, 5]"), std::string::npos) << m.error().message();

  b = builder(3, 3, {L::linear(5), L::relu(), L::linear(3)});
  b.weights_path = dir.file("three.safetensors");
  m = BucketModel::create(b);
  ASSERT_FALSE(m);
  EXPECT_NE(m.error().message().find("\"4.weight\""), std::string::npos) << m.error().message();
}

TEST(WeightsFile, SurvivesRandomDamage) {
  TempDir dir;
  BucketModel m = known_model();
  ASSERT_TRUE(m.save_weights(dir.file("good.safetensors")));
  const std::string good = read_bytes(dir.file("good.safetensors"));
  const std::string path = dir.file("damaged.safetensors");
  std::mt19937 gen(12345);
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    const int flips = 1 + static_cast<int>(gen() % 4);
    for (int f = 0; f < flips; ++f) {
      // Mostly the length and the header, where damage changes the structure.
      const std::size_t at = gen() % 3 == 0 ? gen() % bad.size() : gen() % std::min<std::size_t>(bad.size(), 8 + le64(good, 0));
      bad[at] = static_cast<char>(gen() & 0xff);
    }
    if (gen() % 5 == 0) bad.resize(gen() % bad.size());
    write_bytes(path, bad);
    BucketModelBuilder b = builder(3, 4, {L::linear(5), L::relu()});
    b.weights_path = path;
    auto loaded = BucketModel::create(b);
    if (!loaded) {
      ++refused;
      EXPECT_EQ(loaded.error().kind, ErrorKind::ModelCreation);
    } else {
      EXPECT_EQ(loaded->predict(std::vector<float>{1, 2, 3}).value_or(std::vector<BucketProbability>{}).size(), 4u);
    }
  }
  EXPECT_GT(refused, 0);
}

TEST(WeightsFile, SaveFailureIsReportedAndChangesNothing) {
  TempDir dir;
  BucketModel m = known_model();
  const auto before = rankings(m, {1, 2, 3});
  for (const char* name : {"no/such/dir/w.safetensors", "no/such/dir/w.ot"}) {
    auto cfg = m.save_weights(dir.file(name));
    ASSERT_FALSE(cfg) << name;
    EXPECT_EQ(cfg.error().kind, ErrorKind::ModelCreation);
    EXPECT_GT(cfg.error().detail.size(), 0u);
  }
  EXPECT_EQ(rankings(m, {1, 2, 3}), before);
}

}  // namespace
}  // namespace quillmere::test

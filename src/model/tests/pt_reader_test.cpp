// Weights archives: files written by PyTorch (fixtures made by fixtures/make_fixtures.py, with
// the values PyTorch itself reads back in expected.json), libtorch's own module archives, and
// hostile archives that must be refused with an error while the process carries on.
#include "pt_reader.h"

#include <caffe2/serialize/inline_container.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <torch/torch.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using quillmere::read_pt_weights;

namespace {

// Fixtures sit beside this source file.
const fs::path kFixtures = fs::path(__FILE__).parent_path() / "fixtures";

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / ("qm_pt_reader_" + std::to_string(::getpid()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path file(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A zip archive in PyTorch's layout, written by libtorch's own writer.
void write_archive(const fs::path& p, const std::string& pickle, const std::map<std::string, std::string>& records) {
  caffe2::serialize::PyTorchStreamWriter w(p.string());
  w.writeRecord("data.pkl", pickle.data(), pickle.size());
  for (const auto& [name, bytes] : records) w.writeRecord(name, bytes.data(), bytes.size());
  w.writeEndOfFile();
}

// Minimal pickle assembler for hand-made (mostly hostile) streams.
struct Pickle {
  std::string b = "\x80\x02";
  Pickle& op(const std::string& s) {
    b += s;
    return *this;
  }
  Pickle& str(const std::string& s) {
    const auto n = static_cast<std::uint32_t>(s.size());
    b += 'X';
    for (int k = 0; k < 4; ++k) b += static_cast<char>((n >> (8 * k)) & 0xff);
    b += s;
    return *this;
  }
  Pickle& integer(std::int64_t v) {  // LONG1 with 8 bytes covers every value
    b += "\x8a\x08";
    for (int k = 0; k < 8; ++k) b += static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * k)) & 0xff);
    return *this;
  }
  Pickle& ints(const std::vector<std::int64_t>& vs) {
    op("(");
    for (auto v : vs) integer(v);
    return op("t");
  }
  Pickle& global(const std::string& module, const std::string& name) { return op("c" + module + "\n" + name + "\n"); }
};

struct TensorRecipe {
  std::string storage_type = "FloatStorage";
  std::string key = "0";
  std::int64_t numel = 6;
  std::int64_t offset = 0;
  std::vector<std::int64_t> sizes = {2, 3};
  std::vector<std::int64_t> strides = {3, 1};
};

// {name: tensor, ...} in the dialect PyTorch writes.
std::string tensor_dict(const std::vector<std::pair<std::string, TensorRecipe>>& entries) {
  Pickle p;
  p.op("}(");
  for (const auto& [name, t] : entries) {
    p.str(name).global("torch._utils", "_rebuild_tensor_v2").op("((").str("storage");
    p.global("torch", t.storage_type).str(t.key).str("cpu").integer(t.numel).op("tQ");
    p.integer(t.offset).ints(t.sizes).ints(t.strides).op("\x89").global("collections", "OrderedDict").op(")Rt");
    p.op("R");
  }
  return p.op("u.").b;
}
std::string tensor_dict(const TensorRecipe& t) { return tensor_dict({{"t", t}}); }

std::string floats(int n) {
  std::string s(static_cast<std::size_t>(n) * 4, '\0');
  for (int k = 0; k < n; ++k) {
    const float v = static_cast<float>(k);
    std::memcpy(s.data() + 4 * k, &v, 4);
  }
  return s;
}

std::vector<double> values_of(const at::Tensor& t) {
  at::Tensor d = t.to(at::kDouble).contiguous();
  return {d.data_ptr<double>(), d.data_ptr<double>() + d.numel()};
}

// ---- files written by PyTorch ----

const std::map<std::string, std::string> kTorchDtypeNames = {
    {"float32", "Float"}, {"float64", "Double"}, {"float16", "Half"}, {"bfloat16", "BFloat16"}, {"int64", "Long"}};

TEST(PtReader, EveryFixtureReadsAsPyTorchReadsIt) {
  const auto expected = nlohmann::json::parse(read_file(kFixtures / "expected.json"));
  ASSERT_GE(expected.size(), 7u);
  for (const auto& [file, tensors] : expected.items()) {
    SCOPED_TRACE(file);
    auto got = read_pt_weights((kFixtures / file).string());
    ASSERT_TRUE(got.has_value()) << got.error();
    ASSERT_EQ(got->size(), tensors.size());
    for (std::size_t k = 0; k < tensors.size(); ++k) {
      const auto& want = tensors[k];
      const auto& [name, t] = (*got)[k];
      EXPECT_EQ(name, want["name"].get<std::string>());
      EXPECT_EQ(std::string(c10::toString(t.scalar_type())), kTorchDtypeNames.at(want["dtype"].get<std::string>()));
      EXPECT_EQ(t.sizes().vec(), want["shape"].get<std::vector<std::int64_t>>());
      EXPECT_EQ(values_of(t), want["values"].get<std::vector<double>>()) << name;
      // Views of one storage stay views of it: a storage named by many tensors costs nothing more.
      if (file == "views.pt") EXPECT_TRUE(t.storage().is_alias_of((*got)[0].second.storage())) << name;
    }
  }
}

// ---- libtorch's own module archives ----

TEST(PtReader, LibtorchArchiveMatchesInputArchive) {
  TempDir dir;
  const auto path = dir.file("archive.pt").string();
  {
    torch::serialize::OutputArchive child;
    child.write("w", torch::arange(4, torch::kDouble) - 1.5);
    torch::serialize::OutputArchive out;
    out.write("0.weight", torch::arange(6, torch::kFloat).reshape({2, 3}) * 0.5);
    out.write("0.bias", torch::arange(2, torch::kFloat) + 7, /*is_buffer=*/true);
    out.write("child", child);
    out.save_to(path);
  }
  auto got = read_pt_weights(path);
  ASSERT_TRUE(got.has_value()) << got.error();

  torch::serialize::InputArchive in;
  in.load_from(path);
  std::vector<std::pair<std::string, at::Tensor>> want;
  for (const auto& name : {"0.weight", "0.bias"}) {
    at::Tensor t;
    ASSERT_TRUE(in.try_read(name, t) || in.try_read(name, t, /*is_buffer=*/true));
    want.emplace_back(name, t);
  }
  torch::serialize::InputArchive child;
  in.read("child", child);
  at::Tensor w;
  child.read("w", w);
  want.emplace_back("child.w", w);

  ASSERT_EQ(got->size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ((*got)[k].first, want[k].first);
    EXPECT_EQ((*got)[k].second.scalar_type(), want[k].second.scalar_type());
    EXPECT_TRUE(torch::equal((*got)[k].second, want[k].second)) << want[k].first;
  }
}

// ---- hand-made archives: accepted edge shapes and refusals ----

TEST(PtReader, HandMadeTensorDictionaries) {
  struct Case {
    const char* what;
    TensorRecipe recipe;
    std::string record;  // bytes of data/0
    const char* error;   // expected error fragment, nullptr when the file is valid
  };
  auto recipe = [](auto f) {
    TensorRecipe s;
    f(s);
    return s;
  };
  const std::vector<Case> cases = {
      {"plain", {}, floats(6), nullptr},
      {"last element exactly at the end", recipe([](auto& s) { s.offset = 2; s.sizes = {2, 2}; s.strides = {2, 1}; }),
       floats(6), nullptr},
      {"empty tensor at the storage end", recipe([](auto& s) { s.offset = 6; s.sizes = {0, 3}; }), floats(6), nullptr},
      {"truncated storage", {}, floats(5), "holds 20 bytes, expected 24"},
      {"oversized storage", {}, floats(7), "holds 28 bytes, expected 24"},
      {"offset out of range", recipe([](auto& s) { s.offset = 1; }), floats(6), "beyond its storage"},
      {"stride out of range", recipe([](auto& s) { s.strides = {4, 1}; }), floats(6), "beyond its storage"},
      {"negative offset", recipe([](auto& s) { s.offset = -1; }), floats(6), "negative storage offset"},
      {"negative stride", recipe([](auto& s) { s.strides = {-3, 1}; }), floats(6), "negative"},
      {"negative size", recipe([](auto& s) { s.sizes = {-2, 3}; }), floats(6), "negative"},
      {"size product overflows", recipe([](auto& s) { s.sizes = {1LL << 62, 1LL << 62}; }), floats(6), "overflows"},
      {"empty tensor with huge sizes",
       recipe([](auto& s) { s.sizes = {0, 1LL << 62, 1LL << 62}; s.strides = {1, 1, 1}; }),
       floats(6), "overflows"},
      {"extent overflows", recipe([](auto& s) { s.sizes = {5, 2}; s.strides = {INT64_MAX, 1}; }), floats(6),
       "overflows"},
      {"huge broadcast of a small storage", recipe([](auto& s) { s.sizes = {1LL << 40}; s.strides = {0}; }), floats(6),
       "more elements than its storage"},
      {"storage byte count overflows", recipe([](auto& s) { s.numel = INT64_MAX; }), floats(6), "overflows"},
      {"negative storage size", recipe([](auto& s) { s.numel = -6; }), floats(6), "negative storage size"},
      {"size and stride lengths differ", recipe([](auto& s) { s.strides = {1}; }), floats(6), "differ in length"},
      {"missing storage record", recipe([](auto& s) { s.key = "7"; }), floats(6), "'data/7' is missing"},
      {"key escaping the data folder", recipe([](auto& s) { s.key = "../data.pkl"; }), floats(6),
       "invalid storage key"},
      {"unknown storage type", recipe([](auto& s) { s.storage_type = "ComplexFloatStorage"; }), floats(6),
       "unsupported global 'torch.ComplexFloatStorage'"},
      {"double storage",
       recipe([](auto& s) { s.storage_type = "DoubleStorage"; s.numel = 3; s.sizes = {3}; s.strides = {1}; }),
       floats(6), nullptr},
      {"bool bytes other than 0 and 1", recipe([](auto& s) { s.storage_type = "BoolStorage"; }),
       std::string("\0\1\2\0\xff\1", 6), nullptr},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto path = dir.file("case.pt");
    write_archive(path, tensor_dict(c.recipe), {{"data/0", c.record}});
    auto got = read_pt_weights(path.string());
    if (c.error == nullptr) {
      ASSERT_TRUE(got.has_value()) << got.error();
      ASSERT_EQ(got->size(), 1u);
      EXPECT_EQ((*got)[0].first, "t");
      // Reference: the same view taken by libtorch from the raw bytes.
      const auto dtype = c.recipe.storage_type == "DoubleStorage" ? at::kDouble
                         : c.recipe.storage_type == "BoolStorage"   ? at::kByte
                                                                    : at::kFloat;
      at::Tensor raw = at::from_blob(const_cast<char*>(c.record.data()), {c.recipe.numel}, dtype);
      at::Tensor want = raw.as_strided(c.recipe.sizes, c.recipe.strides, c.recipe.offset);
      at::Tensor have = (*got)[0].second;
      if (dtype == at::kByte) {  // bools must hold exactly the bytes 0 and 1
        ASSERT_EQ(have.scalar_type(), at::kBool);
        have = have.view(at::kByte);
        want = (want != 0).to(at::kByte);
      }
      EXPECT_TRUE(torch::equal(have, want));
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_NE(got.error().find(c.error), std::string::npos) << got.error();
      EXPECT_NE(got.error().find(path.string()), std::string::npos) << got.error();
    }
  }
}

TEST(PtReader, RefusesPicklesThatAreNotTensorDictionaries) {
  std::vector<std::pair<std::string, const char*>> cases = {
      {Pickle().global("os", "system").str("touch pwned").op("\x85R.").b, "unsupported global 'os.system'"},
      {Pickle().global("builtins", "eval").b + ".", "unsupported global 'builtins.eval'"},
      {Pickle().str("os").str("system").op("\x93.").b, "unsupported global 'os.system'"},
      {Pickle().global("torch._utils", "_rebuild_tensor").b + ".", "unsupported global"},
      {Pickle().global("__torch__", "Module").op(")R.").b, "refusing to call"},
      {Pickle().op("(i__main__\nEvil\n.").b, "unsupported pickle opcode 0x69"},
      {Pickle().op("R.").b, "stack underflow"},
      {Pickle().op("(R.").b, "stack underflow"},
      {Pickle().op("h\x05.").b, "memo entry 5"},
      {Pickle().op("}").b, "truncated"},
      {Pickle().op("X\xff\xff\xff\x7f").b, "truncated"},
      {Pickle().op("}}.").b, "unbalanced stack"},
      {Pickle().op("t.").b, "mark missing"},
      {Pickle().op("]").str("x").op("a.").b, "not a dictionary"},
      {Pickle().op(")").str("x").op("a.").b, "cannot append to a tuple"},
      {Pickle().op("}").str("x").op("s.").b, "stack underflow"},
      {Pickle().op("}(]K\x01u.").b, "unsupported dictionary key"},
      {Pickle().op("}(").str("x").op("Q").b + "u.", "persistent id must be a tuple"},
      {"\x80\x09}.", "unsupported pickle protocol 9"},
      {Pickle().op("\x8a\x09\x01\x02\x03\x04\x05\x06\x07\x08\x09.").b, "integer too large"},
      {Pickle().op("]").str("x").op("b.").b, "cannot set the state of a list"},
  };
  // Pickles that would make each of their bytes cost far more memory or time than the file.
  const std::string too_much = "more work than any weights file needs";
  Pickle dicts;  // an empty dictionary made and dropped per two bytes
  dicts.op("}");
  for (int k = 0; k < (1 << 22); ++k) dicts.op("}0");
  Pickle key;  // one long key set again and again
  key.op("}").str(std::string(1 << 16, 'k')).op("q\x01" "0(");
  for (int k = 0; k < 5000; ++k) key.op("h\x01N");
  Pickle state;  // one large state given to a module object again and again
  state.op("}q\x02(");
  for (int k = 0; k < 4096; ++k) state.str("s" + std::to_string(k)).op("N");
  state.op("u0").global("__torch__", "M").op(")\x81");
  for (int k = 0; k < 4096; ++k) state.op("h\x02" "b");
  Pickle names;  // long attribute names repeated down a module that holds itself
  names.global("__torch__", "M").op(")\x81q\x01}(").str(std::string(1 << 18, 'a')).op("h\x01ub");
  for (auto* p : {&dicts, &key, &state, &names}) cases.emplace_back(p->b + (p == &key ? "u." : "."), too_much.c_str());
  TempDir dir;
  for (const auto& [pickle, error] : cases) {
    SCOPED_TRACE(error);
    const auto path = dir.file("case.pt");
    write_archive(path, pickle, {});
    auto got = read_pt_weights(path.string());
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find(error), std::string::npos) << got.error();
  }
  EXPECT_FALSE(fs::exists("pwned"));
}

TEST(PtReader, RefusesFilesThatAreNotArchives) {
  TempDir dir;
  const std::string good = read_file(kFixtures / "plain_dict.pt");
  write_file(dir.file("half.pt"), good.substr(0, good.size() / 2));
  write_file(dir.file("empty.pt"), "");
  write_file(dir.file("text.pt"), "weights, honestly");
  fs::create_directory(dir.file("folder.pt"));
  const std::vector<std::pair<fs::path, const char*>> cases = {
      {kFixtures / "evil_global.pt", "unsupported global 'posix.system'"},
      {kFixtures / "legacy_format.pt", ""},
      {dir.file("half.pt"), ""},
      {dir.file("empty.pt"), ""},
      {dir.file("text.pt"), ""},
      {dir.file("folder.pt"), "not a regular file"},
      {dir.file("absent.pt"), "no such file"},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path.string());
    auto got = read_pt_weights(path.string());
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find(error), std::string::npos) << got.error();
    EXPECT_EQ(got.error().find("frame #"), std::string::npos) << "backtrace leaked into the message";
  }
}

// The zip directory is checked before libtorch's reader opens the file, which would allocate
// whatever size a compressed record claims.
TEST(PtReader, RefusesZipDirectoriesThatClaimMoreThanTheFile) {
  TempDir dir;
  const auto good_path = dir.file("good.pt");
  write_archive(good_path, tensor_dict(TensorRecipe{}), {{"data/0", floats(6)}});
  const std::string good = read_file(good_path);
  const std::size_t entry = good.find("PK\x01\x02");  // the first directory entry: data.pkl
  const std::size_t end64 = good.rfind("PK\x06\x06");
  ASSERT_NE(entry, std::string::npos);
  ASSERT_NE(end64, std::string::npos);
  auto patched = [&](std::size_t at, std::string bytes) { return good.substr(0, at) + bytes + good.substr(at + bytes.size()); };
  std::vector<std::pair<std::string, const char*>> cases = {
      {patched(entry + 10, std::string("\x08\x00", 2)), "'good/data.pkl' is compressed"},
      {patched(entry + 24, "\xff\xff\xff\x7f"), "states a size the file cannot hold"},
      {patched(entry + 42, "\xff\xff\xff\x7f"), "states a size the file cannot hold"},
      {patched(end64 + 48, "\xff\xff\xff\xff"), "lies beyond the file"},
      {patched(end64 + 32, "\xff\xff\xff\xff"), "directory is damaged"},
      {patched(end64, "PK\x06\x07"), "zip64 directory end is damaged"},
      {patched(entry, "PK\x01\x03"), "directory is damaged"},
  };
  // A second storage whose directory entry is made to point at the first one's bytes: every
  // such entry would be read anew, so a file of many would hold far more than its size.
  TensorRecipe big;
  big.numel = 4096;
  big.sizes = {4096};
  big.strides = {1};
  TensorRecipe twin = big;
  twin.key = "1";
  write_archive(good_path, tensor_dict({{"t", big}, {"u", twin}}), {{"data/0", floats(4096)}, {"data/1", floats(1)}});
  const std::string two = read_file(good_path);
  auto entry_of = [&](const std::string& name) { return two.find(name, two.find("PK\x01\x02")) - 46; };
  const std::size_t from = entry_of("good/data/0"), to = entry_of("good/data/1");
  std::string overlapping = two;
  overlapping.replace(to + 16, 12, two, from + 16, 12);  // checksum and sizes
  overlapping.replace(to + 42, 4, two, from + 42, 4);    // where the record starts
  cases.emplace_back(overlapping, "storage records overlap");
  const auto path = dir.file("good.pt");
  for (const auto& [bytes, error] : cases) {
    SCOPED_TRACE(error);
    write_file(path, bytes);
    auto got = read_pt_weights(path.string());
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find(error), std::string::npos) << got.error();
  }
}

// Every truncation and many single-byte corruptions of a real pickle: each must end in a value
// or an error, never in a crash (run under the sanitizers to catch memory errors too).
TEST(PtReader, SurvivesCorruptedPickles) {
  caffe2::serialize::PyTorchStreamReader src((kFixtures / "sequential_state_dict.pt").string());
  auto [pkl, size] = src.getRecord("data.pkl");
  const std::string pickle(static_cast<const char*>(pkl.get()), size);
  std::map<std::string, std::string> records;
  for (const auto& name : src.getAllRecords())
    if (name.starts_with("data/")) {
      auto [p, n] = src.getRecord(name);
      records[name] = std::string(static_cast<const char*>(p.get()), n);
    }
  TempDir dir;
  const auto path = dir.file("fuzz.pt");
  std::size_t refused = 0;
  auto attempt = [&](const std::string& bytes) {
    write_archive(path, bytes, records);
    if (!read_pt_weights(path.string()).has_value()) ++refused;
  };
  for (std::size_t n = 0; n < pickle.size(); ++n) attempt(pickle.substr(0, n));
  EXPECT_EQ(refused, pickle.size());  // every strict prefix lacks its STOP
  for (std::size_t k = 0; k < pickle.size(); ++k)
    for (unsigned char v : {0x00, 0x7f, 0xff}) {
      std::string bytes = pickle;
      bytes[k] = static_cast<char>(v);
      attempt(bytes);
    }
  ASSERT_TRUE(read_pt_weights((kFixtures / "sequential_state_dict.pt").string()).has_value());
}

}  // namespace

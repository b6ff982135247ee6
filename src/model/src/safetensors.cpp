#include "safetensors.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include <sys/stat.h>

#include "quillmere/checked.h"
#include "quillmere/error.h"
#include "quillmere/fd_io.h"

namespace quillmere::safetensors {
namespace {

constexpr int kMaxJsonDepth = 64;

std::unexpected<std::string> bad(std::string text) { return std::unexpected<std::string>(std::move(text)); }

bool dtype_from_text(const std::string& s, Dtype& out) {
  static constexpr struct { const char* text; Dtype d; } kTable[] = {
      {"BOOL", Dtype::BOOL}, {"U8", Dtype::U8},     {"I8", Dtype::I8},   {"I16", Dtype::I16},
      {"I32", Dtype::I32},   {"I64", Dtype::I64},   {"F16", Dtype::F16}, {"BF16", Dtype::BF16},
      {"F32", Dtype::F32},   {"F64", Dtype::F64},
  };
  for (const auto& e : kTable) {
    if (s == e.text) {
      out = e.d;
      return true;
    }
  }
  return false;
}

// The JSON parser must never recurse deeply on hostile input, so nesting is bounded first.
bool nesting_within(std::span<const std::byte> text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (std::byte b : text) {
    char c = static_cast<char>(b);
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

std::uint64_t read_le64(const std::byte* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint64_t>(p[i]);
  return v;
}

void write_le64(std::byte* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xffu);
}

std::expected<TensorEntry, std::string> parse_entry(const std::string& name, const nlohmann::json& e,
                                                    std::uint64_t data_size) {
  const std::string where = "tensor \"" + name + "\": ";
  if (!e.is_object()) return bad(where + "entry is not an object");
  auto dt = e.find("dtype");
  auto sh = e.find("shape");
  auto off = e.find("data_offsets");
  if (dt == e.end() || !dt->is_string()) return bad(where + "missing or invalid \"dtype\"");
  if (sh == e.end() || !sh->is_array()) return bad(where + "missing or invalid \"shape\"");
  if (off == e.end() || !off->is_array() || off->size() != 2) return bad(where + "missing or invalid \"data_offsets\"");

  TensorEntry t;
  t.name = name;
  if (!dtype_from_text(dt->get<std::string>(), t.dtype)) return bad(where + "unsupported dtype " + dt->get<std::string>());

  std::uint64_t bytes = dtype_size(t.dtype);
  for (const auto& d : *sh) {
    if (!d.is_number_unsigned()) return bad(where + "shape holds a value that is not a non-negative integer");
    auto v = d.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return bad(where + "dimension too large");
    auto m = checked_mul(bytes, v);
    if (!m) return bad(where + "shape product overflows");
    bytes = *m;
    t.shape.push_back(static_cast<std::int64_t>(v));
  }
  for (const auto& o : *off) {
    if (!o.is_number_unsigned()) return bad(where + "data_offsets hold a value that is not a non-negative integer");
  }
  t.begin = (*off)[0].get<std::uint64_t>();
  t.end = (*off)[1].get<std::uint64_t>();
  if (t.begin > t.end || t.end > data_size) {
    return bad(where + "data_offsets [" + std::to_string(t.begin) + ", " + std::to_string(t.end) +
               "] lie outside the data area of " + std::to_string(data_size) + " bytes");
  }
  if (t.end - t.begin != bytes) {
    return bad(where + "holds " + std::to_string(t.end - t.begin) + " bytes but its shape needs " + std::to_string(bytes));
  }
  return t;
}

}  // namespace

std::size_t dtype_size(Dtype d) noexcept {
  switch (d) {
    case Dtype::BOOL: case Dtype::U8: case Dtype::I8: return 1;
    case Dtype::I16: case Dtype::F16: case Dtype::BF16: return 2;
    case Dtype::I32: case Dtype::F32: return 4;
    case Dtype::I64: case Dtype::F64: return 8;
  }
  return 1;
}

std::expected<File, std::string> parse(std::vector<std::byte> bytes) {
  if (bytes.size() < 8) return bad("file of " + std::to_string(bytes.size()) + " bytes is too short for a safetensors header");
  const std::uint64_t n = read_le64(bytes.data());
  const std::uint64_t rest = bytes.size() - 8;
  if (n > kMaxHeaderBytes) return bad("safetensors header length " + std::to_string(n) + " is too large");
  if (n > rest) {
    return bad("safetensors header length " + std::to_string(n) + " exceeds the " + std::to_string(rest) +
               " bytes that follow it");
  }
  std::span<const std::byte> header(bytes.data() + 8, static_cast<std::size_t>(n));
  if (!nesting_within(header, kMaxJsonDepth)) return bad("safetensors header is nested too deeply");

  auto begin = reinterpret_cast<const char*>(header.data());
  nlohmann::json j = nlohmann::json::parse(begin, begin + header.size(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return bad("safetensors header is not valid JSON");
  if (!j.is_object()) return bad("safetensors header is not a JSON object");

  File f;
  f.data_start = 8 + n;
  const std::uint64_t data_size = rest - n;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "__metadata__") continue;
    auto t = parse_entry(it.key(), it.value(), data_size);
    if (!t) return std::unexpected(std::move(t.error()));
    f.tensors.push_back(std::move(*t));
  }
  f.bytes = std::move(bytes);
  return f;
}

std::expected<File, std::string> read_file(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> fp(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!fp) return bad(file_error_text("open", path, errno));
  struct stat st {};
  if (::fstat(::fileno(fp.get()), &st) != 0) return bad(file_error_text("inspect", path, errno));
  // A directory opens fine on Linux and reports a meaningless size.
  if (!S_ISREG(st.st_mode)) return bad(path + " is not a regular file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::vector<std::byte> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return bad("not enough memory to read " + path);
  } catch (const std::length_error&) {
    return bad("not enough memory to read " + path);
  }
  if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), fp.get()) != bytes.size()) {
    // fread sets errno only on an error; a short read is a file that shrank meanwhile.
    if (std::ferror(fp.get()) != 0) return bad(file_error_text("read", path, errno));
    return bad(file_error_text("read", path, std::string_view("unexpected end of file")));
  }
  auto parsed = parse(std::move(bytes));
  if (!parsed) return bad(path + ": " + parsed.error());
  return parsed;
}

std::expected<std::vector<std::byte>, std::string> encode(std::span<const OutTensor> tensors) {
  nlohmann::ordered_json header = nlohmann::ordered_json::object();
  std::unordered_set<std::string> seen;
  std::uint64_t offset = 0;
  for (const auto& t : tensors) {
    if (!seen.insert(t.name).second) return bad("duplicate tensor name " + t.name);
    std::uint64_t count = 1;
    for (auto d : t.shape) count *= static_cast<std::uint64_t>(d);
    if (count != t.values.size()) return bad("tensor " + t.name + " has a shape that does not match its values");
    const std::uint64_t end = offset + count * sizeof(float);
    header[t.name] = {{"dtype", "F32"}, {"shape", t.shape}, {"data_offsets", {offset, end}}};
    offset = end;
  }
  std::string text = header.dump();
  text.append((8 - text.size() % 8) % 8, ' ');

  std::vector<std::byte> out(8 + text.size() + offset);
  write_le64(out.data(), text.size());
  std::memcpy(out.data() + 8, text.data(), text.size());
  std::byte* p = out.data() + 8 + text.size();
  for (const auto& t : tensors) {
    const std::size_t n = t.values.size_bytes();
    if (n != 0) std::memcpy(p, t.values.data(), n);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::size_t i = 0; i < n; i += 4) {
        std::swap(p[i], p[i + 3]);
        std::swap(p[i + 1], p[i + 2]);
      }
    }
    p += n;
  }
  return out;
}

std::expected<void, std::string> write_file(const std::string& path, std::span<const std::byte> bytes) {
  std::FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) return bad(file_error_text("create", path, errno));
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  int err = ok ? 0 : errno;
  // On the device before the dump's meta.json can name it.
  if (ok && std::fflush(fp) != 0) ok = false, err = errno;
  if (ok && (err = sync_fd(::fileno(fp))) != 0) ok = false;
  if (std::fclose(fp) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) return bad(file_error_text("write", path, err));
  return {};
}

}  // namespace quillmere::safetensors

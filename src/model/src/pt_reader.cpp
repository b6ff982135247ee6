// A ".pt" archive is a zip holding "<name>/data.pkl" (a pickle) and "<name>/data/<key>" (raw
// storages). The pickle is untrusted, so it is interpreted here by a small machine that knows
// only what a dictionary of tensors needs: containers, numbers, strings, a handful of allowed
// globals and persistent storage ids. Nothing named by the file is ever called or imported.
//
// libtorch's own module archives (OutputArchive::save_to) use the same pickle dialect with
// "__torch__" classes whose attributes are the tensors, so both kinds are read by the same
// machine. The TorchScript code they carry is never compiled or run: libtorch's own loader
// recurses through it and through the pickle without bound, so a crafted archive could take
// the process down there.
#include "pt_reader.h"

#include <caffe2/serialize/inline_container.h>
#include <c10/util/Exception.h>
#include <ATen/ATen.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quillmere {
namespace {

// Internal failure; caught at the entry point and turned into the error text.
struct BadFile {
  std::string message;
};

[[noreturn]] void bad(std::string message) { throw BadFile{std::move(message)}; }

// Caps that keep hostile pickles from using unbounded memory or time.
constexpr std::size_t kMaxStack = std::size_t{1} << 20;
constexpr std::size_t kMaxMemo = std::size_t{1} << 20;
constexpr std::size_t kMaxMarks = std::size_t{1} << 16;
constexpr std::size_t kMaxDims = 64;
constexpr std::size_t kMaxGlobalLine = 256;
constexpr std::size_t kMaxFlattenDepth = 64;
constexpr std::size_t kMaxFlattenVisits = std::size_t{1} << 20;
// Bytes the machine may make, copy or keep for one pickle. A tensor dictionary costs a few
// hundred a tensor; a hostile pickle could make each of its bytes cost far more: an empty
// dictionary made and dropped per two bytes, one long key set again and again, one large state
// given to an object again and again, long names repeated down a self-referencing module.
constexpr std::uint64_t kMaxWork = std::uint64_t{1} << 28;
constexpr std::uint64_t kTensorCost = 512;  // a view's own bookkeeping, roughly

enum class Global : std::uint8_t {
  OrderedDict,
  RebuildTensorV2,
  RebuildParameter,
  RebuildParameterWithState,
  StorageType,  // Value::ref holds the at::ScalarType
  ModuleClass,  // a "__torch__" class of a libtorch module archive
};

enum class Kind : std::uint8_t { None, Bool, Int, Float, Str, Tuple, List, Dict, Object, Global, Storage, Tensor };

// Containers, strings, storages and tensors live in arenas owned by the machine, so values are
// small handles: shared references behave as in Python, and cycles or deep nesting built by a
// hostile pickle cost no recursion when everything is freed.
struct Value {
  Kind kind = Kind::None;
  std::int64_t i = 0;  // Bool, Int, Global kind, storage scalar type
  double f = 0.0;
  std::uint32_t ref = 0;  // arena index for Str, Tuple, List, Dict, Object, Storage, Tensor
};

struct Dict {
  std::vector<std::pair<Value, Value>> items;
  std::unordered_map<std::string, std::size_t> index;  // canonical key -> position in items
};

struct StorageInfo {
  at::ScalarType dtype;
  std::uint64_t numel;
  at::Tensor flat;  // 1-D, dtype, numel elements
};

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::None: return "None";
    case Kind::Bool: return "bool";
    case Kind::Int: return "int";
    case Kind::Float: return "float";
    case Kind::Str: return "str";
    case Kind::Tuple: return "tuple";
    case Kind::List: return "list";
    case Kind::Dict: return "dict";
    case Kind::Object: return "object";
    case Kind::Global: return "global";
    case Kind::Storage: return "storage";
    case Kind::Tensor: return "tensor";
  }
  return "?";
}

std::optional<at::ScalarType> storage_dtype(std::string_view name) {
  static const std::pair<std::string_view, at::ScalarType> table[] = {
      {"FloatStorage", at::kFloat},   {"DoubleStorage", at::kDouble}, {"HalfStorage", at::kHalf},
      {"BFloat16Storage", at::kBFloat16}, {"LongStorage", at::kLong}, {"IntStorage", at::kInt},
      {"ShortStorage", at::kShort},   {"CharStorage", at::kChar},     {"ByteStorage", at::kByte},
      {"BoolStorage", at::kBool},
  };
  for (const auto& [n, t] : table)
    if (n == name) return t;
  return std::nullopt;
}

std::uint64_t mul_or_fail(std::uint64_t a, std::uint64_t b, const char* what) {
  std::uint64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) bad(std::string(what) + " overflows");
  return r;
}

std::uint64_t add_or_fail(std::uint64_t a, std::uint64_t b, const char* what) {
  std::uint64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) bad(std::string(what) + " overflows");
  return r;
}

std::string c10_message(const c10::Error& e) { return e.what_without_backtrace(); }

// Loads "data/<key>" storages from the archive once each.
class StorageLoader {
 public:
  StorageLoader(caffe2::serialize::PyTorchStreamReader& reader, std::uint64_t file_size)
      : reader_(reader), unread_(file_size) {}

  const StorageInfo& load(const std::string& key, at::ScalarType dtype, std::uint64_t numel) {
    if (key.empty() || key.size() > 64) bad("invalid storage key");
    for (char c : key)
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'))
        bad("invalid storage key '" + key + "'");
    if (auto it = cache_.find(key); it != cache_.end()) {
      if (it->second.dtype != dtype || it->second.numel != numel)
        bad("storage '" + key + "' is referenced with two different types or sizes");
      return it->second;
    }
    const std::string record = "data/" + key;
    if (!reader_.hasRecord(record)) bad("storage record '" + record + "' is missing");
    const std::uint64_t expected = mul_or_fail(numel, c10::elementSize(dtype), "storage size");
    auto [ptr, size] = reader_.getRecord(record);
    if (size != expected)
      bad("storage record '" + record + "' holds " + std::to_string(size) + " bytes, expected " +
          std::to_string(expected));
    // Stored records lie side by side in a zip, so together they hold at most the file's bytes.
    // Directory entries that all point at the same bytes would each be read, and kept, anew.
    if (size > unread_) bad("storage records overlap: together they hold more bytes than the file");
    unread_ -= size;
    // Bools are read as bytes and normalised: any other byte than 0 or 1 is no valid bool.
    const auto raw_type = dtype == at::kBool ? at::kByte : dtype;
    at::Tensor flat = at::empty({static_cast<std::int64_t>(numel)}, at::TensorOptions().dtype(raw_type));
    if (size > 0) std::memcpy(flat.data_ptr(), ptr.get(), size);
    if (dtype == at::kBool) flat = flat.ne(0);
    return cache_.emplace(key, StorageInfo{dtype, numel, std::move(flat)}).first->second;
  }

 private:
  caffe2::serialize::PyTorchStreamReader& reader_;
  std::uint64_t unread_;  // bytes of the file not yet taken by a storage
  std::unordered_map<std::string, StorageInfo> cache_;
};

class Unpickler {
 public:
  Unpickler(std::span<const std::uint8_t> data, StorageLoader& storages) : data_(data), storages_(storages) {}

  Value run() {
    while (true) {
      const std::size_t at = pos_;
      const std::uint8_t op = u8();
      if (op == '.') {  // STOP
        if (stack_.size() != 1 || !marks_.empty()) bad("pickle ends with an unbalanced stack");
        return stack_.back();
      }
      step(op, at);
    }
  }

  // Named tensors of a dictionary or module object; nested module objects become "child.name".
  std::vector<std::pair<std::string, at::Tensor>> tensors(const Value& root) {
    if (root.kind != Kind::Dict && root.kind != Kind::Object)
      bad(std::string("the archive holds a ") + kind_name(root.kind) + ", not a dictionary of tensors");
    std::vector<std::pair<std::string, at::Tensor>> out;
    std::unordered_set<std::string> names;
    std::size_t visits = 0;
    flatten(root, "", 0, visits, names, out);
    return out;
  }

 private:
  // ---- input ----
  void need(std::size_t n) const {
    if (n > data_.size() - pos_) bad("pickle is truncated");
  }
  std::uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  std::uint64_t le(std::size_t n) {
    need(n);
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < n; ++k) v |= std::uint64_t{data_[pos_ + k]} << (8 * k);
    pos_ += n;
    return v;
  }
  std::string bytes(std::uint64_t n) {
    if (n > data_.size() - pos_) bad("pickle is truncated");
    std::string s(reinterpret_cast<const char*>(data_.data() + pos_), static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return s;
  }
  std::string line() {
    std::string s;
    while (true) {
      const std::uint8_t c = u8();
      if (c == '\n') return s;
      if (s.size() >= kMaxGlobalLine) bad("global name too long");
      s.push_back(static_cast<char>(c));
    }
  }

  // ---- values ----
  Value make(Kind k, std::int64_t i = 0) {
    Value v;
    v.kind = k;
    v.i = i;
    return v;
  }
  void spend(std::uint64_t bytes) {
    if (bytes > kMaxWork - work_) bad("the pickle asks for more work than any weights file needs");
    work_ += bytes;
  }
  Value str(std::string s) {
    spend(sizeof(std::string) + s.size());
    Value v = make(Kind::Str);
    v.ref = static_cast<std::uint32_t>(strings_.size());
    strings_.push_back(std::move(s));
    return v;
  }
  Value seq(Kind k, std::vector<Value> items) {
    spend(sizeof(items) + items.size() * sizeof(Value));
    Value v = make(k);
    v.ref = static_cast<std::uint32_t>(seqs_.size());
    seqs_.push_back(std::move(items));
    return v;
  }
  Value dict(Kind k) {
    spend(sizeof(Dict));
    Value v = make(k);
    v.ref = static_cast<std::uint32_t>(dicts_.size());
    dicts_.emplace_back();
    return v;
  }
  Value tensor(at::Tensor t) {
    spend(kTensorCost);
    Value v = make(Kind::Tensor);
    v.ref = static_cast<std::uint32_t>(tensors_.size());
    tensors_.push_back(std::move(t));
    return v;
  }
  Value global(Global g, std::int64_t extra = 0) {
    Value v = make(Kind::Global, static_cast<std::int64_t>(g));
    v.ref = static_cast<std::uint32_t>(extra);
    return v;
  }

  const std::string& as_str(const Value& v, const char* what) {
    if (v.kind != Kind::Str) bad(std::string(what) + " must be a string, not " + kind_name(v.kind));
    return strings_[v.ref];
  }
  std::int64_t as_int(const Value& v, const char* what) {
    if (v.kind != Kind::Int && v.kind != Kind::Bool)
      bad(std::string(what) + " must be an integer, not " + kind_name(v.kind));
    return v.i;
  }
  const std::vector<Value>& as_tuple(const Value& v, const char* what) {
    if (v.kind != Kind::Tuple) bad(std::string(what) + " must be a tuple, not " + kind_name(v.kind));
    return seqs_[v.ref];
  }

  // Key identity as Python would see it for the key types a tensor dictionary uses.
  std::string canonical_key(const Value& k) {
    switch (k.kind) {
      case Kind::Str: return "s" + strings_[k.ref];
      case Kind::Int:
      case Kind::Bool: return "i" + std::to_string(k.i);
      case Kind::None: return "n";
      default: bad(std::string("unsupported dictionary key of type ") + kind_name(k.kind));
    }
  }
  void set_item(Dict& d, const Value& k, const Value& v) {
    std::string key = canonical_key(k);
    spend(sizeof(std::pair<Value, Value>) + sizeof(std::string) + key.size());
    if (auto it = d.index.find(key); it != d.index.end()) {
      d.items[it->second].second = v;
      return;
    }
    d.index.emplace(std::move(key), d.items.size());
    d.items.emplace_back(k, v);
  }

  // ---- stack ----
  void push(const Value& v) {
    if (stack_.size() >= kMaxStack) bad("pickle stack too deep");
    stack_.push_back(v);
  }
  Value pop() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back())) bad("pickle stack underflow");
    Value v = stack_.back();
    stack_.pop_back();
    return v;
  }
  Value& top() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back())) bad("pickle stack underflow");
    return stack_.back();
  }
  std::vector<Value> pop_mark() {
    if (marks_.empty()) bad("pickle mark missing");
    const std::size_t m = marks_.back();
    marks_.pop_back();
    std::vector<Value> items(stack_.begin() + static_cast<std::ptrdiff_t>(m), stack_.end());
    stack_.resize(m);
    return items;
  }
  void memo_put(std::uint64_t key, const Value& v) {
    if (memo_.size() >= kMaxMemo && !memo_.contains(key)) bad("pickle memo too large");
    memo_[key] = v;
  }
  Value memo_get(std::uint64_t key) {
    auto it = memo_.find(key);
    if (it == memo_.end()) bad("pickle refers to memo entry " + std::to_string(key) + " that was never stored");
    return it->second;
  }

  void append(const Value& list, std::vector<Value> items) {
    if (list.kind != Kind::List) bad(std::string("cannot append to a ") + kind_name(list.kind));
    spend(items.size() * sizeof(Value));
    auto& dst = seqs_[list.ref];
    dst.insert(dst.end(), items.begin(), items.end());
  }
  void set_items(const Value& target, const std::vector<Value>& kv) {
    if (target.kind != Kind::Dict) bad(std::string("cannot set items of a ") + kind_name(target.kind));
    if (kv.size() % 2 != 0) bad("odd number of dictionary items");
    for (std::size_t k = 0; k < kv.size(); k += 2) set_item(dicts_[target.ref], kv[k], kv[k + 1]);
  }

  Value resolve_global(const std::string& module, const std::string& name) {
    if (module == "collections" && name == "OrderedDict") return global(Global::OrderedDict);
    if (module == "torch._utils") {
      if (name == "_rebuild_tensor_v2") return global(Global::RebuildTensorV2);
      if (name == "_rebuild_parameter") return global(Global::RebuildParameter);
      if (name == "_rebuild_parameter_with_state") return global(Global::RebuildParameterWithState);
    }
    if (module == "torch")
      if (auto t = storage_dtype(name)) return global(Global::StorageType, static_cast<std::int64_t>(*t));
    if (module == "__torch__" || module.starts_with("__torch__.")) return global(Global::ModuleClass);
    bad("refusing unsupported global '" + module + "." + name + "'");
  }

  // ('storage', <storage type>, key, location, numel): the archive's storage record.
  Value persistent_load(const Value& pid) {
    const auto& t = as_tuple(pid, "persistent id");
    if (t.size() != 5) bad("unsupported persistent id");
    if (as_str(t[0], "persistent id tag") != "storage") bad("unsupported persistent id tag");
    if (t[1].kind != Kind::Global || static_cast<Global>(t[1].i) != Global::StorageType)
      bad("persistent id names no storage type");
    const auto dtype = static_cast<at::ScalarType>(t[1].ref);
    const std::string key = as_str(t[2], "storage key");
    as_str(t[3], "storage location");  // any device: everything is read to the host
    const std::int64_t numel = as_int(t[4], "storage size");
    if (numel < 0) bad("negative storage size");
    Value v = make(Kind::Storage);
    v.ref = static_cast<std::uint32_t>(storage_refs_.size());
    storage_refs_.push_back(&storages_.load(key, dtype, static_cast<std::uint64_t>(numel)));
    return v;
  }

  // _rebuild_tensor_v2(storage, offset, size, stride, requires_grad, hooks[, metadata])
  Value rebuild_tensor(const std::vector<Value>& a) {
    if (a.size() != 6 && a.size() != 7) bad("tensor rebuild takes 6 or 7 arguments");
    if (a[0].kind != Kind::Storage) bad("tensor rebuilt from something that is not a storage");
    const StorageInfo& st = *storage_refs_[a[0].ref];
    const std::int64_t offset = as_int(a[1], "storage offset");
    const auto& size = as_tuple(a[2], "tensor size");
    const auto& stride = as_tuple(a[3], "tensor stride");
    if (size.size() != stride.size()) bad("tensor size and stride differ in length");
    if (size.size() > kMaxDims) bad("tensor has too many dimensions");
    if (offset < 0) bad("negative storage offset");
    std::vector<std::int64_t> sizes, strides;
    std::uint64_t numel = 1;
    std::uint64_t extent = 1;  // product of the non-zero sizes: bounds the strides of any copy
    std::uint64_t last = static_cast<std::uint64_t>(offset);
    for (std::size_t d = 0; d < size.size(); ++d) {
      const std::int64_t n = as_int(size[d], "tensor size");
      const std::int64_t s = as_int(stride[d], "tensor stride");
      if (n < 0 || s < 0) bad("negative tensor size or stride");
      sizes.push_back(n);
      strides.push_back(s);
      numel = mul_or_fail(numel, static_cast<std::uint64_t>(n), "tensor size");
      if (n > 0) extent = mul_or_fail(extent, static_cast<std::uint64_t>(n), "tensor size");
    }
    if (extent > static_cast<std::uint64_t>(INT64_MAX)) bad("tensor size overflows");
    if (numel == 0) {
      if (static_cast<std::uint64_t>(offset) > st.numel) bad("storage offset out of range");
    } else {
      for (std::size_t d = 0; d < sizes.size(); ++d)
        last = add_or_fail(last,
                           mul_or_fail(static_cast<std::uint64_t>(sizes[d] - 1), static_cast<std::uint64_t>(strides[d]),
                                       "tensor extent"),
                           "tensor extent");
      if (last >= st.numel) bad("tensor reaches beyond its storage");
      // Overlapping views could expand a tiny storage into a huge tensor when copied out.
      if (numel > st.numel) bad("tensor holds more elements than its storage");
    }
    // A view, not a copy: PyTorch writes views and tied weights as tensors sharing a storage,
    // and a hostile pickle could name one large storage in a thousand tensors.
    return tensor(st.flat.as_strided(sizes, strides, offset));
  }

  Value reduce(const Value& fn, const Value& args_v) {
    const auto& args = as_tuple(args_v, "call arguments");
    if (fn.kind != Kind::Global) bad(std::string("cannot call a ") + kind_name(fn.kind));
    switch (static_cast<Global>(fn.i)) {
      case Global::OrderedDict:
        if (!args.empty()) bad("OrderedDict with arguments is not supported");
        return dict(Kind::Dict);
      case Global::RebuildTensorV2: return rebuild_tensor(args);
      case Global::RebuildParameter:
      case Global::RebuildParameterWithState:
        if (args.size() != (static_cast<Global>(fn.i) == Global::RebuildParameter ? 3u : 4u))
          bad("parameter rebuild takes the wrong number of arguments");
        if (args[0].kind != Kind::Tensor) bad("parameter rebuilt from something that is not a tensor");
        return args[0];
      case Global::StorageType:
      case Global::ModuleClass: break;
    }
    bad("refusing to call this global");
  }

  void build(const Value& target, const Value& state) {
    if (target.kind == Kind::Dict) return;  // OrderedDict attributes such as _metadata carry no tensors
    if (target.kind != Kind::Object) bad(std::string("cannot set the state of a ") + kind_name(target.kind));
    if (state.kind != Kind::Dict)
      bad(std::string("module state is a ") + kind_name(state.kind) +
          ", not a dictionary of attributes (a class that sets its own state through __setstate__ code, "
          "which is never run)");
    spend(dicts_[state.ref].items.size() * sizeof(std::pair<Value, Value>));
    const auto items = dicts_[state.ref].items;  // copy: the same arena may grow
    for (const auto& [k, v] : items) set_item(dicts_[target.ref], k, v);
  }

  void step(std::uint8_t op, std::size_t at) {
    switch (op) {
      case 0x80: {  // PROTO
        const std::uint8_t p = u8();
        if (p < 2 || p > 5) bad("unsupported pickle protocol " + std::to_string(p));
        return;
      }
      case 0x95: le(8); return;  // FRAME: length prefix only
      case '(':
        if (marks_.size() >= kMaxMarks) bad("pickle marks too deep");
        marks_.push_back(stack_.size());
        return;
      case '0': pop(); return;
      case '1': pop_mark(); return;
      case '2': push(top()); return;
      case 'N': push(make(Kind::None)); return;
      case 0x88: push(make(Kind::Bool, 1)); return;
      case 0x89: push(make(Kind::Bool, 0)); return;
      case 'J': push(make(Kind::Int, static_cast<std::int32_t>(le(4)))); return;
      case 'K': push(make(Kind::Int, static_cast<std::int64_t>(le(1)))); return;
      case 'M': push(make(Kind::Int, static_cast<std::int64_t>(le(2)))); return;
      case 0x8a:    // LONG1
      case 0x8b: {  // LONG4
        const std::uint64_t n = op == 0x8a ? le(1) : le(4);
        if (n > 8) bad("integer too large");
        std::uint64_t v = le(static_cast<std::size_t>(n));
        if (n > 0 && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~std::uint64_t{0} << (8 * n);  // sign-extend
        push(make(Kind::Int, static_cast<std::int64_t>(v)));
        return;
      }
      case 'G': {  // BINFLOAT, big-endian
        need(8);
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits = (bits << 8) | data_[pos_ + static_cast<std::size_t>(k)];
        pos_ += 8;
        Value v = make(Kind::Float);
        std::memcpy(&v.f, &bits, sizeof v.f);
        push(v);
        return;
      }
      case 'X':  // BINUNICODE
      case 'B':  // BINBYTES
        push(str(bytes(le(4))));
        return;
      case 'T': {  // BINSTRING, signed length
        const std::int32_t n = static_cast<std::int32_t>(le(4));
        if (n < 0) bad("negative string length");
        push(str(bytes(static_cast<std::uint64_t>(n))));
        return;
      }
      case 0x8c:  // SHORT_BINUNICODE
      case 'U':   // SHORT_BINSTRING
      case 'C':   // SHORT_BINBYTES
        push(str(bytes(le(1))));
        return;
      case 0x8d:  // BINUNICODE8
      case 0x8e:  // BINBYTES8
        push(str(bytes(le(8))));
        return;
      case ')': push(seq(Kind::Tuple, {})); return;
      case 0x85: {
        Value a = pop();
        push(seq(Kind::Tuple, {a}));
        return;
      }
      case 0x86: {
        Value b = pop(), a = pop();
        push(seq(Kind::Tuple, {a, b}));
        return;
      }
      case 0x87: {
        Value c = pop(), b = pop(), a = pop();
        push(seq(Kind::Tuple, {a, b, c}));
        return;
      }
      case 't': push(seq(Kind::Tuple, pop_mark())); return;
      case ']': push(seq(Kind::List, {})); return;
      case 'l': push(seq(Kind::List, pop_mark())); return;
      case 'a': {
        Value v = pop();
        append(top(), {v});
        return;
      }
      case 'e': {
        auto items = pop_mark();
        append(top(), std::move(items));
        return;
      }
      case '}': push(dict(Kind::Dict)); return;
      case 'd': {
        auto kv = pop_mark();
        Value d = dict(Kind::Dict);
        set_items(d, kv);
        push(d);
        return;
      }
      case 's': {
        Value v = pop(), k = pop();
        set_items(top(), {k, v});
        return;
      }
      case 'u': {
        auto kv = pop_mark();
        set_items(top(), kv);
        return;
      }
      case 'q': memo_put(le(1), top()); return;
      case 'r': memo_put(le(4), top()); return;
      case 0x94: memo_put(memo_.size(), top()); return;  // MEMOIZE
      case 'h': push(memo_get(le(1))); return;
      case 'j': push(memo_get(le(4))); return;
      case 'c': {  // GLOBAL
        std::string module = line();
        std::string name = line();
        push(resolve_global(module, name));
        return;
      }
      case 0x93: {  // STACK_GLOBAL
        Value n = pop(), m = pop();
        push(resolve_global(as_str(m, "global module"), as_str(n, "global name")));
        return;
      }
      case 'Q': push(persistent_load(pop())); return;  // BINPERSID
      case 'R': {
        Value args = pop(), fn = pop();
        push(reduce(fn, args));
        return;
      }
      case 0x81: {  // NEWOBJ
        Value args = pop(), cls = pop();
        if (!as_tuple(args, "constructor arguments").empty())
          bad("objects with constructor arguments are not supported");
        if (cls.kind != Kind::Global) bad("cannot instantiate a " + std::string(kind_name(cls.kind)));
        const auto g = static_cast<Global>(cls.i);
        if (g == Global::ModuleClass) {
          push(dict(Kind::Object));
        } else if (g == Global::OrderedDict) {
          push(dict(Kind::Dict));
        } else {
          bad("refusing to instantiate this global");
        }
        return;
      }
      case 'b': {  // BUILD
        Value state = pop();
        build(top(), state);
        return;
      }
      default: {
        static const char hex[] = "0123456789abcdef";
        bad(std::string("unsupported pickle opcode 0x") + hex[op >> 4] + hex[op & 15] + " at offset " +
            std::to_string(at));
      }
    }
  }

  void flatten(const Value& v, const std::string& prefix, std::size_t depth, std::size_t& visits,
               std::unordered_set<std::string>& names, std::vector<std::pair<std::string, at::Tensor>>& out) {
    if (depth > kMaxFlattenDepth) bad("modules nested too deeply");
    for (const auto& [k, val] : dicts_[v.ref].items) {
      if (++visits > kMaxFlattenVisits) bad("too many entries");
      if (k.kind != Kind::Str) continue;
      spend(prefix.size() + strings_[k.ref].size());
      const std::string name = prefix + strings_[k.ref];
      if (val.kind == Kind::Tensor) {
        if (!names.insert(name).second) bad("tensor name '" + name + "' appears twice");
        out.emplace_back(name, tensors_[val.ref]);
      } else if (val.kind == Kind::Object) {
        flatten(val, name + ".", depth + 1, visits, names, out);
      }
    }
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  StorageLoader& storages_;
  std::vector<Value> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, Value> memo_;
  std::vector<std::string> strings_;
  std::vector<std::vector<Value>> seqs_;
  std::vector<Dict> dicts_;
  std::vector<at::Tensor> tensors_;
  std::vector<const StorageInfo*> storage_refs_;  // map nodes: stable addresses
  std::uint64_t work_ = 0;                         // bytes spent, against kMaxWork
};

std::uint64_t le_at(const std::string& b, std::size_t at, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t k = n; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(b[at + k]);
  return v;
}

// libtorch's zip reader allocates a record's size as the zip directory states it before it
// inflates the record: a few megabytes of deflated zeros could claim all memory. PyTorch and
// libtorch store every record as it is but the TorchScript code and its debug tables (under
// "code/", never read here), so any other compressed record is refused before the reader
// opens the file, and every record read is bounded by the file's size. The directory is found
// as the reader finds it (the last end record with room for itself, then its zip64 form); the
// caller checks that the reader saw the same records.
struct ZipDirectory {
  std::vector<std::string> names;  // in directory order
  std::uint64_t file_size = 0;
};

ZipDirectory check_records_stored(const std::string& path) {
  constexpr std::size_t kEndSize = 22, kLocatorSize = 20, kEnd64Size = 56, kEntrySize = 46;
  constexpr std::uint64_t kEndSig = 0x06054b50, kLocatorSig = 0x07064b50, kEnd64Sig = 0x06064b50,
                          kEntrySig = 0x02014b50, kWide = 0xffffffff;
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::uint64_t size = static_cast<std::uint64_t>(in.tellg());
  auto read_at = [&](std::uint64_t at, std::uint64_t n) {
    if (at > size || n > size - at) bad("the zip directory lies beyond the file");
    std::string b(static_cast<std::size_t>(n), '\0');
    in.seekg(static_cast<std::streamoff>(at));
    if (!in.read(b.data(), static_cast<std::streamsize>(n))) bad("cannot read the zip directory");
    return b;
  };
  if (!in || size < kEndSize) bad("not a zip archive");
  // The end record and its comment (at most 65535 bytes) close the file.
  const std::uint64_t tail_at = size > kEndSize + 0xffff ? size - kEndSize - 0xffff : 0;
  const std::string tail = read_at(tail_at, size - tail_at);
  std::size_t end = tail.size() - kEndSize + 1;
  do {
    if (end-- == 0) bad("not a zip archive (no end of directory)");
  } while (le_at(tail, end, 4) != kEndSig);
  const std::uint64_t end_at = tail_at + end;
  std::uint64_t entries = le_at(tail, end + 10, 2), dir_size = le_at(tail, end + 12, 4),
                dir_at = le_at(tail, end + 16, 4);
  if (end_at >= kLocatorSize + kEnd64Size) {
    const std::string locator = read_at(end_at - kLocatorSize, kLocatorSize);
    if (le_at(locator, 0, 4) == kLocatorSig) {
      const std::string end64 = read_at(le_at(locator, 8, 8), kEnd64Size);
      if (le_at(end64, 0, 4) != kEnd64Sig) bad("the zip64 directory end is damaged");
      entries = le_at(end64, 32, 8);
      dir_size = le_at(end64, 40, 8);
      dir_at = le_at(end64, 48, 8);
    }
  }
  if (entries > dir_size / kEntrySize) bad("the zip directory is damaged");
  const std::string dir = read_at(dir_at, dir_size);
  std::vector<std::string> names;
  std::size_t at = 0;
  for (std::uint64_t k = 0; k < entries; ++k) {
    if (dir.size() - at < kEntrySize || le_at(dir, at, 4) != kEntrySig) bad("the zip directory is damaged");
    const std::uint64_t method = le_at(dir, at + 10, 2), packed = le_at(dir, at + 20, 4),
                        plain = le_at(dir, at + 24, 4), local_at = le_at(dir, at + 42, 4);
    const std::size_t name_size = le_at(dir, at + 28, 2);
    const std::size_t entry_size = kEntrySize + name_size + le_at(dir, at + 30, 2) + le_at(dir, at + 32, 2);
    if (dir.size() - at < entry_size) bad("the zip directory is damaged");
    names.push_back(dir.substr(at + kEntrySize, name_size));
    const std::string& name = names.back();
    if (!name.substr(name.find('/') + 1).starts_with("code/")) {
      if (method != 0) bad("record '" + name + "' is compressed; PyTorch and libtorch store it uncompressed");
      if (packed != plain || packed == kWide || local_at == kWide || local_at + packed > size)
        bad("record '" + name + "' states a size the file cannot hold");
    }
    at += entry_size;
  }
  return {std::move(names), size};
}

std::vector<std::pair<std::string, at::Tensor>> read_archive(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    if (ec || !std::filesystem::exists(path, ec)) bad("no such file");
    bad("not a regular file");
  }
  const ZipDirectory directory = check_records_stored(path);
  const std::vector<std::string>& checked = directory.names;
  caffe2::serialize::PyTorchStreamReader reader(path);
  // The reader drops the archive's folder from each name (and cuts names at 511 bytes).
  const std::vector<std::string> seen = reader.getAllRecords();
  bool same = seen.size() == checked.size();
  for (std::size_t k = 0; same && k < seen.size(); ++k)
    same = checked[k].substr(0, 511).ends_with("/" + seen[k]);
  if (!same) bad("the zip directory reads two ways");
  if (reader.hasRecord("byteorder")) {
    auto [ptr, size] = reader.getRecord("byteorder");
    const std::string order(static_cast<const char*>(ptr.get()), size);
    if (order != "little") bad("byte order '" + order + "' is not supported");
  }
  if (!reader.hasRecord("data.pkl")) bad("the archive has no data.pkl");
  auto [pkl, pkl_size] = reader.getRecord("data.pkl");
  // Keeps every arena index of the machine within 32 bits.
  if (pkl_size > (std::size_t{1} << 30)) bad("data.pkl is too large");
  StorageLoader storages(reader, directory.file_size);
  Unpickler machine({static_cast<const std::uint8_t*>(pkl.get()), pkl_size}, storages);
  const Value root = machine.run();
  return machine.tensors(root);
}

}  // namespace

std::expected<std::vector<std::pair<std::string, at::Tensor>>, std::string> read_pt_weights(const std::string& path) {
  const std::string where = "cannot read weights file " + path + ": ";
  try {
    return read_archive(path);
  } catch (const BadFile& e) {
    return std::unexpected(where + e.message);
  } catch (const c10::Error& e) {
    return std::unexpected(where + c10_message(e));
  } catch (const std::bad_alloc&) {
    return std::unexpected(where + "out of memory");
  } catch (const std::exception& e) {
    return std::unexpected(where + e.what());
  } catch (...) {
    return std::unexpected(where + "unknown failure");
  }
}

}  // namespace quillmere

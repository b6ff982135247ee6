// Helpers shared by the fuzz targets: a private scratch directory, whole-file writes and the
// splitting of one input into several files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qmfuzz {

// Separates the files packed into one input of a multi-file target.
inline constexpr std::string_view kPartSeparator = "--qm-part--";

inline std::vector<std::string_view> split_parts(std::string_view input, std::size_t max_parts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < max_parts) {
    const auto at = input.find(kPartSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + kPartSeparator.size());
  }
  parts.push_back(input);
  return parts;
}

// One scratch directory per process (fuzzers may run side by side), removed at exit. Kept on
// the heap for good: the exit handler runs after the destructors of function-local statics.
inline const std::string& scratch_dir() {
  static const std::string* const dir = [] {
    const char* base = std::getenv("TMPDIR");
    auto* d = new std::string(std::string(base && *base ? base : "/tmp") + "/qmfuzz-XXXXXX");
    if (::mkdtemp(d->data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
    return d;
  }();
  return *dir;
}

// Things no file path of a dump should lead to, for the inputs to point at: FIFOs (opening
// one blocks until a writer comes) and directories, under names of every weights format.
inline void make_traps() {
  for (const char* ext : {"", ".safetensors", ".pt"}) {
    const std::string fifo = scratch_dir() + "/fifo" + ext;
    const std::string dir = scratch_dir() + "/dir" + ext;
    if (::mkfifo(fifo.c_str(), 0600) != 0 || ::mkdir(dir.c_str(), 0700) != 0) {
      std::perror("traps");
      std::abort();
    }
  }
}

inline std::string scratch_path(std::string_view name) { return scratch_dir() + "/" + std::string(name); }

// Writes `bytes` as the whole content of `path`; aborts the fuzzer when the disk refuses.
inline void write_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      std::perror(path.c_str());
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Standard output carries the loader's progress lines; fuzzing needs none of them.
inline void silence_stdout() {
  std::fflush(stdout);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDOUT_FILENO);
    ::close(null_fd);
  }
}

// QMFUZZ_VERBOSE=1 prints why each input was refused (for triage, not while fuzzing).
inline bool verbose() {
  static const bool on = std::getenv("QMFUZZ_VERBOSE") != nullptr;
  return on;
}

inline void note(const char* what, const std::string& text) {
  if (verbose()) std::fprintf(stderr, "%s: %s\n", what, text.c_str());
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace qmfuzz

// Dump and load of an index holding the 60,000 Fashion-MNIST training images (784 values
// each), in MB/s of directory bytes, beside `cp -r` of the same directory in the same run.
// A dump flushes every file to the device before it returns; `cp -r` does not, so it is also
// timed followed by `sync` of its copy (the same flushes). Every step runs `rounds` times on
// a warm page cache; the median is reported, with the load average before and after.
//
//   persist_bench [rounds (default 5)] [work dir (default /tmp)] [data dir]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fashion_mnist.h"
#include "quillmere/index.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::uint64_t directory_bytes(const fs::path& dir) {
  std::uint64_t total = 0;
  for (const auto& e : fs::directory_iterator(dir)) total += e.file_size();
  return total;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const fs::path work = fs::path(argc > 2 ? argv[2] : "/tmp") / ("qm-persist-bench-" + std::to_string(::getpid()));
  const std::string data = argc > 3 ? argv[3] : "/usr/share/datasets/fashion-mnist";

  std::uint64_t rows = 0, dim = 0;
  const auto images = bench::read_images(data + "/train-images-idx3-ubyte.gz", rows, dim);
  if (images.empty()) {
    std::fprintf(stderr, "cannot read %s/train-images-idx3-ubyte.gz\n", data.c_str());
    return 1;
  }

  auto index = bench::default_builder(dim).build();
  if (!index) return std::fprintf(stderr, "%s\n", index.error().message().c_str()), 1;
  const auto t_ingest = Clock::now();
  for (std::uint64_t i = 0; i < rows; ++i) {
    std::vector<float> r(images.begin() + i * dim, images.begin() + (i + 1) * dim);
    if (auto ok = index->insert(std::move(r), static_cast<std::uint32_t>(i)); !ok)
      return std::fprintf(stderr, "%s\n", ok.error().message().c_str()), 1;
  }
  std::printf("index: %llu records of %llu values, %llu levels, %llu in the buffer (ingest %.1f s)\n",
              (unsigned long long)index->occupied(), (unsigned long long)dim, (unsigned long long)index->n_levels(),
              (unsigned long long)index->buffer_occupied(), seconds_since(t_ingest));

  fs::create_directories(work);
  const double load_before = bench::load_average();
  std::vector<double> dump_s, load_s, cp_s, cp_sync_s;
  std::uint64_t bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    const fs::path dump_dir = work / "dump", copy_dir = work / "copy";
    fs::remove_all(dump_dir);
    fs::remove_all(copy_dir);

    auto t0 = Clock::now();
    if (auto ok = index->dump(dump_dir.string()); !ok)
      return std::fprintf(stderr, "dump: %s\n", ok.error().message().c_str()), 1;
    dump_s.push_back(seconds_since(t0));
    bytes = directory_bytes(dump_dir);

    t0 = Clock::now();
    const std::string cmd = "cp -r '" + dump_dir.string() + "' '" + copy_dir.string() + "'";
    if (std::system(cmd.c_str()) != 0) return std::fprintf(stderr, "cp failed\n"), 1;
    cp_s.push_back(seconds_since(t0));
    fs::remove_all(copy_dir);
    t0 = Clock::now();
    const std::string cmd_sync = cmd + " && sync '" + copy_dir.string() + "'/* '" + copy_dir.string() + "'";
    if (std::system(cmd_sync.c_str()) != 0) return std::fprintf(stderr, "cp and sync failed\n"), 1;
    cp_sync_s.push_back(seconds_since(t0));

    // The two load lines go to /dev/null.
    std::fflush(stdout);
    const int saved_stdout = ::dup(STDOUT_FILENO), null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    t0 = Clock::now();
    auto builder = quillmere::IndexBuilder::from_disk(dump_dir.string());
    auto loaded = builder ? builder->build() : quillmere::Result<quillmere::Index>(std::unexpected(builder.error()));
    load_s.push_back(seconds_since(t0));
    std::fflush(stdout);
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
    ::close(null_fd);
    if (!loaded) return std::fprintf(stderr, "load: %s\n", loaded.error().message().c_str()), 1;
    if (loaded->occupied() != index->occupied()) return std::fprintf(stderr, "load lost records\n"), 1;
  }
  fs::remove_all(work);

  const double mb = bytes / 1e6;
  const double dump_rate = mb / median(dump_s), load_rate = mb / median(load_s), cp_rate = mb / median(cp_s);
  const double cp_sync_rate = mb / median(cp_sync_s);
  std::printf("directory: %.1f MB, median of %d rounds, load average %.1f before, %.1f after\n", mb, rounds,
              load_before, bench::load_average());
  std::printf("  dump (flushed)   %8.1f MB/s  (%.3f s)  %.2fx cp  %.2fx cp + sync\n", dump_rate, median(dump_s),
              dump_rate / cp_rate, dump_rate / cp_sync_rate);
  std::printf("  load             %8.1f MB/s  (%.3f s)  %.2fx cp\n", load_rate, median(load_s), load_rate / cp_rate);
  std::printf("  cp -r            %8.1f MB/s  (%.3f s)\n", cp_rate, median(cp_s));
  std::printf("  cp -r, then sync %8.1f MB/s  (%.3f s)\n", cp_sync_rate, median(cp_sync_s));
  return 0;
}

// The reading phase alone: plot file to float32 columns, no Python objects.
//
//   read_benchmark PLOT_FILE WIDTH [REPEAT]
//
// Reads the file REPEAT times (default 5) and prints the fastest run's
// seconds, MB/s of file and ns per value, as one line of JSON.  Run under
// callgrind with REPEAT 1 it gives the instruction count of one read.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/read_error.hpp"
#include "lib/reader.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PLOT_FILE WIDTH [REPEAT]\n", argv[0]);
    return 2;
  }
  std::string path = argv[1];
  auto width = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  int repeat = argc > 3 ? std::atoi(argv[3]) : 5;
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  double best = 1e300;
  std::size_t values = 0;
  try {
    for (int i = 0; i < repeat; ++i) {
      auto start = std::chrono::steady_clock::now();
      tavrel::lib::Columns result = tavrel::lib::read_columns(path, width);
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      values = result.column(0).size() * result.count();
      best = std::min(best, seconds);
    }
  } catch (const tavrel::lib::ReadError& failure) {
    std::fprintf(stderr, "read failed: kind %d at line %llu\n", static_cast<int>(failure.kind),
                 static_cast<unsigned long long>(failure.line));
    return 1;
  }
  std::printf("{\"seconds\": %.6f, \"mb_per_s\": %.1f, \"ns_per_value\": %.3f, \"values\": %zu}\n", best,
              static_cast<double>(info.st_size) / 1e6 / best, best * 1e9 / static_cast<double>(values), values);
  return 0;
}

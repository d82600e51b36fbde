// The cost of touching fresh memory: microseconds per first touch of a
// 4 KiB page, the unit in which cold reads pay for every object they make.
//
//   page_fault_benchmark [MEGABYTES]
//
// Maps fresh anonymous memory three times, writes one byte per page, and
// prints the time per page of each round.
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const std::size_t bytes = static_cast<std::size_t>(argc > 1 ? std::atoi(argv[1]) : 100) << 20;
  constexpr std::size_t PAGE = 4096;
  for (int round = 0; round < 3; ++round) {
    void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
      std::perror("mmap");
      return 1;
    }
    auto* memory = static_cast<volatile char*>(mapped);
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < bytes; i += PAGE) memory[i] = 1;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.2f us per first touch of a 4 KiB page\n", seconds * 1e6 / static_cast<double>(bytes / PAGE));
    ::munmap(mapped, bytes);
  }
  return 0;
}

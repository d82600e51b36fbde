// The allocation primitive of the reading core; see memory.hpp.
#include "text/memory.hpp"

#include <cstdlib>

#ifdef TAVREL_ALLOC_HOOK
#include <atomic>
#endif

namespace tavrel::text {

#ifdef TAVREL_ALLOC_HOOK
namespace {
// Calls left before the injected failure (0: none armed), and calls counted
// since the hook was last armed.  Test builds only.
std::atomic<long> FAIL_COUNTDOWN{0};
std::atomic<long> CALLS_SINCE_ARM{0};
}  // namespace

long fail_nth_allocation(long n) noexcept {
  long calls = CALLS_SINCE_ARM.exchange(0);
  FAIL_COUNTDOWN.store(n);
  return calls;
}
#endif

void* reallocate(void* ptr, std::size_t bytes) noexcept {
#ifdef TAVREL_ALLOC_HOOK
  CALLS_SINCE_ARM.fetch_add(1);
  if (FAIL_COUNTDOWN.load() > 0 && FAIL_COUNTDOWN.fetch_sub(1) == 1) return nullptr;
#endif
  return std::realloc(ptr, bytes);
}

void release(void* ptr) noexcept { std::free(ptr); }

}  // namespace tavrel::text

#ifdef TAVREL_ALLOC_HOOK
// The hook as an exported C symbol, so tests can reach it in the built
// module through ctypes without the module growing an attribute.
extern "C" __attribute__((visibility("default"))) long tavrel_fail_nth_allocation(long n) noexcept {
  return tavrel::text::fail_nth_allocation(n);
}
#endif

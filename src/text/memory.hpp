// The one allocation primitive of the reading core.
//
// Every buffer the core grows (line bytes, column values) goes through
// `reallocate`, which returns null instead of throwing, so a failure can be
// reported with the size that was asked for and unwound like any other
// failure.  Test builds (TAVREL_ALLOC_HOOK) can make the N-th call fail,
// from C++ through `fail_nth_allocation` and from Python (ctypes) through
// the exported C function `tavrel_fail_nth_allocation`.
#pragma once

#include <cstddef>

namespace tavrel::text {

// realloc(ptr, bytes); null on failure, `ptr` then stays valid.
void* reallocate(void* ptr, std::size_t bytes) noexcept;
void release(void* ptr) noexcept;

#ifdef TAVREL_ALLOC_HOOK
// Makes the `n`-th call of reallocate from now on fail (1 = the next);
// 0 disarms.  Returns how many calls were made since the last arm.
long fail_nth_allocation(long n) noexcept;
#endif

}  // namespace tavrel::text

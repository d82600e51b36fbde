// A process-wide cell set once: the first value published wins.
#pragma once

#include <atomic>

namespace tavrel::fixed {

// Publishes `made` into `cell` if the cell still holds `empty`, and returns
// what the cell holds afterwards: `made`, or the value another thread
// published first (`made` is then the caller's to drop).
template <class T>
T publish_once(std::atomic<T>& cell, T made, T empty = T{}) noexcept {
  T expected = empty;
  if (cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  return expected;
}

}  // namespace tavrel::fixed

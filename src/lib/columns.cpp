// Column storage; see columns.hpp.
#include "lib/columns.hpp"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include "lib/read_error.hpp"
#include "text/memory.hpp"

namespace tavrel::lib {

// --- Columns ----------------------------------------------------------------

Column::~Column() {
  if (owned_) text::release(data_);
}

void Column::clear() noexcept {
  if (owned_) text::release(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  owned_ = true;
}

void Column::adopt(float* storage, std::size_t capacity) noexcept {
  if (size_ > capacity) return;
  if (size_ > 0) std::memcpy(storage, data_, size_ * sizeof(float));
  if (owned_) text::release(data_);
  data_ = storage;
  capacity_ = capacity;
  owned_ = false;
}

void Column::grow() {
  std::size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
  std::size_t bytes = capacity * sizeof(float);
  void* grown = text::reallocate(owned_ ? data_ : nullptr, bytes);
  if (!grown) out_of_memory(bytes);
  // Only a full column grows, and the reader records sizes after the fact:
  // every slot up to the capacity holds a value.
  if (!owned_ && capacity_ > 0) std::memcpy(grown, data_, capacity_ * sizeof(float));
  data_ = static_cast<float*>(grown);
  capacity_ = capacity;
  owned_ = true;
}

// --- The arena ----------------------------------------------------------------

namespace {
// Below this a mapping of its own is not worth it; also the step in which
// converted columns are given back (a large page).
constexpr std::size_t MIN_ARENA_BYTES = std::size_t{1} << 21;
constexpr std::size_t PAGE_BYTES = 4096;
}  // namespace

ColumnArena::~ColumnArena() {
  if (base_) ::munmap(reinterpret_cast<char*>(base_) + released_, bytes_ - released_);
}

bool ColumnArena::map(std::size_t columns, std::size_t rows, bool small_too, bool large_pages) noexcept {
  if (base_ || columns == 0 || rows == 0 || rows > (SIZE_MAX / sizeof(float)) / columns) return false;
  const std::size_t bytes = (columns * rows * sizeof(float) + PAGE_BYTES - 1) / PAGE_BYTES * PAGE_BYTES;
  if (bytes < MIN_ARENA_BYTES && !small_too) return false;
  void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return false;
  // A hint either way; where the system has no large pages it changes nothing.
  ::madvise(base, bytes, large_pages ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  base_ = static_cast<float*>(base);
  bytes_ = bytes;
  per_column_ = rows;
  return true;
}

void ColumnArena::release_columns(std::size_t count) noexcept {
  if (!base_) return;
  // In steps of a large page: each unmapping is a system call and splits
  // the large pages it cuts through.
  const std::size_t end = count * per_column_ * sizeof(float) / MIN_ARENA_BYTES * MIN_ARENA_BYTES;
  if (end <= released_ || end > bytes_) return;
  ::munmap(reinterpret_cast<char*>(base_) + released_, end - released_);
  released_ = end;
}

Columns::Columns(std::size_t count) {
  if (count == 0 || count > MAX_COLUMNS) fail_capacity();
  std::size_t bytes = count * sizeof(Column);
  void* memory = text::reallocate(nullptr, bytes);
  if (!memory) out_of_memory(bytes);
  columns_ = static_cast<Column*>(memory);
  for (std::size_t i = 0; i < count; ++i) new (&columns_[i]) Column();
  count_ = count;
}

Columns::~Columns() {
  for (std::size_t i = 0; i < count_; ++i) columns_[i].~Column();
  text::release(columns_);
}

}  // namespace tavrel::lib

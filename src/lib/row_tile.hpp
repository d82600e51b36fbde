// The last few rows of a read, staged before they reach their columns.
//
// Rows are written front to back into one block small enough to stay in the
// caches, and every ROWS rows the block is turned into columns, each column
// receiving ROWS values at once, a whole cache line, with stores that do not
// fetch it.  Written straight into the columns' own memory, each value would
// touch a cache line of its own, far from the last, first fetched from main
// memory.  With very many columns the block holds one row, copied out row by
// row.
#pragma once

#include <cstddef>

namespace tavrel::lib {

class RowTile {
 public:
  // Past this many columns ROWS rows would not stay in the caches.
  static constexpr std::size_t MAX_COLUMNS = 32768;

  explicit RowTile(std::size_t columns);  // out of memory: a thrown ReadError
  RowTile(const RowTile&) = delete;
  RowTile& operator=(const RowTile&) = delete;
  ~RowTile();

  // How many rows it holds (16, or 1).
  std::size_t rows() const noexcept { return rows_; }
  // Where row r goes: parameter t at row(r)[t].
  float* row(std::size_t r) const noexcept { return values_ + r % rows_ * columns_; }

  // Copies rows first to first + count - 1 (all within one run of rows()
  // rows starting at a multiple of rows()) into the columns whose storage
  // `storage` points to.
  void copy_out(float* const* storage, std::size_t first, std::size_t count) noexcept;

 private:
#if defined(__SSE2__)
  // Sixteen rows: four columns at a time, turned by 4 x 4 transposes, one
  // whole cache line per column.
  void copy_out_16(float* const* storage, std::size_t first) noexcept;
#endif

  std::size_t rows_;
  std::size_t columns_;
  float* values_;  // rows_ rows of columns_ values
};

}  // namespace tavrel::lib

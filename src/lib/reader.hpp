// The plot-file reader: path and field width in, one column per parameter out.
//
// A KORVANT plot file is a first line ending with the parameter count n, n
// parameter-name lines, then timestep blocks: a lead line and ceil(n / 10)
// data lines of up to 10 fixed-width fields each.  `read_korvant` reads the
// whole file in one pass and returns the values of every parameter at single
// precision.  Every failure is a `binding::Failure`, thrown after its panic
// report was written; the file and all buffers are released by unwinding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace tavrel::lib {

// A growable array of binary32 values, one per timestep block.
class Column {
 public:
  Column() noexcept = default;
  Column(Column&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Column& operator=(Column&& other) noexcept {
    Column old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column();

  void push_back(float value) {
    if (size_ == capacity_) grow();
    data_[size_++] = value;
  }
  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  float operator[](std::size_t i) const noexcept { return data_[i]; }
  // Frees the values now (the result conversion drops each column as soon
  // as its list is built).
  void clear() noexcept;

 private:
  void grow();
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The n - 1 columns after the first, in parameter order.
class ColumnTable {
 public:
  ColumnTable() noexcept = default;
  explicit ColumnTable(std::size_t count);  // fails with "capacity overflow" past the limit
  ColumnTable(ColumnTable&& other) noexcept
      : columns_(std::exchange(other.columns_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  ColumnTable& operator=(ColumnTable&&) = delete;
  ColumnTable(const ColumnTable&) = delete;
  ColumnTable& operator=(const ColumnTable&) = delete;
  ~ColumnTable();

  std::size_t size() const noexcept { return count_; }
  Column& operator[](std::size_t i) noexcept { return columns_[i]; }
  const Column& operator[](std::size_t i) const noexcept { return columns_[i]; }

  // Most columns a table may hold: the limit of one table on the 32-bit
  // build, kept on every platform so behaviour is the same everywhere.
  static constexpr std::size_t MAX_COLUMNS = 178956970;

 private:
  Column* columns_ = nullptr;
  std::size_t count_ = 0;
};

struct ReadResult {
  Column first;
  ColumnTable others;
};

// Reads the plot file at `path` (UTF-8) with data fields `width` bytes wide.
ReadResult read_korvant(std::string_view path, std::uint32_t width);

}  // namespace tavrel::lib

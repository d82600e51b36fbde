// Column storage: the values of one parameter, and the arena that holds
// every column of a large file in one mapping.
//
// A `Column` is a growable array of binary32 values, one per timestep block,
// in memory of its own or in room of a `ColumnArena` that it does not own.
// A `ColumnTable` holds the n - 1 columns after the first.  Running out of
// memory is a thrown ReadError (NoMemory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tavrel::lib {

// A growable array of binary32 values, one per timestep block.
class Column {
 public:
  Column() noexcept = default;
  Column(Column&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        owned_(std::exchange(other.owned_, true)) {}
  Column& operator=(Column&& other) noexcept {
    Column old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    owned_ = std::exchange(other.owned_, true);
    return *this;
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column();

  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // The reader fills all columns row by row: it makes room in every column
  // at once (`grow`, doubling a full column), writes values in place
  // through `storage`, and records the number of rows afterwards
  // (`set_size`), saving a size update per value.
  void grow();
  float* storage() noexcept { return data_; }
  void set_size(std::size_t size) noexcept { size_ = size; }
  float operator[](std::size_t i) const noexcept { return data_[i]; }
  // Frees the values now (the result conversion drops each column as soon
  // as its list is built).
  void clear() noexcept;

  // Moves the values into `storage`, room for `capacity` values that the
  // column does not own and that outlives it, and appends there from now
  // on; past that room the column grows into memory of its own.
  void adopt(float* storage, std::size_t capacity) noexcept;

 private:
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool owned_ = true;  // data_ is ours to free
};

// One mapping that holds every column at its expected final length, side by
// side, so that column memory is touched once, in large pages where the
// system offers them, instead of growing by doubling and copying.
class ColumnArena {
 public:
  ColumnArena() noexcept = default;
  ColumnArena(ColumnArena&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)),
        per_column_(std::exchange(other.per_column_, 0)),
        released_(std::exchange(other.released_, 0)) {}
  ColumnArena& operator=(ColumnArena&& other) noexcept {
    ColumnArena old(std::move(*this));
    base_ = std::exchange(other.base_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    per_column_ = std::exchange(other.per_column_, 0);
    released_ = std::exchange(other.released_, 0);
    return *this;
  }
  ColumnArena(const ColumnArena&) = delete;
  ColumnArena& operator=(const ColumnArena&) = delete;
  ~ColumnArena();

  // Room for `columns` columns of `rows` values; false (and nothing mapped)
  // when the mapping fails, and the columns then keep growing on their own.
  // Under a large page in all, there is no mapping unless `small_too`.
  // Without `large_pages`, the mapping is kept in small pages, so that only
  // the pages written become resident.
  bool map(std::size_t columns, std::size_t rows, bool small_too = false, bool large_pages = true) noexcept;
  float* column(std::size_t i) const noexcept { return base_ + i * per_column_; }
  std::size_t rows() const noexcept { return per_column_; }
  // Gives back to the system the pages that hold only columns 0 to count - 1.
  void release_columns(std::size_t count) noexcept;

 private:
  float* base_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t per_column_ = 0;
  std::size_t released_ = 0;  // bytes from base_ already given back
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

}  // namespace tavrel::lib

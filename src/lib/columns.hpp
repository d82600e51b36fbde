// Column storage: the values of one parameter, the arena that holds every
// column of a large file in one mapping, and the set of columns of a read.
//
// A `Column` is a growable array of binary32 values, one per timestep block,
// in memory of its own or in room of a `ColumnArena` that it does not own.
// `Columns` holds the columns of one read, column(0) to column(count() - 1),
// and the arena they may move into.  Running out of memory is a thrown
// ReadError (NoMemory).
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

// The columns of one read, in the order read, and the arena they may lie
// in.  The arena is destroyed after the columns, which may point into it.
class Columns {
 public:
  Columns() noexcept = default;
  // `count` empty columns.  None at all, or more than MAX_COLUMNS, is a
  // Capacity failure.
  explicit Columns(std::size_t count);
  Columns(Columns&& other) noexcept
      : arena_(std::move(other.arena_)),
        columns_(std::exchange(other.columns_, nullptr)),
        count_(std::exchange(other.count_, 0)) {}
  Columns& operator=(Columns&&) = delete;
  Columns(const Columns&) = delete;
  Columns& operator=(const Columns&) = delete;
  ~Columns();

  std::size_t count() const noexcept { return count_; }
  Column& column(std::size_t i) noexcept { return columns_[i]; }
  const Column& column(std::size_t i) const noexcept { return columns_[i]; }
  ColumnArena& arena() noexcept { return arena_; }
  const ColumnArena& arena() const noexcept { return arena_; }

  // Most columns a read may hold: one table of n - 1 columns at the limit
  // of the 32-bit build, and the first beside it; kept on every platform so
  // that behaviour is the same everywhere.
  static constexpr std::size_t MAX_COLUMNS = 178956971;

 private:
  ColumnArena arena_;  // first, so that it outlives the columns placed in it
  Column* columns_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace tavrel::lib

// A plot file read whole for a front end that wants more than the values:
// the parameter names, the lead lines, a selection, partial files, the
// field width found from the file itself, and the values as one block of
// memory that can be handed on without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/blocks.hpp"
#include "lib/columns.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

// Every column side by side at one stride: column c is
// data()[c * stride() .. c * stride() + rows()).  Owns its memory.
class ColumnMatrix {
 public:
  ColumnMatrix() noexcept = default;
  ColumnMatrix(ColumnMatrix&& other) noexcept;
  ColumnMatrix& operator=(ColumnMatrix&& other) noexcept;
  ColumnMatrix(const ColumnMatrix&) = delete;
  ColumnMatrix& operator=(const ColumnMatrix&) = delete;
  ~ColumnMatrix();

  // The first `columns` columns of `read`, each `rows` long.  When they
  // already lie in its arena, the arena is taken over as it is; otherwise
  // they are copied into one block.  Out of memory: a thrown ReadError.
  static ColumnMatrix from(Columns read, std::size_t rows, std::size_t columns);
  // A matrix that holds no value: `rows` or `columns` is 0.
  static ColumnMatrix empty(std::size_t rows, std::size_t columns) noexcept;
  // The arena as it is: its columns, each `rows` long.
  static ColumnMatrix of_arena(ColumnArena arena, std::size_t columns, std::size_t rows) noexcept;
  // The columns of several reads, read k's rows after read k - 1's,
  // copied into one block.
  static ColumnMatrix joined(std::span<const Columns* const> reads, std::span<const std::size_t> rows);

  const float* data() const noexcept { return data_; }
  // The memory is the matrix's own: whoever holds the matrix may write it.
  float* data() noexcept { return data_; }
  std::size_t rows() const noexcept { return rows_; }
  std::size_t columns() const noexcept { return columns_; }
  std::size_t stride() const noexcept { return stride_; }

 private:
  ColumnArena arena_;        // the memory, when taken over from the read
  float* owned_ = nullptr;   // the memory, when copied
  float* data_ = nullptr;
  std::size_t rows_ = 0, columns_ = 0, stride_ = 0;
};

// Reads of this size take a small part of the time a read of a file from
// the page cache costs, where 8192-byte reads take a fifth of it.
inline constexpr std::size_t PLOT_READ_BYTES = std::size_t{256} << 10;

// One opening of a plot file: every step of a read reads this one file,
// whatever happens to its path meanwhile.  A regular file can be read
// again at any offset (`at`, on any thread); anything else (a pipe) only
// once, through `stream`.
class PlotFile {
 public:
  // Fails with a ReadError of kind Io.  With `decompress`, a compressed
  // stream (recognised by its magic bytes) is read decompressed, and is
  // then not seekable.
  static PlotFile open(std::string_view path, bool decompress = false);
  // The same over a source made otherwise (a file object's reader): read
  // once, never seekable.
  static PlotFile over(text::LineSource source, bool decompress);

  // The opening's own source, read from the start.
  text::LineSource& stream() noexcept { return stream_; }
  bool seekable() const noexcept { return seekable_; }
  // A regular file's size at the opening; 0 for anything else.
  std::uint64_t size() const noexcept { return size_; }
  // A source over `length` bytes from byte `offset` on (UINT64_MAX: to the
  // end) of a seekable file, read `buffer_bytes` at a time; it borrows the
  // descriptor, so it cannot fail to open.  Out of memory: a ReadError.
  text::LineSource at(std::uint64_t offset, std::uint64_t length, std::size_t buffer_bytes) const;

 private:
  explicit PlotFile(text::LineSource stream) noexcept;
  text::LineSource stream_;
  bool seekable_ = false;
  std::uint64_t size_ = 0;
};

// What the first timestep says of the field width.
struct WidthFit {
  enum class State : std::uint8_t {
    NoBlock,     // the file has no timestep (nothing, or only blank lines, after the header)
    Incomplete,  // the file ends inside the first timestep
    Fits,        // one width makes every data line exactly its fields and every field a number
    NoFit,       // no width does
  };
  State state = State::NoBlock;
  std::uint32_t width = 0;  // Fits: the width
  // NoFit: the first data line whose length rules the width out (its
  // number, length and field count), or line 0 when the lengths agree on a
  // width but some field is not a number.  Incomplete: the line missing or
  // cut short.
  std::uint64_t line = 0;
  std::uint64_t line_bytes = 0;
  std::uint32_t fields = 0;
};

// What a read is planned from, read once from the opening: the header, the
// selection and the first timestep.
struct Layout {
  std::uint32_t n = 0;
  std::vector<std::string> names;      // each name line's last word, all n
  std::vector<std::uint32_t> selected;  // the selection, when `select`
  bool select = false;
  std::uint64_t header = 0;       // bytes before the first timestep
  std::uint64_t per_block = 0;    // lines per timestep
  std::uint64_t first_bytes = 0;  // the first timestep's bytes; 0 when it is not whole
  WidthFit fit;                   // what the first timestep says of the width

  std::size_t columns() const noexcept { return select ? selected.size() : n; }
};

struct PlotOptions {
  std::uint32_t width = 0;  // 0: the one width that fits the first timestep
  // The parameters to read, by index, when `select` (an empty selection
  // reads no column); else every parameter.
  std::vector<std::uint32_t> selected{};
  bool select = false;
  // When set, called once with every name after the header is read; its
  // result is the selection.  It may throw (a ReadError of kind Cancelled
  // stops the read with the caller's own failure).
  std::function<std::vector<std::uint32_t>(const std::vector<std::string>&)> resolve{};
  bool partial = false;
  std::size_t threads = 1;  // > 1: a regular file is read in that many parts at once
  // Compressed files (gzip, zstd, xz, bzip2, by their magic bytes) read
  // decompressed; false reads every file as it is.
  bool decompress = true;
  Poll poll{};
};

struct Plot {
  std::vector<std::string> names;       // each name line's last word, all n
  std::vector<std::uint32_t> selected;  // the parameter of each column
  std::uint32_t width = 0;              // the width read with; 0 when no timestep needed one
  LeadLines lead_lines;
  ColumnMatrix values;                  // one column per selected parameter
  bool complete = true;
};

// Reads the whole file through one opening.  Blank lines after the last
// block are allowed; a last data line too short for its fields, with which
// the file ends, is a cut.  A selected index of n or more is a ReadError of
// kind Selection.  Every failure is a thrown ReadError; one in the first
// timestep carries what the file suggests instead (hint_width, hint_count).
Plot read_plot(std::string_view path, const PlotOptions& options);
Plot read_plot(PlotFile& file, const PlotOptions& options);

// For the reading in parts: the layout, read from the file's stream, which
// is left at the first timestep; and the blocks read from there on one thread.
Layout read_layout(PlotFile& file, const PlotOptions& options);
Plot read_rest(text::LineSource& lines, Layout& layout, std::uint32_t width, const PlotOptions& options);

// For the readers of a plot file: the file opened for reading in large
// steps, and the check that every selected index names one of n parameters.
text::LineSource open_plot_file(std::string_view path);
void check_selection(std::span<const std::uint32_t> selected, std::uint32_t n);

// The parameter names alone, in order: each name line's last word.
std::vector<std::string> read_plot_names(std::string_view path);

}  // namespace tavrel::lib

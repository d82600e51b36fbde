// A plot file read whole for a front end that wants more than the values:
// the parameter names, the lead lines, a selection, partial files, the
// field width found from the file itself, and the values as one block of
// memory that can be handed on without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/blocks.hpp"
#include "lib/reader.hpp"
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

  // The columns of `result`, each `rows` long.  When they already lie in
  // the arena, the arena is taken over as it is; otherwise they are copied
  // into one block.  Out of memory: a thrown ReadError.
  static ColumnMatrix from(ReadResult result, std::size_t rows);
  // The arena as it is: its columns, each `rows` long.
  static ColumnMatrix of_arena(ColumnArena arena, std::size_t columns, std::size_t rows) noexcept;
  // The columns of several reads, read k's rows after read k - 1's,
  // copied into one block.
  static ColumnMatrix joined(std::span<const ReadResult* const> reads, std::span<const std::size_t> rows);

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

struct PlotOptions {
  std::uint32_t width = 0;                // > 0
  std::vector<std::uint32_t> selected{};  // parameter indices (< n); empty: all
  bool partial = false;
  Poll poll{};
};

struct Plot {
  std::uint32_t parameters = 0;     // n, whatever is selected
  std::vector<std::string> names;   // each name line's last word, all n
  LeadLines lead_lines;
  ColumnMatrix values;              // one column per selected parameter
  bool complete = true;
};

// Reads the whole file.  Blank lines after the last block are allowed.  A
// selected index of n or more is a ReadError of kind Selection.  Every
// failure is a thrown ReadError.
Plot read_plot(std::string_view path, const PlotOptions& options);
// The same, from a file opened with open_plot_file and not read yet.
Plot read_plot(text::LineSource& lines, const PlotOptions& options);

// For the readers of a plot file: the file opened for reading in large
// steps, and the check that every selected index names one of n parameters.
text::LineSource open_plot_file(std::string_view path);
void check_selection(const PlotOptions& options, std::uint32_t n);

// The parameter count and names alone.
struct Header {
  std::uint32_t parameters = 0;
  std::vector<std::string> names;
};
Header read_plot_header(std::string_view path);

// The field widths that fit the first block: every data line exactly as
// long as its fields take and every field a number.  `blocks` is false
// when the file has no block to judge by.  For a message: the first data
// line that rules out its own width, its number, length and field count.
struct WidthFit {
  std::vector<std::uint32_t> widths;
  bool blocks = true;
  std::uint64_t line = 0;
  std::uint64_t line_bytes = 0;
  std::uint32_t fields = 0;
};
WidthFit fit_widths(std::string_view path);

}  // namespace tavrel::lib

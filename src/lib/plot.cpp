// A plot file read whole, with names and lead lines; see plot.hpp.
#include "lib/plot.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/header.hpp"
#include "lib/read_error.hpp"
#include "text/field.hpp"
#include "text/line_source.hpp"
#include "text/memory.hpp"

namespace tavrel::lib {

ColumnMatrix::ColumnMatrix(ColumnMatrix&& other) noexcept
    : arena_(std::move(other.arena_)),
      owned_(std::exchange(other.owned_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      rows_(std::exchange(other.rows_, 0)),
      columns_(std::exchange(other.columns_, 0)),
      stride_(std::exchange(other.stride_, 0)) {}

ColumnMatrix& ColumnMatrix::operator=(ColumnMatrix&& other) noexcept {
  ColumnMatrix old(std::move(*this));
  arena_ = std::move(other.arena_);
  owned_ = std::exchange(other.owned_, nullptr);
  data_ = std::exchange(other.data_, nullptr);
  rows_ = std::exchange(other.rows_, 0);
  columns_ = std::exchange(other.columns_, 0);
  stride_ = std::exchange(other.stride_, 0);
  return *this;
}

ColumnMatrix::~ColumnMatrix() { text::release(owned_); }

ColumnMatrix ColumnMatrix::from(ReadResult result, std::size_t rows) {
  const std::size_t columns = result.others.size() + 1;
  bool in_arena = result.arena.rows() >= rows && rows > 0;
  for (std::size_t c = 0; in_arena && c < columns; ++c) {
    in_arena = (c == 0 ? result.first : result.others[c - 1]).data() == result.arena.column(c);
  }
  if (in_arena) return of_arena(std::move(result.arena), columns, rows);
  const ReadResult* const only = &result;
  return joined(std::span<const ReadResult* const>(&only, 1), std::span<const std::size_t>(&rows, 1));
}

ColumnMatrix ColumnMatrix::of_arena(ColumnArena arena, std::size_t columns, std::size_t rows) noexcept {
  ColumnMatrix matrix;
  matrix.rows_ = rows;
  matrix.columns_ = columns;
  matrix.stride_ = arena.rows();
  matrix.data_ = arena.column(0);
  matrix.arena_ = std::move(arena);
  return matrix;
}

ColumnMatrix ColumnMatrix::joined(std::span<const ReadResult* const> reads, std::span<const std::size_t> rows) {
  ColumnMatrix matrix;
  matrix.columns_ = reads.front()->others.size() + 1;
  for (std::size_t r : rows) matrix.rows_ += r;
  matrix.stride_ = matrix.rows_;
  const std::size_t bytes = matrix.columns_ * matrix.rows_ * sizeof(float);
  matrix.owned_ = static_cast<float*>(text::reallocate(nullptr, bytes == 0 ? 1 : bytes));
  if (!matrix.owned_) out_of_memory(bytes);
  for (std::size_t c = 0; c < matrix.columns_; ++c) {
    float* out = matrix.owned_ + c * matrix.rows_;
    for (std::size_t k = 0; k < reads.size(); ++k) {
      if (rows[k] == 0) continue;
      const Column& column = c == 0 ? reads[k]->first : reads[k]->others[c - 1];
      std::memcpy(out, column.data(), rows[k] * sizeof(float));
      out += rows[k];
    }
  }
  matrix.data_ = matrix.owned_;
  return matrix;
}

namespace {

// Reads of this size take a small part of the time a read of a file from
// the page cache costs, where 8192-byte reads take a fifth of it.
constexpr std::size_t READ_BYTES = std::size_t{256} << 10;

}  // namespace

text::LineSource open_plot_file(std::string_view path) {
  auto opened = text::LineSource::open(path, READ_BYTES);
  if (!opened) fail_io(ReadError::Stage::Open, 0, opened.error(), std::source_location::current());
  return std::move(*opened);
}

void check_selection(const PlotOptions& options, std::uint32_t n) {
  for (std::uint32_t t : options.selected) {
    if (t >= n) throw ReadError{.kind = ReadError::Kind::Selection, .message = "parameter index out of range",
                                .where = std::source_location::current(), .parameter = t};
  }
}

Plot read_plot(std::string_view path, const PlotOptions& options) {
  text::LineSource lines = open_plot_file(path);
  return read_plot(lines, options);
}

Plot read_plot(text::LineSource& lines, const PlotOptions& options) {
  Plot plot;
  plot.parameters = read_header(lines, &plot.names);
  const std::uint32_t n = plot.parameters;
  check_selection(options, n);
  const std::size_t columns = options.selected.empty() ? n : options.selected.size();
  // n - 1 in the 32-bit word, as the plain reader does: no parameters at
  // all wrap to a table no platform allows.
  ReadResult result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(columns - 1))};
  BlockOptions block_options{.selected = options.selected,
                             .partial = options.partial,
                             .blank_tail = true,
                             .lead_lines = &plot.lead_lines,
                             .poll = options.poll};
  const BlocksRead read = read_blocks(lines, n, options.width, result, block_options);
  plot.complete = read.complete;
  plot.values = ColumnMatrix::from(std::move(result), read.rows);
  return plot;
}

Header read_plot_header(std::string_view path) {
  text::LineSource lines = open_plot_file(path);
  Header header;
  header.parameters = read_header(lines, &header.names);
  return header;
}

WidthFit fit_widths(std::string_view path) {
  text::LineSource lines = open_plot_file(path);
  const std::uint32_t n = read_header(lines);
  WidthFit fit;
  const std::uint64_t lead = std::uint64_t{n} + 2;
  if (n == 0 || next_line(lines, ReadError::Stage::LeadLine, lead).ended) {
    fit.blocks = false;
    return fit;
  }
  // The block's data lines, each followed by the padding the field parser
  // may read past a field's end.
  std::vector<std::string> data;
  for (std::uint32_t t = 0; t < n; t += 10) {
    NextLine line = next_line(lines, ReadError::Stage::DataLine, lead + 1 + t / 10);
    if (line.ended) break;
    data.emplace_back(line.text);
    data.back().append(text::LineSource::LINE_PADDING, '\0');
  }
  const auto fields_of = [&](std::size_t j) { return std::min<std::uint32_t>(10, n - 10 * j); };
  const auto length_of = [&](std::size_t j) { return data[j].size() - text::LineSource::LINE_PADDING; };
  if (data.empty()) return fit;
  const std::uint64_t width = length_of(0) / fields_of(0);
  for (std::size_t j = 0; j < data.size(); ++j) {
    if (width == 0 || length_of(j) != width * fields_of(j)) {
      fit.line = lead + 1 + j;
      fit.line_bytes = length_of(j);
      fit.fields = fields_of(j);
      return fit;
    }
  }
  for (std::size_t j = 0; j < data.size(); ++j) {
    for (std::uint32_t k = 0; k < fields_of(j); ++k) {
      if (!text::parse_field(std::string_view(data[j].data() + k * width, width))) return fit;
    }
  }
  fit.widths.push_back(static_cast<std::uint32_t>(width));
  return fit;
}

}  // namespace tavrel::lib

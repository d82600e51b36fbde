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
  auto column = [&](std::size_t c) -> const Column& { return c == 0 ? result.first : result.others[c - 1]; };
  ColumnMatrix matrix;
  matrix.rows_ = rows;
  matrix.columns_ = columns;
  bool in_arena = result.arena.rows() >= rows && rows > 0;
  for (std::size_t c = 0; in_arena && c < columns; ++c) in_arena = column(c).data() == result.arena.column(c);
  if (in_arena) {
    matrix.stride_ = result.arena.rows();
    matrix.data_ = result.arena.column(0);
    matrix.arena_ = std::move(result.arena);
    return matrix;
  }
  matrix.stride_ = rows;
  const std::size_t bytes = columns * rows * sizeof(float);
  matrix.owned_ = static_cast<float*>(text::reallocate(nullptr, bytes == 0 ? 1 : bytes));
  if (!matrix.owned_) out_of_memory(bytes);
  for (std::size_t c = 0; c < columns && rows > 0; ++c) {
    std::memcpy(matrix.owned_ + c * rows, column(c).data(), rows * sizeof(float));
  }
  matrix.data_ = matrix.owned_;
  return matrix;
}

namespace {

// Reads of this size take a small part of the time a read of a file from
// the page cache costs, where 8192-byte reads take a fifth of it.
constexpr std::size_t READ_BYTES = std::size_t{256} << 10;

text::LineSource open_plot(std::string_view path) {
  auto opened = text::LineSource::open(path, READ_BYTES);
  if (!opened) fail_io(ReadError::Stage::Open, 0, opened.error(), std::source_location::current());
  return std::move(*opened);
}

// Every selected index names a parameter.
void check_selection(const PlotOptions& options, std::uint32_t n) {
  for (std::uint32_t t : options.selected) {
    if (t >= n) throw ReadError{.kind = ReadError::Kind::Selection, .message = "parameter index out of range",
                                .where = std::source_location::current(), .parameter = t};
  }
}

}  // namespace

Plot read_plot(std::string_view path, const PlotOptions& options) {
  text::LineSource lines = open_plot(path);
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

std::vector<Part> cut_blocks(std::string_view path, std::size_t parts) {
  text::LineSource lines = open_plot(path);
  const std::uint32_t n = read_header(lines);
  const std::uint64_t header = lines.bytes_taken();
  const std::uint64_t size = lines.size_hint();
  const std::uint64_t per_block = 1 + (std::uint64_t{n} + 9) / 10;
  std::vector<Part> cuts{{header, 0, 0}};
  std::uint64_t line = 0;  // lines read after the header
  // Past one line, by its line feed in the buffer where it lies whole there.
  auto advance = [&]() -> bool {
    const std::string_view buffered = lines.buffered();
    if (const void* end = std::memchr(buffered.data(), '\n', buffered.size())) {
      lines.skip_lines(static_cast<std::size_t>(static_cast<const char*>(end) - buffered.data()) + 1);
    } else if (next_line(lines, ReadError::Stage::DataLine, std::uint64_t{n} + 2 + line).ended) {
      return false;
    }
    ++line;
    return true;
  };
  for (std::size_t k = 1; k < parts && size > header; ++k) {
    const std::uint64_t target = header + (size - header) / parts * k;
    bool more = true;
    while (more && lines.bytes_taken() < target) more = advance();
    while (more && line % per_block != 0) more = advance();
    if (!more || lines.bytes_taken() >= size) break;
    if (lines.bytes_taken() > cuts.back().offset) cuts.push_back({lines.bytes_taken(), 0, line / per_block});
  }
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const std::uint64_t end = i + 1 < cuts.size() ? cuts[i + 1].offset : std::max(size, cuts[i].offset);
    cuts[i].length = end - cuts[i].offset;
  }
  return cuts;
}

Plot read_plot_part(std::string_view path, std::uint32_t n, const PlotOptions& options, const Part& part,
                    bool last) {
  text::LineSource lines = open_plot(path);
  if (auto moved = lines.restrict_to(part.offset, part.length); !moved) {
    fail_io(ReadError::Stage::LeadLine, 0, moved.error(), std::source_location::current());
  }
  check_selection(options, n);
  Plot plot;
  plot.parameters = n;
  const std::size_t columns = options.selected.empty() ? n : options.selected.size();
  ReadResult result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(columns - 1))};
  BlockOptions block_options{.selected = options.selected,
                             .partial = options.partial && last,
                             .blank_tail = last,
                             .lead_lines = &plot.lead_lines,
                             .first_block = part.first_block,
                             .poll = options.poll};
  const BlocksRead read = read_blocks(lines, n, options.width, result, block_options);
  plot.complete = read.complete;
  plot.values = ColumnMatrix::from(std::move(result), read.rows);
  return plot;
}

Header read_plot_header(std::string_view path) {
  text::LineSource lines = open_plot(path);
  Header header;
  header.parameters = read_header(lines, &header.names);
  return header;
}

WidthFit fit_widths(std::string_view path) {
  text::LineSource lines = open_plot(path);
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

// A plot file read whole, with names and lead lines; see plot.hpp.
#include "lib/plot.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/header.hpp"
#include "lib/plot_parts.hpp"
#include "lib/read_error.hpp"
#include "text/block_shape.hpp"
#include "text/field.hpp"
#include "text/line_source.hpp"
#include "text/memory.hpp"
#include "text/words.hpp"

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

ColumnMatrix ColumnMatrix::from(Columns read, std::size_t rows, std::size_t columns) {
  // An empty selection: its one column was written to only to be dropped.
  if (columns == 0) return empty(rows, 0);
  bool in_arena = read.arena().rows() >= rows && rows > 0;
  for (std::size_t c = 0; in_arena && c < columns; ++c) {
    in_arena = read.column(c).data() == read.arena().column(c);
  }
  if (in_arena) return of_arena(std::move(read.arena()), columns, rows);
  const Columns* const only = &read;
  return joined(std::span<const Columns* const>(&only, 1), std::span<const std::size_t>(&rows, 1));
}

ColumnMatrix ColumnMatrix::empty(std::size_t rows, std::size_t columns) noexcept {
  ColumnMatrix matrix;
  matrix.rows_ = rows;
  matrix.columns_ = columns;
  return matrix;
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

ColumnMatrix ColumnMatrix::joined(std::span<const Columns* const> reads, std::span<const std::size_t> rows) {
  ColumnMatrix matrix;
  matrix.columns_ = reads.front()->count();
  for (std::size_t r : rows) matrix.rows_ += r;
  matrix.stride_ = matrix.rows_;
  const std::size_t bytes = matrix.columns_ * matrix.rows_ * sizeof(float);
  matrix.owned_ = static_cast<float*>(text::reallocate(nullptr, bytes == 0 ? 1 : bytes));
  if (!matrix.owned_) out_of_memory(bytes);
  for (std::size_t c = 0; c < matrix.columns_; ++c) {
    float* out = matrix.owned_ + c * matrix.rows_;
    for (std::size_t k = 0; k < reads.size(); ++k) {
      if (rows[k] == 0) continue;
      const Column& column = reads[k]->column(c);
      std::memcpy(out, column.data(), rows[k] * sizeof(float));
      out += rows[k];
    }
  }
  matrix.data_ = matrix.owned_;
  return matrix;
}

text::LineSource open_plot_file(std::string_view path) {
  auto opened = text::LineSource::open(path, PLOT_READ_BYTES);
  if (!opened) fail_io(ReadError::Stage::Open, 0, opened.error(), std::source_location::current());
  return std::move(*opened);
}

void check_selection(std::span<const std::uint32_t> selected, std::uint32_t n) {
  for (std::uint32_t t : selected) {
    if (t >= n) fail_selection(t);
  }
}

// --- One opening -------------------------------------------------------------

PlotFile::PlotFile(text::LineSource stream) noexcept
    : stream_(std::move(stream)), seekable_(stream_.seekable()), size_(seekable_ ? stream_.size_hint() : 0) {}

PlotFile PlotFile::open(std::string_view path, bool decompress) { return over(open_plot_file(path), decompress); }

PlotFile PlotFile::over(text::LineSource stream, bool decompress) {
  if (decompress) {
    if (auto found = stream.detect_compression(); !found) {
      fail_io(ReadError::Stage::Open, 0, found.error(), std::source_location::current());
    }
  }
  return PlotFile(std::move(stream));
}

text::LineSource PlotFile::at(std::uint64_t offset, std::uint64_t length, std::size_t buffer_bytes) const {
  auto source = text::LineSource::at(stream_.descriptor(), offset, length, buffer_bytes);
  if (!source) fail_io(ReadError::Stage::DataLine, 0, source.error(), std::source_location::current());
  return std::move(*source);
}

// --- The first timestep --------------------------------------------------------

namespace {

using Stage = ReadError::Stage;
using text::fields_in_line;

// Whether every line left is blank.
bool rest_is_blank(text::LineSource& lines, std::uint64_t line) {
  for (;; ++line) {
    NextLine next = next_line(lines, Stage::DataLine, line);
    if (next.ended) return true;
    if (!text::trim(next.text).empty()) return false;
  }
}

bool at_end(text::LineSource& lines, std::uint64_t line) {
  const auto ended = lines.at_end();
  if (!ended) fail_io(Stage::DataLine, line, ended.error(), std::source_location::current());
  return *ended;
}

// Reads the first timestep of `n` parameters from `lines` (marked at its
// start, `lead` its line number) and judges which width it fits.  A
// timestep the file ends inside is never judged: its last line may be cut
// anywhere.  With `partial`, that includes a last line without its line
// feed, which may be only the part written so far.  Sets `bytes` to the
// timestep's length when it is whole.
WidthFit fit_first_block(text::LineSource& lines, std::uint32_t n, std::uint64_t lead, bool partial,
                         std::uint64_t& bytes) {
  WidthFit fit;
  const std::uint64_t start = lines.bytes_taken();
  NextLine first = next_line(lines, Stage::LeadLine, lead);
  if (first.ended) return fit;
  if (text::trim(first.text).empty()) {
    if (rest_is_blank(lines, lead + 1)) return fit;
    if (auto back = lines.rewind(start); !back) fail_io(Stage::LeadLine, lead, back.error(), std::source_location::current());
    lines.mark();
    next_line(lines, Stage::LeadLine, lead);
  }
  // The data lines, each followed by the padding the field parser may read
  // past a field's end.
  const std::uint64_t count = text::lines_per_block(n);
  std::vector<std::string> data;
  for (std::uint64_t j = 0; j < count; ++j) {
    const std::uint64_t number = lead + 1 + j;
    const std::uint64_t before = lines.bytes_taken();
    NextLine line = next_line(lines, Stage::DataLine, number);
    if (line.ended) return {.state = WidthFit::State::Incomplete, .line = number};
    const bool unterminated = lines.bytes_taken() - before == line.text.size();
    data.emplace_back(line.text);
    data.back().append(text::LineSource::LINE_PADDING, '\0');
    // Too short for the width of the lines before it, with the file ending
    // there: cut, as is a last line still being written.
    const std::uint64_t size = line.text.size();
    const bool short_line = j > 0 && size < (data[0].size() - text::LineSource::LINE_PADDING) / fields_in_line(n, 0) *
                                                fields_in_line(n, j);
    if ((short_line || (partial && unterminated)) && at_end(lines, number + 1)) {
      return {.state = WidthFit::State::Incomplete, .line = number, .line_bytes = size, .fields = fields_in_line(n, j)};
    }
  }
  bytes = lines.bytes_taken() - start;
  const auto length_of = [&](std::size_t j) { return data[j].size() - text::LineSource::LINE_PADDING; };
  const std::uint64_t width = length_of(0) / fields_in_line(n, 0);
  for (std::size_t j = 0; j < data.size(); ++j) {
    if (width == 0 || width > UINT32_MAX || length_of(j) != width * fields_in_line(n, j)) {
      // A single data line that ends the file too short for any width is
      // cut as well.
      return {.state = WidthFit::State::NoFit, .line = lead + 1 + j, .line_bytes = length_of(j),
              .fields = fields_in_line(n, j)};
    }
  }
  for (std::size_t j = 0; j < data.size(); ++j) {
    for (std::uint32_t k = 0; k < fields_in_line(n, j); ++k) {
      if (!text::parse_field(std::string_view(data[j].data() + k * width, width))) {
        return {.state = WidthFit::State::NoFit};
      }
    }
  }
  return {.state = WidthFit::State::Fits, .width = static_cast<std::uint32_t>(width)};
}

// A parameter count near the first line's with which the first timestep
// fits a width, when exactly one does; 0 otherwise.  Reads the file again
// from its start, so only a seekable file is asked.
std::uint32_t count_that_fits(const PlotFile& file, std::uint32_t n) {
  if (!file.seekable()) return 0;
  constexpr std::uint32_t REACH = 3;
  std::uint32_t found = 0;
  for (std::uint32_t other = n > REACH ? n - REACH : 1; other <= n + REACH; ++other) {
    if (other == n) continue;
    text::LineSource lines = file.at(0, UINT64_MAX, std::size_t{64} << 10);
    const auto passed = lines.pass_lines(1 + std::uint64_t{other});
    if (!passed || *passed != 1 + std::uint64_t{other}) continue;
    lines.mark();
    std::uint64_t bytes = 0;
    if (fit_first_block(lines, other, other + 2, false, bytes).state != WidthFit::State::Fits) continue;
    if (found != 0) return 0;
    found = other;
  }
  return found;
}

// What the file suggests instead of what failed in its first timestep.
void add_hints(ReadError& error, const PlotFile& file, const Layout& layout, std::uint32_t width) {
  const bool first_block = error.kind == ReadError::Kind::Width ||
                           ((error.kind == ReadError::Kind::Parse || error.kind == ReadError::Kind::Slice ||
                             error.kind == ReadError::Kind::MissingLine) &&
                            error.block == 0 && error.stage == Stage::DataLine);
  if (!first_block) return;
  if (layout.fit.state == WidthFit::State::Fits && layout.fit.width != width) error.hint_width = layout.fit.width;
  if (layout.fit.state != WidthFit::State::Fits) {
    try {
      error.hint_count = count_that_fits(file, layout.n);
    } catch (const ReadError&) {
      // The hint is a courtesy: the failure stands without it.
    }
  }
}

Plot empty_plot(Layout& layout, bool complete) {
  Plot plot;
  plot.values = ColumnMatrix::empty(0, layout.columns());
  plot.names = std::move(layout.names);
  plot.selected = std::move(layout.selected);
  plot.complete = complete;
  return plot;
}

}  // namespace

Layout read_layout(PlotFile& file, const PlotOptions& options) {
  text::LineSource& lines = file.stream();
  Layout layout;
  layout.n = read_header(lines, &layout.names);
  layout.header = lines.bytes_taken();
  layout.per_block = 1 + text::lines_per_block(layout.n);
  layout.select = options.select || static_cast<bool>(options.resolve);
  layout.selected = options.resolve ? options.resolve(layout.names) : options.selected;
  check_selection(layout.selected, layout.n);
  if (layout.n > 0) {
    lines.mark();
    layout.fit = fit_first_block(lines, layout.n, std::uint64_t{layout.n} + 2, options.partial, layout.first_bytes);
    if (layout.fit.state != WidthFit::State::Fits && layout.fit.state != WidthFit::State::NoFit) layout.first_bytes = 0;
    if (auto back = lines.rewind(layout.header); !back) {
      fail_io(Stage::LeadLine, std::uint64_t{layout.n} + 2, back.error(), std::source_location::current());
    }
  }
  return layout;
}

Plot read_rest(text::LineSource& lines, Layout& layout, std::uint32_t width, const PlotOptions& options) {
  if (layout.n == 0) fail_capacity();  // no parameters: no table of columns can be made
  Plot plot;
  const std::size_t columns = layout.columns();
  // An empty selection still has its one column to be written to, and
  // dropped.
  Columns read(std::max<std::size_t>(columns, 1));
  BlockOptions block_options{.selected = layout.selected,
                             .select = layout.select,
                             .partial = options.partial,
                             .blank_tail = true,
                             .cut_ends_file = true,
                             .lead_lines = &plot.lead_lines,
                             .poll = options.poll};
  const BlocksRead blocks = read_blocks(lines, layout.n, width, read, block_options);
  plot.complete = blocks.complete && !lines.truncated();
  plot.width = width;
  plot.values = ColumnMatrix::from(std::move(read), blocks.rows, columns);
  plot.names = std::move(layout.names);
  plot.selected = std::move(layout.selected);
  return plot;
}

Plot read_plot(std::string_view path, const PlotOptions& options) {
  PlotFile file = PlotFile::open(path, options.decompress);
  return read_plot(file, options);
}

Plot read_plot(PlotFile& file, const PlotOptions& options) {
  // A compressed stream cut short is a file still being written, for a
  // partial read.
  file.stream().take_truncation_as_end(options.partial);
  Layout layout = read_layout(file, options);
  std::uint32_t width = options.width;
  try {
    if (width == 0) {
      switch (layout.fit.state) {
        case WidthFit::State::NoBlock:
          if (layout.n > 0) return empty_plot(layout, !file.stream().truncated());
          width = 1;  // no parameters: the blocks are lead lines alone, and no field is read
          break;
        case WidthFit::State::Incomplete:
          if (options.partial) return empty_plot(layout, false);
          fail_missing_line(Stage::DataLine, layout.fit.line, std::source_location::current(), 0);
        case WidthFit::State::NoFit:
          fail_width(layout.fit.line, layout.fit.line_bytes, layout.fit.fields);
        case WidthFit::State::Fits:
          width = layout.fit.width;
          break;
      }
    }
    if (options.threads > 1 && file.seekable()) return read_plot_in_parts(file, layout, width, options);
    return read_rest(file.stream(), layout, width, options);
  } catch (ReadError& error) {
    error.parameters = layout.n;
    const bool about_field = error.kind == ReadError::Kind::Parse || error.kind == ReadError::Kind::Slice;
    if (about_field && error.parameter < layout.names.size()) error.parameter_name = layout.names[error.parameter];
    add_hints(error, file, layout, width);
    throw;
  }
}

std::vector<std::string> read_plot_names(std::string_view path) {
  text::LineSource lines = open_plot_file(path);
  std::vector<std::string> names;
  read_header(lines, &names);
  return names;
}

}  // namespace tavrel::lib

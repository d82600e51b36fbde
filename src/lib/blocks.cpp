// The timestep blocks of a plot file; see blocks.hpp.
#include "lib/blocks.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "lib/header.hpp"
#include "lib/read_error.hpp"
#include "lib/row_tile.hpp"
#include "text/block_shape.hpp"
#include "text/field.hpp"
#include "text/field_row.hpp"
#include "text/memory.hpp"
#include "text/slice.hpp"
#include "text/words.hpp"

namespace tavrel::lib {
namespace {

using Stage = ReadError::Stage;

// Fields 0 to `count` - 1 of `line` into out[0..count - 1]; returns the
// index of the first field that is not a number or not within the line, or
// `count` when every field was taken.  An ASCII line long enough for all of
// them (and shorter than 4 GiB) needs no check per field: every offset is a
// character boundary and no 32-bit bound can wrap.
std::uint32_t take_fields(std::string_view line, bool ascii, std::uint32_t count, std::uint32_t width,
                          float* out) noexcept {
  const bool plain = ascii && std::uint64_t{count} * width <= line.size() && line.size() <= UINT32_MAX;
  for (std::uint32_t k = 0; k < count; ++k) {
    // Bytes [k*w, (k+1)*w) in 32-bit arithmetic, wrapping.
    const std::uint32_t start = k * width;
    if (!plain) [[unlikely]] {
      if (!text::is_good_range(line, start, std::uint32_t{start + width})) return k;
    }
    auto value = text::parse_field(std::string_view(line.data() + start, width));
    if (!value) [[unlikely]] return k;
    out[k] = *value;
  }
  return count;
}

// The storage of every column, column c at index c: a dense table that
// stays in the first-level cache while a block is spread over the columns.
void point_slots(Columns& columns, float** slots) noexcept {
  for (std::size_t c = 0; c < columns.count(); ++c) slots[c] = columns.column(c).storage();
}

// Every column holds the same number of rows and has the same capacity, so
// one test per block says whether all of them need room.
void grow_columns(Columns& columns, float** slots) {
  for (std::size_t c = 0; c < columns.count(); ++c) columns.column(c).grow();
  point_slots(columns, slots);
}

void set_sizes(Columns& columns, std::size_t rows) noexcept {
  for (std::size_t c = 0; c < columns.count(); ++c) columns.column(c).set_size(rows);
}

// How many times the rows already read the arena may hold.  The arena is
// filled in large pages, and the columns lie side by side, each far
// smaller than a large page: the first rows written make the whole arena
// resident.  So it is mapped only once the blocks read vouch for the size
// that the file's length foretells; before that, the columns grow on their
// own, and resident memory follows the values read.  A file whose length
// comes from something else than blocks (a huge lead line) thus never gets
// an arena much larger than its values.
constexpr std::uint64_t ARENA_TRUST = 16;

// With the file's size and the blocks read so far, every column's final
// length can be foreseen (blocks are alike); once the `rows` rows read
// make up at least 1 / ARENA_TRUST of it, the columns move into one arena
// of that size with a little room to spare.  True when they moved.
bool place_columns(Columns& columns, std::size_t rows, std::uint64_t file_bytes, std::uint64_t header_bytes,
                   std::uint64_t taken) {
  const std::uint64_t block_bytes = (taken - header_bytes) / rows;
  if (file_bytes <= taken || block_bytes == 0) return false;
  const std::uint64_t expected = rows + (file_bytes - taken) / block_bytes;
  // A whole number of cache lines per column, so that every column starts
  // on one.
  const std::uint64_t room = (expected + expected / 64 + 4 + 15) / 16 * 16;
  if (room > ARENA_TRUST * rows) return false;
  const std::size_t count = columns.count();
  // Never more than the file could fill: each value takes a byte at least.
  if (room > file_bytes / count + 4) return false;
  if (!columns.arena().map(count, room)) return false;
  set_sizes(columns, rows);
  for (std::size_t c = 0; c < count; ++c) columns.column(c).adopt(columns.arena().column(c), room);
  return true;
}


// One field to convert with a selection: field `field` of data line `line`
// goes to column `column`.
struct Pick {
  std::uint32_t line;
  std::uint32_t field;
  std::uint32_t column;
};

struct ReleaseSlots {
  void operator()(float** p) const noexcept { text::release(p); }
};

// The reading of the blocks, as one object: the read position, the row
// staging and the column placement, and what the options ask for.
class BlockReader {
 public:
  BlockReader(text::LineSource& lines, std::uint32_t n, std::uint32_t width, Columns& columns,
              const BlockOptions& options)
      : lines_(lines),
        n_(n),
        width_(width),
        columns_(columns),
        options_(options),
        data_lines_(text::lines_per_block(n)),
        header_bytes_(lines.bytes_taken()),
        tile_(columns.count()),
        tile_rows_(tile_.rows()),
        placed_(options.in_place) {
    const std::size_t slot_bytes = columns.count() * sizeof(float*);
    slots_.reset(static_cast<float**>(text::reallocate(nullptr, slot_bytes)));
    if (!slots_) out_of_memory(slot_bytes);
    point_slots(columns, slots_.get());  // columns given storage beforehand are written from the start
    if (options.selected.empty() && !options.select) {
      convert_ = text::line_converter(width);
    } else {
      plan_selection();
    }
    next_poll_ = header_bytes_ + POLL_BYTES;
  }

  BlocksRead run() {
    bool complete = true;
    bool stopped = false;
    for (;;) {
      if (lines_.bytes_taken() >= options_.stop_before) {
        stopped = true;
        break;
      }
      if (!read_lead()) break;  // the lead line; its absence (or a blank tail) ends the file
      if (rows_ == columns_.column(0).capacity()) {
        // A column grows with every row up to its capacity in it.
        copy_out_staged();
        grow_columns(columns_, slots_.get());
      }
      float* const row = tile_.row(rows_);
      const Ending ending = options_.selected.empty() && !options_.select ? read_all_fields(row)
                                                                          : read_selected_fields(row);
      if (ending != Ending::None) {
        complete = ending == Ending::Complete;
        drop_last_lead();  // its block was never read
        break;
      }
      end_row();
    }
    copy_out_staged();
    set_sizes(columns_, rows_);
    return {rows_, complete, stopped};
  }

 private:
  // How a block that could not be read whole ends the read, if it may.
  enum class Ending { None, Complete, Incomplete };
  // Bytes between two polls: under a millisecond of plain reading.
  static constexpr std::uint64_t POLL_BYTES = std::uint64_t{1} << 20;

  std::uint64_t block() const noexcept { return options_.first_block + rows_; }
  std::uint64_t lead_line_number() const noexcept { return std::uint64_t{n_} + 2 + block() * (1 + data_lines_); }

  // Reads the next lead line; false when there is none: the end of the
  // lines, or (with `blank_tail`) a blank line after which every line is
  // blank.  A blank lead line followed by anything else is read as a lead.
  bool read_lead() {
    NextLine lead = next_line(lines_, Stage::LeadLine, lead_line_number());
    if (lead.ended) return false;
    if (options_.blank_tail && text::trim(lead.text).empty()) {
      // Kept first: looking past it may move the buffer it lies in.
      const std::string blank(lead.text);
      const std::uint64_t after = lines_.bytes_taken();
      lines_.mark();
      if (rest_is_blank()) return false;
      if (auto back = lines_.rewind(after); !back) {
        fail_io(Stage::LeadLine, lead_line_number(), back.error(), std::source_location::current());
      }
      if (LeadLines* out = options_.lead_lines) out->add(blank);
      return true;
    }
    if (LeadLines* out = options_.lead_lines) out->add(lead.text);
    return true;
  }

  void drop_last_lead() noexcept {
    if (LeadLines* out = options_.lead_lines) out->drop_last();
  }

  // Every parameter: row[t] for parameter t.
  Ending read_all_fields(float* row) {
    for (std::uint32_t t = 0; t < n_; t += text::FIELDS_PER_LINE) {
      if (convert_) {
        // Lines that lie whole in the read buffer and are nothing but
        // fields the converter takes: every byte of such a field is a digit,
        // sign, blank, "." or "E", so each line ends exactly at the LF (or
        // CR LF) after its last field, and it is ASCII.  They are taken
        // without searching for their ends.  The line the converter stops
        // at is read and parsed as a line.
        const text::LineRun run = convert_(lines_.buffered(), t, n_, row);
        lines_.skip_lines(run.bytes);
        if (run.next >= n_) break;
        t = run.next;
      }
      const std::uint32_t j = t / text::FIELDS_PER_LINE;
      NextLine data = next_line(lines_, Stage::DataLine, data_line_number(j));
      if (data.ended) return end_inside_block(j);
      const std::uint32_t fields = n_ - t < text::FIELDS_PER_LINE ? n_ - t : text::FIELDS_PER_LINE;
      const std::uint32_t taken = take_fields(data.text, lines_.line_is_ascii(), fields, width_, row + t);
      if (taken < fields) [[unlikely]] return fail_or_end(data.text, j, taken);
    }
    return Ending::None;
  }

  // A selection: row[c] for the parameter of column c.  Lines without a
  // selected field are passed over by their line feeds and not looked into,
  // but for the block's last data line, which is always read: whether the
  // block is whole, or cut off at the end of the file, depends on it.
  Ending read_selected_fields(float* row) {
    std::size_t p = 0;
    for (std::uint32_t j = 0; j < data_lines_; ++j) {
      if (const std::uint32_t run = unpicked_[j]; run > 0) {
        const auto passed = lines_.pass_lines(run);
        if (!passed) fail_io(Stage::DataLine, data_line_number(j), passed.error(), std::source_location::current());
        if (const std::uint64_t open = lines_.open_line_bytes(); open > 0) {
          // The file ends inside the last line passed: cut short there, or
          // whole, with the lines after it missing.
          const auto last = j + static_cast<std::uint32_t>(*passed) - 1;
          return end_inside_block(open < fields_of(last) * width_ ? last : last + 1);
        }
        if (*passed < run) return end_inside_block(j + static_cast<std::uint32_t>(*passed));
        j += run - 1;
        continue;
      }
      NextLine data = next_line(lines_, Stage::DataLine, data_line_number(j));
      if (data.ended) return end_inside_block(j);
      for (; p < picks_.size() && picks_[p].line == j; ++p) {
        const Pick pick = picks_[p];
        if (!take_pick(data.text, lines_.line_is_ascii(), pick, row)) [[unlikely]] {
          return fail_or_end(data.text, j, pick.field);
        }
      }
      // A line too short for its fields is a cut when the file ends with
      // it, as for the read of every field; elsewhere its unselected fields
      // are not looked at.
      if (data.text.size() < fields_of(j) * width_ && (options_.partial || options_.cut_ends_file)) [[unlikely]] {
        if (at_end(j)) return end_inside_block(j);
      }
    }
    return Ending::None;
  }

  // Field `pick.field` of `line` into row[pick.column]; false when it is
  // not a number or not within the line.
  bool take_pick(std::string_view line, bool ascii, Pick pick, float* row) const noexcept {
    const std::uint32_t start = pick.field * width_;
    const std::uint32_t end = start + width_;
    const bool plain = ascii && std::uint64_t{pick.field + 1} * width_ <= line.size() && line.size() <= UINT32_MAX;
    if (!plain && !text::is_good_range(line, start, end)) return false;
    auto value = text::parse_field(std::string_view(line.data() + start, width_));
    if (!value) return false;
    row[pick.column] = *value;
    return true;
  }

  std::uint64_t data_line_number(std::uint32_t j) const noexcept { return lead_line_number() + 1 + j; }

  std::uint64_t fields_of(std::uint32_t j) const noexcept { return text::fields_in_line(n_, j); }

  bool at_end(std::uint32_t j) {
    const auto ended = lines_.at_end();
    if (!ended) fail_io(Stage::DataLine, data_line_number(j) + 1, ended.error(), std::source_location::current());
    return *ended;
  }

  // The file ended before data line `j` of the block, or with it cut short.
  Ending end_inside_block(std::uint32_t j) {
    if (options_.partial) return Ending::Incomplete;
    fail_missing_line(Stage::DataLine, data_line_number(j), std::source_location::current(), block());
  }

  // Field `k` of data line `j` failed: the read ends here if the options let
  // it (a last line cut short), else the failure stands.  A full-length
  // last line whose field is not a number is damage, not an end, even with
  // `partial`.
  Ending fail_or_end(std::string_view text, std::uint32_t j, std::uint32_t k) {
    // A line cut short is shorter than its fields take.
    const bool cut = (options_.partial || options_.cut_ends_file) && text.size() < fields_of(j) * width_;
    if (cut) {
      // The failing line is kept first: looking for the end may refill the
      // buffer it lies in.  It keeps the padding the field parser may read
      // past a field's end, as the buffer has it.
      std::string kept(text);
      kept.append(text::LineSource::LINE_PADDING, '\0');
      if (at_end(j)) return end_inside_block(j);
      fail_here(std::string_view(kept.data(), text.size()), j, k);
    }
    fail_here(text, j, k);
  }

  [[noreturn]] void fail_here(std::string_view text, std::uint32_t j, std::uint32_t k) {
    const std::uint64_t first = std::uint64_t{j} * text::FIELDS_PER_LINE;
    fail_field(text, k, width_, {data_line_number(j), block(), first}, std::source_location::current());
  }

  // Whether every line left is blank.
  bool rest_is_blank() {
    for (std::uint64_t line = data_line_number(0);; ++line) {
      NextLine next = next_line(lines_, Stage::DataLine, line);
      if (next.ended) return true;
      if (!text::trim(next.text).empty()) return false;
    }
  }

  void end_row() {
    ++rows_;
    if (rows_ % tile_rows_ == 0) {
      tile_.copy_out(slots_.get(), rows_ - tile_rows_, tile_rows_);
      if (!placed_ && place_columns(columns_, rows_, lines_.size_hint(), header_bytes_, lines_.bytes_taken())) {
        placed_ = true;
        point_slots(columns_, slots_.get());
      }
    }
    if (options_.poll.cancelled && lines_.bytes_taken() >= next_poll_) [[unlikely]] {
      next_poll_ = lines_.bytes_taken() + POLL_BYTES;
      if (options_.poll.cancelled(options_.poll.context)) fail_cancelled();
    }
  }

  // The rows still only in the tile go out to the columns.
  void copy_out_staged() {
    if (rows_ % tile_rows_ != 0) tile_.copy_out(slots_.get(), rows_ / tile_rows_ * tile_rows_, rows_ % tile_rows_);
  }

  void plan_selection() {
    picks_.reserve(options_.selected.size());
    for (std::uint32_t c = 0; c < options_.selected.size(); ++c) {
      const std::uint32_t t = options_.selected[c];
      picks_.push_back({t / text::FIELDS_PER_LINE, t % text::FIELDS_PER_LINE, c});
    }
    std::sort(picks_.begin(), picks_.end(),
              [](Pick a, Pick b) { return a.line != b.line ? a.line < b.line : a.field < b.field; });
    // From the last line back: how many lines from j on carry no pick.
    unpicked_.assign(data_lines_, 0);
    std::size_t p = picks_.size();
    for (std::uint64_t j = data_lines_; j-- > 0;) {
      const bool picked = (p > 0 && picks_[p - 1].line == j) || j + 1 == data_lines_;
      while (p > 0 && picks_[p - 1].line == j) --p;
      unpicked_[j] = picked ? 0 : 1 + (j + 1 < data_lines_ ? unpicked_[j + 1] : 0);
    }
  }

  text::LineSource& lines_;
  const std::uint32_t n_;
  const std::uint32_t width_;
  Columns& columns_;
  const BlockOptions& options_;
  const std::uint64_t data_lines_;
  const std::uint64_t header_bytes_;
  std::unique_ptr<float*[], ReleaseSlots> slots_;
  text::LineConverter convert_ = nullptr;
  std::vector<Pick> picks_;
  std::vector<std::uint32_t> unpicked_;  // per data line: lines from it on without a pick
  RowTile tile_;
  const std::size_t tile_rows_;
  std::size_t rows_ = 0;
  bool placed_;              // the columns lie in an arena, or where the caller put them
  std::uint64_t next_poll_ = 0;
};

}  // namespace

BlocksRead read_blocks(text::LineSource& lines, std::uint32_t n, std::uint32_t width, Columns& columns,
                       const BlockOptions& options) {
  return BlockReader(lines, n, width, columns, options).run();
}

}  // namespace tavrel::lib

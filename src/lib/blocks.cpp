// The timestep blocks of a plot file; see blocks.hpp.
#include "lib/blocks.hpp"

#include <memory>

#include "lib/header.hpp"
#include "lib/read_error.hpp"
#include "lib/row_tile.hpp"
#include "text/field.hpp"
#include "text/field_row.hpp"
#include "text/memory.hpp"
#include "text/slice.hpp"

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

// The storage of every column, parameter t at index t: a dense table that
// stays in the first-level cache while a block is spread over the columns.
void point_slots(ReadResult& result, float** slots) noexcept {
  slots[0] = result.first.storage();
  for (std::size_t i = 0; i < result.others.size(); ++i) slots[i + 1] = result.others[i].storage();
}

// Every column holds the same number of rows and has the same capacity, so
// one test per block says whether all of them need room.
void grow_columns(ReadResult& result, float** slots) {
  result.first.grow();
  for (std::size_t i = 0; i < result.others.size(); ++i) result.others[i].grow();
  point_slots(result, slots);
}

void set_sizes(ReadResult& result, std::size_t rows) noexcept {
  result.first.set_size(rows);
  for (std::size_t i = 0; i < result.others.size(); ++i) result.others[i].set_size(rows);
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
bool place_columns(ReadResult& result, std::size_t rows, std::uint64_t file_bytes, std::uint64_t header_bytes,
                   std::uint64_t taken) {
  const std::uint64_t block_bytes = (taken - header_bytes) / rows;
  if (file_bytes <= taken || block_bytes == 0) return false;
  const std::uint64_t expected = rows + (file_bytes - taken) / block_bytes;
  // A whole number of cache lines per column, so that every column starts
  // on one.
  const std::uint64_t room = (expected + expected / 64 + 4 + 15) / 16 * 16;
  if (room > ARENA_TRUST * rows) return false;
  const std::size_t columns = result.others.size() + 1;
  // Never more than the file could fill: each value takes a byte at least.
  if (room > file_bytes / columns + 4) return false;
  if (!result.arena.map(columns, room)) return false;
  set_sizes(result, rows);
  result.first.adopt(result.arena.column(0), room);
  for (std::size_t i = 0; i + 1 < columns; ++i) result.others[i].adopt(result.arena.column(i + 1), room);
  return true;
}

}  // namespace

void read_blocks(text::LineSource& lines, std::uint32_t n, std::uint32_t width, ReadResult& result) {
  const std::uint64_t header_bytes = lines.bytes_taken();
  // Line numbers follow from the shape: the header is n + 1 lines, and each
  // block a lead line and `data_lines` data lines.
  const std::uint64_t data_lines = (std::uint64_t{n} + 9) / 10;
  auto lead_line_number = [&](std::uint64_t block) { return std::uint64_t{n} + 2 + block * (1 + data_lines); };
  struct Release {
    void operator()(float** p) const noexcept { text::release(p); }
  };
  const std::size_t slot_bytes = std::size_t{n} * sizeof(float*);
  std::unique_ptr<float*[], Release> slots(static_cast<float**>(text::reallocate(nullptr, slot_bytes)));
  if (!slots) out_of_memory(slot_bytes);
  const text::LineConverter convert = text::line_converter(width);
  RowTile tile(n);
  const std::size_t tile_rows = tile.rows();
  // The rows still only in the tile, before `rows`, go out to the columns.
  auto copy_out_staged = [&](std::size_t rows) {
    if (rows % tile_rows != 0) tile.copy_out(slots.get(), rows / tile_rows * tile_rows, rows % tile_rows);
  };
  std::size_t rows = 0;
  bool placed = false;  // the columns moved into the arena
  for (;;) {
    // The lead line; its absence ends the file.
    if (next_line(lines, Stage::LeadLine, lead_line_number(rows)).ended) break;
    if (rows == result.first.capacity()) {
      // A column grows with every row up to its capacity in it.
      copy_out_staged(rows);
      grow_columns(result, slots.get());
    }
    float* const row = tile.row(rows);
    for (std::uint32_t t = 0; t < n; t += 10) {
      if (convert) {
        // Lines that lie whole in the read buffer and are nothing but
        // fields the converter takes: every byte of such a field is a digit,
        // sign, blank, "." or "E", so each line ends exactly at the LF (or
        // CR LF) after its last field, and it is ASCII.  They are taken
        // without searching for their ends.  The line the converter stops
        // at is read and parsed as a line.
        const text::LineRun run = convert(lines.buffered(), t, n, row);
        lines.skip_lines(run.bytes);
        if (run.next >= n) break;
        t = run.next;
      }
      const std::uint64_t line_number = lead_line_number(rows) + 1 + t / 10;
      NextLine data = next_line(lines, Stage::DataLine, line_number);
      if (data.ended) fail_missing_line(Stage::DataLine, line_number, std::source_location::current());
      const std::uint32_t fields = n - t < 10 ? n - t : 10;
      const std::uint32_t taken = take_fields(data.text, lines.line_is_ascii(), fields, width, row + t);
      if (taken < fields) [[unlikely]] {
        fail_field(data.text, taken, width, {line_number, rows, t}, std::source_location::current());
      }
    }
    ++rows;
    if (rows % tile_rows == 0) {
      tile.copy_out(slots.get(), rows - tile_rows, tile_rows);
      if (!placed && place_columns(result, rows, lines.size_hint(), header_bytes, lines.bytes_taken())) {
        placed = true;
        point_slots(result, slots.get());
      }
    }
  }
  copy_out_staged(rows);
  set_sizes(result, rows);
}

}  // namespace tavrel::lib

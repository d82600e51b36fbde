// The plot-file reader; see reader.hpp.
//
// Each failing step becomes a panic with its fixed context text: the text
// alone when input ended too early, or the text, ": " and the error's
// description when a step failed with an error value.  The context texts are
// the system's own, misspelling ("Failed ot read line!") included: callers
// match on them.
#include "lib/reader.hpp"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "binding/failure.hpp"
#include "lib/stdout_writer.hpp"
#include "text/char_escape.hpp"
#include "text/field.hpp"
#include "text/field_row.hpp"
#include "text/line_source.hpp"
#include "text/memory.hpp"
#include "text/parse_float.hpp"
#include "text/words.hpp"

namespace tavrel::lib {

using binding::panic;
using std::source_location;
using text::IoError;
using text::LineSource;

// --- Columns ----------------------------------------------------------------

Column::~Column() {
  if (owned_) text::release(data_);
}

void Column::clear() noexcept {
  if (owned_) text::release(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  owned_ = true;
}

void Column::adopt(float* storage, std::size_t capacity) noexcept {
  if (size_ > capacity) return;
  if (size_ > 0) std::memcpy(storage, data_, size_ * sizeof(float));
  if (owned_) text::release(data_);
  data_ = storage;
  capacity_ = capacity;
  owned_ = false;
}

void Column::grow() {
  std::size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
  std::size_t bytes = capacity * sizeof(float);
  void* grown = text::reallocate(owned_ ? data_ : nullptr, bytes);
  if (!grown) binding::out_of_memory(bytes);
  // Only a full column grows, and the reader records sizes after the fact:
  // every slot up to the capacity holds a value.
  if (!owned_ && capacity_ > 0) std::memcpy(grown, data_, capacity_ * sizeof(float));
  data_ = static_cast<float*>(grown);
  capacity_ = capacity;
  owned_ = true;
}

// --- The arena ----------------------------------------------------------------

namespace {
// Below this a mapping of its own is not worth it; also the step in which
// converted columns are given back (a large page).
constexpr std::size_t MIN_ARENA_BYTES = std::size_t{1} << 21;
constexpr std::size_t PAGE_BYTES = 4096;
}  // namespace

ColumnArena::~ColumnArena() {
  if (base_) ::munmap(reinterpret_cast<char*>(base_) + released_, bytes_ - released_);
}

bool ColumnArena::map(std::size_t columns, std::size_t rows) noexcept {
  if (base_ || columns == 0 || rows == 0 || rows > (SIZE_MAX / sizeof(float)) / columns) return false;
  const std::size_t bytes = (columns * rows * sizeof(float) + PAGE_BYTES - 1) / PAGE_BYTES * PAGE_BYTES;
  if (bytes < MIN_ARENA_BYTES) return false;
  void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return false;
  ::madvise(base, bytes, MADV_HUGEPAGE);  // a hint; without large pages it changes nothing
  base_ = static_cast<float*>(base);
  bytes_ = bytes;
  per_column_ = rows;
  return true;
}

void ColumnArena::release_columns(std::size_t count) noexcept {
  if (!base_) return;
  // In steps of a large page: each unmapping is a system call and splits
  // the large pages it cuts through.
  const std::size_t end = count * per_column_ * sizeof(float) / MIN_ARENA_BYTES * MIN_ARENA_BYTES;
  if (end <= released_ || end > bytes_) return;
  ::munmap(reinterpret_cast<char*>(base_) + released_, end - released_);
  released_ = end;
}

ColumnTable::ColumnTable(std::size_t count) {
  if (count > MAX_COLUMNS) panic("capacity overflow");
  if (count == 0) return;
  std::size_t bytes = count * sizeof(Column);
  void* memory = text::reallocate(nullptr, bytes);
  if (!memory) binding::out_of_memory(bytes);
  columns_ = static_cast<Column*>(memory);
  for (std::size_t i = 0; i < count; ++i) new (&columns_[i]) Column();
  count_ = count;
}

ColumnTable::~ColumnTable() {
  for (std::size_t i = 0; i < count_; ++i) columns_[i].~Column();
  text::release(columns_);
}

namespace {

// --- Staging ------------------------------------------------------------------

// The last few rows of the block, row by row, in one block small enough to
// stay in the caches: each row is written front to back, and every ROWS
// rows the block is turned into columns, each column receiving ROWS values
// at once, a whole cache line, with stores that do not fetch it.  Written
// straight into the columns' own memory, each value would touch a cache
// line of its own, far from the last, first fetched from main memory.
// With very many columns the block holds one row, copied out row by row.
class RowTile {
 public:
  // Past this many columns ROWS rows would not stay in the caches.
  static constexpr std::size_t MAX_COLUMNS = 32768;

  explicit RowTile(std::size_t columns) : rows_(columns > MAX_COLUMNS ? 1 : 16), columns_(columns) {
    const std::size_t bytes = rows_ * columns * sizeof(float);
    values_ = static_cast<float*>(text::reallocate(nullptr, bytes == 0 ? 1 : bytes));
    if (!values_) binding::out_of_memory(bytes);
  }
  RowTile(const RowTile&) = delete;
  RowTile& operator=(const RowTile&) = delete;
  ~RowTile() { text::release(values_); }

  // How many rows it holds (16, or 1).
  std::size_t rows() const noexcept { return rows_; }
  // Where row r goes: parameter t at row(r)[t].
  float* row(std::size_t r) const noexcept { return values_ + r % rows_ * columns_; }

  // Copies rows first to first + count - 1 (all within one run of rows()
  // rows starting at a multiple of rows()) into the columns whose storage
  // `storage` points to.
  void copy_out(float* const* storage, std::size_t first, std::size_t count) noexcept {
#if defined(__SSE2__)
    if (count == 16) {
      copy_out_16(storage, first);
      return;
    }
#endif
    const float* from = row(first);
    for (std::size_t r = 0; r < count; ++r, from += columns_) {
      for (std::size_t i = 0; i < columns_; ++i) storage[i][first + r] = from[i];
    }
  }

 private:
#if defined(__SSE2__)
  // Sixteen rows: four columns at a time, turned by 4 x 4 transposes, one
  // whole cache line per column.
  void copy_out_16(float* const* storage, std::size_t first) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= columns_; i += 4) {
      float* to[4] = {storage[i] + first, storage[i + 1] + first, storage[i + 2] + first, storage[i + 3] + first};
      const bool aligned =
          ((reinterpret_cast<std::uintptr_t>(to[0]) | reinterpret_cast<std::uintptr_t>(to[1]) |
            reinterpret_cast<std::uintptr_t>(to[2]) | reinterpret_cast<std::uintptr_t>(to[3])) &
           15) == 0;
      for (std::size_t r = 0; r < 16; r += 4) {
        const float* from = values_ + r * columns_ + i;
        __m128 a = _mm_loadu_ps(from);
        __m128 b = _mm_loadu_ps(from + columns_);
        __m128 c = _mm_loadu_ps(from + 2 * columns_);
        __m128 d = _mm_loadu_ps(from + 3 * columns_);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        if (aligned) {
          _mm_stream_ps(to[0] + r, a);
          _mm_stream_ps(to[1] + r, b);
          _mm_stream_ps(to[2] + r, c);
          _mm_stream_ps(to[3] + r, d);
        } else {
          _mm_storeu_ps(to[0] + r, a);
          _mm_storeu_ps(to[1] + r, b);
          _mm_storeu_ps(to[2] + r, c);
          _mm_storeu_ps(to[3] + r, d);
        }
      }
    }
    for (; i < columns_; ++i) {
      for (std::size_t r = 0; r < 16; ++r) storage[i][first + r] = values_[r * columns_ + i];
    }
    _mm_sfence();
  }
#endif

  std::size_t rows_;
  std::size_t columns_;
  float* values_;  // rows_ rows of columns_ values
};

// --- Failures -----------------------------------------------------------------

// "{context}: {description}" for a failed open or line read.  Running out of
// memory while assembling a line is a memory failure, not an I/O error.
[[noreturn]] void fail_io(std::string_view context, const IoError& error, source_location where) {
  if (error.form() == IoError::Form::OutOfMemory) binding::out_of_memory(error.bytes(), where);
  auto description = text::describe(error);
  if (!description) panic("strerror_r failure", where);
  std::string message(context);
  message += ": ";
  message += *description;
  panic(std::move(message), where);
}

// The next line; end of input gives an empty view with `ended` set.  Every
// I/O error, whichever step reads, is "Failed to read line!".
struct NextLine {
  std::string_view text;
  bool ended;
};

NextLine next_line(LineSource& lines, source_location where = source_location::current()) {
  auto line = lines.next_line();
  if (!line) fail_io("Failed to read line!", line.error(), where);
  if (!*line) return {{}, true};
  return {**line, false};
}

// --- Header -------------------------------------------------------------------

// An unsigned decimal word: optional "+", then one or more ASCII digits, the
// value at most 4294967295 (the 32-bit machine word, on every platform).
bool parse_count(std::string_view word, std::uint32_t& count) noexcept {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty()) return false;
  std::uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  count = static_cast<std::uint32_t>(value);
  return true;
}

// The parameter count: the last word of the first line, or 0 without words.
std::uint32_t parameter_count(std::string_view first_line) {
  std::string_view word = text::last_word(first_line);
  if (word.empty()) return 0;
  std::uint32_t count = 0;
  if (!parse_count(word, count)) {
    print_stdout({"Error: '", word, "' is not a valid number of parameters!\n"});
    std::string message = "The first line should end with the number of parameters:\n'";
    message += first_line;
    message += "'";
    panic(std::move(message));
  }
  return count;
}

// --- Data fields --------------------------------------------------------------

bool is_char_boundary(std::string_view line, std::uint32_t offset) noexcept {
  if (offset == 0 || offset == line.size()) return true;
  return (static_cast<unsigned char>(line[offset]) & 0xC0) != 0x80;
}

// The character containing `offset` (not a boundary), as "'c' (bytes a..b"
// pieces of the message.
std::string describe_char_at(std::string_view line, std::uint32_t offset) {
  std::size_t begin = offset;
  while ((static_cast<unsigned char>(line[begin]) & 0xC0) == 0x80) --begin;
  unsigned char lead = static_cast<unsigned char>(line[begin]);
  std::size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(line[begin + i]) & 0x3F);
  std::string out = "'";
  text::append_escaped_char(out, c);
  out += "' (bytes ";
  out += std::to_string(begin);
  out += "..";
  out += std::to_string(begin + length);
  out += " of string)";
  return out;
}

[[noreturn]] void fail_slice(std::string_view line, std::uint32_t start, std::uint32_t end,
                             source_location where) {
  std::string length = std::to_string(line.size());
  if (start > line.size()) {
    panic("start byte index " + std::to_string(start) + " is out of bounds for string of length " + length, where);
  }
  if (end > line.size()) {
    panic("end byte index " + std::to_string(end) + " is out of bounds for string of length " + length, where);
  }
  if (start <= end && !is_char_boundary(line, start)) {
    panic("start byte index " + std::to_string(start) + " is not a char boundary; it is inside " +
              describe_char_at(line, start),
          where);
  }
  if (start <= end && !is_char_boundary(line, end)) {
    panic("end byte index " + std::to_string(end) + " is not a char boundary; it is inside " +
              describe_char_at(line, end),
          where);
  }
  panic("byte range starts at " + std::to_string(start) + " but ends at " + std::to_string(end), where);
}

[[noreturn, gnu::noinline]] void fail_parse(text::ParseFloatError error, source_location where) {
  std::string message = "Could not parse line: ";
  message += text::describe(error);
  panic(std::move(message), where);
}

// Field `k` of `line`: bytes [k*w, (k+1)*w) in 32-bit arithmetic (wrapping),
// trimmed and parsed.
float parse_field(std::string_view line, std::uint32_t k, std::uint32_t width,
                  source_location where = source_location::current()) {
  std::uint32_t start = k * width;
  std::uint32_t end = (k + 1) * width;
  if (start > end || end > line.size() || !is_char_boundary(line, start) || !is_char_boundary(line, end)) {
    fail_slice(line, start, end, where);
  }
  auto value = text::parse_field(line.substr(start, end - start));
  if (!value) fail_parse(value.error(), where);
  return *value;
}

// Fields 0 to `count` - 1 of `line` into out[0..count - 1].  An ASCII line
// long enough for all of them (and shorter than 4 GiB) needs no check per
// field: every offset is a character boundary and no 32-bit bound can wrap.
void take_fields(std::string_view line, bool ascii, std::uint32_t count, std::uint32_t width, float* out) {
  if (ascii && std::uint64_t{count} * width <= line.size() && line.size() <= UINT32_MAX) [[likely]] {
    const char* field = line.data();
    for (std::uint32_t k = 0; k < count; ++k, field += width) {
      auto value = text::parse_field(std::string_view(field, width));
      if (!value) [[unlikely]] fail_parse(value.error(), source_location::current());
      out[k] = *value;
    }
    return;
  }
  for (std::uint32_t k = 0; k < count; ++k) out[k] = parse_field(line, k, width);
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
constexpr std::uint64_t ARENA_TRUST = 8;

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

// --- The reader ---------------------------------------------------------------

ReadResult read_korvant(std::string_view path, std::uint32_t width) {
  auto opened = LineSource::open(path);
  if (!opened) fail_io("Plot file not found!", opened.error(), source_location::current());
  LineSource& lines = *opened;

  NextLine first = next_line(lines);
  if (first.ended) panic("Failed ot read line!");
  std::uint32_t n = parameter_count(first.text);

  for (std::uint32_t i = 0; i < n; ++i) {
    if (next_line(lines).ended) panic("Failed to read line!");
  }

  // n - 1 in the 32-bit word: a count of 0 wraps to a table no platform allows.
  ReadResult result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(n - 1))};

  // Block b fills row b of every column: parameter t is field t mod 10 of
  // the block's data line t div 10.
  const std::uint64_t header_bytes = lines.bytes_taken();
  struct Release {
    void operator()(float** p) const noexcept { text::release(p); }
  };
  const std::size_t slot_bytes = std::size_t{n} * sizeof(float*);
  std::unique_ptr<float*[], Release> slots(static_cast<float**>(text::reallocate(nullptr, slot_bytes)));
  if (!slots) binding::out_of_memory(slot_bytes);
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
    if (next_line(lines).ended) break;  // the lead line; its absence ends the file
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
      NextLine data = next_line(lines);
      if (data.ended) panic("Error reading line");
      const std::uint32_t fields = n - t < 10 ? n - t : 10;
      take_fields(data.text, lines.line_is_ascii(), fields, width, row + t);
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
  return result;
}

}  // namespace tavrel::lib

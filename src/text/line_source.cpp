// Opening the plot file and reading it line by line; see line_source.hpp.
//
// Reading: one read(2) (pread(2) for a part of a file) of the whole buffer
// per refill; memchr finds the line feed.  A line found whole in the buffer is handed out as a view
// into it, so the common case copies nothing.  A line that runs past the end
// of the buffer is gathered in `line_`, grown by doubling through
// `reallocate`.  The complete line, terminator included, is checked to be
// well-formed UTF-8 before its terminator (LF, or CR LF: one CR, only before
// the LF) is cut off.  An ill-formed line stays consumed, so the next call
// goes on with the following line.
//
// EINTR repeats open and read; the bytes gathered for the line survive an
// interrupted read, but any other read error drops them.
//
// A compressed stream is recognised, and its decoder put beneath the
// source, in line_source_compressed.cpp.
#include "text/line_source.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "text/line_feeds.hpp"
#include "text/memory.hpp"
#include "text/utf8.hpp"

namespace tavrel::text {
namespace {

int sys_open(const char* path, int flags, mode_t mode) { return ::open64(path, flags, mode); }

// Paths up to this many bytes get their NUL-terminated copy on the stack.
constexpr std::size_t STACK_PATH_BYTES = 384;

// The smallest assembly buffer worth allocating.
constexpr std::size_t MIN_LINE_CAPACITY = 256;

// Where the read buffer starts.  The kernel copies each read into it, and on
// some processors (AMD's with fast short rep movsb, seen here) that copy runs
// about four times slower into a destination 16 bytes past a 64-byte
// boundary, which is just where malloc places a block large enough to be
// mapped on its own.  So the buffer is allocated READ_ALIGNMENT bytes longer
// and starts at the first 64-byte boundary inside it.
constexpr std::size_t READ_ALIGNMENT = 64;

char* aligned_in(char* block) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  return block + (READ_ALIGNMENT - at % READ_ALIGNMENT) % READ_ALIGNMENT;
}

// open(2) with EINTR repeated; the descriptor, or the errno of the failure.
std::expected<int, IoError> open_repeating(const char* path) noexcept {
  for (;;) {
    const int fd = SYS_CALLS.open(path, O_RDONLY | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    const int code = errno;
    if (code != EINTR) return std::unexpected(IoError::os(code));
  }
}

}  // namespace

SysCalls SYS_CALLS = {sys_open, ::read, ::close, ::pread64};

std::expected<LineSource, IoError> LineSource::open(std::string_view path, std::size_t buffer_size) noexcept {
  // Checked before anything is copied or called: the system would take the
  // NUL as the end of the path and open some other file.
  if (path.find('\0') != std::string_view::npos) return std::unexpected(IoError::nul_in_path());

  std::expected<int, IoError> fd = std::unexpected(IoError::os(0));
  if (path.size() < STACK_PATH_BYTES) {
    char copy[STACK_PATH_BYTES];
    std::memcpy(copy, path.data(), path.size());
    copy[path.size()] = '\0';
    fd = open_repeating(copy);
  } else {
    const std::size_t bytes = path.size() + 1;
    auto* copy = static_cast<char*>(reallocate(nullptr, bytes));
    if (copy == nullptr) return std::unexpected(IoError::out_of_memory(bytes));
    std::memcpy(copy, path.data(), path.size());
    copy[path.size()] = '\0';
    fd = open_repeating(copy);
    release(copy);
  }
  if (!fd) return std::unexpected(fd.error());
  return with_buffer(FileDescriptor(*fd), *fd, buffer_size);
}

std::expected<LineSource, IoError> LineSource::at(int fd, std::uint64_t offset, std::uint64_t length,
                                                  std::size_t buffer_size) noexcept {
  auto source = with_buffer(FileDescriptor(), fd, buffer_size);
  if (!source) return source;
  // The reads start on a 64-byte boundary of the file too, the bytes before
  // `offset` read and passed over: the kernel's copy is as slow as into a
  // misaligned buffer when the file offset and the buffer lie differently
  // within 64 bytes.
  const std::uint64_t lead = offset % READ_ALIGNMENT;
  source->positional_ = true;
  source->offset_ = offset - lead;
  source->left_ = length == UINT64_MAX ? UINT64_MAX : length + lead;
  source->skip_ = static_cast<std::size_t>(lead);
  source->part_ = length == UINT64_MAX ? 0 : length;
  return source;
}

std::expected<LineSource, IoError> LineSource::from(RawRead raw, std::size_t buffer_size,
                                                    std::uint64_t size_hint) noexcept {
  auto source = with_buffer(FileDescriptor(), -1, buffer_size);
  if (source) {
    source->raw_ = std::move(raw);
    source->raw_size_ = size_hint;
  }
  return source;
}

std::expected<LineSource, IoError> LineSource::with_buffer(FileDescriptor owner, int fd,
                                                           std::size_t buffer_size) noexcept {
  const std::size_t bytes = buffer_size + LINE_PADDING + READ_ALIGNMENT;
  auto* block = static_cast<char*>(reallocate(nullptr, bytes));
  // The size reported is the buffer's, as before it was aligned.
  if (block == nullptr) return std::unexpected(IoError::out_of_memory(buffer_size + LINE_PADDING));
  char* buffer = aligned_in(block);
  // Defined bytes everywhere, also where a short read leaves the buffer unfilled.
  std::memset(buffer, 0, buffer_size + LINE_PADDING);
  return LineSource(std::move(owner), fd, block, buffer, buffer_size);
}

LineSource::LineSource(FileDescriptor owner, int fd, char* block, char* buffer, std::size_t buffer_size) noexcept
    : owner_(std::move(owner)),
      fd_(fd),
      block_(block),
      buffer_(buffer),
      buffer_size_(buffer_size),
      buffer_capacity_(buffer_size) {}

LineSource::LineSource(LineSource&& other) noexcept
    : owner_(std::move(other.owner_)),
      fd_(std::exchange(other.fd_, -1)),
      block_(std::exchange(other.block_, nullptr)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      buffer_size_(other.buffer_size_),
      buffer_capacity_(other.buffer_capacity_),
      positional_(other.positional_),
      offset_(other.offset_),
      pos_(std::exchange(other.pos_, 0)),
      filled_(std::exchange(other.filled_, 0)),
      line_(std::exchange(other.line_, nullptr)),
      line_capacity_(std::exchange(other.line_capacity_, 0)),
      taken_(std::exchange(other.taken_, 0)),
      left_(other.left_),
      part_(other.part_),
      skip_(other.skip_),
      buffer_ascii_(other.buffer_ascii_),
      checked_(other.checked_),
      line_ascii_(other.line_ascii_),
      open_line_bytes_(other.open_line_bytes_),
      recording_(std::exchange(other.recording_, false)),
      record_(std::exchange(other.record_, nullptr)),
      record_size_(std::exchange(other.record_size_, 0)),
      record_capacity_(std::exchange(other.record_capacity_, 0)),
      record_from_(other.record_from_),
      mark_taken_(other.mark_taken_),
      raw_(std::move(other.raw_)),
      raw_size_(other.raw_size_),
      decoder_(std::move(other.decoder_)),
      compression_(other.compression_),
      truncation_is_end_(other.truncation_is_end_),
      truncated_(other.truncated_),
      decoded_size_(other.decoded_size_) {}

LineSource::~LineSource() {
  release(record_);
  release(line_);
  release(block_);
}

bool LineSource::seekable() const noexcept {
  if (decoder_) return false;
  struct stat64 info;
  return ::fstat64(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

std::expected<bool, IoError> LineSource::at_end() noexcept {
  if (pos_ < filled_) return false;
  const std::expected<bool, IoError> more = refill();
  if (!more) return std::unexpected(more.error());
  return !*more;
}

void LineSource::mark() noexcept {
  recording_ = true;
  record_size_ = 0;
  record_from_ = pos_;
  mark_taken_ = taken_;
}

bool LineSource::keep_buffered() noexcept {
  const std::size_t bytes = filled_ - record_from_;
  if (bytes == 0) return true;
  if (record_size_ + bytes > record_capacity_) {
    std::size_t capacity = record_capacity_ < BUFFER_SIZE ? BUFFER_SIZE : record_capacity_;
    while (capacity < record_size_ + bytes) capacity *= 2;
    auto* grown = static_cast<char*>(reallocate(record_, capacity));
    if (grown == nullptr) return false;
    record_ = grown;
    record_capacity_ = capacity;
  }
  std::memcpy(record_ + record_size_, buffer_ + record_from_, bytes);
  record_size_ += bytes;
  record_from_ = filled_;
  return true;
}

std::expected<void, IoError> LineSource::rewind(std::uint64_t to) noexcept {
  // The bytes from the mark on are the record, then the buffer's from
  // record_from_ to filled_; position `to` is byte to - mark_taken_ of them.
  const std::size_t back = static_cast<std::size_t>(to - mark_taken_);
  if (record_size_ > 0) {
    const std::size_t tail = filled_ - record_from_;
    const std::size_t total = record_size_ + tail;
    if (total > buffer_capacity_) {
      const std::size_t shift = static_cast<std::size_t>(buffer_ - block_);
      const std::size_t bytes = total + LINE_PADDING + READ_ALIGNMENT;
      auto* grown = static_cast<char*>(reallocate(block_, bytes));
      if (grown == nullptr) return std::unexpected(IoError::out_of_memory(total + LINE_PADDING));
      // realloc keeps the bytes at the block's start; the aligned start of
      // the moved block may lie elsewhere in it.
      char* buffer = aligned_in(grown);
      if (buffer != grown + shift) std::memmove(buffer, grown + shift, buffer_capacity_ + LINE_PADDING);
      std::memset(buffer + buffer_capacity_ + LINE_PADDING, 0, total - buffer_capacity_);
      block_ = grown;
      buffer_ = buffer;
      buffer_capacity_ = total;
    }
    std::memmove(buffer_ + record_size_, buffer_ + record_from_, tail);
    std::memcpy(buffer_, record_, record_size_);
    std::memset(buffer_ + total, 0, LINE_PADDING);
    filled_ = total;
    pos_ = back;
  } else {
    pos_ = record_from_ + back;
  }
  taken_ = to;
  checked_ = filled_ + 1;
  recording_ = false;
  record_size_ = 0;
  release(std::exchange(record_, nullptr));
  record_capacity_ = 0;
  return {};
}

std::expected<void, IoError> LineSource::restrict_to(std::uint64_t offset, std::uint64_t length) noexcept {
  if (::lseek64(fd_, static_cast<off64_t>(offset), SEEK_SET) < 0) return std::unexpected(IoError::os(errno));
  left_ = length;
  part_ = length == UINT64_MAX ? 0 : length;
  return {};
}

std::uint64_t LineSource::size_hint() const noexcept {
  if (part_ != 0) return part_;
  if (decoder_) return decoded_size_;
  if (raw_) return raw_size_;
  struct stat64 info;
  if (::fstat64(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

std::size_t LineSource::reserve_line(std::size_t needed) noexcept {
  if (needed <= line_capacity_) return 0;
  std::size_t capacity = line_capacity_ < MIN_LINE_CAPACITY ? MIN_LINE_CAPACITY : line_capacity_;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) {
      capacity = needed;
      break;
    }
    capacity *= 2;
  }
  auto* grown = static_cast<char*>(reallocate(line_, capacity));
  if (grown == nullptr) return capacity;
  // Defined bytes everywhere, once: the padding after a line may be loaded
  // whole with it (its values weighted by zero), which must not read memory
  // never written.
  std::memset(grown + line_capacity_, 0, capacity - line_capacity_);
  line_ = grown;
  line_capacity_ = capacity;
  return 0;
}

std::expected<bool, IoError> LineSource::refill() noexcept {
  if (recording_) {
    if (!keep_buffered()) return std::unexpected(IoError::out_of_memory(record_size_ + filled_ - record_from_));
    record_from_ = 0;
  }
  ssize_t count;
  for (;;) {
    const std::size_t want = left_ < buffer_size_ ? static_cast<std::size_t>(left_) : buffer_size_;
    if (decoder_ && want > 0) {
      const std::expected<std::size_t, IoError> made = decoder_->read(buffer_, want);
      if (made) {
        count = static_cast<ssize_t>(*made);
        break;
      }
      if (!(made.error().truncated() && truncation_is_end_)) return std::unexpected(made.error());
      truncated_ = true;
      count = 0;
      break;
    }
    if (raw_ && want > 0) {
      const std::expected<std::size_t, IoError> got = raw_(buffer_, want);
      if (!got) return std::unexpected(got.error());
      count = static_cast<ssize_t>(*got);
      break;
    }
    count = want == 0                 ? 0
            : positional_ ? SYS_CALLS.pread(fd_, buffer_, want, static_cast<off_t>(offset_))
                          : SYS_CALLS.read(fd_, buffer_, want);
    if (count >= 0) break;
    const int code = errno;
    if (code != EINTR) return std::unexpected(IoError::os(code));
  }
  pos_ = 0;
  filled_ = static_cast<std::size_t>(count) < buffer_size_ ? static_cast<std::size_t>(count) : buffer_size_;
  offset_ += filled_;
  if (left_ != UINT64_MAX) left_ -= filled_;
  checked_ = filled_ + 1;
  if (skip_ > 0 && filled_ > 0) {
    // The bytes read only to start on a boundary (see `at`).
    pos_ = skip_ < filled_ ? skip_ : filled_;
    skip_ -= pos_;
    if (recording_) record_from_ = pos_;
    if (pos_ == filled_) return refill();
  }
  return filled_ > 0;
}

std::expected<std::uint64_t, IoError> LineSource::pass_lines(std::uint64_t count) noexcept {
  std::uint64_t passed = 0;
  std::uint64_t open = 0;  // bytes passed of a line not yet ended
  open_line_bytes_ = 0;
  while (passed < count) {
    if (pos_ == filled_) {
      const std::expected<bool, IoError> more = refill();
      if (!more) return std::unexpected(more.error());
      if (!*more) {
        open_line_bytes_ = open;
        return passed + (open > 0 ? 1 : 0);
      }
    }
    const LinesPassed run = text::pass_lines(buffered(), count - passed);
    passed += run.lines;
    std::size_t bytes = run.bytes;
    if (passed < count) {
      // The rest of the buffer, if any, starts a line that ends later, or
      // goes on with one.
      bytes = filled_ - pos_;
      open = (run.lines > 0 ? 0 : open) + (bytes - run.bytes);
    }
    pos_ += bytes;
    taken_ += bytes;
  }
  line_ascii_ = true;
  return passed;
}

std::expected<std::uint64_t, IoError> LineSource::count_line_feeds() noexcept {
  std::uint64_t feeds = 0;
  for (;;) {
    if (pos_ == filled_) {
      const std::expected<bool, IoError> more = refill();
      if (!more) return std::unexpected(more.error());
      if (!*more) return feeds;
    }
    feeds += text::pass_lines(buffered(), SIZE_MAX).lines;
    taken_ += filled_ - pos_;
    pos_ = filled_;
  }
}

std::expected<std::optional<std::string_view>, IoError> LineSource::next_line() noexcept {
  std::size_t gathered = 0;  // bytes of this line copied into line_
  for (;;) {
    if (pos_ == filled_) {
      const std::expected<bool, IoError> more = refill();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;  // end of file
    }
    const char* start = buffer_ + pos_;
    const std::size_t available = filled_ - pos_;
    const void* feed = std::memchr(start, '\n', available);
    const std::size_t take =
        feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - start) + 1 : available;
    const bool whole = feed != nullptr && gathered == 0;
    if (whole && checked_ > pos_) {
      // One pass over the rest of the buffer spares the lines inside it
      // their own UTF-8 check when, as almost always, every byte is ASCII.
      buffer_ascii_ = is_ascii(start, available);
      checked_ = pos_;
    }
    pos_ += take;
    taken_ += take;
    if (whole) return finish_line(start, take, buffer_ascii_);
    if (take > SIZE_MAX - gathered) return std::unexpected(IoError::out_of_memory(SIZE_MAX));
    if (const std::size_t failed = reserve_line(gathered + take + LINE_PADDING); failed != 0) {
      return std::unexpected(IoError::out_of_memory(failed));
    }
    std::memcpy(line_ + gathered, start, take);
    gathered += take;
    if (feed != nullptr) break;
  }
  if (gathered == 0) return std::nullopt;
  return finish_line(line_, gathered, false);
}

std::expected<std::optional<std::string_view>, IoError> LineSource::finish_line(const char* data, std::size_t size,
                                                                                bool known_ascii) noexcept {
  line_ascii_ = known_ascii || is_ascii(data, size);
  if (!line_ascii_ && !is_valid_utf8(data, size)) return std::unexpected(IoError::invalid_utf8());
  if (data[size - 1] == '\n') {
    --size;
    if (size > 0 && data[size - 1] == '\r') --size;
  }
  return std::string_view(data, size);
}

}  // namespace tavrel::text

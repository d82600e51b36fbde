// Opening the plot file and reading it line by line.
//
// `FileDescriptor` owns one open descriptor; `LineSource` reads through an
// 8192-byte buffer and hands out one line at a time, without its terminator
// (LF, or CR LF), checked to be well-formed UTF-8.  A line that lies whole in
// the buffer is returned as a view into it; a line that crosses refills is
// assembled in a growable buffer.  Either way the view stays valid until the
// next call of `next_line`.
//
// A regular file can be read again at any offset through the one opening:
// `LineSource::at` makes a source that borrows the descriptor and reads with
// pread(2), so any number of them (on any threads) read the same file
// whatever happens to its path meanwhile, and none of them can fail to open.
// `mark` and `rewind` let a reader look ahead and then go back, also on a
// pipe, which can be read only once: the bytes read since the mark are kept.
//
// EINTR is retried for open and read.  Errors come back as `IoError` values.
// System calls go through `SysCalls`, which tests replace to inject failures.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "text/decompress.hpp"
#include "text/errors.hpp"

namespace tavrel::text {

// The system calls the line source makes; tests swap in their own.
struct SysCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buf, std::size_t count);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void* buf, std::size_t count, off_t offset);
};
extern SysCalls SYS_CALLS;

class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    FileDescriptor old(std::exchange(fd_, std::exchange(other.fd_, -1)));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // Closes without retrying on EINTR: the descriptor is gone either way.
  ~FileDescriptor() { if (fd_ >= 0) SYS_CALLS.close(fd_); }
  int get() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

class LineSource {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;
  // Every line handed out is followed in memory by at least this many
  // readable bytes of unspecified but initialised value, so that callers
  // may load whole machine words near its end without stepping outside the
  // allocation or reading memory never written.
  static constexpr std::size_t LINE_PADDING = 16;

  // Opens `path` read-only and close-on-exec, to be read `buffer_size`
  // bytes at a time.  A NUL byte in the path fails before any system call;
  // a directory opens (its first read fails).
  static std::expected<LineSource, IoError> open(std::string_view path,
                                                 std::size_t buffer_size = BUFFER_SIZE) noexcept;

  // A source over the regular file open as `fd` (borrowed: it must outlive
  // the source), reading `length` bytes from byte `offset` on (UINT64_MAX:
  // to the end) with pread(2), `buffer_size` bytes at a time.
  static std::expected<LineSource, IoError> at(int fd, std::uint64_t offset, std::uint64_t length,
                                               std::size_t buffer_size = BUFFER_SIZE) noexcept;

  // A source over whatever `raw` reads (a file object, bytes in memory):
  // read once, from the start, and never seekable.  `size_hint` is how many
  // bytes it is expected to give, when the caller knows (0: unknown).
  static std::expected<LineSource, IoError> from(RawRead raw, std::size_t buffer_size = BUFFER_SIZE,
                                                 std::uint64_t size_hint = 0) noexcept;

  LineSource(LineSource&& other) noexcept;
  LineSource& operator=(LineSource&&) = delete;
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;
  ~LineSource();

  // The next line, or an empty optional at end of input.  A line that is not
  // well-formed UTF-8 is consumed and reported as IoError::invalid_utf8().
  std::expected<std::optional<std::string_view>, IoError> next_line() noexcept;

  // Whether the line last returned is plain ASCII, so that every byte offset
  // in it is a character boundary.
  bool line_is_ascii() const noexcept { return line_ascii_; }

  // The bytes read but not yet handed out, to the end of the read buffer
  // (followed by LINE_PADDING readable bytes); empty when the next call of
  // next_line would read.  A caller that recognises whole lines there,
  // terminators included, all ASCII, may take them with skip_lines instead.
  std::string_view buffered() const noexcept { return {buffer_ + pos_, filled_ - pos_}; }
  void skip_lines(std::size_t bytes) noexcept {
    if (bytes == 0) return;
    pos_ += bytes;
    taken_ += bytes;
    line_ascii_ = true;
  }

  // Passes over up to `count` lines, by their line feeds alone: their bytes
  // are not checked, and none is handed out.  The number passed, fewer at
  // the end of input, where a last line without a line feed counts.
  std::expected<std::uint64_t, IoError> pass_lines(std::uint64_t count) noexcept;
  // After pass_lines reached the end of input inside a line (one without a
  // line feed, counted as passed): that line's length; else 0.
  std::uint64_t open_line_bytes() const noexcept { return open_line_bytes_; }

  // Passes over the rest of the input; the line feeds in it.
  std::expected<std::uint64_t, IoError> count_line_feeds() noexcept;

  // Reads only `length` bytes from byte `offset` on (UINT64_MAX: to the
  // end): a part of the file.  Call before the first line is read.  Fails
  // with the seek's error.
  std::expected<void, IoError> restrict_to(std::uint64_t offset, std::uint64_t length) noexcept;

  // Bytes handed out as lines so far, terminators included.
  std::uint64_t bytes_taken() const noexcept { return taken_; }

  // Whether the input has no byte left after those handed out (reads the
  // next bytes to know, which a later rewind keeps).
  std::expected<bool, IoError> at_end() noexcept;

  // Keeps every byte from the current position on, until `rewind`, so that
  // the reading can go back to any position since (one mark at a time).
  void mark() noexcept;
  // Goes back to position `to` (a value of bytes_taken() since the mark)
  // and stops keeping bytes.  Fails only for want of memory.
  std::expected<void, IoError> rewind(std::uint64_t to) noexcept;

  // Looks at the first bytes: when they are a compressed stream's magic
  // bytes, everything from then on is read decompressed.  Call before the
  // first line is read.  The format found (None: read as it is).
  std::expected<Compression, IoError> detect_compression() noexcept;
  Compression compression() const noexcept { return compression_; }
  // With `end`, a compressed stream that ends early ends the input there,
  // as a file still being written does, and truncated() tells it; without,
  // it is an IoError.
  void take_truncation_as_end(bool end) noexcept { truncation_is_end_ = end; }
  bool truncated() const noexcept { return truncated_; }

  // The descriptor read, and whether it is a regular file, which
  // LineSource::at can read again at any offset.
  int descriptor() const noexcept { return fd_; }
  bool seekable() const noexcept;

  // The file's size if it is a regular file (the part's, when restricted),
  // else 0: a hint for sizing what the caller will collect, never a limit on
  // what is read.
  std::uint64_t size_hint() const noexcept;

 private:
  LineSource(FileDescriptor owner, int fd, char* block, char* buffer, std::size_t buffer_size) noexcept;
  static std::expected<LineSource, IoError> with_buffer(FileDescriptor owner, int fd,
                                                        std::size_t buffer_size) noexcept;
  // Appends the bytes of the buffer from record_from_ to filled_ to the
  // record; false for want of memory.
  bool keep_buffered() noexcept;
  // Reads the next bytes into the buffer once pos_ has reached filled_;
  // false at the end of input.
  std::expected<bool, IoError> refill() noexcept;
  // Makes line_ hold at least `needed` bytes, growing it by doubling.  0 on
  // success, else the size of the allocation that failed.
  std::size_t reserve_line(std::size_t needed) noexcept;
  // Checks the `size` (> 0) bytes of a line and cuts off its terminator.
  // `known_ascii` skips the check for bytes already known to be ASCII.
  std::expected<std::optional<std::string_view>, IoError> finish_line(const char* data, std::size_t size,
                                                                      bool known_ascii) noexcept;

  FileDescriptor owner_;  // the descriptor, when this source opened it
  int fd_;
  char* block_;          // the allocation the buffer lies in
  char* buffer_;         // 64-byte aligned: buffer_capacity_ bytes, then LINE_PADDING zero bytes
  std::size_t buffer_size_;      // bytes asked of one read
  std::size_t buffer_capacity_;  // >= buffer_size_; more after a rewind of many bytes
  bool positional_ = false;      // reads with pread at offset_
  std::uint64_t offset_ = 0;
  std::size_t pos_ = 0;     // first byte not yet consumed
  std::size_t filled_ = 0;  // end of the bytes of the last read
  char* line_ = nullptr;    // assembly buffer for lines that cross refills, zeroed as it grows
  std::size_t line_capacity_ = 0;
  std::uint64_t taken_ = 0;    // bytes consumed by next_line so far
  std::uint64_t left_ = UINT64_MAX;  // bytes the reads may still return
  std::uint64_t part_ = 0;           // the part's length when restricted, else 0
  std::size_t skip_ = 0;             // bytes of the next read before the part's start
  // Whether the bytes from checked_ to the end of the last read are all
  // ASCII; checked_ == filled_ + 1 until a line needs to know.
  bool buffer_ascii_ = false;
  std::size_t checked_ = 1;
  bool line_ascii_ = false;    // the line last returned is all ASCII
  std::uint64_t open_line_bytes_ = 0;
  // The bytes since the mark that the buffer no longer holds.
  bool recording_ = false;
  char* record_ = nullptr;
  std::size_t record_size_ = 0, record_capacity_ = 0;
  std::size_t record_from_ = 0;  // the buffer's bytes from here on are not in the record yet
  std::uint64_t mark_taken_ = 0;
  RawRead raw_;  // the reader of a source made by `from`; empty: the descriptor
  std::uint64_t raw_size_ = 0;  // the bytes `raw_` is expected to give; 0: unknown
  // Decompression, once detect_compression found a compressed stream.
  std::unique_ptr<Decoder> decoder_;
  Compression compression_ = Compression::None;
  bool truncation_is_end_ = false;
  bool truncated_ = false;
  std::uint64_t decoded_size_ = 0;  // the decompressed size, when the stream tells it
};

}  // namespace tavrel::text

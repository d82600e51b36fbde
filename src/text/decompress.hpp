// Compressed plot files: gzip, zstd, xz and bzip2 streams, recognised by
// their magic bytes and decompressed as they are read, beneath the line
// source, so that no decompressed copy of the file is ever kept.
//
// A `Decoder` turns the bytes that a raw reader gives (a descriptor, as the
// line source reads it) into the decompressed bytes, in pieces of any size.
// Concatenated streams (several gzip members, zstd frames, xz streams or
// bzip2 streams, as `cat a.gz b.gz` makes) read as one.  A stream that is
// not what its format says is an IoError of form Compressed with the
// library's own reason; so is input that ends inside a stream, marked
// `truncated`, which a reader of a file still being written may take for
// the end of its input instead.
//
// Each format is compiled in only where its library was found; the others
// are recognised all the same and fail with a reason that says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string_view>

#include "text/errors.hpp"

namespace tavrel::text {

enum class Compression : std::uint8_t { None, Gzip, Zstd, Xz, Bzip2 };

// The format whose magic bytes begin `head` (at least six bytes of it are
// needed to tell every format; fewer tell what they can).
Compression compression_of(std::string_view head) noexcept;
// "gzip", "zstd", "xz", "bzip2"; "none".
std::string_view compression_name(Compression format) noexcept;
// Whether this build can decompress `format`.
bool compression_available(Compression format) noexcept;

// Reads up to `count` raw bytes into `out`: how many (0 at the end), or the
// read's error.
using RawRead = std::function<std::expected<std::size_t, IoError>(char* out, std::size_t count)>;

class Decoder {
 public:
  // A decoder of `format` (not None) over `raw`, whose first `head` bytes
  // were read already (to recognise the format) and come first.
  static std::expected<std::unique_ptr<Decoder>, IoError> make(Compression format, RawRead raw,
                                                               std::string_view head) noexcept;
  virtual ~Decoder() = default;

  // Up to `count` decompressed bytes into `out`; 0 only at the end of the
  // last stream.
  std::expected<std::size_t, IoError> read(char* out, std::size_t count) noexcept;

 protected:
  Decoder(RawRead raw, std::string_view head) noexcept;
  // The format's own step: decompress from input_[in_pos_, in_end_) into
  // `out`; `ended` is set when the raw input has no more bytes.  Returns the
  // bytes made (0 with `done` set at the end of the last stream).
  virtual std::expected<std::size_t, IoError> step(char* out, std::size_t count, bool ended, bool& done) noexcept = 0;

  // The raw bytes not decompressed yet.
  const char* input() const noexcept { return reinterpret_cast<char*>(input_.get()) + in_pos_; }
  std::size_t available() const noexcept { return in_end_ - in_pos_; }
  void consume(std::size_t bytes) noexcept { in_pos_ += bytes; }

 private:
  // Reads more raw bytes when every one read so far was consumed; false at
  // the end of the raw input.
  std::expected<bool, IoError> fill() noexcept;

  static constexpr std::size_t INPUT_BYTES = std::size_t{256} << 10;
  RawRead raw_;
  // The compressed bytes, read in on a 64-byte boundary (as the line
  // source's buffer, for the speed of the kernel's copy).
  struct alignas(64) Line {
    char bytes[64];
  };
  std::unique_ptr<Line[]> input_;
  std::size_t in_pos_ = 0, in_end_ = 0;
  bool raw_ended_ = false;
  bool done_ = false;
  bool allocated_ = false;
};

}  // namespace tavrel::text

// A line source over a compressed stream: recognising the format by its
// first bytes and putting a decoder beneath the source; see line_source.hpp.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "text/line_source.hpp"

#ifdef TAVREL_WITH_ZSTD
#include <zstd.h>
#endif

namespace tavrel::text {

namespace {

// read(2) of up to `count` bytes, EINTR repeated.
std::expected<std::size_t, IoError> read_repeating(int fd, char* out, std::size_t count) noexcept {
  for (;;) {
    const ssize_t got = SYS_CALLS.read(fd, out, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(IoError::os(errno));
  }
}

// The decompressed size a regular file's stream tells, where it does: a
// zstd frame's header, a gzip member's trailer (modulo 4 GiB, so taken only
// when it is at least the compressed size).  0 when it tells none.
std::uint64_t decoded_size_of(int fd, Compression format, std::string_view head) noexcept {
  struct stat64 info;
  if (::fstat64(fd, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const auto size = static_cast<std::uint64_t>(info.st_size);
#ifdef TAVREL_WITH_ZSTD
  if (format == Compression::Zstd) {
    const unsigned long long content = ZSTD_getFrameContentSize(head.data(), head.size());
    return content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR ? 0 : content;
  }
#endif
  if (format == Compression::Gzip && size >= 18) {
    unsigned char tail[4];
    if (::pread64(fd, tail, 4, static_cast<off64_t>(size - 4)) != 4) return 0;
    const std::uint64_t isize = tail[0] | tail[1] << 8 | tail[2] << 16 | std::uint64_t{tail[3]} << 24;
    return isize >= size ? isize : 0;
  }
  (void)head;
  return 0;
}

}  // namespace

std::expected<Compression, IoError> LineSource::detect_compression() noexcept {
  // Enough bytes for every format's magic and a zstd frame header.
  constexpr std::size_t HEAD_BYTES = 18;
  // The raw bytes as this source reads them: its reader, or its descriptor.
  RawRead raw = raw_;
  if (!raw) {
    const int fd = fd_;
    raw = [fd](char* out, std::size_t count) { return read_repeating(fd, out, count); };
  }
  while (filled_ < HEAD_BYTES) {
    const auto got = raw(buffer_ + filled_, HEAD_BYTES - filled_);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) break;
    filled_ += *got;
    offset_ += *got;
  }
  const std::string_view head(buffer_, filled_);
  compression_ = compression_of(head);
  checked_ = filled_ + 1;
  if (compression_ == Compression::None) return compression_;
  if (!raw_) decoded_size_ = decoded_size_of(fd_, compression_, head);
  auto decoder = Decoder::make(compression_, std::move(raw), head);
  if (!decoder) return std::unexpected(decoder.error());
  decoder_ = std::move(*decoder);
  // The head is the decoder's now; the lines come from what it makes.
  pos_ = filled_ = 0;
  return compression_;
}

}  // namespace tavrel::text

// Decompression of gzip, zstd, xz and bzip2 streams; see decompress.hpp.
//
// Every format works the same way: the raw bytes are read in steps of 256
// KiB into one input buffer, and the library decompresses from it straight
// into the caller's buffer.  At the end of one stream, more input starts
// another (concatenated files); the end of the raw input inside a stream is
// a truncated stream.
#include "text/decompress.hpp"

#include <cstring>
#include <new>

#ifdef TAVREL_WITH_ZLIB
#include <zlib.h>
#endif
#ifdef TAVREL_WITH_ZSTD
#include <zstd.h>
#endif
#ifdef TAVREL_WITH_LZMA
#include <lzma.h>
#endif
#ifdef TAVREL_WITH_BZIP2
#include <bzlib.h>
#endif

namespace tavrel::text {

Compression compression_of(std::string_view head) noexcept {
  const auto starts = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
  if (starts("\x1f\x8b")) return Compression::Gzip;
  if (starts("\x28\xb5\x2f\xfd")) return Compression::Zstd;
  if (starts(std::string_view("\xfd" "7zXZ\0", 6))) return Compression::Xz;
  if (starts("BZh") && head.size() >= 4 && head[3] >= '1' && head[3] <= '9') return Compression::Bzip2;
  return Compression::None;
}

std::string_view compression_name(Compression format) noexcept {
  switch (format) {
    case Compression::Gzip: return "gzip";
    case Compression::Zstd: return "zstd";
    case Compression::Xz: return "xz";
    case Compression::Bzip2: return "bzip2";
    case Compression::None: break;
  }
  return "none";
}

bool compression_available(Compression format) noexcept {
  switch (format) {
#ifdef TAVREL_WITH_ZLIB
    case Compression::Gzip: return true;
#endif
#ifdef TAVREL_WITH_ZSTD
    case Compression::Zstd: return true;
#endif
#ifdef TAVREL_WITH_LZMA
    case Compression::Xz: return true;
#endif
#ifdef TAVREL_WITH_BZIP2
    case Compression::Bzip2: return true;
#endif
    default: return false;
  }
}

Decoder::Decoder(RawRead raw, std::string_view head) noexcept : raw_(std::move(raw)) {
  input_.reset(new (std::nothrow) Line[INPUT_BYTES / sizeof(Line)]);
  allocated_ = input_ != nullptr;
  if (allocated_ && !head.empty()) {
    std::memcpy(reinterpret_cast<char*>(input_.get()), head.data(), head.size());
    in_end_ = head.size();
  }
}

std::expected<bool, IoError> Decoder::fill() noexcept {
  if (in_pos_ < in_end_) return true;
  if (raw_ended_) return false;
  in_pos_ = in_end_ = 0;
  const auto got = raw_(reinterpret_cast<char*>(input_.get()), INPUT_BYTES);
  if (!got) return std::unexpected(got.error());
  in_end_ = *got;
  raw_ended_ = *got == 0;
  return !raw_ended_;
}

std::expected<std::size_t, IoError> Decoder::read(char* out, std::size_t count) noexcept {
  if (!allocated_) return std::unexpected(IoError::out_of_memory(INPUT_BYTES));
  while (!done_ && count > 0) {
    const auto more = fill();
    if (!more) return std::unexpected(more.error());
    const auto made = step(out, count, !*more, done_);
    if (!made) return made;
    if (*made > 0) return made;
  }
  return 0;
}

namespace {

#ifdef TAVREL_WITH_ZLIB
class GzipDecoder final : public Decoder {
 public:
  GzipDecoder(RawRead raw, std::string_view head) noexcept : Decoder(std::move(raw), head) {
    // 15 window bits, + 32: a gzip (or zlib) header, recognised by inflate.
    ready_ = inflateInit2(&z_, 15 + 32) == Z_OK;
  }
  ~GzipDecoder() override {
    if (ready_) inflateEnd(&z_);
  }
  bool ready() const noexcept { return ready_; }

 private:
  std::expected<std::size_t, IoError> step(char* out, std::size_t count, bool ended, bool& done) noexcept override {
    if (!in_stream_) {
      if (ended) {
        done = true;
        return 0;
      }
      // Another member follows the last: a new stream.
      if (inflateReset(&z_) != Z_OK) return std::unexpected(IoError::compressed("gzip reset failed", false));
      in_stream_ = true;
    }
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input()));
    z_.avail_in = static_cast<uInt>(available() < UINT32_MAX ? available() : UINT32_MAX);
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(count < UINT32_MAX ? count : UINT32_MAX);
    const uInt before_in = z_.avail_in, before_out = z_.avail_out;
    const int status = inflate(&z_, Z_NO_FLUSH);
    consume(before_in - z_.avail_in);
    if (status == Z_STREAM_END) {
      in_stream_ = false;
    } else if (status == Z_MEM_ERROR) {
      return std::unexpected(IoError::out_of_memory(0));
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      return std::unexpected(IoError::compressed(z_.msg ? z_.msg : "gzip data is damaged", false));
    }
    const std::size_t made = before_out - z_.avail_out;
    // The input is all read and nothing more comes out: cut inside a member.
    if (made == 0 && ended && in_stream_) return std::unexpected(IoError::compressed("gzip stream ends early", true));
    return made;
  }

  z_stream z_{};
  bool ready_ = false;
  bool in_stream_ = true;
};
#endif

#ifdef TAVREL_WITH_ZSTD
class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder(RawRead raw, std::string_view head) noexcept : Decoder(std::move(raw), head), z_(ZSTD_createDStream()) {}
  ~ZstdDecoder() override { ZSTD_freeDStream(z_); }
  bool ready() const noexcept { return z_ != nullptr; }

 private:
  std::expected<std::size_t, IoError> step(char* out, std::size_t count, bool ended, bool& done) noexcept override {
    if (ended && !in_frame_) {
      done = true;
      return 0;
    }
    ZSTD_inBuffer in{input(), available(), 0};
    ZSTD_outBuffer o{out, count, 0};
    const std::size_t status = ZSTD_decompressStream(z_, &o, &in);
    consume(in.pos);
    if (ZSTD_isError(status)) return std::unexpected(IoError::compressed(ZSTD_getErrorName(status), false));
    // 0: a frame ended and is flushed; the next bytes, if any, start another.
    in_frame_ = status != 0;
    if (o.pos == 0 && ended) {
      if (in_frame_) return std::unexpected(IoError::compressed("zstd frame ends early", true));
      done = true;
    }
    return o.pos;
  }

  ZSTD_DStream* z_;
  bool in_frame_ = true;
};
#endif

#ifdef TAVREL_WITH_LZMA
class XzDecoder final : public Decoder {
 public:
  XzDecoder(RawRead raw, std::string_view head) noexcept : Decoder(std::move(raw), head) {
    ready_ = lzma_stream_decoder(&z_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK;
  }
  ~XzDecoder() override { lzma_end(&z_); }
  bool ready() const noexcept { return ready_; }

 private:
  static const char* reason(lzma_ret status) noexcept {
    switch (status) {
      case LZMA_FORMAT_ERROR: return "xz: not in the .xz format";
      case LZMA_OPTIONS_ERROR: return "xz: unsupported compression options";
      case LZMA_DATA_ERROR: return "xz data is damaged";
      case LZMA_BUF_ERROR: return "xz stream ends early";
      default: return "xz decoding failed";
    }
  }

  std::expected<std::size_t, IoError> step(char* out, std::size_t count, bool ended, bool& done) noexcept override {
    z_.next_in = reinterpret_cast<const std::uint8_t*>(input());
    z_.avail_in = available();
    z_.next_out = reinterpret_cast<std::uint8_t*>(out);
    z_.avail_out = count;
    const lzma_ret status = lzma_code(&z_, ended ? LZMA_FINISH : LZMA_RUN);
    consume(available() - z_.avail_in);
    const std::size_t made = count - z_.avail_out;
    if (status == LZMA_STREAM_END) {
      done = made == 0;
      return made;
    }
    if (status == LZMA_MEM_ERROR) return std::unexpected(IoError::out_of_memory(0));
    if (status == LZMA_BUF_ERROR && ended && made == 0) {
      return std::unexpected(IoError::compressed(reason(status), true));
    }
    if (status != LZMA_OK && status != LZMA_BUF_ERROR) {
      return std::unexpected(IoError::compressed(reason(status), false));
    }
    return made;
  }

  lzma_stream z_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};
#endif

#ifdef TAVREL_WITH_BZIP2
class Bzip2Decoder final : public Decoder {
 public:
  Bzip2Decoder(RawRead raw, std::string_view head) noexcept : Decoder(std::move(raw), head) {
    ready_ = BZ2_bzDecompressInit(&z_, 0, 0) == BZ_OK;
  }
  ~Bzip2Decoder() override {
    if (ready_) BZ2_bzDecompressEnd(&z_);
  }
  bool ready() const noexcept { return ready_; }

 private:
  std::expected<std::size_t, IoError> step(char* out, std::size_t count, bool ended, bool& done) noexcept override {
    if (!in_stream_) {
      if (ended) {
        done = true;
        return 0;
      }
      // Another stream follows the last.
      BZ2_bzDecompressEnd(&z_);
      ready_ = BZ2_bzDecompressInit(&z_, 0, 0) == BZ_OK;
      if (!ready_) return std::unexpected(IoError::out_of_memory(0));
      in_stream_ = true;
    }
    z_.next_in = const_cast<char*>(input());
    z_.avail_in = static_cast<unsigned>(available() < UINT32_MAX ? available() : UINT32_MAX);
    z_.next_out = out;
    z_.avail_out = static_cast<unsigned>(count < UINT32_MAX ? count : UINT32_MAX);
    const unsigned before_in = z_.avail_in, before_out = z_.avail_out;
    const int status = BZ2_bzDecompress(&z_);
    consume(before_in - z_.avail_in);
    if (status == BZ_STREAM_END) {
      in_stream_ = false;
    } else if (status == BZ_MEM_ERROR) {
      return std::unexpected(IoError::out_of_memory(0));
    } else if (status != BZ_OK) {
      return std::unexpected(IoError::compressed("bzip2 data is damaged", false));
    }
    const std::size_t made = before_out - z_.avail_out;
    if (made == 0 && ended && in_stream_) return std::unexpected(IoError::compressed("bzip2 stream ends early", true));
    return made;
  }

  bz_stream z_{};
  bool ready_ = false;
  bool in_stream_ = true;
};
#endif

template <class D>
std::expected<std::unique_ptr<Decoder>, IoError> made(RawRead raw, std::string_view head) noexcept {
  std::unique_ptr<D> decoder(new (std::nothrow) D(std::move(raw), head));
  if (!decoder || !decoder->ready()) return std::unexpected(IoError::out_of_memory(0));
  return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace

std::expected<std::unique_ptr<Decoder>, IoError> Decoder::make(Compression format, RawRead raw,
                                                               std::string_view head) noexcept {
  switch (format) {
#ifdef TAVREL_WITH_ZLIB
    case Compression::Gzip: return made<GzipDecoder>(std::move(raw), head);
#endif
#ifdef TAVREL_WITH_ZSTD
    case Compression::Zstd: return made<ZstdDecoder>(std::move(raw), head);
#endif
#ifdef TAVREL_WITH_LZMA
    case Compression::Xz: return made<XzDecoder>(std::move(raw), head);
#endif
#ifdef TAVREL_WITH_BZIP2
    case Compression::Bzip2: return made<Bzip2Decoder>(std::move(raw), head);
#endif
    default: break;
  }
  return std::unexpected(IoError::unsupported_compression());
}

}  // namespace tavrel::text

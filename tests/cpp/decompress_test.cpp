// Tests of the decompressors: each format against its own library's
// encoder, whole, concatenated, cut short and damaged, read in small and
// large pieces, and through the line source from a file.
#include "text/decompress.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "text/line_source.hpp"

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
namespace {

// `text` compressed in `format`, by the format's own library.
std::string compress(Compression format, const std::string& text) {
  std::string out;
  switch (format) {
#ifdef TAVREL_WITH_ZLIB
    case Compression::Gzip: {
      z_stream z{};
      EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
      out.resize(deflateBound(&z, text.size()) + 32);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
      z.avail_in = static_cast<uInt>(text.size());
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      out.resize(z.total_out);
      deflateEnd(&z);
      return out;
    }
#endif
#ifdef TAVREL_WITH_ZSTD
    case Compression::Zstd:
      out.resize(ZSTD_compressBound(text.size()));
      out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
      return out;
#endif
#ifdef TAVREL_WITH_LZMA
    case Compression::Xz: {
      out.resize(lzma_stream_buffer_bound(text.size()));
      std::size_t used = 0;
      EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
                                        text.size(), reinterpret_cast<std::uint8_t*>(out.data()), &used, out.size()),
                LZMA_OK);
      out.resize(used);
      return out;
    }
#endif
#ifdef TAVREL_WITH_BZIP2
    case Compression::Bzip2: {
      unsigned size = static_cast<unsigned>(text.size() + text.size() / 100 + 700);
      out.resize(size);
      EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                         static_cast<unsigned>(text.size()), 9, 0, 0),
                BZ_OK);
      out.resize(size);
      return out;
    }
#endif
    default: break;
  }
  ADD_FAILURE() << "no encoder for " << compression_name(format);
  return out;
}

// Everything a decoder of `data` gives, read `piece` bytes at a time.
std::expected<std::string, IoError> decode(Compression format, const std::string& data, std::size_t piece) {
  std::size_t at = 0;
  RawRead raw = [&](char* out, std::size_t count) -> std::expected<std::size_t, IoError> {
    // The raw input, too, comes in uneven pieces.
    const std::size_t n = std::min({count, data.size() - at, std::size_t{7919}});
    std::memcpy(out, data.data() + at, n);
    at += n;
    return n;
  };
  auto decoder = Decoder::make(format, raw, {});
  if (!decoder) return std::unexpected(decoder.error());
  std::string text;
  std::vector<char> buffer(piece);
  for (;;) {
    auto got = (*decoder)->read(buffer.data(), buffer.size());
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return text;
    text.append(buffer.data(), *got);
  }
}

std::string sample_text(std::size_t lines) {
  std::string text = "NPARAM 3\nNAME A\nNAME B\nNAME C\n";
  for (std::size_t b = 0; text.size() < lines * 40; ++b) {
    text += "TIME " + std::to_string(b) + "\n";
    char line[64];
    std::snprintf(line, sizeof line, "%12.5E%12.5E%12.5E\n", b * 0.25, -1.0 * b, b / 3.0);
    text += line;
  }
  return text;
}

class Formats : public ::testing::TestWithParam<Compression> {
 protected:
  void SetUp() override {
    if (!compression_available(GetParam())) GTEST_SKIP() << "built without " << compression_name(GetParam());
  }
};

TEST_P(Formats, MagicBytesNameTheFormat) {
  EXPECT_EQ(compression_of(compress(GetParam(), "x")), GetParam());
}

TEST_P(Formats, RoundTripsInSmallAndLargePieces) {
  const std::string text = sample_text(40000);
  const std::string data = compress(GetParam(), text);
  for (std::size_t piece : {std::size_t{1000}, std::size_t{1} << 20}) {
    auto decoded = decode(GetParam(), data, piece);
    ASSERT_TRUE(decoded) << describe(decoded.error()).value_or("?");
    EXPECT_EQ(*decoded, text);
  }
}

TEST_P(Formats, ConcatenatedStreamsReadAsOne) {
  const std::string a = sample_text(3000), b = "TIME 9\n" + sample_text(100);
  auto decoded = decode(GetParam(), compress(GetParam(), a) + compress(GetParam(), b), 4096);
  ASSERT_TRUE(decoded) << describe(decoded.error()).value_or("?");
  EXPECT_EQ(*decoded, a + b);
}

TEST_P(Formats, AStreamCutShortIsTruncated) {
  const std::string data = compress(GetParam(), sample_text(20000));
  for (std::size_t keep : {data.size() / 2, data.size() - 1}) {
    auto decoded = decode(GetParam(), data.substr(0, keep), 4096);
    ASSERT_FALSE(decoded) << "kept " << keep << " of " << data.size();
    EXPECT_EQ(decoded.error().form(), IoError::Form::Compressed);
    EXPECT_TRUE(decoded.error().truncated()) << decoded.error().message();
  }
}

TEST_P(Formats, DamagedDataIsAnErrorWithTheLibrarysReason) {
  std::string data = compress(GetParam(), sample_text(20000));
  for (std::size_t i = data.size() / 2; i < data.size() / 2 + 64; ++i) data[i] = static_cast<char>(~data[i]);
  auto decoded = decode(GetParam(), data, 4096);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().form(), IoError::Form::Compressed);
  EXPECT_FALSE(decoded.error().message().empty());
}

INSTANTIATE_TEST_SUITE_P(All, Formats,
                         ::testing::Values(Compression::Gzip, Compression::Zstd, Compression::Xz, Compression::Bzip2),
                         [](const auto& info) { return std::string(compression_name(info.param)); });

// Through the line source: lines of a compressed file, and a cut one taken
// for the end of the input where asked.
TEST(CompressedLines, ReadAsTheirTextAndCutWhereAsked) {
  if (!compression_available(Compression::Zstd)) GTEST_SKIP();
  const std::string text = sample_text(5000);
  const std::string data = compress(Compression::Zstd, text);
  const auto path = std::filesystem::temp_directory_path() / "tavrel-decompress-test.plt.zst";
  for (bool cut : {false, true}) {
    std::ofstream(path, std::ios::binary) << (cut ? data.substr(0, data.size() / 2) : data);
    auto source = LineSource::open(path.string(), 4096);
    ASSERT_TRUE(source);
    ASSERT_EQ(*source->detect_compression(), Compression::Zstd);
    EXPECT_FALSE(source->seekable());
    source->take_truncation_as_end(true);
    std::string lines;
    for (;;) {
      auto line = source->next_line();
      ASSERT_TRUE(line);
      if (!*line) break;
      lines += **line;
      lines += '\n';
    }
    EXPECT_EQ(source->truncated(), cut);
    if (cut) {
      EXPECT_EQ(text.substr(0, lines.size()), lines.substr(0, lines.size()));
      EXPECT_LT(lines.size(), text.size());
    } else {
      EXPECT_EQ(lines, text);
    }
  }
  std::filesystem::remove(path);
}

// A source over a reader that gives a few bytes at a time (as a file object
// or a pipe may), plain and compressed alike.
TEST(CompressedLines, ReadFromAReaderInSmallPieces) {
  const std::string text = sample_text(2000);
  for (Compression format : {Compression::None, Compression::Gzip}) {
    if (format != Compression::None && !compression_available(format)) continue;
    const std::string data = format == Compression::None ? text : compress(format, text);
    std::size_t at = 0;
    auto source = LineSource::from([&](char* out, std::size_t count) -> std::expected<std::size_t, IoError> {
      const std::size_t n = std::min({count, data.size() - at, std::size_t{5}});
      std::memcpy(out, data.data() + at, n);
      at += n;
      return n;
    });
    ASSERT_TRUE(source);
    ASSERT_EQ(*source->detect_compression(), format);
    EXPECT_FALSE(source->seekable());
    std::string lines;
    for (;;) {
      auto line = source->next_line();
      ASSERT_TRUE(line);
      if (!*line) break;
      lines += **line;
      lines += '\n';
    }
    EXPECT_EQ(lines, text) << compression_name(format);
  }
}

TEST(CompressedLines, PlainFilesKeepTheirFirstBytes) {
  const auto path = std::filesystem::temp_directory_path() / "tavrel-decompress-plain.plt";
  std::ofstream(path, std::ios::binary) << "NPARAM 1\nNAME A\n";
  auto source = LineSource::open(path.string());
  ASSERT_TRUE(source);
  ASSERT_EQ(*source->detect_compression(), Compression::None);
  EXPECT_EQ(**source->next_line(), "NPARAM 1");
  EXPECT_EQ(**source->next_line(), "NAME A");
  EXPECT_FALSE(*source->next_line());
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tavrel::text

// The line converter may take a line only when it stores exactly what
// parse_field gives for each of its fields, and must take clean lines.
#include "text/field_row.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "text/field.hpp"

namespace {

using tavrel::text::parse_field;
using tavrel::text::line_converter;

// A field of `width` bytes in the E layout, some with a lower-case "e" or
// a "+" sign, some with an exponent out of the double path's range or
// exactly on a binary32 halfway point (2^24 + 1, and 3e10, which is
// 29296875 * 2^10 with 25 significant bits).
std::string random_field(std::mt19937_64& rng, unsigned width) {
  const int precision = static_cast<int>(width) - 7;
  char text[64];
  switch (rng() % 16) {
    case 0: std::snprintf(text, sizeof text, "%*.*E", width, precision, 0.0); break;
    case 1: {
      const int exponent = static_cast<int>(rng() % 60) - 30;
      std::snprintf(text, sizeof text, "%*.*E", width, precision, std::pow(10.0, exponent));
      break;
    }
    case 2:
    case 3:
      std::snprintf(text, sizeof text, "%s", width == 15 ? "-1.67772170E+07" : "+3.00000e+10");
      break;
    default: {
      std::uniform_real_distribution<double> exponent(-12, 12);
      std::snprintf(text, sizeof text, "%*.*E", width, precision,
                    std::pow(10.0, exponent(rng)) * ((rng() & 1) ? -1 : 1));
    }
  }
  std::string field = text;
  if (field[0] == ' ' && rng() % 8 == 0) field[0] = '+';
  if (rng() % 8 == 0) field[width - 4] = 'e';
  return field;
}

bool fast_path(const char* field, unsigned width) {
  float value;
  return width == 12 ? tavrel::text::field_detail::parse_e_layout<5>(field, value)
                     : tavrel::text::field_detail::parse_e_layout<8>(field, value);
}

// The data lines of one block from parameter `first` on, LF or CR LF
// after each; in a damaged block one byte is replaced or the block cut.
struct Block {
  std::string text;
  std::uint32_t first, count;
  std::vector<std::size_t> line_ends;  // offset after each line's terminator
  bool damaged;
};

Block random_block(std::mt19937_64& rng, unsigned width) {
  Block block{"", 0, 1 + static_cast<std::uint32_t>(rng() % 35), {}, rng() % 2 == 0};
  block.first = static_cast<std::uint32_t>(rng() % ((block.count + 9) / 10)) * 10;
  const char* eol = rng() % 4 == 0 ? "\r\n" : "\n";
  for (std::uint32_t t = block.first; t < block.count; t += 10) {
    for (std::uint32_t k = t; k < t + 10 && k < block.count; ++k) block.text += random_field(rng, width);
    block.text += eol;
    block.line_ends.push_back(block.text.size());
  }
  if (block.damaged) {
    static const char bytes[] = " .eE+-05\t9Dx\r\n\x80";
    if (rng() % 4 == 0) {
      block.text.resize(rng() % block.text.size());
    } else {
      block.text[rng() % block.text.size()] = bytes[rng() % (sizeof bytes - 1)];
    }
  }
  return block;
}

class LineConverter : public testing::TestWithParam<unsigned> {};

// Whatever the converter takes must be whole lines, each value exactly what
// parse_field gives; a clean block of lines of two or more fields that
// parse_field takes on its fast path must be taken whole.
TEST_P(LineConverter, TakesWholeLinesOfExactValues) {
  const unsigned width = GetParam();
  auto convert = line_converter(width);
  if (!convert) GTEST_SKIP() << "no vector converter on this processor";
  std::mt19937_64 rng(width * 1000 + 11);
  std::size_t clean_blocks = 0, taken_whole = 0;
  for (int i = 0; i < 60000; ++i) {
    const Block block = random_block(rng, width);
    const std::string padded = block.text + "9999999999999999";
    std::vector<float> values(block.count, NAN);
    const auto run = convert(std::string_view(padded.data(), block.text.size()), block.first, block.count,
                             values.data());
    ASSERT_TRUE(run.next == block.count || (run.next - block.first) % 10 == 0) << run.next;
    // Each line taken must be its fields and a terminator, in the text as it is.
    std::size_t at = 0;
    for (std::uint32_t t = block.first; t < run.next; t += 10) {
      const std::size_t start = at;
      at += std::min<std::size_t>(10, block.count - t) * width;
      ASSERT_LT(at, block.text.size());
      at += block.text[at] == '\r';
      ASSERT_EQ(block.text[at], '\n') << "\"" << block.text << "\"";
      ++at;
      for (std::uint32_t p = t; p < t + 10 && p < block.count; ++p) {
        auto expected = parse_field(std::string_view(padded.data() + start + (p - t) * width, width));
        ASSERT_TRUE(expected.has_value()) << "parameter " << p << " of \"" << block.text << "\"";
        ASSERT_EQ(std::bit_cast<std::uint32_t>(values[p]), std::bit_cast<std::uint32_t>(*expected))
            << "parameter " << p << " of \"" << block.text << "\"";
      }
    }
    ASSERT_EQ(run.bytes, at);
    // In a clean block, the line it stopped at must have had a reason.
    bool clean = !block.damaged;
    for (std::uint32_t p = run.next; clean && p < block.count; ++p) {
      const std::size_t line = (p - block.first) / 10;
      const char* field = padded.data() + (line == 0 ? 0 : block.line_ends[line - 1]) + (p - block.first) % 10 * width;
      clean = fast_path(field, width) && (p % 10 != 0 || p + 1 < block.count);
    }
    if (clean) {
      ++clean_blocks;
      taken_whole += run.next == block.count;
    }
  }
  EXPECT_GT(clean_blocks, 5000u);
  EXPECT_EQ(taken_whole, clean_blocks);
}

// Every byte value at every position of a field: the converter takes the
// line exactly when parse_field's fast path takes the field.
TEST_P(LineConverter, EveryByteAtEveryPosition) {
  const unsigned width = GetParam();
  auto convert = line_converter(width);
  if (!convert) GTEST_SKIP() << "no vector converter on this processor";
  const std::string valid = width == 12 ? "-1.23456E+02" : "-1.23456789E-02";
  for (unsigned position = 0; position < width; ++position) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      std::string field = valid;
      field[position] = static_cast<char>(byte);
      // One line of 2 or 4 fields, the odd field last; two lines of ten,
      // the odd field at each place of a group of eight or of four.
      for (std::uint32_t count : {2u, 4u, 20u}) {
        for (std::uint32_t odd : count == 20 ? std::vector<std::uint32_t>{0, 7, 9, 10, 15, 19}
                                             : std::vector<std::uint32_t>{count - 1}) {
          std::string text;
          for (std::uint32_t k = 0; k < count; ++k) {
            text += k == odd ? field : valid;
            if (k % 10 == 9 || k == count - 1) text += "\n";
          }
          const std::string padded = text + "9999999999999999";
          std::vector<float> values(count);
          const auto run = convert(std::string_view(padded.data(), text.size()), 0, count, values.data());
          const bool fast = fast_path((field + "9999999999999999").data(), width);
          // The run takes everything, or stops at the line of the odd field
          // or before it.
          ASSERT_TRUE(fast ? run.next == count : run.next <= odd / 10 * 10)
              << "byte " << byte << " at " << position << " of \"" << field << "\", field " << odd;
        }
      }
    }
  }
}

// Fields whose double product is rounded onto a binary32 halfway point,
// where rounding that double again would go the wrong way: every lane of
// every group must send them to the exact path (or leave the line).  Found
// by a search over m * 10^q for nine-digit m: the double product lands on
// 1 followed by 28 zeros below the binary32 significand, the exact product
// lies on the side the tie rule does not pick.
TEST_P(LineConverter, DoubleRoundedHalfwaysAreExact) {
  const unsigned width = GetParam();
  auto convert = line_converter(width);
  if (!convert || width != 15) GTEST_SKIP() << "cases for width 15, with a converter";
  for (const char* tricky : {" 5.85052973E+21", "-9.49766107E+23"}) {
    for (std::uint32_t at = 0; at < 20; ++at) {
      std::string text;
      for (std::uint32_t k = 0; k < 20; ++k) {
        text += k == at ? tricky : " 1.00000000E+00";
        if (k % 10 == 9) text += "\n";
      }
      const std::string padded = text + "9999999999999999";
      std::vector<float> values(20, NAN);
      const auto run = convert(std::string_view(padded.data(), text.size()), 0, 20, values.data());
      if (run.next <= at / 10 * 10) continue;  // its line was left to the field parser
      const auto expected = parse_field(tricky);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(values[at]), std::bit_cast<std::uint32_t>(*expected))
          << tricky << " as field " << at;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, LineConverter, testing::Values(12u, 15u));

TEST(LineConverterChoice, OnlyForTheEWidths) {
  EXPECT_EQ(line_converter(10), nullptr);
  EXPECT_EQ(line_converter(13), nullptr);
}

// There is a converter for both widths on processors with AVX2, unless
// TAVREL_SCALAR_FIELDS=1 takes it away (CTest runs this test once more so).
TEST(LineConverterChoice, ScalarSwitch) {
  const char* forced = std::getenv("TAVREL_SCALAR_FIELDS");
  if (forced != nullptr && std::string_view(forced) == "1") {
    EXPECT_EQ(line_converter(12), nullptr);
    EXPECT_EQ(line_converter(15), nullptr);
    return;
  }
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_NE(line_converter(12), nullptr);
    EXPECT_NE(line_converter(15), nullptr);
    return;
  }
#endif
  GTEST_SKIP() << "no vector converter on this processor";
}

}  // namespace

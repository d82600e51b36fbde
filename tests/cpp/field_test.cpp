// parse_field must equal parse_f32(trim(field)) bit for bit, on the fields
// plot files hold and on texts built to land a double on a binary32
// halfway point, where the fast path has to step aside.  The two checks of
// the E layout, by 128-bit vectors and by 64-bit words, must agree on every
// field of width 12 and 15 these tests make.
#include "text/field.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

namespace {

using tavrel::text::parse_f32;
using tavrel::text::parse_field;
using tavrel::text::trim;
namespace field_detail = tavrel::text::field_detail;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// The word check against the vector check (where this build has it), and
// what the word check takes against parse_f32.
template <unsigned K>
void expect_e_layout_checks_agree(std::string_view field) {
  float by_words = NAN;
  const bool words = field_detail::parse_e_layout_words<K>(field.data(), by_words);
#if defined(__SSE2__)
  float by_vectors = NAN;
  const bool vectors = field_detail::parse_e_layout_sse2<K>(field.data(), by_vectors);
  ASSERT_EQ(words, vectors) << "the word and vector checks of the E layout disagree";
  if (words) {
    EXPECT_EQ(bits(by_words), bits(by_vectors));
  }
#endif
  if (words) {
    auto slow = parse_f32(trim(field));
    ASSERT_TRUE(slow.has_value());
    EXPECT_EQ(bits(by_words), bits(*slow));
  }
}

void expect_same(const std::string& text) {
  SCOPED_TRACE("field \"" + text + "\"");
  // parse_field may read 16 bytes past the field, as lines from the line
  // source allow; a digit there must not leak into the value.
  std::string padded = text + "9999999999999999";
  std::string_view field(padded.data(), text.size());
  if (field.size() == 12) expect_e_layout_checks_agree<5>(field);
  if (field.size() == 15) expect_e_layout_checks_agree<8>(field);
  auto fast = parse_field(field);
  auto slow = parse_f32(trim(field));
  ASSERT_EQ(fast.has_value(), slow.has_value());
  if (fast) {
    EXPECT_EQ(bits(*fast), bits(*slow));
  } else {
    EXPECT_EQ(fast.error(), slow.error());
  }
}

std::string padded(const std::string& text, std::size_t width, std::size_t left) {
  std::string out(left, ' ');
  out += text;
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

TEST(ParseField, Forms) {
  for (const char* text : {"1.23456E+02", "-1.23456E+02", "0.00000E+00", "-0.00000E+00", "1.23456789E-03", "7", "-0",
                           ".5", "1.", "+.5e-3", "16777217", "16777219", "1e22", "9007199254740993", "1e23", "1e-23",
                           "1234567890123456789", "12345678901234567890", "1E+0005", "1e", "e5", ".", "+", "-", "--1",
                           "1 2", "1\t", "inf", "-nan", "1.5D+02", "", "\xC2\xA0" "1", "3.4028235e38", "1e-45",
                           " 3.00000E+10", "-1.67772170E+07", "1.67772170E+08", "1.5e0",
                           " 1.59443815E+07", "-8.38860850E+06", "8.38860851E+06", "1.6777217e+07"}) {
    expect_same(text);
    expect_same(padded(text, 15, 2));
    expect_same(padded(text, 15, 0));
  }
}

// Every byte value at every position of fields in the layout, both widths:
// the word and the vector checks take or refuse each alike.
TEST(ParseField, EveryByteAtEveryPositionOfTheELayout) {
  for (const std::string valid : {"-1.23456E+02", " 9.87654e-07", "+4.00000E+10", "-1.23456789E-02",
                                  " 8.38860851e+06", "+3.40282350E+14"}) {
    const std::string padded = valid + "9999999999999999";
    float value;
    ASSERT_TRUE(valid.size() == 12 ? field_detail::parse_e_layout_words<5>(padded.data(), value)
                                   : field_detail::parse_e_layout_words<8>(padded.data(), value))
        << valid;
    for (std::size_t position = 0; position < valid.size(); ++position) {
      for (unsigned byte = 0; byte < 256; ++byte) {
        std::string text = valid;
        text[position] = static_cast<char>(byte);
        expect_same(text);
      }
    }
  }
}

// Random values in both of the widths in use, with every digit count.
TEST(ParseField, RandomEFormat) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> exponent(-30, 38);
  char text[64];
  for (int i = 0; i < 200000; ++i) {
    double value = std::pow(10.0, exponent(rng)) * ((rng() & 1) ? -1 : 1);
    int digits = static_cast<int>(rng() % 12);
    std::snprintf(text, sizeof text, "%*.*E", 15, digits, value);
    expect_same(text);
    // The two layouts written by the plot files' writers, filling the field.
    std::snprintf(text, sizeof text, "%12.5E", value);
    expect_same(text);
    std::snprintf(text, sizeof text, "%15.8E", value);
    expect_same(text);
  }
}

// Decimals within a hair of a binary32 halfway point: their double is the
// halfway point itself, and only the exact path can tell which way to round.
TEST(ParseField, NearHalfwayPoints) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> bits(0x0D000000, 0x7E000000);  // about 4e-31 .. 4e37
  char text[64];
  for (int i = 0; i < 100000; ++i) {
    float f = std::bit_cast<float>(bits(rng));
    double halfway = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
    for (int precision : {8, 14, 15, 16}) {
      std::snprintf(text, sizeof text, "%.*E", precision, halfway);
      expect_same(text);
    }
  }
  for (const char* text : {"16777217", "1.6777217E+07", "33554435", "3.3554435E7", "0.5000000298023223876953125"}) {
    expect_same(text);
  }
}

}  // namespace

// The line converter may claim a field only when it stores exactly what
// parse_field gives, and must claim clean lines whole.
#include "text/field_row.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "text/field.hpp"

namespace {

using tavrel::text::parse_field;
using tavrel::text::row_converter;

struct Line {
  std::string text;
  std::size_t count;
};

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

Line random_line(std::mt19937_64& rng, unsigned width, bool damaged) {
  Line line{"", 1 + rng() % 10};
  for (std::size_t k = 0; k < line.count; ++k) line.text += random_field(rng, width);
  if (damaged) {
    static const char bytes[] = " .eE+-05\t9Dx\x80";
    line.text[rng() % line.text.size()] = bytes[rng() % (sizeof bytes - 1)];
  }
  return line;
}

bool fast_path(const char* field, unsigned width) {
  float value;
  return width == 12 ? tavrel::text::field_detail::parse_e_layout<5>(field, value)
                     : tavrel::text::field_detail::parse_e_layout<8>(field, value);
}

class FieldRow : public testing::TestWithParam<unsigned> {};

TEST_P(FieldRow, ClaimsOnlyExactFieldsAndCleanLinesWhole) {
  const unsigned width = GetParam();
  auto convert = row_converter(width);
  if (!convert) GTEST_SKIP() << "no vector converter on this processor";
  std::mt19937_64 rng(width * 1000 + 11);
  std::size_t clean_lines = 0, claimed_whole = 0;
  for (int i = 0; i < 100000; ++i) {
    const bool damaged = i % 2 == 1;
    Line line = random_line(rng, width, damaged);
    std::string padded = line.text + "9999999999999999";
    std::vector<float> values(line.count, NAN);
    std::vector<float*> slots;
    for (float& value : values) slots.push_back(&value);
    const std::size_t claimed = convert(padded.data(), line.count, slots.data(), 0);
    ASSERT_LE(claimed, line.count);
    for (std::size_t k = 0; k < claimed; ++k) {
      auto expected = parse_field(std::string_view(padded.data() + k * width, width));
      ASSERT_TRUE(expected.has_value()) << "field " << k << " of \"" << line.text << "\"";
      ASSERT_EQ(std::bit_cast<std::uint32_t>(values[k]), std::bit_cast<std::uint32_t>(*expected))
          << "field " << k << " of \"" << line.text << "\"";
    }
    // Four or more fields that each take parse_field's fast path are the
    // converter's whole purpose: it must claim them all.
    bool fast = line.count >= 4;
    for (std::size_t k = 0; k < line.count; ++k) fast &= fast_path(padded.data() + k * width, width);
    if (fast) {
      ++clean_lines;
      claimed_whole += claimed == line.count;
    }
  }
  EXPECT_GT(clean_lines, 10000u);
  EXPECT_EQ(claimed_whole, clean_lines);
}

INSTANTIATE_TEST_SUITE_P(Widths, FieldRow, testing::Values(12u, 15u));

TEST(FieldRowConverter, OnlyForTheEWidths) {
  EXPECT_EQ(row_converter(10), nullptr);
  EXPECT_EQ(row_converter(13), nullptr);
}

}  // namespace

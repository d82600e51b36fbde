// Passing lines by their line feeds: the vector path and the portable one
// agree with a byte-by-byte count, for every count and at every offset
// around the 64-byte steps.
#include "text/line_feeds.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using tavrel::text::LinesPassed;

LinesPassed by_bytes(std::string_view bytes, std::size_t count) {
  LinesPassed passed{0, 0};
  for (std::size_t i = 0; i < bytes.size() && passed.lines < count; ++i) {
    if (bytes[i] == '\n') passed = {i + 1, passed.lines + 1};
  }
  return passed;
}

TEST(PassLines, AgreesWithACountByBytes) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 400; ++round) {
    // Line feeds sparse (lines of a plot file), dense (runs of blank lines)
    // or absent; with and without one at the very end.
    const std::size_t size = rng() % 700;
    const unsigned one_in = round % 3 == 0 ? 2 : round % 3 == 1 ? 121 : 100000;
    std::string text(size, 'x');
    for (char& c : text) if (rng() % one_in == 0) c = '\n';
    if (size > 0 && rng() % 2) text.back() = '\n';
    // Bytes beyond the view must not count.
    const std::string padded = text + "\n\n\n\n";
    const std::string_view bytes(padded.data(), size);
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                              std::size_t{64}, rng() % 40, SIZE_MAX}) {
      const LinesPassed want = by_bytes(bytes, count);
      for (auto pass : {tavrel::text::pass_lines, tavrel::text::pass_lines_by_memchr}) {
        const LinesPassed got = pass(bytes, count);
        ASSERT_EQ(got.lines, want.lines) << "size " << size << " count " << count;
        ASSERT_EQ(got.bytes, want.bytes) << "size " << size << " count " << count;
      }
    }
  }
}

}  // namespace

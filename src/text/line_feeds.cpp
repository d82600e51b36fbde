// Passing over whole lines by their line feeds; see line_feeds.hpp.
//
// The vector path compares 64 bytes at a time with LF into a 64-bit mask
// and adds up the masks' bit counts; only in the block where the count is
// reached are the bits themselves looked at.  Lines of a plot file are
// about 120 bytes, so that block usually holds one or two line feeds.
#include "text/line_feeds.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "text/field_row.hpp"

namespace tavrel::text {

LinesPassed pass_lines_by_memchr(std::string_view bytes, std::size_t count) noexcept {
  LinesPassed passed{0, 0};
  while (passed.lines < count) {
    const void* feed = std::memchr(bytes.data() + passed.bytes, '\n', bytes.size() - passed.bytes);
    if (!feed) break;
    passed.bytes = static_cast<std::size_t>(static_cast<const char*>(feed) - bytes.data()) + 1;
    ++passed.lines;
  }
  return passed;
}

}  // namespace tavrel::text

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace tavrel::text {
namespace {

[[gnu::target("avx2")]] LinesPassed pass_lines_by_vector(std::string_view bytes, std::size_t count) noexcept {
  const char* const data = bytes.data();
  const __m256i feed = _mm256_set1_epi8('\n');
  LinesPassed passed{0, 0};
  std::size_t at = 0;
  for (; at + 64 <= bytes.size() && passed.lines < count; at += 64) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 32));
    std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, feed))) |
                         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, feed)))}
                             << 32;
    if (mask == 0) continue;
    const auto found = static_cast<std::size_t>(std::popcount(mask));
    if (passed.lines + found < count) {
      passed.lines += found;
      passed.bytes = at + 64 - static_cast<std::size_t>(std::countl_zero(mask));
      continue;
    }
    // The count is reached in this block: drop the line feeds beyond it.
    for (std::size_t extra = passed.lines + found - count; extra > 0; --extra) {
      mask &= ~(std::uint64_t{1} << (63 - std::countl_zero(mask)));
    }
    passed.lines = count;
    passed.bytes = at + 64 - static_cast<std::size_t>(std::countl_zero(mask));
    return passed;
  }
  // Under 64 bytes left: the portable path finishes.
  if (passed.lines < count && at < bytes.size()) {
    const LinesPassed rest = pass_lines_by_memchr(bytes.substr(at), count - passed.lines);
    if (rest.lines > 0) passed.bytes = at + rest.bytes;
    passed.lines += rest.lines;
  }
  return passed;
}

}  // namespace

LinesPassed pass_lines(std::string_view bytes, std::size_t count) noexcept {
  static const bool vector = __builtin_cpu_supports("avx2") && !scalar_fields_forced();
  return vector ? pass_lines_by_vector(bytes, count) : pass_lines_by_memchr(bytes, count);
}

}  // namespace tavrel::text

#else

namespace tavrel::text {
LinesPassed pass_lines(std::string_view bytes, std::size_t count) noexcept { return pass_lines_by_memchr(bytes, count); }
}  // namespace tavrel::text

#endif

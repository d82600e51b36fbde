// UTF-8 validation and lossy conversion; see utf8.hpp.
//
// Validation runs over every line of files of hundreds of megabytes, almost
// all of it ASCII, so it skips ASCII 16 bytes at a time and jumps straight to
// the first byte with its high bit set.
#include "text/utf8.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace tavrel::text {
namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080u;

std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Index of the first byte (in memory order) whose high bit is set in
// `mask`, which holds only high bits and is not zero.
std::size_t first_high_byte(std::uint64_t mask) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(mask)) / 8;
  }
}

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + size;
  while (p != end) {
    if (end - p >= 16) {
      const std::uint64_t low = load64(p) & HIGH_BITS;
      const std::uint64_t high = load64(p + 8) & HIGH_BITS;
      if ((low | high) == 0) {
        p += 16;
        continue;
      }
      p += low != 0 ? first_high_byte(low) : 8 + first_high_byte(high);
    } else if (*p < 0x80) {
      ++p;
      continue;
    }
    const Utf8Step step = utf8_step(p, end);
    if (!step.valid) return false;
    p += step.length;
  }
  return true;
}

bool is_ascii(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    seen |= load64(p + i) | load64(p + i + 8) | load64(p + i + 16) | load64(p + i + 24);
  }
  for (; i + 8 <= size; i += 8) seen |= load64(p + i);
  for (; i < size; ++i) seen |= p[i];
  return (seen & HIGH_BITS) == 0;
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = begin + bytes.size();
  const unsigned char* p = begin;
  const unsigned char* run = begin;  // start of the well-formed bytes not yet copied
  while (p != end) {
    const Utf8Step step = utf8_step(p, end);
    if (!step.valid) {
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
      out.append(REPLACEMENT);
      run = p + step.length;
    }
    p += step.length;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
}

}  // namespace tavrel::text

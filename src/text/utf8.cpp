// UTF-8 validation and lossy conversion; see utf8.hpp.
//
// Validation runs over every line of files of hundreds of megabytes, almost
// all of it ASCII, so it skips ASCII 16 bytes at a time and jumps straight to
// the first byte with its high bit set.
#include "text/utf8.hpp"

#include <bit>
#include <cstdint>

#include "text/machine_word.hpp"

namespace tavrel::text {
namespace {

// Index of the first byte (in memory order) whose high bit is set in
// `mask`, a word loaded with load_le64 reduced to high bits, not zero.
std::size_t first_high_byte(std::uint64_t mask) noexcept {
  return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + size;
  while (p != end) {
    if (end - p >= 16) {
      const std::uint64_t low = load_le64(p) & HIGH_BITS;
      const std::uint64_t high = load_le64(p + 8) & HIGH_BITS;
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
    seen |= load_le64(p + i) | load_le64(p + i + 8) | load_le64(p + i + 16) | load_le64(p + i + 24);
  }
  for (; i + 8 <= size; i += 8) seen |= load_le64(p + i);
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

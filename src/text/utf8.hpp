// UTF-8 checking, decoding and lossy conversion for the text layer.
//
// Well-formed means the Unicode Standard's definition (Table 3-7): no overlong
// forms, no surrogates U+D800..U+DFFF, nothing above U+10FFFF and no sequence
// cut short by the end of the text.  `utf8_step` looks at one sequence and is
// the single source of that rule; validation, lossy conversion and decoding
// all build on it.  Nothing here allocates except `append_utf8_lossy`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrel::text {

// One step over the sequence that starts at `p` (p < end).  For a
// well-formed sequence: its length and `valid`.  Otherwise the length of its
// maximal subpart (the longest prefix that could still begin a well-formed
// sequence, at least 1), which is what one U+FFFD replaces.
struct Utf8Step {
  std::size_t length;
  bool valid;
};

inline Utf8Step utf8_step(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned lead = p[0];
  if (lead < 0x80) return {1, true};
  std::size_t continuation;
  // The allowed range of the second byte; every later byte is 80..BF.
  unsigned low = 0x80, high = 0xBF;
  if (lead < 0xC2) {
    return {1, false};  // a continuation byte, or C0/C1 (always overlong)
  } else if (lead < 0xE0) {
    continuation = 1;
  } else if (lead < 0xF0) {
    continuation = 2;
    if (lead == 0xE0) low = 0xA0;        // overlong below U+0800
    else if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead < 0xF5) {
    continuation = 3;
    if (lead == 0xF0) low = 0x90;        // overlong below U+10000
    else if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= continuation; ++i) {
    if (p + i == end) return {i, false};
    const unsigned byte = p[i];
    if (byte < low || byte > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {continuation + 1, true};
}

// True when all `size` bytes at `data` are well-formed UTF-8.  ASCII runs
// are checked 16 bytes at a time; only non-ASCII bytes take `utf8_step`.
bool is_valid_utf8(const char* data, std::size_t size) noexcept;

// Whether every byte is below 0x80; written for the compiler to vectorise.
bool is_ascii(const char* data, std::size_t size) noexcept;

// Appends `bytes` to `out`, each ill-formed sequence replaced by U+FFFD
// (one replacement per maximal subpart, the Unicode Standard's practice).
void append_utf8_lossy(std::string& out, std::string_view bytes);

// Decodes the character at `p` of well-formed text and stores its length in
// `length`.  Undefined on ill-formed text: callers validated it before.
inline char32_t decode_valid_utf8(const unsigned char* p, std::size_t& length) noexcept {
  const char32_t lead = p[0];
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if (lead < 0xE0) {
    length = 2;
    return ((lead & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (lead < 0xF0) {
    length = 3;
    return ((lead & 0x0F) << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3F);
  }
  length = 4;
  return ((lead & 0x07) << 18) | (char32_t{p[1] & 0x3Fu} << 12) | (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3F);
}

}  // namespace tavrel::text

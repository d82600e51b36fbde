// libFuzzer target: the number parser, checked against std::from_chars.
//
// Every input must parse or be rejected without touching memory outside the
// text.  Texts of the grammar both parsers share (no leading "+", no
// inf/nan, at least one digit) must give the same binary32 value as
// std::from_chars; an out-of-range report from from_chars must match an
// infinity or a zero from ours.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "text/parse_float.hpp"

namespace {

// Optional "-", digits with at most one ".", at least one digit, then
// optionally e/E, optional sign, one or more digits; nothing else.
bool shared_grammar(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      ++digits;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (s[i] != 'e' && s[i] != 'E') return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t exponent_digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) ++exponent_digits;
  return exponent_digits > 0 && i == s.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ours = tavrel::text::parse_f32(text);
  if (!shared_grammar(text)) return 0;
  if (!ours) std::abort();
  float theirs = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), theirs);
  if (end != text.data() + text.size()) return 0;  // from_chars stopped early: not comparable
  if (ec == std::errc::result_out_of_range) {
    if (!std::isinf(*ours) && *ours != 0.0f) std::abort();
    return 0;
  }
  std::uint32_t a, b;
  std::memcpy(&a, &*ours, 4);
  std::memcpy(&b, &theirs, 4);
  if (a != b) std::abort();
  return 0;
}

// Whole data lines of fixed E-layout fields; see field_row.hpp.
//
// Two fields share a 256-bit register, one per 128-bit lane, each loaded
// with 16 bytes from its first byte, so byte j of a lane is byte j of its
// field.  A byte-class mask (one bit per byte) per register, two registers
// side by side in 64 bits, is compared with the layout repeated every 16
// bits.  Digits are gathered with multiply-adds, as in parse_field's fast
// path, the four fields' parts moved into one lane each, and the four
// values converted in double lanes: mantissa times the power of ten, a
// check for nearness to a binary32 halfway point, narrowing to binary32.
#include "text/field_row.hpp"

#include "text/block_shape.hpp"
#include "text/field.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace tavrel::text {

namespace {

using field_detail::EXACT_POW10;

// 10^q for q = -22 .. 22 at index q + 22: exact for q >= 0, the nearest
// double to it for q < 0.
constexpr double SIGNED_POW10[] = {1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12,
                                   1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,
                                   1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,
                                   1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,
                                   1e22};

// A 16-bit pattern repeated for the four fields of a group.
constexpr std::uint64_t each_field(std::uint64_t bits) { return bits * 0x0001000100010001; }

// Bits 0, 16, 32 and 48 of `bits` (nothing else set) as bits 0 to 3: each
// lands on its own bit among 48..51 of the product and no other term does.
inline unsigned four_bits(std::uint64_t bits) noexcept {
  constexpr std::uint64_t GATHER = (std::uint64_t{1} << 48) | (std::uint64_t{1} << 33) |
                                   (std::uint64_t{1} << 18) | (std::uint64_t{1} << 3);
  return static_cast<unsigned>((bits * GATHER) >> 48);
}

// For each 4-bit pattern, four 32-bit lanes: +1 or -1 (exponent signs),
// and 0 or the binary32 sign bit (value signs).
struct alignas(16) Lanes {
  std::array<std::int32_t, 4> v;
};
constexpr std::array<Lanes, 16> lane_table(std::int32_t clear, std::int32_t set) {
  std::array<Lanes, 16> table{};
  for (unsigned pattern = 0; pattern < 16; ++pattern) {
    for (unsigned j = 0; j < 4; ++j) table[pattern].v[j] = (pattern >> j) & 1 ? set : clear;
  }
  return table;
}
constexpr auto EXPONENT_SIGNS = lane_table(1, -1);
constexpr auto VALUE_SIGNS = lane_table(0, INT32_MIN);

// Byte classes, one bit each.  A byte's class is looked up by its low and
// by its high four bits, and the two answers are and-ed: "0"-"9" are 0x30-
// 0x39, " " 0x20, "+" 0x2B, "-" 0x2D, "." 0x2E, "E" 0x45 and "e" 0x65, and
// every other byte gets no class at all.
enum : std::uint8_t { DIGIT = 1, DOT = 2, EXP = 4, SIGN = 8, BLANK = 16 };
constexpr std::uint8_t BY_LOW[16] = {DIGIT | BLANK, DIGIT, DIGIT, DIGIT,        DIGIT, DIGIT | EXP, DIGIT, DIGIT,
                                     DIGIT,         DIGIT, 0,     SIGN,         0,     SIGN,        DOT,   0};
constexpr std::uint8_t BY_HIGH[16] = {0, 0, DOT | SIGN | BLANK, DIGIT, EXP, 0, EXP, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The class each byte of the layout must have: sign or blank, digit, ".",
// K digits, "E" or "e", sign, two digits.  Bytes past the field are not
// checked.
template <unsigned K>
constexpr std::array<std::uint8_t, 16> layout_classes() {
  std::array<std::uint8_t, 16> allowed{};
  allowed[0] = SIGN | BLANK;
  allowed[1] = DIGIT;
  allowed[2] = DOT;
  for (unsigned i = 3; i < 3 + K; ++i) allowed[i] = DIGIT;
  allowed[3 + K] = EXP;
  allowed[4 + K] = SIGN;
  allowed[5 + K] = DIGIT;
  allowed[6 + K] = DIGIT;
  return allowed;
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i table(const std::uint8_t* bytes) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// For one register of two fields: a bit for each byte that is not of the
// class its position needs, and a bit for each "-".
struct Classes {
  std::uint32_t misfits, minus;
};

template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline Classes classify(__m256i bytes) noexcept {
  static constexpr auto ALLOWED = layout_classes<K>();
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i low = _mm256_shuffle_epi8(table(BY_LOW), _mm256_and_si256(bytes, nibble));
  const __m256i high = _mm256_shuffle_epi8(table(BY_HIGH), _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
  const __m256i fitting = _mm256_and_si256(_mm256_and_si256(low, high), table(ALLOWED.data()));
  return {
      static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(fitting, _mm256_setzero_si256()))),
      static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-')))),
  };
}

inline std::uint64_t pair(std::uint32_t low, std::uint32_t high) noexcept {
  return low | (std::uint64_t{high} << 32);
}

// Per field: 32-bit parts as two multiply-adds give them, the mantissa
// being hi * 10^(K-1) + mid * 10^(K-5) + lo.
//   K = 5: bytes 0 sign, 1 digit, 2 ".", 3-7 digits, 8 "E", 9 sign, 10-11
//          digits -> [hi d1 d3, mid d4 d5 d6 d7, exponent e1 e2, 0]
//   K = 8: bytes 0 sign, 1 digit, 2 ".", 3-10 digits, 11 "E", 12 sign,
//          13-14 digits -> [hi d1 d3, mid d4 d5 d6 d7, lo d8 d9 d10, exponent e1 e2]
template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i gather_parts(__m256i values) noexcept {
  static_assert(K == 5 || K == 8);
  const __m128i bytes = K == 5 ? _mm_setr_epi8(0, 1, 0, 1, 10, 1, 10, 1, 0, 0, 10, 1, 0, 0, 0, 0)
                               : _mm_setr_epi8(0, 1, 0, 1, 10, 1, 10, 1, 10, 1, 1, 0, 0, 1, 1, 0);
  const __m128i words = K == 5 ? _mm_setr_epi16(10, 1, 100, 1, 0, 1, 0, 0) : _mm_setr_epi16(10, 1, 100, 1, 10, 1, 10, 1);
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_broadcastsi128_si256(bytes));
  return _mm256_madd_epi16(pairs, _mm256_broadcastsi128_si256(words));
}

// For each lane set in `lanes` (its double near a binary32 halfway point):
// makes value[i] the double that narrows to the binary32 nearest
// m * 10^q, or returns false where only the exact path can tell.  For
// q >= 0 the product was rounded once, so only a double exactly on the
// halfway point that is not m * 10^q itself is lost.  For q < 0 the
// quotient m / 10^-q is exact when 5^-q divides m (an integer below 2^53
// over a power of two), and then the division gives it.
[[gnu::target("avx2"), gnu::noinline]] bool settle_near_halfway(int lanes, __m256d mantissa, __m128i q,
                                                                __m256d& value) noexcept {
  alignas(32) double mantissas[4], values[4];
  alignas(16) std::int32_t exponents[4];
  _mm256_store_pd(mantissas, mantissa);
  _mm256_store_pd(values, value);
  _mm_store_si128(reinterpret_cast<__m128i*>(exponents), q);
  for (int i = 0; i < 4; ++i) {
    if ((lanes >> i & 1) == 0) continue;
    const auto m = static_cast<std::uint64_t>(mantissas[i]);
    const int e = exponents[i];
    if (e >= 0) {
      const bool halfway = (std::bit_cast<std::uint64_t>(values[i]) & 0x1FFFFFFF) == 0x10000000;
      if (halfway && !field_detail::is_exact(m, e, values[i])) return false;
    } else {
      if (m % field_detail::POW5_U64[-e] != 0) return false;
      values[i] = mantissas[i] / EXACT_POW10[-e];
    }
  }
  value = _mm256_load_pd(values);
  return true;
}

// The mantissas of four fields, exact in doubles (at most 10^(K+1) - 1),
// and their exponents as written, from the parts of fields 0 and 1 (`pa`)
// and of fields 2 and 3 (`pb`) that gather_parts took.
struct Digits {
  __m256d mantissa;
  __m128i exponent;
};

template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline Digits digits_of(__m256i pa, __m256i pb) noexcept {
  if constexpr (K == 5) {
    // [hi, mid, exponent, 0] fits 16 bits: one more multiply-add makes
    // [hi * 10^4 + mid, exponent] per field, fields 0, 2 | 1, 3.
    const __m256i joined = _mm256_madd_epi16(_mm256_packs_epi32(pa, pb),
                                             _mm256_setr_epi16(10000, 1, 1, 0, 10000, 1, 1, 0, 10000, 1, 1, 0, 10000,
                                                               1, 1, 0));
    const __m256i sorted = _mm256_permutevar8x32_epi32(joined, _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7));
    return {_mm256_cvtepi32_pd(_mm256_castsi256_si128(sorted)), _mm256_extracti128_si256(sorted, 1)};
  } else {
    // [part 0 of fields 0-3 | part 1 ...] and [part 2 ... | part 3 ...].
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i parts01 = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi32(pa, pb), order);
    const __m256i parts23 = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi32(pa, pb), order);
    const __m256d mantissa =
        _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(parts01)), _mm256_set1_pd(1e7)),
                      _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(parts01, 1)),
                                                  _mm256_set1_pd(1e3)),
                                    _mm256_cvtepi32_pd(_mm256_castsi256_si128(parts23))));
    return {mantissa, _mm256_extracti128_si256(parts23, 1)};
  }
}

// Stores the first FIELDS of the four values as binary32, each with the
// sign its field has in `minus` (the values are magnitudes).
template <unsigned K, unsigned FIELDS>
[[gnu::target("avx2"), gnu::always_inline]] inline void store_values(__m256d value, std::uint64_t minus,
                                                                     float* out) noexcept {
  constexpr std::uint64_t LEAD = each_field(1);
  const __m128i value_signs =
      _mm_load_si128(reinterpret_cast<const __m128i*>(VALUE_SIGNS[four_bits(minus & LEAD)].v.data()));
  const __m128 floats = _mm_castsi128_ps(_mm_or_si128(_mm_castps_si128(_mm256_cvtpd_ps(value)), value_signs));
  if constexpr (FIELDS == 4) {
    _mm_storeu_ps(out, floats);
  } else {
    _mm_storel_pi(reinterpret_cast<__m64*>(out), floats);
  }
}

// Converts the FIELDS (4 or 2) fields at f0, f1, f2, f3 into out[0..];
// false, storing nothing, when any of them is not in the layout or needs
// the exact path.  Two fields take the lanes of four, twice over.
template <unsigned K, unsigned FIELDS>
[[gnu::target("avx2"), gnu::always_inline]] inline bool convert_group(const char* f0, const char* f1, const char* f2,
                                                                        const char* f3, float* out) noexcept {
  static_assert(FIELDS == 4 || FIELDS == 2);
  constexpr unsigned W = K + 7;
  constexpr std::uint64_t FIELD = each_field((1u << W) - 1);
  constexpr std::uint64_t LEAD = each_field(1);

  const __m256i zero_char = _mm256_set1_epi8('0');
  const __m256i a = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(f1), reinterpret_cast<const __m128i*>(f0));
  const __m256i b = FIELDS == 2 ? a
                                : _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(f3),
                                                      reinterpret_cast<const __m128i*>(f2));
  const Classes ca = classify<K>(a);
  const Classes cb = classify<K>(b);
  if ((pair(ca.misfits, cb.misfits) & FIELD) != 0) return false;
  const std::uint64_t minus = pair(ca.minus, cb.minus);

  // Parts of fields 0 and 1 (a) and 2 and 3 (b), then the mantissas of
  // fields 0-3 and the exponents.
  const Digits digits = digits_of<K>(gather_parts<K>(_mm256_sub_epi8(a, zero_char)),
                                     gather_parts<K>(_mm256_sub_epi8(b, zero_char)));
  const __m128i exponent_signs = _mm_load_si128(
      reinterpret_cast<const __m128i*>(EXPONENT_SIGNS[four_bits((minus >> (4 + K)) & LEAD)].v.data()));
  const __m128i q = _mm_sub_epi32(_mm_sign_epi32(digits.exponent, exponent_signs),
                                  _mm_set1_epi32(static_cast<int>(K)));
  if (_mm_movemask_epi8(_mm_cmpgt_epi32(_mm_abs_epi32(q), _mm_set1_epi32(22))) != 0) return false;

  // m * 10^q as one multiplication: by the exact power for q >= 0, by the
  // double nearest 10^q for q < 0.  The product is then within two units
  // in the last place of m * 10^q (the power's rounding and the product's),
  // so it narrows to the binary32 nearest m * 10^q unless it lies within
  // that distance of a binary32 halfway point: 29 low bits of 1 followed by
  // zeros, give or take 3.  With at most nine significant digits, a field's
  // value is either exactly a halfway point or more than 7e-14 (relative)
  // away from every one, far outside that window: so only exact halfway
  // values come here, and they are settled one by one.
  __m256d value =
      _mm256_mul_pd(digits.mantissa, _mm256_i32gather_pd(SIGNED_POW10, _mm_add_epi32(q, _mm_set1_epi32(22)), 8));
  const __m256i from_halfway = _mm256_sub_epi64(_mm256_and_si256(_mm256_castpd_si256(value), _mm256_set1_epi64x(0x1FFFFFFF)),
                                                _mm256_set1_epi64x(0x10000000 - 3));
  const __m256i near_halfway = _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_setzero_si256(), from_halfway),
                                                   _mm256_cmpgt_epi64(_mm256_set1_epi64x(7), from_halfway));
  if (!_mm256_testz_si256(near_halfway, near_halfway)) [[unlikely]] {
    if (!settle_near_halfway(_mm256_movemask_pd(_mm256_castsi256_pd(near_halfway)), digits.mantissa, q, value)) {
      return false;
    }
  }
  store_values<K, FIELDS>(value, minus, out);
  return true;
}

// The fields of one or two lines, parameter by parameter: field i lies in
// line i / FIELDS_PER_LINE, the first line full when there is a second.
template <unsigned K>
struct Fields {
  static constexpr unsigned W = K + 7;
  const char* base;
  std::size_t terminator;  // of the first line
  const char* at(std::uint32_t i) const noexcept { return base + i * W + (i >= FIELDS_PER_LINE ? terminator : 0); }
};

// Two full lines: five groups of four, the third across the line end.
static_assert(FIELDS_PER_LINE == 10, "convert_twenty lays out two lines of ten fields");
constexpr std::uint32_t TWO_LINES = 2 * FIELDS_PER_LINE;

// Two full lines, the second at `second`: five groups, field addresses
// at fixed offsets from the two line starts.  The field a failing group
// starts at, or TWO_LINES.
template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint32_t convert_twenty(const char* first, const char* second,
                                                                                 float* out) noexcept {
  constexpr unsigned W = K + 7;
  const char* p = first;
  const char* q = second;
  if (!convert_group<K, 4>(p, p + W, p + 2 * W, p + 3 * W, out)) return 0;
  if (!convert_group<K, 4>(p + 4 * W, p + 5 * W, p + 6 * W, p + 7 * W, out + 4)) return 4;
  if (!convert_group<K, 4>(p + 8 * W, p + 9 * W, q, q + W, out + 8)) return 8;
  if (!convert_group<K, 4>(q + 2 * W, q + 3 * W, q + 4 * W, q + 5 * W, out + 12)) return 12;
  if (!convert_group<K, 4>(q + 6 * W, q + 7 * W, q + 8 * W, q + 9 * W, out + 16)) return 16;
  return TWO_LINES;
}

template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline bool four_at(Fields<K> fields, std::uint32_t i, float* out) noexcept {
  return convert_group<K, 4>(fields.at(i), fields.at(i + 1), fields.at(i + 2), fields.at(i + 3), out + i);
}

template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline bool two_at(Fields<K> fields, std::uint32_t i, float* out) noexcept {
  return convert_group<K, 2>(fields.at(i), fields.at(i + 1), nullptr, nullptr, out + i);
}

// Converts fields `from` to `to` - 1 (at least 2 of them) into out[from..];
// the field a failing group starts at, or `to` when all were taken.  Groups
// of four, what is left by moving the last group back over fields already
// converted, or as pairs when there are fewer than four.
template <unsigned K>
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint32_t convert_fields(Fields<K> fields, std::uint32_t from,
                                                                                 std::uint32_t to,
                                                                                 float* out) noexcept {
  std::uint32_t i = from;
  for (; to - i >= 4; i += 4) {
    if (!four_at<K>(fields, i, out)) return i;
  }
  if (i == to) return to;
  if (to - from >= 4) return four_at<K>(fields, to - 4, out) ? to : to - 4;
  if (!two_at<K>(fields, from, out)) return from;
  return to - from == 2 || two_at<K>(fields, to - 2, out) ? to : to - 2;
}

// The length of the terminator (LF, or CR LF) at `at`, 0 for none.
inline std::size_t terminator_at(const char* at, std::size_t available) noexcept {
  if (available >= 1 && at[0] == '\n') return 1;
  if (available >= 2 && at[0] == '\r' && at[1] == '\n') return 2;
  return 0;
}

// Lines are taken two at a time where they can be, so that groups of four
// run across the end of a line: twenty fields are five groups.
template <unsigned K>
[[gnu::target("avx2")]] LineRun convert_lines(std::string_view bytes, std::uint32_t first, std::uint32_t count,
                                              float* row) noexcept {
  constexpr unsigned W = K + 7;
  std::size_t taken = 0;
  std::uint32_t t = first;
  while (t < count) {
    // A line: exactly its fields, then a terminator, all in `bytes`.
    const char* line = bytes.data() + taken;
    const std::size_t left = bytes.size() - taken;
    const std::uint32_t fields = count - t < FIELDS_PER_LINE ? count - t : FIELDS_PER_LINE;
    const std::size_t size = std::size_t{fields} * W;
    if (left <= size) break;
    const std::size_t terminator = terminator_at(line + size, left - size);
    if (terminator == 0) break;
    std::size_t chunk = size + terminator;
    std::uint32_t chunk_fields = fields;
    // A second line with the same terminator joins a full first one.
    if (fields == FIELDS_PER_LINE && t + FIELDS_PER_LINE < count) {
      const std::uint32_t rest = count - t - FIELDS_PER_LINE;
      const std::uint32_t more = rest < FIELDS_PER_LINE ? rest : FIELDS_PER_LINE;
      const std::size_t more_size = std::size_t{more} * W;
      if (left - chunk > more_size && terminator_at(line + chunk + more_size, left - chunk - more_size) == terminator) {
        chunk += more_size + terminator;
        chunk_fields += more;
      }
    }
    if (chunk_fields < 2) break;
    const std::uint32_t stop =
        chunk_fields == TWO_LINES ? convert_twenty<K>(line, line + FIELDS_PER_LINE * W + terminator, row + t)
                           : convert_fields<K>({line, terminator}, 0, chunk_fields, row + t);
    if (stop != chunk_fields) {
      // The line of the failing group is read as a line; one before it was taken.
      if (stop >= FIELDS_PER_LINE) return {taken + FIELDS_PER_LINE * W + terminator, t + FIELDS_PER_LINE};
      break;
    }
    taken += chunk;
    t += chunk_fields;
  }
  return {taken, t};
}

}  // namespace

bool scalar_fields_forced() noexcept {
  static const bool forced = [] {
    const char* value = std::getenv("TAVREL_SCALAR_FIELDS");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
  }();
  return forced;
}

LineConverter line_converter(std::uint32_t width) noexcept {
  if (!__builtin_cpu_supports("avx2") || scalar_fields_forced()) return nullptr;
  switch (width) {
    case 12: return convert_lines<5>;
    case 15: return convert_lines<8>;
    default: return nullptr;
  }
}

}  // namespace tavrel::text

#else

namespace tavrel::text {
LineConverter line_converter(std::uint32_t) noexcept { return nullptr; }
bool scalar_fields_forced() noexcept { return true; }
}  // namespace tavrel::text

#endif

// Benchmark of parse_f32 against std::from_chars<float> and std::strtof.
//
// Generates realistic trimmed plot-file fields of both widths (6 significant
// digits, "-4.56789E-05", and 9, "1.23456789E-03"), then times each parser
// over the same fields in the same run and prints nanoseconds per field
// (best of several passes).  Also checks that the three agree on every field.
// Usage: parse_float_benchmark [FIELDS]   (default 1000000 per width)
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text/parse_float.hpp"

namespace {

// The fields back to back, each followed by a NUL so strtof can read it in place.
struct Fields {
  std::string bytes;
  std::vector<std::string_view> views;
};

Fields make_fields(int significant_digits, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> log_magnitude(0.0, 6.0);
  std::uniform_int_distribution<int> percent(0, 99);
  Fields fields;
  std::vector<std::size_t> offsets;
  char buffer[64];
  for (std::size_t i = 0; i < count; ++i) {
    // Simulation values: mostly within a few decades of 1, some exact zeros.
    double value = percent(rng) < 5 ? 0.0 : std::exp(log_magnitude(rng));
    if (percent(rng) < 40) value = -value;
    const int length = std::snprintf(buffer, sizeof buffer, "%.*E", significant_digits - 1, value);
    offsets.push_back(fields.bytes.size());
    fields.bytes.append(buffer, static_cast<std::size_t>(length));
    fields.bytes.push_back('\0');
  }
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const std::size_t end = (i + 1 < offsets.size() ? offsets[i + 1] : fields.bytes.size()) - 1;
    fields.views.emplace_back(fields.bytes.data() + offsets[i], end - offsets[i]);
  }
  return fields;
}

float with_parse_f32(std::string_view text) {
  const auto result = tavrel::text::parse_f32(text);
  return result ? *result : -1.0f;
}

float with_from_chars(std::string_view text) {
  float value = -1.0f;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

float with_strtof(std::string_view text) { return std::strtof(text.data(), nullptr); }

template <typename Parse>
double ns_per_field(const Fields& fields, Parse parse, std::uint32_t& checksum) {
  constexpr int PASSES = 7;
  double best = 1e300;
  for (int pass = 0; pass < PASSES; ++pass) {
    std::uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::string_view text : fields.views) sum += std::bit_cast<std::uint32_t>(parse(text));
    const auto stop = std::chrono::steady_clock::now();
    checksum = sum;
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  return best / static_cast<double>(fields.views.size());
}

int run_width(int significant_digits, std::size_t count) {
  const Fields fields = make_fields(significant_digits, count, 42 + significant_digits);
  int disagreements = 0;
  for (std::string_view text : fields.views) {
    const std::uint32_t ours = std::bit_cast<std::uint32_t>(with_parse_f32(text));
    if (ours != std::bit_cast<std::uint32_t>(with_from_chars(text)) ||
        ours != std::bit_cast<std::uint32_t>(with_strtof(text))) {
      if (++disagreements <= 5) std::fprintf(stderr, "disagreement on %.*s\n", int(text.size()), text.data());
    }
  }
  std::uint32_t checks[3];
  const double ours = ns_per_field(fields, with_parse_f32, checks[0]);
  const double from_chars = ns_per_field(fields, with_from_chars, checks[1]);
  const double strtof = ns_per_field(fields, with_strtof, checks[2]);
  std::printf("%zu fields, %d significant digits (e.g. %.*s):\n", count, significant_digits,
              int(fields.views[1].size()), fields.views[1].data());
  std::printf("  parse_f32             %6.2f ns/field\n", ours);
  std::printf("  std::from_chars<float> %6.2f ns/field  (%.2fx parse_f32)\n", from_chars, from_chars / ours);
  std::printf("  std::strtof           %6.2f ns/field  (%.2fx parse_f32)\n", strtof, strtof / ours);
  std::printf("  disagreements: %d; checksums %08x %08x %08x\n", disagreements, checks[0], checks[1], checks[2]);
  return disagreements;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  if (count < 2) {
    std::fprintf(stderr, "usage: parse_float_benchmark [FIELDS >= 2]\n");
    return 2;
  }
  int disagreements = run_width(6, count);
  disagreements += run_width(9, count);
  return disagreements == 0 ? 0 : 1;
}

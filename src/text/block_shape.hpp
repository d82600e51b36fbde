// The shape of a timestep block: how its data lines hold the parameters.
//
// A block of n parameters has lines_per_block(n) data lines; data line j
// holds the fields of parameters j * FIELDS_PER_LINE onwards, FIELDS_PER_LINE
// of them but on the last line, which holds the rest.  Parameter t is field
// t % FIELDS_PER_LINE of line t / FIELDS_PER_LINE.
#pragma once

#include <cstdint>

namespace tavrel::text {

inline constexpr std::uint32_t FIELDS_PER_LINE = 10;

// ceil(n / FIELDS_PER_LINE), without overflow for any 32-bit n.
constexpr std::uint64_t lines_per_block(std::uint32_t n) noexcept {
  return (std::uint64_t{n} + FIELDS_PER_LINE - 1) / FIELDS_PER_LINE;
}

// The fields of data line `j` (below lines_per_block(n)) of a block of n.
constexpr std::uint32_t fields_in_line(std::uint32_t n, std::uint64_t j) noexcept {
  const std::uint64_t rest = n - j * FIELDS_PER_LINE;
  return static_cast<std::uint32_t>(rest < FIELDS_PER_LINE ? rest : FIELDS_PER_LINE);
}

}  // namespace tavrel::text

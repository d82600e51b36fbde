// Row staging; see row_tile.hpp.
#include "lib/row_tile.hpp"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include <cstdint>

#include "lib/read_error.hpp"
#include "text/memory.hpp"

namespace tavrel::lib {

RowTile::RowTile(std::size_t columns) : rows_(columns > MAX_COLUMNS ? 1 : 16), columns_(columns) {
  const std::size_t bytes = rows_ * columns * sizeof(float);
  values_ = static_cast<float*>(text::reallocate(nullptr, bytes == 0 ? 1 : bytes));
  if (!values_) out_of_memory(bytes);
}

RowTile::~RowTile() { text::release(values_); }

void RowTile::copy_out(float* const* storage, std::size_t first, std::size_t count) noexcept {
#if defined(__SSE2__)
  if (count == 16) {
    copy_out_16(storage, first);
    return;
  }
#endif
  const float* from = row(first);
  for (std::size_t r = 0; r < count; ++r, from += columns_) {
    for (std::size_t i = 0; i < columns_; ++i) storage[i][first + r] = from[i];
  }
}

#if defined(__SSE2__)
void RowTile::copy_out_16(float* const* storage, std::size_t first) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= columns_; i += 4) {
    float* to[4] = {storage[i] + first, storage[i + 1] + first, storage[i + 2] + first, storage[i + 3] + first};
    const bool aligned =
        ((reinterpret_cast<std::uintptr_t>(to[0]) | reinterpret_cast<std::uintptr_t>(to[1]) |
          reinterpret_cast<std::uintptr_t>(to[2]) | reinterpret_cast<std::uintptr_t>(to[3])) &
         15) == 0;
    for (std::size_t r = 0; r < 16; r += 4) {
      const float* from = values_ + r * columns_ + i;
      __m128 a = _mm_loadu_ps(from);
      __m128 b = _mm_loadu_ps(from + columns_);
      __m128 c = _mm_loadu_ps(from + 2 * columns_);
      __m128 d = _mm_loadu_ps(from + 3 * columns_);
      _MM_TRANSPOSE4_PS(a, b, c, d);
      if (aligned) {
        _mm_stream_ps(to[0] + r, a);
        _mm_stream_ps(to[1] + r, b);
        _mm_stream_ps(to[2] + r, c);
        _mm_stream_ps(to[3] + r, d);
      } else {
        _mm_storeu_ps(to[0] + r, a);
        _mm_storeu_ps(to[1] + r, b);
        _mm_storeu_ps(to[2] + r, c);
        _mm_storeu_ps(to[3] + r, d);
      }
    }
  }
  for (; i < columns_; ++i) {
    for (std::size_t r = 0; r < 16; ++r) storage[i][first + r] = values_[r * columns_ + i];
  }
  _mm_sfence();
}
#endif

}  // namespace tavrel::lib

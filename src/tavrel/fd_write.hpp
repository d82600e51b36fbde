// Writing to a file descriptor directly, with write(2): the one loop that the
// panic report (descriptor 2) and the standard-output writer (descriptor 1)
// share.  Python's sys.stdout and sys.stderr are never involved.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace tavrel::fixed {

// How a write ended: `written` bytes went out; `error` is the errno of the
// write that failed, 0 when all went out or a write returned zero (`zero`).
struct FdWrite {
  std::size_t written = 0;
  int error = 0;
  bool zero = false;
  bool complete(std::size_t size) const noexcept { return written == size; }
};

// Writes `size` bytes, repeating until all are out; EINTR repeats, any other
// failure or a zero-length write stops.  At most 2^31 - 1 bytes per call.
inline FdWrite write_fd(int fd, const char* data, std::size_t size) noexcept {
  FdWrite result;
  while (result.written < size) {
    std::size_t chunk = size - result.written;
    if (chunk > 0x7FFFFFFF) chunk = 0x7FFFFFFF;
    const ssize_t n = ::write(fd, data + result.written, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      return result;
    }
    if (n == 0) {
      result.zero = true;
      return result;
    }
    result.written += static_cast<std::size_t>(n);
  }
  return result;
}

}  // namespace tavrel::fixed
